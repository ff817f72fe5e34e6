// The wave-audio calls of the desktop's multimedia system, as the device layer uses them:
// the waveIn family for recording and the waveOut family for playback, with their records,
// result codes and notifications. Behind the calls stands a WaveDriver (winmm_driver.h):
// the sound card (through ALSA on Linux, the system's own wave devices on Windows), or the
// virtual device of the tests. ZELVOR_AUDIO chooses ("virtual", or the sound card, the
// default); ZELVOR_ALSA_DEVICE names the device of the sound card ("default").
//
// Notifications are posted, never called: to the hidden window (CALLBACK_WINDOW) or the
// thread (CALLBACK_THREAD) given at open, through the message system (messages.h), in the
// device's order: the open notification first, one per returned buffer, the close last.
// wParam carries the device handle, lParam the returned WAVEHDR*. CALLBACK_NULL posts
// nothing; the caller then polls WHDR_DONE.
//
// What the calls promise:
// - Handles are small non-zero numbers; 0, a closed handle or a handle of the other
//   direction gives MMSYSERR_INVALHANDLE. WAVE_MAPPER stands for device 0; with no device
//   at all it gives MMSYSERR_NODRIVER, a number past the last device MMSYSERR_BADDEVICEID.
// - Formats: PCM, 1 or 2 channels, 8 or 16 bits, 1000..192000 Hz, with nBlockAlign and
//   nAvgBytesPerSec consistent; anything else is WAVERR_BADFORMAT. WAVE_FORMAT_QUERY only
//   answers (no handle, no notification).
// - Headers: the size argument may be the platform's 32 or sizeof(WAVEHDR). Prepare sets
//   WHDR_PREPARED (twice is harmless); add/write of an unprepared header is
//   WAVERR_UNPREPARED; prepare, unprepare, add or write of a queued header (WHDR_INQUEUE)
//   is WAVERR_STILLPLAYING. A returned header carries WHDR_DONE, capture headers with
//   dwBytesRecorded. An empty capture buffer is refused (MMSYSERR_INVALPARAM).
// - Capture records only between waveInStart and waveInStop/waveInReset. Stop hands back
//   the buffer being filled with what it holds (if anything) and keeps the empty ones;
//   reset hands back every queued buffer, the current one with what it holds, and sets
//   the position to 0.
// - Playback plays from the open. Pause keeps the queue; restart plays on from the same
//   byte; reset hands back every queued buffer, ends a pause and sets the position to 0.
//   A buffer with WHDR_BEGINLOOP and dwLoops n repeats n times together with the buffers
//   after it up to the one with WHDR_ENDLOOP (the same buffer may carry both); a loop
//   whose end is not queued when it begins plays once. Looped buffers come back after the
//   last pass.
// - Close with buffers still queued is WAVERR_STILLPLAYING and changes nothing.
// - Positions count the bytes really captured or played since the open or the last reset,
//   in TIME_BYTES, TIME_SAMPLES or TIME_MS; other kinds are answered in TIME_BYTES.
// - Volume (both words, left low) needs WAVECAPS_VOLUME, separate sides WAVECAPS_LRVOLUME
//   (otherwise the left word serves both); pitch and rate (16.16 fixed point, 1.0 at the
//   open) need WAVECAPS_PITCH / WAVECAPS_PLAYBACKRATE, else MMSYSERR_NOTSUPPORTED.
// - A device that fails for good (the sound card went away) hands back what is queued and
//   refuses further buffers with the reason.
// All calls are thread-safe; every open device runs its own thread.
#pragma once

#include <cstdint>

#include "platform/messages.h"

using WORD = uint16_t;
using MMRESULT = UINT;
using HWAVEIN = uint32_t;   // 0: no device
using HWAVEOUT = uint32_t;  // 0: no device
using DWORD_PTR = uintptr_t;

#pragma pack(push, 1)
// The 18-byte wave format record; also the body of a RIFF "fmt " chunk.
struct WAVEFORMATEX {
  WORD wFormatTag;
  WORD nChannels;
  DWORD nSamplesPerSec;
  DWORD nAvgBytesPerSec;
  WORD nBlockAlign;
  WORD wBitsPerSample;
  WORD cbSize;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18);
