// What stands behind the wave-audio calls of mmsystem.h. The calls themselves (handles,
// buffer queues, loops, positions, notifications, software volume) live in winmm.cpp and
// are the same for every driver; a WaveDriver only answers what devices exist and moves raw
// bytes for one open device. Two drivers exist: "alsa" (the sound card) and "virtual" (an
// in-process device the tests steer). ZELVOR_AUDIO chooses between them; it is read again
// at every call, so a test can switch drivers with setenv before it opens a device.
//
// The second half of this header is the virtual device's control panel for tests: what it
// captures, where its playback goes, how fast it runs, which calls fail with which code,
// and counters that show leaked devices, threads and prepared headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/mmsystem.h"

namespace winmm {

enum class WaveDir { In, Out };

// The calls a driver may refuse. Add is waveInAddBuffer / waveOutWrite, Stop is
// waveInStop / waveOutPause, Start is waveInStart / waveOutRestart.
enum class WaveCall {
  Caps,
  Query,
  Open,
  Prepare,
  Unprepare,
  Add,
  Start,
  Stop,
  Reset,
  Close,
  Position,
  GetVolume,
  SetVolume,
  GetPitch,
  SetPitch,
  GetRate,
  SetRate,
  // Not a call: the device thread moving data. A failure here is a device lost for good
  // (the sound card went away); for it, skip counts bytes, not calls.
  Transfer,
};
const char* WaveCallName(WaveCall call);

// What a device says about itself; the capability records are filled from it.
struct WaveDeviceInfo {
  std::string Name;
  DWORD Formats = 0;  // WAVE_FORMAT_1M08 ...
  WORD Channels = 2;
  DWORD Support = 0;  // WAVECAPS_...; only output devices report it
};

// One open device's byte mover. The device thread of winmm.cpp is its only caller (apart
// from Interrupt), so a driver needs no locking of its own around the sound card.
class WaveStream {
 public:
  virtual ~WaveStream() = default;
  // Captures (In) into data or plays (Out) from data up to bytes bytes, always whole
  // frames; blocks as long as the device needs, but returns early with what was moved so
  // far when Interrupt is called. Returns MMSYSERR_NOERROR with moved set, or a code when
  // the device has failed for good.
  virtual MMRESULT Transfer(char* data, size_t bytes, size_t& moved) = 0;
  // Wakes a Transfer that is waiting; may be called from any thread. A wake that arrives
  // while no Transfer runs makes the next one return at once.
  virtual void Interrupt() = 0;
  // The device thread stops moving data until the next start or restart (stop, pause):
  // a capture device stops listening, a playback device holds what it has not played.
  virtual void Halt() {}
  // Everything captured or waiting to be played is thrown away (reset).
  virtual void Drop() {}
  // The device is about to close; Drained says whether what was written should still be
  // heard (a close after the data ended) rather than cut off (a close after reset).
  virtual void Finish(bool drained) { (void)drained; }
  // How many bytes the device thread offers per transfer; suggested is 10 ms of sound. A
  // sound card that wakes once a period asks for a whole one, so each wake moves it at once.
  virtual size_t ChunkBytes(size_t suggested) const { return suggested; }
  // Bytes handed over but not yet heard; positions of a playback device subtract them.
  // Called from any thread, under the device's lock.
  virtual uint64_t PendingBytes() { return 0; }
};

// A device the sound system offers to choose from, as it lists it: the name to give
// (--device, InputDevice=, OutputDevice=), its description, and the directions it serves.
struct WaveDeviceChoice {
  std::string Name;
  std::string Description;
  bool Input = false;
  bool Output = false;
};

class WaveDriver {
 public:
  virtual ~WaveDriver() = default;
  virtual const char* Name() const = 0;
  // Every device the user could choose for either direction; empty when the driver has
  // nothing to choose from (the virtual device).
  virtual std::vector<WaveDeviceChoice> Choices() { return {}; }
  virtual UINT NumDevs(WaveDir dir) = 0;
  // id is a real device number below NumDevs.
  virtual MMRESULT Caps(WaveDir dir, UINT id, WaveDeviceInfo& info) = 0;
  // Whether the device takes this (already sanity-checked) PCM format.
  virtual MMRESULT CheckFormat(WaveDir dir, UINT id, const WAVEFORMATEX& format) = 0;
  virtual MMRESULT Open(WaveDir dir, UINT id, const WAVEFORMATEX& format,
                        std::unique_ptr<WaveStream>& stream) = 0;
  // Asked before every call on a device; a non-zero answer is what the call returns.
  // Lets the virtual device fail any call on demand.
  virtual MMRESULT Admit(WaveDir dir, WaveCall call) {
    (void)dir;
    (void)call;
    return MMSYSERR_NOERROR;
  }
};

// The driver ZELVOR_AUDIO names now ("alsa" unless it says "virtual").
WaveDriver& CurrentDriver();
WaveDriver& AlsaDriver();
WaveDriver& VirtualDriver();

// Why a driver call failed, in the sound system's own words. A driver states it with
// SetLastDriverMessage just before it returns the failure's code, on the thread of that
// call; LastDriverMessage reads the calling thread's latest one (a device listing asks it
// why there is no device).
std::string LastDriverMessage();
void SetLastDriverMessage(std::string text);

// The driver's explanation that goes with a result code a wave call returned, kept where
// any thread can ask for it: for an open device (handle not 0) why its stream was lost
// mid-stream, kept with the device until it closes; for handle 0 why the calling thread's
// last open or format query of that direction failed. Empty when the driver gave no
// explanation for that code.
std::string FailureReason(WaveDir dir, uint32_t handle, MMRESULT code);

// The device each direction opens, by the sound system's own name for it ("default",
// "plughw:CARD=Headset,DEV=0"): the window takes the names from "ZelvorSound.ini", the
// command line from --device. An empty name stands for "default". ZELVOR_ALSA_DEVICE,
// when set, overrides both directions (the tests rely on it).
void SetDeviceName(WaveDir dir, std::string name);
std::string DeviceName(WaveDir dir);

// Something the user should know that is no failure: a gap in the sound that the driver
// recovered from. One line, said once, from whichever thread saw it: on stderr after the
// program's name unless a sink is set (the command line's progress line sets one, so the
// line does not land in the middle of it). SetNoticeSink with an empty function restores
// stderr.
void Notice(const std::string& text);
void SetNoticeSink(std::function<void(const std::string&)> sink);

// Leak counters over every driver: devices open now, device threads alive now, headers
// prepared on open devices now.
int OpenDeviceCount();
int LiveDeviceThreadCount();
int PreparedHeaderCount();

// ---------------------------------------------------------------------------------------
// The virtual device, steered by tests. A program that runs on it without a test (a machine
// without a sound card) sets it up through its environment, read once at the first use: it
// keeps real time with silence after the capture source, unless ZELVOR_VIRTUAL_PACING=fast;
// ZELVOR_VIRTUAL_CAPTURE=file to record from, ZELVOR_VIRTUAL_PLAYBACK=file to play into.
namespace virt {

enum class Pacing {
  Fast,      // moves data as fast as buffers arrive
  RealTime,  // moves data at the format's byte rate
};

// What a capture device does when its byte source has nothing more.
enum class CaptureEnd {
  Hold,     // keeps the buffer being filled and waits (tests see exact partial buffers)
  Silence,  // goes on with silence, as a microphone in a quiet room
};

struct Config {
  std::vector<WaveDeviceInfo> Inputs{{"Virtual Wave In", 0x0FFF, 2, 0}};
  std::vector<WaveDeviceInfo> Outputs{
      {"Virtual Wave Out", 0x0FFF, 2, WAVECAPS_VOLUME | WAVECAPS_LRVOLUME}};
  Pacing Pace = Pacing::Fast;
  CaptureEnd AtEnd = CaptureEnd::Hold;
  // Which formats the devices take; empty takes every sane PCM format.
  std::function<bool(WaveDir, UINT id, const WAVEFORMATEX&)> Accepts;
};

// Back to the defaults: the Config above, no capture source, empty playback memory, no
// playback file, no byte budget, no failures, empty call log.
void Reset();
void Configure(const Config& config);
Config CurrentConfig();

// Capture sources; setting one replaces the other. The signal gets the index of the first
// byte wanted and fills the block; byte sources are played out once.
void SetCaptureSignal(std::function<void(uint64_t offset, char* data, size_t bytes)> signal);
void SetCaptureBytes(std::string bytes);
// Reads the whole file now; false when it cannot be read.
bool SetCaptureFile(const std::string& path);
// Bytes captured from the source so far.
uint64_t CapturedBytes();

// Everything every output device has played, in order, since the last Reset or
// ClearPlayed.
std::string PlayedBytes();
void ClearPlayed();
// Also appends the playback to this file (empty: no file). False when it cannot be made.
bool SetPlaybackFile(const std::string& path);
// Lets output devices play only this many more bytes in all (-1: no limit); a device
// waits at the limit until it is raised. Tests park the device at an exact position.
void SetPlaybackBudget(int64_t bytes);

// Makes a call fail with code. times: how many calls fail (-1: every one from now on);
// skip: how many matching calls succeed first (for WaveCall::Transfer: how many bytes the
// devices of that direction still move before they are lost). explanation, when given, is
// what the driver says about each such failure, as a real sound system does.
void InjectFailure(WaveDir dir, WaveCall call, MMRESULT code, int times = -1, int skip = 0,
                   std::string explanation = std::string());
void ClearFailures();
// "In Open", "Out Add", ... one line per call the virtual driver was asked to admit.
std::vector<std::string> CallLog();

}  // namespace virt
}  // namespace winmm
