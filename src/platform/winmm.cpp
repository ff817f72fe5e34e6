// The wave-audio calls over a WaveDriver. Everything the callers see is decided here, the
// same for every driver: handles, the queue of buffer headers, loops, stop/pause/reset,
// positions, software volume and the notifications. Each open device has one thread that
// moves the queued buffers through its driver stream; the calls only change the queue under
// the device's lock and wake the thread from its wait on the sound card, so a reset or stop
// takes effect at once; a capture's stop or reset first lets the chunk the thread has
// already taken land in its header. Header memory is touched only under that lock: the
// thread copies a chunk out of (playback) or into (capture) the current header, never across
// the wait.
#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "platform/mmsystem.h"
#include "platform/winmm_driver.h"

namespace winmm {

const char* WaveCallName(WaveCall call) {
  switch (call) {
    case WaveCall::Caps:
      return "Caps";
    case WaveCall::Query:
      return "Query";
    case WaveCall::Open:
      return "Open";
    case WaveCall::Prepare:
      return "Prepare";
    case WaveCall::Unprepare:
      return "Unprepare";
    case WaveCall::Add:
      return "Add";
    case WaveCall::Start:
      return "Start";
    case WaveCall::Stop:
      return "Stop";
    case WaveCall::Reset:
      return "Reset";
    case WaveCall::Close:
      return "Close";
    case WaveCall::Position:
      return "Position";
    case WaveCall::GetVolume:
      return "GetVolume";
    case WaveCall::SetVolume:
      return "SetVolume";
    case WaveCall::GetPitch:
      return "GetPitch";
    case WaveCall::SetPitch:
      return "SetPitch";
    case WaveCall::GetRate:
      return "GetRate";
    case WaveCall::SetRate:
      return "SetRate";
    case WaveCall::Transfer:
      return "Transfer";
  }
  return "?";
}

WaveDriver& CurrentDriver() {
  const char* choice = std::getenv("ZELVOR_AUDIO");
  if (choice && std::strcmp(choice, "virtual") == 0) return VirtualDriver();
  return AlsaDriver();
}

namespace {

// What the driver said about the failure of the call it is running on this thread; the
// wave call that made the driver call takes it at once and keeps it where it belongs.
thread_local std::string tLastDriverMessage;

// The calling thread's last failed open or format query, with the driver's word on it.
struct TOpenFailure {
  WaveDir Dir = WaveDir::In;
  MMRESULT Code = MMSYSERR_NOERROR;
  std::string Reason;
};
thread_local TOpenFailure tOpenFailure;

// The header size of the platform's own record; ours is larger (64-bit pointers), and
// callers may pass either.
constexpr UINT kMinHeaderSize = 32;
constexpr DWORD kCallbackMask = 0x00070000;
constexpr DWORD kUnityVolume = 0xFFFFFFFF;
constexpr DWORD kUnityFixed = 0x00010000;

struct Device {
  uint32_t Handle = 0;
  WaveDir Dir = WaveDir::In;
  WaveDriver* Driver = nullptr;
  WAVEFORMATEX Format{};
  WaveDeviceInfo Info;
  DWORD CallbackKind = CALLBACK_NULL;
  DWORD_PTR Callback = 0;
  std::unique_ptr<WaveStream> Stream;

