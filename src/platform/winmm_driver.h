// What stands behind the wave-audio calls of mmsystem.h. The calls themselves (handles,
// buffer queues, loops, positions, notifications, software volume, the capture backlog and
// the bounded waits) live in winmm.cpp and are the same for every driver; a WaveDriver only
// answers what devices exist and moves raw bytes for one open device. The drivers: the
// sound card, "alsa" on Linux and the system's own wave devices, "winmm", on Windows; and
// "virtual" (an in-process device the tests steer).
//
// The contract between winmm.cpp and a driver:
// - Every driver call returns a WaveResult: the result code and, for a failure, the sound
//   system's own words on it, made where the failure happened. Nothing travels beside it.
// - The driver and the device names are chosen once (at the first use, from the
//   environment, or when the user or a test picks another), never looked up per call.
// - A WaveStream belongs to its device's thread: every call but Interrupt and PendingBytes
//   comes from that thread, one at a time. A call may block inside a sound system that
//   stopped answering; the callers of the wave calls never wait for that longer than
//   StallLimit: the thread is then abandoned with the stream it holds (it ends, closing
//   the stream, if the sound system ever answers again), so a stream owns everything it
//   touches and calls nothing of winmm.cpp.
// - Transfer waits for the sound card at most StallLimit without any sound moving; past
//   that it fails, naming the device that stopped answering.
// - Interrupt and PendingBytes never block and never call into the sound system.
// - A gap the driver recovered from (an overrun or underrun) is told through Notice, once,
//   with how much sound it cost.
// Platform things (poll, eventfd, threads of the sound library) stay inside a driver's
// own file; this header and winmm.cpp use only the standard library.
//
// The second half of this header is the virtual device's control panel for tests: what it
// captures, where its playback goes, how fast it runs, which calls fail with which code,
// and counters that show leaked devices, threads and prepared headers.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
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

// A driver's answer: the code, and for a failure why, in the sound system's words ("ALSA:
// Unknown PCM default"); the reason is empty when the sound system said nothing.
struct WaveResult {
  MMRESULT Code = MMSYSERR_NOERROR;
  std::string Reason;
  WaveResult() = default;
  WaveResult(MMRESULT code, std::string reason = std::string())  // NOLINT: a bare code is one
      : Code(code), Reason(std::move(reason)) {}
  bool Ok() const { return Code == MMSYSERR_NOERROR; }
};

// The unsigned 8-bit sample of silence that a sound card plays and a quiet microphone
// gives: the middle of the range. (The component library's own FillSilence writes 0x7F,
// one step below; that is its published behaviour and stays, the drivers do not use it.)
constexpr uint8_t kDriverSilence8 = 0x80;

// What a device says about itself; the capability records are filled from it.
struct WaveDeviceInfo {
  std::string Name;
  DWORD Formats = 0;  // WAVE_FORMAT_1M08 ...
  WORD Channels = 2;
  DWORD Support = 0;  // WAVECAPS_...; only output devices report it
};

// One open device's byte mover (see the contract above for its threads).
class WaveStream {
 public:
  // Closes the device; on the device thread, and may block in a stopped sound system.
  virtual ~WaveStream() = default;
  // Captures (In) into data or plays (Out) from data up to bytes bytes, always whole
  // frames; blocks as long as the device needs, but returns early with what was moved so
  // far when Interrupt is called. Returns success with moved set, or the failure of a
  // device lost for good (also one that moved nothing for StallLimit).
  virtual WaveResult Transfer(char* data, size_t bytes, size_t& moved) = 0;
  // Wakes a Transfer that is waiting; may be called from any thread. A wake that arrives
  // while no Transfer runs makes the next one return at once.
  virtual void Interrupt() = 0;
  // The device thread stops moving data until the next start or restart (stop, pause):
  // a capture device stops listening, a playback device holds what it has not played.
  virtual void Halt() {}
  // Everything captured or waiting to be played is thrown away (reset).
  virtual void Drop() {}
  // The device is about to close; drained says whether what was written should still be
  // heard (a close after the data ended) rather than cut off (a close after reset or a
  // failure). A drain waits at most StallLimit without sound moving.
  virtual void Finish(bool drained) { (void)drained; }
  // How many bytes the device thread offers per transfer; suggested is 10 ms of sound. A
  // sound card that wakes once a period asks for a whole one, so each wake moves it at once.
  virtual size_t ChunkBytes(size_t suggested) const { return suggested; }
  // Whether the device keeps the time of the sound (a sound card does). Only such a capture
  // device goes on capturing while no buffer is queued, into winmm.cpp's backlog: one that
  // moves sound as fast as it is asked (the virtual device's fast pacing) would fill it
  // at once with sound nobody was waiting for.
  virtual bool KeepsTime() const { return true; }
  // Bytes handed over but not yet heard; positions of a playback device subtract them.
  // Any thread; answered from what the device thread last learnt, never by asking the
  // sound system, so a position query cannot hang on it.
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
  // id is a device number; a failure says why the device cannot be used.
  virtual WaveResult Caps(WaveDir dir, UINT id, WaveDeviceInfo& info) = 0;
  // Whether the device takes this (already sanity-checked) PCM format.
  virtual WaveResult CheckFormat(WaveDir dir, UINT id, const WAVEFORMATEX& format) = 0;
  virtual WaveResult Open(WaveDir dir, UINT id, const WAVEFORMATEX& format,
                          std::unique_ptr<WaveStream>& stream) = 0;
  // The choice of driver or devices was made again (the environment read anew, another
  // device chosen): whatever the driver learnt about its devices is stale.
  virtual void Forget() {}
  // Asked before every call on a device; a failure is what the call returns. Lets the
  // virtual device fail any call on demand.
  virtual WaveResult Admit(WaveDir dir, WaveCall call) {
    (void)dir;
    (void)call;
    return {};
  }
};

