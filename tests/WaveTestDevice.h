// The shared support of the device tests (platform and audio layers): puts a test on the
// virtual sound device, waits while dispatching the thread's messages, records the
// notifications a window or a thread receives, owns buffer headers with their data, and
// makes byte patterns whose order shows.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "EnvVar.h"
#include "platform/messages.h"
#include "platform/mmsystem.h"
#include "platform/winmm_driver.h"

// The virtual device with its defaults for the life of one test (and the defaults again
// afterwards, so no configuration leaks into the next test).
class TWaveTestDevice {
 public:
  TWaveTestDevice() {
    winmm::SelectDriver(winmm::VirtualDriver());
    winmm::virt::Reset();
  }
  ~TWaveTestDevice() { winmm::virt::Reset(); }
  TWaveTestDevice(const TWaveTestDevice&) = delete;
  TWaveTestDevice& operator=(const TWaveTestDevice&) = delete;
};

// An environment variable of the sound layer (ZELVOR_AUDIO, ZELVOR_ALSA_DEVICE,
// ZELVOR_STALL_SECONDS) for one test: the layer reads its environment once, so it reads it
// again as the variable is set and as its old value comes back.
class TSoundEnvVar {
 public:
  TSoundEnvVar(const char* name, const char* value) : FVar(name, value) {
    winmm::ReadSoundEnvironment();
  }
  TSoundEnvVar(const char* name, const std::string& value) : TSoundEnvVar(name, value.c_str()) {}

 private:
  struct TReread {
    ~TReread() { winmm::ReadSoundEnvironment(); }
  } FAfter;  // destroyed after FVar has put the old value back
  TEnvVar FVar;
};

inline WAVEFORMATEX PcmFormat(DWORD rate, WORD channels, WORD bits) {
  WAVEFORMATEX f{};
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = channels;
  f.nSamplesPerSec = rate;
  f.wBitsPerSample = bits;
  f.nBlockAlign = static_cast<WORD>(channels * bits / 8);
  f.nAvgBytesPerSec = rate * f.nBlockAlign;
  return f;
}

// Dispatches the calling thread's messages until pred holds; false when ms run out. Between
// looks it sleeps on the thread's queue, and looks again at least every millisecond: a
// device or worker thread may make pred true without posting anything here.
inline bool PumpUntil(const std::function<bool()>& pred, int ms = 5000) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    DrainMessageQueue();
    if (pred()) return true;
    if (std::chrono::steady_clock::now() > until) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE_, 1, QS_POSTMESSAGE | QS_ALLPOSTMESSAGE);
  }
}

// Dispatches what arrives during the given time.
inline void PumpFor(int ms) {
  PumpUntil([] { return false; }, ms);
}

// One notification as it arrived: the header's flags and byte count are read at that moment.
struct TWaveNote {
  UINT Msg = 0;
  WPARAM Handle = 0;
  WAVEHDR* Header = nullptr;
  DWORD Flags = 0;
  DWORD Bytes = 0;
  DWORD Thread = 0;
};

inline TWaveNote MakeNote(UINT msg, WPARAM w, LPARAM l) {
  TWaveNote n;
  n.Msg = msg;
  n.Handle = w;
  n.Header = reinterpret_cast<WAVEHDR*>(l);
  if (n.Header) {
    n.Flags = n.Header->dwFlags;
    n.Bytes = n.Header->dwBytesRecorded;
  }
  n.Thread = GetCurrentThreadId();
  return n;
}

// A hidden window of the calling thread that records every notification sent to it.
class TNoteWindow {
 public:
  TNoteWindow() {
    FWnd = AllocateHWnd(
        [this](TMessage& m) { FNotes.push_back(MakeNote(m.Msg, m.WParam, m.LParam)); });
  }
  ~TNoteWindow() { DeallocateHWnd(FWnd); }
  TNoteWindow(const TNoteWindow&) = delete;
  TNoteWindow& operator=(const TNoteWindow&) = delete;

  DWORD_PTR Callback() const { return reinterpret_cast<DWORD_PTR>(FWnd); }
  const std::vector<TWaveNote>& Notes() const { return FNotes; }
  size_t Count(UINT msg) const {
    size_t n = 0;
    for (auto& note : FNotes) n += note.Msg == msg;
    return n;
  }
  bool WaitCount(UINT msg, size_t n, int ms = 5000) {
    return PumpUntil([&] { return Count(msg) >= n; }, ms);
  }
  void Clear() { FNotes.clear(); }

 private:
  HWND FWnd;
  std::vector<TWaveNote> FNotes;
};

// A buffer header with its own data block.
struct TTestBuffer {
  explicit TTestBuffer(size_t size, char fill = 0) : Data(size, fill) {
    Header.lpData = Data.data();
    Header.dwBufferLength = static_cast<DWORD>(size);
  }
  explicit TTestBuffer(const std::string& bytes) : TTestBuffer(bytes.size()) {
    Data.assign(bytes.begin(), bytes.end());
    Header.lpData = Data.data();
  }
  std::string Bytes() const { return std::string(Data.data(), Header.dwBytesRecorded); }
  std::vector<char> Data;
  WAVEHDR Header{};
};

// Opens the capture device in 8000 Hz 8-bit mono, reporting to w, with count buffers of size
// bytes each prepared and queued (not started): the result of the first call that failed,
// MMSYSERR_NOERROR when none did.
inline MMRESULT OpenCaptureQueued(TNoteWindow& w, HWAVEIN& h,
                                  std::vector<std::unique_ptr<TTestBuffer>>& bufs, int count,
                                  size_t size) {
  const WAVEFORMATEX f = PcmFormat(8000, 1, 8);
  MMRESULT r = waveInOpen(&h, WAVE_MAPPER, &f, w.Callback(), 0, CALLBACK_WINDOW);
  for (int i = 0; r == MMSYSERR_NOERROR && i < count; ++i) {
    bufs.push_back(std::make_unique<TTestBuffer>(size));
    r = waveInPrepareHeader(h, &bufs.back()->Header, sizeof(WAVEHDR));
    if (r == MMSYSERR_NOERROR) r = waveInAddBuffer(h, &bufs.back()->Header, sizeof(WAVEHDR));
  }
  return r;
}

// The header's flags as a polling caller reads them while the device may set WHDR_DONE.
inline DWORD FlagsNow(WAVEHDR& h) {
  return std::atomic_ref<DWORD>(h.dwFlags).load(std::memory_order_acquire);
}

// Bytes 0, 1, 2, ... 255, 0, 1, ... of the given length; a pattern whose order shows.
inline std::string Pattern(size_t n, unsigned seed = 0) {
  std::string s(n, 0);
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + seed + i / 256) & 0xFF);
  return s;
}