  std::mutex M;
  std::condition_variable Cv;
  std::deque<WAVEHDR*> Queue;
  size_t Cur = 0;     // the header being worked on; above 0 only inside a playback loop
  size_t Offset = 0;  // bytes of Queue[Cur] already moved
  bool LoopActive = false;
  DWORD LoopsLeft = 0;
  size_t LoopEnd = 0;
  bool Running = false;     // capture started / playback not paused
  bool InTransfer = false;  // the thread is inside the stream's Transfer, without the lock
  bool Settling = false;    // a stop or reset waits for that transfer to land
  bool Quit = false;
  bool Closed = false;
  bool WasReset = false;
  MMRESULT FailCode = MMSYSERR_NOERROR;  // the stream failed for good
  std::string FailReason;                // and why, as the driver put it
  uint64_t Epoch = 0;  // bumped when what the thread has in hand no longer belongs anywhere
  uint64_t Position = 0;
  uint64_t Heard = 0;  // the highest playback position reported since the open or reset
  // A handful of headers at most; a vector keeps its room, so steady streaming (prepare,
  // play, unprepare, again) allocates nothing here.
  std::vector<WAVEHDR*> Prepared;
  DWORD Volume = kUnityVolume;
  DWORD Pitch = kUnityFixed;
  DWORD Rate = kUnityFixed;
  std::thread Thread;
};

std::mutex gTableM;
std::map<uint32_t, std::shared_ptr<Device>> gTable;
uint32_t gNextHandle = 1;
std::atomic<int> gThreads{0};
std::atomic<int> gPrepared{0};

std::shared_ptr<Device> Find(uint32_t handle, WaveDir dir) {
  std::lock_guard lk(gTableM);
  auto it = gTable.find(handle);
  if (it == gTable.end() || it->second->Dir != dir) return nullptr;
  return it->second;
}

// A program that ends with devices still open (a crash path, a failed test) must not die
// on a joinable thread: the devices are stopped, silently, before the table goes.
void StopAll() {
  std::map<uint32_t, std::shared_ptr<Device>> all;
  {
    std::lock_guard lk(gTableM);
    all.swap(gTable);
  }
  for (auto& [handle, d] : all) {
    {
      std::lock_guard lk(d->M);
      if (d->Closed) continue;  // a close in progress finishes it
      d->Quit = true;
      d->Closed = true;
      d->Cv.notify_all();
    }
    d->Stream->Interrupt();
    if (d->Thread.joinable()) d->Thread.join();
    d->Stream.reset();
  }
}

struct TShutdownGuard {
  ~TShutdownGuard() { StopAll(); }
};

// Small, non-zero, and not reused at once, so a stale handle rarely names a new device.
uint32_t Register(const std::shared_ptr<Device>& d) {
  // Made at the first open, so it is undone before the message system the devices post to.
  static TShutdownGuard guard;
  std::lock_guard lk(gTableM);
  for (;;) {
    uint32_t h = gNextHandle;
    gNextHandle = gNextHandle >= 0xFFFF ? 1 : gNextHandle + 1;
    if (!gTable.count(h)) {
      d->Handle = h;
      gTable[h] = d;
      return h;
    }
  }
}

void Unregister(uint32_t handle) {
  std::lock_guard lk(gTableM);
  gTable.erase(handle);
}

// Posts a notification to whoever opened the device. A thread without a queue yet gets a
// short grace period (its queue is made as it asks for its first message).
void Notify(const Device& d, UINT msg, LPARAM lParam) {
  if (d.CallbackKind == CALLBACK_WINDOW) {
    PostMessage(reinterpret_cast<HWND>(d.Callback), msg, d.Handle, lParam);
  } else if (d.CallbackKind == CALLBACK_THREAD) {
    for (int i = 0; i < 2000; ++i) {
      if (PostThreadMessage(static_cast<DWORD>(d.Callback), msg, d.Handle, lParam)) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
}

UINT MsgOpen(WaveDir dir) { return dir == WaveDir::In ? MM_WIM_OPEN : MM_WOM_OPEN; }
UINT MsgDone(WaveDir dir) { return dir == WaveDir::In ? MM_WIM_DATA : MM_WOM_DONE; }
UINT MsgClose(WaveDir dir) { return dir == WaveDir::In ? MM_WIM_CLOSE : MM_WOM_CLOSE; }

// Hands a header back (under the device lock). A caller without notifications polls
// WHDR_DONE from its own thread, so the flag word is published atomically.
void Complete(Device& d, WAVEHDR* h) {
  std::atomic_ref<DWORD>(h->dwFlags)
      .store((h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE, std::memory_order_release);
  Notify(d, MsgDone(d.Dir), reinterpret_cast<LPARAM>(h));
}

// A playback buffer marked as the beginning of a loop repeats, together with the buffers
// after it up to the one marked as the end, dwLoops times. The end must already be queued
// when the loop begins; otherwise the buffer plays once, so a loop can never wait forever
// for an end that does not come.
void BeginBuffer(Device& d) {
  if (d.Dir != WaveDir::Out || d.LoopActive || d.Cur != 0 || d.Offset != 0) return;
  WAVEHDR* h = d.Queue.front();
  if (!(h->dwFlags & WHDR_BEGINLOOP) || h->dwLoops <= 1) return;
  for (size_t i = 0; i < d.Queue.size(); ++i) {
    if (d.Queue[i]->dwFlags & WHDR_ENDLOOP) {
      d.LoopActive = true;
      d.LoopsLeft = h->dwLoops;
      d.LoopEnd = i;
      return;
    }
  }
}

void FinishBuffer(Device& d) {
  d.Offset = 0;
  if (d.LoopActive) {
    if (d.Cur < d.LoopEnd) {
      ++d.Cur;
      return;
    }
    if (d.LoopsLeft > 1) {
      --d.LoopsLeft;
      d.Cur = 0;
      return;
    }
    d.LoopActive = false;
    size_t n = d.Cur + 1;
    d.Cur = 0;
    for (size_t i = 0; i < n; ++i) {
      WAVEHDR* h = d.Queue.front();
      d.Queue.pop_front();
      Complete(d, h);
    }
    return;
  }
  WAVEHDR* h = d.Queue.front();
  d.Queue.pop_front();
  Complete(d, h);
}

// Every queued header back, in queue order; capture headers keep what they hold.
void ReturnAll(Device& d) {
  d.Cur = 0;
  d.Offset = 0;
  d.LoopActive = false;
  while (!d.Queue.empty()) {
    WAVEHDR* h = d.Queue.front();
    d.Queue.pop_front();
    Complete(d, h);
  }
}

void ScaleSamples(const Device& d, char* data, size_t bytes, size_t offset) {
  DWORD left = d.Volume & 0xFFFF;
  DWORD right = (d.Info.Support & WAVECAPS_LRVOLUME) ? d.Volume >> 16 : left;
  const size_t width = d.Format.wBitsPerSample / 8;
  const size_t channels = std::max<WORD>(d.Format.nChannels, 1);
  if (width == 0) return;
  for (size_t i = 0; i + width <= bytes; i += width) {
    size_t channel = ((offset + i) / width) % channels;
    int64_t gain = channel == 1 ? right : left;
    if (width == 1) {
      int64_t s = static_cast<uint8_t>(data[i]) - 128;
      data[i] = static_cast<char>(s * gain / 0xFFFF + 128);
    } else {
      int16_t s;
      std::memcpy(&s, data + i, 2);
      s = static_cast<int16_t>(s * gain / 0xFFFF);
      std::memcpy(data + i, &s, 2);
    }
  }
}

size_t ChunkBytes(const WAVEFORMATEX& f) {
  size_t align = std::max<WORD>(f.nBlockAlign, 1);
  size_t tenMs = f.nAvgBytesPerSec / 100;
  return std::max(align, tenMs / align * align);
}

// The device thread: moves the current header's bytes through the stream, one chunk at a
// time, and hands headers back as they fill or finish.
void RunDevice(std::shared_ptr<Device> dp) {
  Device& d = *dp;
  std::vector<char> scratch(d.Stream->ChunkBytes(ChunkBytes(d.Format)));
  std::unique_lock lk(d.M);
  uint64_t seen = d.Epoch;
  bool halted = true;
  for (;;) {
    if (d.Quit) break;
    if (seen != d.Epoch) {
      seen = d.Epoch;
      lk.unlock();
      d.Stream->Drop();
      lk.lock();
      halted = true;
      continue;
    }
    WAVEHDR* h = (d.Running && d.FailCode == MMSYSERR_NOERROR && d.Cur < d.Queue.size())
                     ? d.Queue[d.Cur]
                     : nullptr;
    if (!h) {
      // Stopped or paused: the stream is told. Merely starved (nothing queued): the sound
      // card plays out or overruns, as a real device does between buffers.
      if (!d.Running && !halted && !d.Settling) {
        halted = true;
        lk.unlock();
        d.Stream->Halt();
        lk.lock();
        continue;
      }
      d.Cv.wait(lk);
      continue;
    }
    halted = false;
    BeginBuffer(d);
    size_t want = std::min<size_t>(h->dwBufferLength - d.Offset, scratch.size());
    if (want == 0) {
      FinishBuffer(d);
      continue;
    }
    const size_t offset = d.Offset;
    if (d.Dir == WaveDir::Out) {
      std::memcpy(scratch.data(), h->lpData + offset, want);
      if ((d.Info.Support & WAVECAPS_VOLUME) && d.Volume != kUnityVolume)
        ScaleSamples(d, scratch.data(), want, offset);
    }
    const uint64_t epoch = d.Epoch;
    d.InTransfer = true;
    lk.unlock();
    size_t moved = 0;
    tLastDriverMessage.clear();
    MMRESULT rc = d.Stream->Transfer(scratch.data(), want, moved);
    lk.lock();
    d.InTransfer = false;
    if (d.Settling) d.Cv.notify_all();
    if (epoch != d.Epoch) continue;  // a playback reset: what moved belongs to no header now
    if (rc != MMSYSERR_NOERROR) {
      // The device is gone: hand back what is queued so nobody waits for it, and refuse
      // further buffers with the code; the driver's explanation stays with the device,
      // where the calls that fail because of it find it.
      d.FailCode = rc;
      d.FailReason = tLastDriverMessage;
      ReturnAll(d);
      continue;
    }
    if (moved == 0) continue;
    if (d.Dir == WaveDir::In) {
      std::memcpy(h->lpData + offset, scratch.data(), moved);
      h->dwBytesRecorded = static_cast<DWORD>(offset + moved);
    }
    d.Offset = offset + moved;
    d.Position += moved;
    if (d.Offset >= h->dwBufferLength) FinishBuffer(d);
  }
}

// --- call helpers ---

MMRESULT SaneFormat(const WAVEFORMATEX* f) {
  if (!f) return MMSYSERR_INVALPARAM;
  if (f->wFormatTag != WAVE_FORMAT_PCM) return WAVERR_BADFORMAT;
  if (f->nChannels < 1 || f->nChannels > 2) return WAVERR_BADFORMAT;
  if (f->wBitsPerSample != 8 && f->wBitsPerSample != 16) return WAVERR_BADFORMAT;
  if (f->nSamplesPerSec < 1000 || f->nSamplesPerSec > 192000) return WAVERR_BADFORMAT;
  if (f->nBlockAlign != f->nChannels * f->wBitsPerSample / 8) return WAVERR_BADFORMAT;
  if (f->nAvgBytesPerSec != f->nSamplesPerSec * f->nBlockAlign) return WAVERR_BADFORMAT;
  return MMSYSERR_NOERROR;
}

// A device number or the mapper, which stands for the first device.
MMRESULT ResolveId(WaveDriver& drv, WaveDir dir, UINT& id) {
  UINT n = drv.NumDevs(dir);
  if (id == WAVE_MAPPER) {
    if (n == 0) return MMSYSERR_NODRIVER;
    id = 0;
    return MMSYSERR_NOERROR;
  }
  return id < n ? MMSYSERR_NOERROR : MMSYSERR_BADDEVICEID;
}

MMRESULT GetCaps(WaveDir dir, UINT id, WaveDeviceInfo& info) {
  WaveDriver& drv = CurrentDriver();
  MMRESULT rc = ResolveId(drv, dir, id);
  if (rc != MMSYSERR_NOERROR) return rc;
  rc = drv.Admit(dir, WaveCall::Caps);
  if (rc != MMSYSERR_NOERROR) return rc;
  return drv.Caps(dir, id, info);
}

template <typename Caps>
void FillCommon(Caps& c, const WaveDeviceInfo& info) {
  std::memset(&c, 0, sizeof c);
  c.wMid = 0xFFFF;
  c.wPid = 0xFFFF;
  c.vDriverVersion = 0x0100;
  std::strncpy(c.szPname, info.Name.c_str(), MAXPNAMELEN - 1);
  c.dwFormats = info.Formats;
  c.wChannels = info.Channels;
}

MMRESULT OpenOrQuery(WaveDir dir, uint32_t* ph, UINT id, const WAVEFORMATEX* format,
                     DWORD_PTR callback, DWORD flags) {
  if (ph) *ph = 0;
  WaveDriver& drv = CurrentDriver();
  const DWORD kind = flags & kCallbackMask;
  if (kind != CALLBACK_NULL && kind != CALLBACK_WINDOW && kind != CALLBACK_THREAD)
    return MMSYSERR_INVALFLAG;
  const bool query = flags & WAVE_FORMAT_QUERY;
  if (!query && !ph) return MMSYSERR_INVALPARAM;
  MMRESULT rc = ResolveId(drv, dir, id);
  if (rc != MMSYSERR_NOERROR) return rc;
  rc = SaneFormat(format);
  if (rc != MMSYSERR_NOERROR) return rc;
  if (query) {
    rc = drv.Admit(dir, WaveCall::Query);
    return rc != MMSYSERR_NOERROR ? rc : drv.CheckFormat(dir, id, *format);
  }
  if (kind == CALLBACK_WINDOW && !IsWindow(reinterpret_cast<HWND>(callback)))
    return MMSYSERR_INVALPARAM;
  if (kind == CALLBACK_THREAD && callback == 0) return MMSYSERR_INVALPARAM;
  rc = drv.Admit(dir, WaveCall::Open);
  if (rc != MMSYSERR_NOERROR) return rc;

  auto d = std::make_shared<Device>();
  d->Dir = dir;
  d->Driver = &drv;
  d->Format = *format;
  d->Format.cbSize = 0;
  d->CallbackKind = kind;
  d->Callback = callback;
  d->Running = dir == WaveDir::Out;  // playback runs from the open, capture from the start
  if (drv.Caps(dir, id, d->Info) != MMSYSERR_NOERROR) d->Info = WaveDeviceInfo{};
  if (dir == WaveDir::In) d->Info.Support = 0;
  rc = drv.Open(dir, id, *format, d->Stream);
  if (rc != MMSYSERR_NOERROR) return rc;
  if (!d->Stream) return MMSYSERR_ERROR;

  uint32_t h = Register(d);
  {
    // The open notification goes out before the thread can hand back any buffer.
    std::lock_guard lk(d->M);
    ++gThreads;
    d->Thread = std::thread([d] {
      RunDevice(d);
      --gThreads;
    });
    Notify(*d, MsgOpen(dir), 0);
  }
  *ph = h;
  return MMSYSERR_NOERROR;
}

// An open or format query; a failure is kept with the driver's explanation of it, for
// FailureReason.
MMRESULT Open(WaveDir dir, uint32_t* ph, UINT id, const WAVEFORMATEX* format, DWORD_PTR callback,
              DWORD flags) {
  tLastDriverMessage.clear();
  const MMRESULT rc = OpenOrQuery(dir, ph, id, format, callback, flags);
  tOpenFailure.Code = rc;
  if (rc != MMSYSERR_NOERROR) {
    tOpenFailure.Dir = dir;
    tOpenFailure.Reason = tLastDriverMessage;
  }
  return rc;
}

MMRESULT Close(WaveDir dir, uint32_t handle) {
  auto d = Find(handle, dir);
  if (!d) return MMSYSERR_INVALHANDLE;
  MMRESULT rc = d->Driver->Admit(dir, WaveCall::Close);
  if (rc != MMSYSERR_NOERROR) return rc;
  {
    std::lock_guard lk(d->M);
    if (d->Closed) return MMSYSERR_INVALHANDLE;
    if (!d->Queue.empty()) return WAVERR_STILLPLAYING;
    d->Closed = true;
    d->Quit = true;
    gPrepared -= static_cast<int>(d->Prepared.size());
    d->Prepared.clear();
    d->Cv.notify_all();
  }
  Unregister(handle);
  d->Stream->Interrupt();
  if (d->Thread.joinable()) d->Thread.join();
  d->Stream->Finish(!d->WasReset);
  d->Stream.reset();
  Notify(*d, MsgClose(dir), 0);
  return MMSYSERR_NOERROR;
}

// Runs f on the open device under its lock, after the driver has admitted the call; f may
// take the lock as well, to wait on the device thread.
template <typename F>
MMRESULT WithDevice(WaveDir dir, uint32_t handle, WaveCall call, F f) {
  auto d = Find(handle, dir);
  if (!d) return MMSYSERR_INVALHANDLE;
  MMRESULT rc = d->Driver->Admit(dir, call);
  if (rc != MMSYSERR_NOERROR) return rc;
  std::unique_lock lk(d->M);
  if (d->Closed) return MMSYSERR_INVALHANDLE;
  if constexpr (std::is_invocable_v<F, Device&, std::unique_lock<std::mutex>&>)
    return f(*d, lk);
  else
    return f(*d);
}

// A capture that stops or resets keeps every byte the device thread has already taken from
// the sound card: the thread's wait is cut short and its transfer lands in the current
// header before the headers go back. Running is false already, so no new transfer starts.
void SettleCapture(Device& d, std::unique_lock<std::mutex>& lk) {
  if (d.Dir != WaveDir::In || !d.InTransfer) return;
  d.Settling = true;
  d.Stream->Interrupt();
  d.Cv.wait(lk, [&] { return !d.InTransfer; });
  d.Settling = false;
}

MMRESULT Prepare(WaveDir dir, uint32_t handle, WAVEHDR* h, UINT size) {
  if (!Find(handle, dir)) return MMSYSERR_INVALHANDLE;
  if (!h || size < kMinHeaderSize) return MMSYSERR_INVALPARAM;
  return WithDevice(dir, handle, WaveCall::Prepare, [h](Device& d) {
    if (h->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    if (h->dwFlags & WHDR_PREPARED) return MMSYSERR_NOERROR;
    if (!h->lpData && h->dwBufferLength > 0) return MMSYSERR_INVALPARAM;
    h->dwFlags |= WHDR_PREPARED;
    if (std::find(d.Prepared.begin(), d.Prepared.end(), h) == d.Prepared.end()) {
      d.Prepared.push_back(h);
      ++gPrepared;
    }
    return MMSYSERR_NOERROR;
  });
}

MMRESULT Unprepare(WaveDir dir, uint32_t handle, WAVEHDR* h, UINT size) {
  if (!Find(handle, dir)) return MMSYSERR_INVALHANDLE;
  if (!h || size < kMinHeaderSize) return MMSYSERR_INVALPARAM;
  return WithDevice(dir, handle, WaveCall::Unprepare, [h](Device& d) {
    if (h->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    h->dwFlags &= ~WHDR_PREPARED;
    auto it = std::find(d.Prepared.begin(), d.Prepared.end(), h);
    if (it != d.Prepared.end()) {
      *it = d.Prepared.back();
      d.Prepared.pop_back();
      --gPrepared;
    }
    return MMSYSERR_NOERROR;
  });
}

MMRESULT Add(WaveDir dir, uint32_t handle, WAVEHDR* h, UINT size) {
  if (!Find(handle, dir)) return MMSYSERR_INVALHANDLE;
  if (!h || size < kMinHeaderSize) return MMSYSERR_INVALPARAM;
  if (!(h->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
  if (h->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  if (!h->lpData && h->dwBufferLength > 0) return MMSYSERR_INVALPARAM;
  // An empty capture buffer would come back at once, forever.
  if (dir == WaveDir::In && h->dwBufferLength == 0) return MMSYSERR_INVALPARAM;
  return WithDevice(dir, handle, WaveCall::Add, [h](Device& d) {
    if (d.FailCode != MMSYSERR_NOERROR) return d.FailCode;
    if (d.Dir == WaveDir::In) h->dwBytesRecorded = 0;
    h->dwFlags = (h->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    h->lpNext = nullptr;
    d.Queue.push_back(h);
    d.WasReset = false;
    d.Cv.notify_all();
    return MMSYSERR_NOERROR;
  });
}

MMRESULT SetRunning(WaveDir dir, uint32_t handle, WaveCall call, bool run) {
  return WithDevice(dir, handle, call, [run](Device& d, std::unique_lock<std::mutex>& lk) {
    if (d.Running == run) return MMSYSERR_NOERROR;
    d.Running = run;
    if (!run) {
      SettleCapture(d, lk);
      d.Stream->Interrupt();
      if (d.Dir == WaveDir::In) {
        // Capture stops: the buffer being filled comes back with what it holds; the empty
        // ones stay queued for the next start.
        ++d.Epoch;
        if (!d.Queue.empty() && d.Offset > 0) {
          d.Offset = 0;
          WAVEHDR* h = d.Queue.front();
          d.Queue.pop_front();
          Complete(d, h);
        }
      }
    }
    d.Cv.notify_all();
    return MMSYSERR_NOERROR;
  });
}

MMRESULT ResetDevice(WaveDir dir, uint32_t handle) {
  return WithDevice(dir, handle, WaveCall::Reset, [](Device& d, std::unique_lock<std::mutex>& lk) {
    // Capture stops for good until the next start; playback is no longer paused.
    d.Running = d.Dir == WaveDir::Out;
    SettleCapture(d, lk);
    ++d.Epoch;
    d.Stream->Interrupt();
    ReturnAll(d);
    d.Position = 0;
    d.Heard = 0;
    d.WasReset = true;
    d.Cv.notify_all();
    return MMSYSERR_NOERROR;
  });
}

MMRESULT Position(WaveDir dir, uint32_t handle, MMTIME* t, UINT size) {
  if (!Find(handle, dir)) return MMSYSERR_INVALHANDLE;
  if (!t || size < sizeof(MMTIME)) return MMSYSERR_INVALPARAM;
  return WithDevice(dir, handle, WaveCall::Position, [t](Device& d) {
    uint64_t bytes = d.Position;
    if (d.Dir == WaveDir::Out) {
      // What is written but not yet heard is subtracted; the device thread may just have
      // written more than it has counted yet, so the position is held where it last was
      // rather than going back.
      bytes -= std::min(bytes, d.Stream->PendingBytes());
      bytes = std::max(bytes, d.Heard);
      d.Heard = bytes;
    }
    switch (t->wType) {
      case TIME_MS:
        t->u.ms = d.Format.nAvgBytesPerSec
                      ? static_cast<DWORD>(bytes * 1000 / d.Format.nAvgBytesPerSec)
                      : 0;
        break;
      case TIME_SAMPLES:
        t->u.sample = static_cast<DWORD>(bytes / std::max<WORD>(d.Format.nBlockAlign, 1));
        break;
      default:  // a kind we do not keep: answer in bytes, as the caller must then read
        t->wType = TIME_BYTES;
        t->u.cb = static_cast<DWORD>(bytes);
        break;
    }
    return MMSYSERR_NOERROR;
  });
}

// The volume, pitch and rate words of playback; supported is the dwSupport bit they need.
MMRESULT GetWord(uint32_t handle, WaveCall call, DWORD Device::*field, DWORD supported,
                 DWORD* out) {
  if (!Find(handle, WaveDir::Out)) return MMSYSERR_INVALHANDLE;
  if (!out) return MMSYSERR_INVALPARAM;
  return WithDevice(WaveDir::Out, handle, call, [=](Device& d) {
    if (!(d.Info.Support & supported)) return MMSYSERR_NOTSUPPORTED;
    *out = d.*field;
    return MMSYSERR_NOERROR;
  });
}

MMRESULT SetWord(uint32_t handle, WaveCall call, DWORD Device::*field, DWORD supported,
                 DWORD value) {
  return WithDevice(WaveDir::Out, handle, call, [=](Device& d) mutable {
    if (!(d.Info.Support & supported)) return MMSYSERR_NOTSUPPORTED;
    // A device with one volume for both sides keeps the left word for both.
    if (field == &Device::Volume && !(d.Info.Support & WAVECAPS_LRVOLUME))
      value = (value & 0xFFFF) | (value << 16);
    d.*field = value;
    return MMSYSERR_NOERROR;
  });
}

const char* ErrorText(MMRESULT code) {
  switch (code) {
    case MMSYSERR_NOERROR:
      return "No error.";
    case MMSYSERR_ERROR:
      return "The sound device reported an unspecified error.";
    case MMSYSERR_BADDEVICEID:
      return "There is no sound device with this number.";
    case MMSYSERR_NOTENABLED:
      return "The sound driver could not be enabled.";
    case MMSYSERR_ALLOCATED:
      return "The sound device is already in use by another program.";
    case MMSYSERR_INVALHANDLE:
      return "The sound device handle is not valid.";
    case MMSYSERR_NODRIVER:
      return "No sound device is available.";
    case MMSYSERR_NOMEM:
      return "There is not enough memory for the sound device.";
    case MMSYSERR_NOTSUPPORTED:
      return "The sound device does not support this function.";
    case MMSYSERR_BADERRNUM:
      return "The error number is not known.";
    case MMSYSERR_INVALFLAG:
      return "An invalid flag was given to the sound device.";
    case MMSYSERR_INVALPARAM:
      return "An invalid parameter was given to the sound device.";
    case MMSYSERR_HANDLEBUSY:
      return "The sound device handle is busy in another thread.";
    case WAVERR_BADFORMAT:
      return "The sound device cannot record or play this audio format.";
    case WAVERR_STILLPLAYING:
      return "Buffers are still queued at the sound device.";
    case WAVERR_UNPREPARED:
      return "The buffer has not been prepared for the sound device.";
    case WAVERR_SYNC:
      return "The sound device cannot be opened for synchronous use.";
  }
  return nullptr;
}

MMRESULT GetErrorText(MMRESULT code, char* text, UINT size) {
  if (!text || size == 0) return MMSYSERR_INVALPARAM;
  const char* t = ErrorText(code);
  text[0] = 0;
  if (!t) return MMSYSERR_BADERRNUM;
  std::strncpy(text, t, size - 1);
  text[size - 1] = 0;
  return MMSYSERR_NOERROR;
}

}  // namespace

namespace {

std::mutex gChoiceM;
std::string gDeviceNames[2];  // input, output; empty: "default"
std::function<void(const std::string&)> gNoticeSink;

}  // namespace

void SetDeviceName(WaveDir dir, std::string name) {
  std::lock_guard lk(gChoiceM);
  gDeviceNames[dir == WaveDir::In ? 0 : 1] = std::move(name);
}

std::string DeviceName(WaveDir dir) {
  const char* forced = std::getenv("ZELVOR_ALSA_DEVICE");
  if (forced && *forced) return forced;
  std::lock_guard lk(gChoiceM);
  const std::string& name = gDeviceNames[dir == WaveDir::In ? 0 : 1];
  return name.empty() ? "default" : name;
}

void SetNoticeSink(std::function<void(const std::string&)> sink) {
  std::lock_guard lk(gChoiceM);
  gNoticeSink = std::move(sink);
}

void Notice(const std::string& text) {
  std::lock_guard lk(gChoiceM);
  if (gNoticeSink) {
    gNoticeSink(text);
    return;
  }
  // One write, so that the line stays whole beside whatever else the program prints.
  const std::string line = std::string(program_invocation_short_name) + ": " + text + "\n";
  for (size_t at = 0; at < line.size();) {
    const ssize_t n = ::write(STDERR_FILENO, line.data() + at, line.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    at += static_cast<size_t>(n);
  }
}

std::string LastDriverMessage() { return tLastDriverMessage; }
void SetLastDriverMessage(std::string text) { tLastDriverMessage = std::move(text); }

std::string FailureReason(WaveDir dir, uint32_t handle, MMRESULT code) {
  if (code == MMSYSERR_NOERROR) return {};
  if (handle == 0) {
    const TOpenFailure& last = tOpenFailure;
    return last.Dir == dir && last.Code == code ? last.Reason : std::string();
  }
  auto d = Find(handle, dir);
  if (!d) return {};
  std::lock_guard lk(d->M);
  return d->FailCode == code ? d->FailReason : std::string();
}

int OpenDeviceCount() {
  std::lock_guard lk(gTableM);
  return static_cast<int>(gTable.size());
}
int LiveDeviceThreadCount() { return gThreads.load(); }
int PreparedHeaderCount() { return gPrepared.load(); }

}  // namespace winmm

using winmm::WaveCall;
using winmm::WaveDir;

// --- input ---
UINT waveInGetNumDevs() { return winmm::CurrentDriver().NumDevs(WaveDir::In); }

MMRESULT waveInGetDevCapsA(UINT deviceId, WAVEINCAPSA* caps, UINT size) {
  if (!caps || size == 0) return MMSYSERR_INVALPARAM;
  winmm::WaveDeviceInfo info;
  MMRESULT rc = winmm::GetCaps(WaveDir::In, deviceId, info);
  if (rc != MMSYSERR_NOERROR) return rc;
  WAVEINCAPSA c;
  winmm::FillCommon(c, info);
  std::memcpy(caps, &c, std::min<size_t>(size, sizeof c));
  return MMSYSERR_NOERROR;
}

MMRESULT waveInGetErrorTextA(MMRESULT error, char* text, UINT size) {
  return winmm::GetErrorText(error, text, size);
}

MMRESULT waveInOpen(HWAVEIN* phwi, UINT deviceId, const WAVEFORMATEX* format, DWORD_PTR callback,
                    DWORD_PTR instance, DWORD flags) {
  (void)instance;  // only function callbacks receive it, and those are not offered
  return winmm::Open(WaveDir::In, phwi, deviceId, format, callback, flags);
}

MMRESULT waveInClose(HWAVEIN hwi) { return winmm::Close(WaveDir::In, hwi); }
MMRESULT waveInPrepareHeader(HWAVEIN hwi, WAVEHDR* hdr, UINT size) {
  return winmm::Prepare(WaveDir::In, hwi, hdr, size);
}
MMRESULT waveInUnprepareHeader(HWAVEIN hwi, WAVEHDR* hdr, UINT size) {
  return winmm::Unprepare(WaveDir::In, hwi, hdr, size);
}
MMRESULT waveInAddBuffer(HWAVEIN hwi, WAVEHDR* hdr, UINT size) {
  return winmm::Add(WaveDir::In, hwi, hdr, size);
}
MMRESULT waveInStart(HWAVEIN hwi) {
  return winmm::SetRunning(WaveDir::In, hwi, WaveCall::Start, true);
}
MMRESULT waveInStop(HWAVEIN hwi) {
  return winmm::SetRunning(WaveDir::In, hwi, WaveCall::Stop, false);
}
MMRESULT waveInReset(HWAVEIN hwi) { return winmm::ResetDevice(WaveDir::In, hwi); }
MMRESULT waveInGetPosition(HWAVEIN hwi, MMTIME* time, UINT size) {
  return winmm::Position(WaveDir::In, hwi, time, size);
}

// --- output ---
UINT waveOutGetNumDevs() { return winmm::CurrentDriver().NumDevs(WaveDir::Out); }

MMRESULT waveOutGetDevCapsA(UINT deviceId, WAVEOUTCAPSA* caps, UINT size) {
  if (!caps || size == 0) return MMSYSERR_INVALPARAM;
  winmm::WaveDeviceInfo info;
  MMRESULT rc = winmm::GetCaps(WaveDir::Out, deviceId, info);
  if (rc != MMSYSERR_NOERROR) return rc;
  WAVEOUTCAPSA c;
  winmm::FillCommon(c, info);
  c.dwSupport = info.Support;
  std::memcpy(caps, &c, std::min<size_t>(size, sizeof c));
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutGetErrorTextA(MMRESULT error, char* text, UINT size) {
  return winmm::GetErrorText(error, text, size);
}

MMRESULT waveOutOpen(HWAVEOUT* phwo, UINT deviceId, const WAVEFORMATEX* format, DWORD_PTR callback,
                     DWORD_PTR instance, DWORD flags) {
  (void)instance;
  return winmm::Open(WaveDir::Out, phwo, deviceId, format, callback, flags);
}

MMRESULT waveOutClose(HWAVEOUT hwo) { return winmm::Close(WaveDir::Out, hwo); }
MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, WAVEHDR* hdr, UINT size) {
  return winmm::Prepare(WaveDir::Out, hwo, hdr, size);
}
MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, WAVEHDR* hdr, UINT size) {
  return winmm::Unprepare(WaveDir::Out, hwo, hdr, size);
}
MMRESULT waveOutWrite(HWAVEOUT hwo, WAVEHDR* hdr, UINT size) {
  return winmm::Add(WaveDir::Out, hwo, hdr, size);
}
MMRESULT waveOutPause(HWAVEOUT hwo) {
  return winmm::SetRunning(WaveDir::Out, hwo, WaveCall::Stop, false);
}
MMRESULT waveOutRestart(HWAVEOUT hwo) {
  return winmm::SetRunning(WaveDir::Out, hwo, WaveCall::Start, true);
}
MMRESULT waveOutReset(HWAVEOUT hwo) { return winmm::ResetDevice(WaveDir::Out, hwo); }
MMRESULT waveOutGetPosition(HWAVEOUT hwo, MMTIME* time, UINT size) {
  return winmm::Position(WaveDir::Out, hwo, time, size);
}

MMRESULT waveOutGetVolume(HWAVEOUT hwo, DWORD* volume) {
  return winmm::GetWord(hwo, WaveCall::GetVolume, &winmm::Device::Volume, WAVECAPS_VOLUME, volume);
}
MMRESULT waveOutSetVolume(HWAVEOUT hwo, DWORD volume) {
  return winmm::SetWord(hwo, WaveCall::SetVolume, &winmm::Device::Volume, WAVECAPS_VOLUME, volume);
}
MMRESULT waveOutGetPitch(HWAVEOUT hwo, DWORD* pitch) {
  return winmm::GetWord(hwo, WaveCall::GetPitch, &winmm::Device::Pitch, WAVECAPS_PITCH, pitch);
}
MMRESULT waveOutSetPitch(HWAVEOUT hwo, DWORD pitch) {
  return winmm::SetWord(hwo, WaveCall::SetPitch, &winmm::Device::Pitch, WAVECAPS_PITCH, pitch);
}
MMRESULT waveOutGetPlaybackRate(HWAVEOUT hwo, DWORD* rate) {
  return winmm::GetWord(hwo, WaveCall::GetRate, &winmm::Device::Rate, WAVECAPS_PLAYBACKRATE, rate);
}
MMRESULT waveOutSetPlaybackRate(HWAVEOUT hwo, DWORD rate) {
  return winmm::SetWord(hwo, WaveCall::SetRate, &winmm::Device::Rate, WAVECAPS_PLAYBACKRATE, rate);
}