using PWAVEFORMATEX = WAVEFORMATEX*;
constexpr WORD WAVE_FORMAT_PCM = 1;

// The buffer header shared with the device. The layout is the program's own (pointers are
// 64-bit here); the fields and their meaning are the platform's.
struct WAVEHDR {
  char* lpData;
  DWORD dwBufferLength;
  DWORD dwBytesRecorded;
  DWORD_PTR dwUser;
  DWORD dwFlags;
  DWORD dwLoops;
  WAVEHDR* lpNext;
  DWORD_PTR reserved;
};
using PWAVEHDR = WAVEHDR*;
constexpr DWORD WHDR_DONE = 0x00000001;
constexpr DWORD WHDR_PREPARED = 0x00000002;
constexpr DWORD WHDR_BEGINLOOP = 0x00000004;
constexpr DWORD WHDR_ENDLOOP = 0x00000008;
constexpr DWORD WHDR_INQUEUE = 0x00000010;

// Time formats of MMTIME.
constexpr UINT TIME_MS = 0x0001;
constexpr UINT TIME_SAMPLES = 0x0002;
constexpr UINT TIME_BYTES = 0x0004;
constexpr UINT TIME_SMPTE = 0x0008;
constexpr UINT TIME_MIDI = 0x0010;
constexpr UINT TIME_TICKS = 0x0020;

#pragma pack(push, 1)
struct MMTIME {
  UINT wType;
  union {
    DWORD ms;
    DWORD sample;
    DWORD cb;
    DWORD ticks;
    struct {
      uint8_t hour, min, sec, frame, fps, dummy, pad[2];
    } smpte;
    struct {
      DWORD songptrpos;
    } midi;
  } u;
};
#pragma pack(pop)
static_assert(sizeof(MMTIME) == 12);

constexpr int MAXPNAMELEN = 32;
struct WAVEINCAPSA {  // 48 bytes
  WORD wMid;
  WORD wPid;
  DWORD vDriverVersion;
  char szPname[MAXPNAMELEN];
  DWORD dwFormats;
  WORD wChannels;
  WORD wReserved1;
};
struct WAVEOUTCAPSA {  // 52 bytes
  WORD wMid;
  WORD wPid;
  DWORD vDriverVersion;
  char szPname[MAXPNAMELEN];
  DWORD dwFormats;
  WORD wChannels;
  WORD wReserved1;
  DWORD dwSupport;
};
static_assert(sizeof(WAVEINCAPSA) == 48);
static_assert(sizeof(WAVEOUTCAPSA) == 52);

// dwFormats bits.
constexpr DWORD WAVE_FORMAT_1M08 = 0x0001, WAVE_FORMAT_1S08 = 0x0002, WAVE_FORMAT_1M16 = 0x0004,
                WAVE_FORMAT_1S16 = 0x0008, WAVE_FORMAT_2M08 = 0x0010, WAVE_FORMAT_2S08 = 0x0020,
                WAVE_FORMAT_2M16 = 0x0040, WAVE_FORMAT_2S16 = 0x0080, WAVE_FORMAT_4M08 = 0x0100,
                WAVE_FORMAT_4S08 = 0x0200, WAVE_FORMAT_4M16 = 0x0400, WAVE_FORMAT_4S16 = 0x0800;
// dwSupport bits.
constexpr DWORD WAVECAPS_PITCH = 0x0001, WAVECAPS_PLAYBACKRATE = 0x0002, WAVECAPS_VOLUME = 0x0004,
                WAVECAPS_LRVOLUME = 0x0008, WAVECAPS_SYNC = 0x0010,
                WAVECAPS_SAMPLEACCURATE = 0x0020;