// --- the choice of driver and devices ---
// Made once: at the first use from the environment (ZELVOR_AUDIO: "virtual", or anything
// else for the system's sound card, the default; ZELVOR_ALSA_DEVICE: a device name that overrides
// every other choice; ZELVOR_STALL_SECONDS: the stall limit, 10 unless set), again by
// ReadSoundEnvironment (a test that changed the environment), and by SelectDriver / SetDeviceName
// (the user's choice of device at start-up or later).
void ReadSoundEnvironment();
void SelectDriver(WaveDriver& driver);
WaveDriver& CurrentDriver();
// The sound card through the system's sound layer: "alsa" on Linux (winmm_alsa.cpp), the
// system's own wave devices, "winmm", on Windows (winmm_win32.cpp).
WaveDriver& SystemDriver();
WaveDriver& VirtualDriver();

// The device each direction opens, by the sound system's own name for it ("default",
// "plughw:CARD=Headset,DEV=0", "pipewire"): the window takes the names from
// "ZelvorSound.ini", the command line from --device. An empty name stands for "default".
// The forced name (ZELVOR_ALSA_DEVICE), when set, overrides both directions.
void SetDeviceName(WaveDir dir, std::string name);
std::string DeviceName(WaveDir dir);
std::string ForcedDeviceName();

// How long a device may move no sound before it is given up as no longer answering, and
// that time as the reason says it ("10 s").
std::chrono::milliseconds StallLimit();
std::string StallLimitText();

// --- calls that say why ---
// waveInOpen / waveOutOpen (and their format query, with WAVE_FORMAT_QUERY and no handle)
// with the driver's reason for a failure.
WaveResult OpenWave(WaveDir dir, uint32_t* handle, UINT id, const WAVEFORMATEX* format,
                    DWORD_PTR callback, DWORD flags);
// Why the open device failed for good (lost, or given up as no longer answering), when
// code is the code it failed with; kept with the device until it closes, for any thread.
std::string FailureReason(WaveDir dir, uint32_t handle, MMRESULT code);

// Something the user should know that is no failure: a gap in the sound that the driver
// recovered from, said once, from whichever thread saw it. LostSeconds is how much sound
// the gap cost (0 when it cost none).
struct WaveNotice {
  WaveDir Dir = WaveDir::In;
  double LostSeconds = 0;
  std::string Text;  // one line, naming the device
};
// Goes to the sink, called without any lock of the sound layer held (so the sink may use
// the wave calls); without a sink the text goes to stderr as one line. SetNoticeSink with
// an empty function restores stderr.
void Notice(const WaveNotice& notice);
void SetNoticeSink(std::function<void(const WaveNotice&)> sink);

// Leak counters over every driver: devices open now, device threads alive now (an
// abandoned thread counts until it ends), headers prepared on open devices now.
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
// The devices of that direction stop answering, as a sound server held still: a transfer
// running or starting hangs, deaf to Interrupt, until Reset or ClearFailures.
void InjectHang(WaveDir dir);
// The next transfer of that direction recovers from a gap that cost lostSeconds of sound,
// and tells it through Notice as the sound card's driver does.
void InjectGap(WaveDir dir, double lostSeconds);
// "In Open", "Out Add", ... one line per call the virtual driver was asked to admit.
std::vector<std::string> CallLog();

}  // namespace virt
}  // namespace winmm