// Result codes.
constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_NOTENABLED = 3;
constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_NOTSUPPORTED = 8;
constexpr MMRESULT MMSYSERR_BADERRNUM = 9;
constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT MMSYSERR_HANDLEBUSY = 12;
constexpr MMRESULT WAVERR_BADFORMAT = 32;
constexpr MMRESULT WAVERR_STILLPLAYING = 33;
constexpr MMRESULT WAVERR_UNPREPARED = 34;
constexpr MMRESULT WAVERR_SYNC = 35;

// Open flags and callback kinds.
constexpr UINT WAVE_MAPPER = 0xFFFFFFFF;
constexpr DWORD WAVE_FORMAT_QUERY = 0x0001;
constexpr DWORD CALLBACK_NULL = 0x00000000;
constexpr DWORD CALLBACK_WINDOW = 0x00010000;
constexpr DWORD CALLBACK_THREAD = 0x00020000;

// Notifications (message codes; lParam carries the WAVEHDR* for DONE and DATA).
constexpr UINT MM_WOM_OPEN = 0x3BB;
constexpr UINT MM_WOM_CLOSE = 0x3BC;
constexpr UINT MM_WOM_DONE = 0x3BD;
constexpr UINT MM_WIM_OPEN = 0x3BE;
constexpr UINT MM_WIM_CLOSE = 0x3BF;
constexpr UINT MM_WIM_DATA = 0x3C0;

// --- input ---
UINT waveInGetNumDevs();
MMRESULT waveInGetDevCapsA(UINT deviceId, WAVEINCAPSA* caps, UINT size);
MMRESULT waveInGetErrorTextA(MMRESULT error, char* text, UINT size);
// phwi nullptr with WAVE_FORMAT_QUERY only asks whether the format is accepted.
MMRESULT waveInOpen(HWAVEIN* phwi, UINT deviceId, const WAVEFORMATEX* format,
                    DWORD_PTR callback, DWORD_PTR instance, DWORD flags);
MMRESULT waveInClose(HWAVEIN hwi);
MMRESULT waveInPrepareHeader(HWAVEIN hwi, WAVEHDR* hdr, UINT size);
MMRESULT waveInUnprepareHeader(HWAVEIN hwi, WAVEHDR* hdr, UINT size);
MMRESULT waveInAddBuffer(HWAVEIN hwi, WAVEHDR* hdr, UINT size);
MMRESULT waveInStart(HWAVEIN hwi);
MMRESULT waveInStop(HWAVEIN hwi);
MMRESULT waveInReset(HWAVEIN hwi);
MMRESULT waveInGetPosition(HWAVEIN hwi, MMTIME* time, UINT size);

// --- output ---
UINT waveOutGetNumDevs();
MMRESULT waveOutGetDevCapsA(UINT deviceId, WAVEOUTCAPSA* caps, UINT size);
MMRESULT waveOutGetErrorTextA(MMRESULT error, char* text, UINT size);
MMRESULT waveOutOpen(HWAVEOUT* phwo, UINT deviceId, const WAVEFORMATEX* format,
                     DWORD_PTR callback, DWORD_PTR instance, DWORD flags);
MMRESULT waveOutClose(HWAVEOUT hwo);
MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, WAVEHDR* hdr, UINT size);
MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, WAVEHDR* hdr, UINT size);
MMRESULT waveOutWrite(HWAVEOUT hwo, WAVEHDR* hdr, UINT size);
MMRESULT waveOutPause(HWAVEOUT hwo);
MMRESULT waveOutRestart(HWAVEOUT hwo);
MMRESULT waveOutReset(HWAVEOUT hwo);
MMRESULT waveOutGetPosition(HWAVEOUT hwo, MMTIME* time, UINT size);
MMRESULT waveOutGetVolume(HWAVEOUT hwo, DWORD* volume);
MMRESULT waveOutSetVolume(HWAVEOUT hwo, DWORD volume);
MMRESULT waveOutGetPitch(HWAVEOUT hwo, DWORD* pitch);
MMRESULT waveOutSetPitch(HWAVEOUT hwo, DWORD pitch);
MMRESULT waveOutGetPlaybackRate(HWAVEOUT hwo, DWORD* rate);
MMRESULT waveOutSetPlaybackRate(HWAVEOUT hwo, DWORD rate);
