// The wave-audio calls over a WaveDriver. Everything the callers see is decided here, the
// same for every driver: handles, the queue of buffer headers, loops, stop/pause/reset,
// positions, software volume, the capture backlog and the notifications. Each open device
// has one thread that moves the queued buffers through its driver stream and is the only
// one to call into that stream (but for Interrupt and PendingBytes); the calls only change
// the queue under the device's lock and wake the thread from its wait on the sound card, so
// a reset or stop takes effect at once; a capture's stop or reset first lets the chunk the
// thread has already taken land in its header. Header memory is touched only under that
// lock: the thread copies a chunk out of (playback) or into (capture) the current header,
// never across the wait.
//
// Nothing waits on a device thread without a bound: a stop, reset or close that the thread
// does not answer within StallLimit (it hangs inside a sound system that stopped
// answering) gives the device up: the call goes on, and the thread is left behind with
// its stream, to end by itself if the sound system ever answers again.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
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

namespace {

// The header size of the platform's own record; ours is larger (64-bit pointers), and
// callers may pass either.
constexpr UINT kMinHeaderSize = 32;
constexpr DWORD kCallbackMask = 0x00070000;
constexpr DWORD kUnityVolume = 0xFFFFFFFF;
constexpr DWORD kUnityFixed = 0x00010000;
// What a capture device keeps of the sound it took while no buffer was queued: a window
// whose thread is busy for a while (a slow disk, a long redraw) gets it all once it queues
// buffers again, however few and short its buffers are.
constexpr uint32_t kBacklogSeconds = 3;

// Capture taken while no buffer was queued, oldest first; a fixed ring of whole seconds.
class Backlog {
 public:
  void Reserve(size_t bytes) { FData.assign(bytes, 0); }
  size_t Size() const { return FSize; }
  size_t Room() const { return FData.size() - FSize; }
  // Keeps what fits of n bytes; returns how many did not fit.
  size_t Push(const char* p, size_t n) {
    const size_t kept = std::min(n, Room());
    for (size_t i = 0; i < kept; ++i) FData[(FHead + FSize + i) % FData.size()] = p[i];
    FSize += kept;
    return n - kept;
  }
  size_t Pop(char* p, size_t n) {
    const size_t taken = std::min(n, FSize);
    for (size_t i = 0; i < taken; ++i) p[i] = FData[(FHead + i) % FData.size()];
    FHead = FData.empty() ? 0 : (FHead + taken) % FData.size();
    FSize -= taken;
    return taken;
  }
  void Clear() { FHead = FSize = 0; }

 private:
  std::vector<char> FData;
  size_t FHead = 0;
  size_t FSize = 0;
};

struct Device {
  uint32_t Handle = 0;
  WaveDir Dir = WaveDir::In;
  WaveDriver* Driver = nullptr;
  WAVEFORMATEX Format{};
  WaveDeviceInfo Info;
  DWORD CallbackKind = CALLBACK_NULL;
  DWORD_PTR Callback = 0;
  // The device thread's alone once it runs (see the top of this file); PendingBytes and
  // Interrupt are called by others while it exists.
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
  bool Finished = false;  // the thread has closed the stream and is about to end
  bool WasReset = false;
  MMRESULT FailCode = MMSYSERR_NOERROR;  // the stream failed for good
  std::string FailReason;                // and why, as the driver put it
  uint64_t Epoch = 0;  // bumped when what the thread has in hand no longer belongs anywhere
  uint64_t Position = 0;
  uint64_t Heard = 0;      // the highest playback position reported since the open or reset
  bool KeepsTime = false;  // the stream's, fixed at the open
  Backlog Taken;           // capture waiting for a buffer
  // Since when the backlog has been taking capture without a buffer queued, and how much:
  // a device that brings sound faster than the clock (a file behind a sound library
  // plugin, which keeps no time after all) is not read ahead of it.
  std::chrono::steady_clock::time_point BacklogSince{};
  uint64_t BacklogBytes = 0;
  uint64_t Lost = 0;  // capture bytes the full backlog could not keep, not told yet
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

std::string GaveUpReason(const Device& d) {
  const std::string name = d.Info.Name.empty() ? std::string("the sound device") : d.Info.Name;
  return name + " stopped answering (no sound moved for " + StallLimitText() + ")";
}

// Marks the device as lost because its thread did not answer in time (under its lock):
// every call that needs the device fails from now on with the reason, as after a loss.
void GiveUp(Device& d) {
  if (d.FailCode != MMSYSERR_NOERROR) return;
  d.FailCode = MMSYSERR_ERROR;
  d.FailReason = GaveUpReason(d);
}

// Tells the device thread to close its stream and end (drained: let what was played be
// heard first), then waits for it, at most StallLimit, and not at all for a device already
// lost: its stream may hang in a sound system that stopped answering. A thread that does
// not end in time is left behind with its stream; it ends by itself if the sound system
// ever answers again. True when the thread ended.
bool EndDeviceThread(const std::shared_ptr<Device>& dp, bool drained) {
  Device& d = *dp;
  std::unique_lock lk(d.M);
  d.Quit = true;
  d.Closed = true;
  d.WasReset = d.WasReset || !drained;
  if (d.Stream) d.Stream->Interrupt();
  d.Cv.notify_all();
  const auto limit = d.FailCode != MMSYSERR_NOERROR ? std::chrono::milliseconds(0) : StallLimit();
  const bool ended = d.Cv.wait_for(lk, limit, [&] { return d.Finished; });
  lk.unlock();
  if (!d.Thread.joinable()) return ended;
  if (ended)
    d.Thread.join();
  else
    d.Thread.detach();
  return ended;
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
      d->Closed = true;
    }
    EndDeviceThread(d, false);
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

// Fills the current capture header from the backlog (under the lock); true when it took
// anything.
bool FillFromBacklog(Device& d) {
  if (d.Dir != WaveDir::In || d.Taken.Size() == 0 || d.Queue.empty()) return false;
  WAVEHDR* h = d.Queue.front();
  const size_t n = d.Taken.Pop(h->lpData + d.Offset, h->dwBufferLength - d.Offset);
  d.Offset += n;
  d.Position += n;
  h->dwBytesRecorded = static_cast<DWORD>(d.Offset);
  if (d.Offset >= h->dwBufferLength) FinishBuffer(d);
  return n > 0;
}

// A stop or reset of a capture: the queued buffers get what the backlog holds, the rest
// of it is dropped with the sound card's own ring.
void FlushBacklog(Device& d) {
  while (!d.Queue.empty() && FillFromBacklog(d)) {
  }
  d.Taken.Clear();
  d.BacklogBytes = 0;
}

// Whether the backlog may take another chunk now (under the lock): no more than the
// clock has brought since it began, and a second (what the sound card's ring held then).
bool BacklogInTime(Device& d) {
  const auto now = std::chrono::steady_clock::now();
  if (d.BacklogBytes == 0) d.BacklogSince = now;
  const double due = (std::chrono::duration<double>(now - d.BacklogSince).count() + 1.0) *
                     d.Format.nAvgBytesPerSec;
  return static_cast<double>(d.BacklogBytes) <= due;
}

// The capture that the full backlog could not keep, told once the backlog is being taken
// again (called without the lock; what to tell was taken under it).
void TellLostCapture(const Device& d, uint64_t lost) {
  if (lost == 0) return;
  const double seconds = static_cast<double>(lost) / std::max<DWORD>(d.Format.nAvgBytesPerSec, 1);
  char held[32];
  std::snprintf(held, sizeof held, "%.2f s", seconds);
  Notice({WaveDir::In, seconds,
          (d.Info.Name.empty() ? std::string("the sound input") : d.Info.Name) +
              ": no buffer was queued for a while and " + held +
              " of the recording was lost (overrun); it goes on"});
}

// The device thread: moves the current header's bytes through the stream, one chunk at a
// time, and hands headers back as they fill or finish. A running capture with no header
// queued goes on capturing into the backlog. At the end it closes the stream itself, so
// that a close never waits on the sound system longer than it chooses to.
void RunDevice(std::shared_ptr<Device> dp) {
  Device& d = *dp;
  std::vector<char> scratch(d.Stream->ChunkBytes(ChunkBytes(d.Format)));
  std::unique_lock lk(d.M);
  uint64_t seen = d.Epoch;
  bool halted = true;
  for (;;) {
    if (d.Quit) break;
    const bool ok = d.FailCode == MMSYSERR_NOERROR;
    if (seen != d.Epoch) {
      seen = d.Epoch;
      halted = true;
      if (!ok) continue;  // a lost device has nothing to drop
      lk.unlock();
      d.Stream->Drop();
      lk.lock();
      continue;
    }
    if (ok && FillFromBacklog(d)) {
      if (d.Taken.Size() == 0 && d.Lost > 0) {
        const uint64_t lost = std::exchange(d.Lost, 0);
        lk.unlock();
        TellLostCapture(d, lost);
        lk.lock();
      }
      continue;
    }
    WAVEHDR* h = (d.Running && ok && d.Cur < d.Queue.size()) ? d.Queue[d.Cur] : nullptr;
    const bool toBacklog =
        !h && d.Running && ok && d.Dir == WaveDir::In && d.KeepsTime && BacklogInTime(d);
    if (!h && !toBacklog) {
      // Stopped or paused: the stream is told. Merely starved (nothing queued): the sound
      // card plays out, as a real device does between buffers.
      if (!d.Running && !halted && !d.Settling && ok) {
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
    size_t want = scratch.size();
    size_t offset = 0;
    if (h) {
      BeginBuffer(d);
      want = std::min<size_t>(h->dwBufferLength - d.Offset, scratch.size());
      if (want == 0) {
        FinishBuffer(d);
        continue;
      }
      offset = d.Offset;
      if (d.Dir == WaveDir::Out) {
        std::memcpy(scratch.data(), h->lpData + offset, want);
        if ((d.Info.Support & WAVECAPS_VOLUME) && d.Volume != kUnityVolume)
          ScaleSamples(d, scratch.data(), want, offset);
      }
    }
    const uint64_t epoch = d.Epoch;
    d.InTransfer = true;
    lk.unlock();
    size_t moved = 0;
    WaveResult rc = d.Stream->Transfer(scratch.data(), want, moved);
    lk.lock();
    d.InTransfer = false;
    if (d.Settling) d.Cv.notify_all();
    if (epoch != d.Epoch) continue;  // a playback reset: what moved belongs to no header now
    if (!rc.Ok()) {
      // The device is gone: hand back what is queued so nobody waits for it, and refuse
      // further buffers with the code; the driver's explanation stays with the device,
      // where the calls that fail because of it find it.
      if (d.FailCode == MMSYSERR_NOERROR) {
        d.FailCode = rc.Code;
        d.FailReason = std::move(rc.Reason);
      }
      ReturnAll(d);
      continue;
    }
    if (moved == 0) continue;
    // Taken while no header was queued: into the backlog, which fills the next header
    // queued (also one queued while this transfer ran) before anything newer.
    if (!h) {
      d.Lost += d.Taken.Push(scratch.data(), moved);
      d.BacklogBytes += moved;
      continue;
    }
    d.BacklogBytes = 0;
    if (d.Dir == WaveDir::In) {
      std::memcpy(h->lpData + offset, scratch.data(), moved);
      h->dwBytesRecorded = static_cast<DWORD>(offset + moved);
    }
    d.Offset = offset + moved;
    d.Position += moved;
    if (d.Offset >= h->dwBufferLength) FinishBuffer(d);
  }
  // The close: the stream is the thread's alone now; it may hang in a sound system that
  // stopped answering, and the closing call stops waiting for it after a while.
  std::unique_ptr<WaveStream> stream = std::move(d.Stream);
  const bool drain = !d.WasReset && d.FailCode == MMSYSERR_NOERROR;
  lk.unlock();
  stream->Finish(drain);
  stream.reset();
  lk.lock();
  d.Finished = true;
  d.Cv.notify_all();
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

// A device number or the mapper, which stands for the first device. With no device at
// all the driver says why (no sound card, no sound server).
WaveResult ResolveId(WaveDriver& drv, WaveDir dir, UINT& id) {
  UINT n = drv.NumDevs(dir);
  if (id == WAVE_MAPPER) {
    if (n == 0) {
      WaveDeviceInfo none;
      return {MMSYSERR_NODRIVER, drv.Caps(dir, 0, none).Reason};
    }
    id = 0;
    return {};
  }
  return id < n ? MMSYSERR_NOERROR : MMSYSERR_BADDEVICEID;
}

MMRESULT GetCaps(WaveDir dir, UINT id, WaveDeviceInfo& info) {
  WaveDriver& drv = CurrentDriver();
  MMRESULT rc = ResolveId(drv, dir, id).Code;
  if (rc != MMSYSERR_NOERROR) return rc;
  rc = drv.Admit(dir, WaveCall::Caps).Code;
  if (rc != MMSYSERR_NOERROR) return rc;
  return drv.Caps(dir, id, info).Code;
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

WaveResult OpenOrQuery(WaveDir dir, uint32_t* ph, UINT id, const WAVEFORMATEX* format,
                       DWORD_PTR callback, DWORD flags) {
  if (ph) *ph = 0;
  WaveDriver& drv = CurrentDriver();
  const DWORD kind = flags & kCallbackMask;
  if (kind != CALLBACK_NULL && kind != CALLBACK_WINDOW && kind != CALLBACK_THREAD)
    return MMSYSERR_INVALFLAG;
  const bool query = flags & WAVE_FORMAT_QUERY;
  if (!query && !ph) return MMSYSERR_INVALPARAM;
  WaveResult rc = ResolveId(drv, dir, id);
  if (!rc.Ok()) return rc;
  rc = SaneFormat(format);
  if (!rc.Ok()) return rc;
  if (query) {
    rc = drv.Admit(dir, WaveCall::Query);
    return rc.Ok() ? drv.CheckFormat(dir, id, *format) : rc;
  }
  if (kind == CALLBACK_WINDOW && !IsWindow(reinterpret_cast<HWND>(callback)))
    return MMSYSERR_INVALPARAM;
  if (kind == CALLBACK_THREAD && callback == 0) return MMSYSERR_INVALPARAM;
  rc = drv.Admit(dir, WaveCall::Open);
  if (!rc.Ok()) return rc;

  auto d = std::make_shared<Device>();
  d->Dir = dir;
  d->Driver = &drv;
  d->Format = *format;
  d->Format.cbSize = 0;
  d->CallbackKind = kind;
  d->Callback = callback;
  d->Running = dir == WaveDir::Out;  // playback runs from the open, capture from the start
  if (!drv.Caps(dir, id, d->Info).Ok()) d->Info = WaveDeviceInfo{};
  if (dir == WaveDir::In) {
    d->Info.Support = 0;
    d->Taken.Reserve(static_cast<size_t>(format->nAvgBytesPerSec) * kBacklogSeconds);
  }
  rc = drv.Open(dir, id, *format, d->Stream);
  if (!rc.Ok()) return rc;
  if (!d->Stream) return MMSYSERR_ERROR;
  d->KeepsTime = d->Stream->KeepsTime();

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
  return {};
}

MMRESULT Close(WaveDir dir, uint32_t handle) {
  auto d = Find(handle, dir);
  if (!d) return MMSYSERR_INVALHANDLE;
  MMRESULT rc = d->Driver->Admit(dir, WaveCall::Close).Code;
  if (rc != MMSYSERR_NOERROR) return rc;
  bool drained = false;
  {
    std::lock_guard lk(d->M);
    if (d->Closed) return MMSYSERR_INVALHANDLE;
    if (!d->Queue.empty()) return WAVERR_STILLPLAYING;
    d->Closed = true;
    drained = !d->WasReset;
    gPrepared -= static_cast<int>(d->Prepared.size());
    d->Prepared.clear();
  }
  Unregister(handle);
  const bool ended = EndDeviceThread(d, drained);
  uint64_t lost = 0;
  bool wasLost = false;
  {
    std::lock_guard lk(d->M);
    lost = std::exchange(d->Lost, 0);
    wasLost = d->FailCode != MMSYSERR_NOERROR;
  }
  TellLostCapture(*d, lost);
  // A device that was lost has said so through its failed calls; one that hung only in
  // its close is told here, the close itself goes through.
  if (!ended && !wasLost)
    Notice({dir, 0, GaveUpReason(*d) + " while it closed; it was left behind"});
  Notify(*d, MsgClose(dir), 0);
  return MMSYSERR_NOERROR;
}

// Runs f on the open device under its lock, after the driver has admitted the call; f may
// take the lock as well, to wait on the device thread.
template <typename F>
MMRESULT WithDevice(WaveDir dir, uint32_t handle, WaveCall call, F f) {
  auto d = Find(handle, dir);
  if (!d) return MMSYSERR_INVALHANDLE;
  MMRESULT rc = d->Driver->Admit(dir, call).Code;
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
// header (or the backlog) before the headers go back. Running is false already, so no new
// transfer starts. A thread that does not come back within the stall limit hangs in a
// sound system that stopped answering: the device is given up and the call goes on.
void SettleCapture(Device& d, std::unique_lock<std::mutex>& lk) {
  if (d.Dir != WaveDir::In || !d.InTransfer) return;
  d.Settling = true;
  d.Stream->Interrupt();
  if (!d.Cv.wait_for(lk, StallLimit(), [&] { return !d.InTransfer; })) GiveUp(d);
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
        // Capture stops: the buffers fill from the backlog, the one being filled comes back
        // with what it holds; the empty ones stay queued for the next start.
        FlushBacklog(d);
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
    FlushBacklog(d);
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
      bytes -= std::min(bytes, d.Stream ? d.Stream->PendingBytes() : uint64_t{0});
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

// The choice of driver and devices, made once (see winmm_driver.h).
struct TChoice {
  WaveDriver* Driver = nullptr;
  std::string Names[2];  // input, output; empty: "default"
  std::string Forced;    // overrides both when set
  std::chrono::milliseconds Stall{10000};
};

std::mutex gChoiceM;
TChoice gChoice;
bool gChoiceRead = false;  // the environment has been read (under gChoiceM)

std::mutex gNoticeM;
std::shared_ptr<const std::function<void(const WaveNotice&)>> gNoticeSink;

// Reads the environment into the choice (gChoiceM held); the names the user chose stay.
void ReadEnvironment(TChoice& c) {
  const char* audio = std::getenv("ZELVOR_AUDIO");
  c.Driver = audio && std::strcmp(audio, "virtual") == 0 ? &VirtualDriver() : &SystemDriver();
  const char* forced = std::getenv("ZELVOR_ALSA_DEVICE");
  c.Forced = forced ? forced : "";
  c.Stall = std::chrono::milliseconds(10000);
  if (const char* stall = std::getenv("ZELVOR_STALL_SECONDS")) {
    char* end = nullptr;
    const double seconds = std::strtod(stall, &end);
    if (end != stall && *end == '\0' && seconds > 0 && seconds <= 3600)
      c.Stall = std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
  }
}

// The choice, read from the environment at the first use.
template <typename F>
auto WithChoice(F f) {
  std::lock_guard lk(gChoiceM);
  if (!gChoiceRead) {
    ReadEnvironment(gChoice);
    gChoiceRead = true;
  }
  return f(gChoice);
}

}  // namespace

void ReadSoundEnvironment() {
  {
    std::lock_guard lk(gChoiceM);
    ReadEnvironment(gChoice);
    gChoiceRead = true;
  }
  SystemDriver().Forget();
  VirtualDriver().Forget();
}

void SelectDriver(WaveDriver& driver) {
  WithChoice([&](TChoice& c) { c.Driver = &driver; });
}

WaveDriver& CurrentDriver() {
  return *WithChoice([](TChoice& c) { return c.Driver; });
}

void SetDeviceName(WaveDir dir, std::string name) {
  WithChoice([&](TChoice& c) { c.Names[dir == WaveDir::In ? 0 : 1] = std::move(name); });
  CurrentDriver().Forget();
}

std::string DeviceName(WaveDir dir) {
  return WithChoice([&](TChoice& c) {
    if (!c.Forced.empty()) return c.Forced;
    const std::string& name = c.Names[dir == WaveDir::In ? 0 : 1];
    return name.empty() ? std::string("default") : name;
  });
}

std::string ForcedDeviceName() {
  return WithChoice([](TChoice& c) { return c.Forced; });
}

std::chrono::milliseconds StallLimit() {
  return WithChoice([](TChoice& c) { return c.Stall; });
}

std::string StallLimitText() {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", StallLimit().count() / 1000.0);
  return text;
}

void SetNoticeSink(std::function<void(const WaveNotice&)> sink) {
  auto shared =
      sink ? std::make_shared<const std::function<void(const WaveNotice&)>>(std::move(sink))
           : nullptr;
  std::lock_guard lk(gNoticeM);
  gNoticeSink = std::move(shared);
}

void Notice(const WaveNotice& notice) {
  std::shared_ptr<const std::function<void(const WaveNotice&)>> sink;
  {
    std::lock_guard lk(gNoticeM);
    sink = gNoticeSink;
  }
  // The sink runs without the lock: it may ask the wave calls anything, or set another sink.
  if (sink) {
    (*sink)(notice);
    return;
  }
  // One write, so that the line stays whole beside whatever else the program prints.
  const std::string line = notice.Text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

WaveResult OpenWave(WaveDir dir, uint32_t* handle, UINT id, const WAVEFORMATEX* format,
                    DWORD_PTR callback, DWORD flags) {
  return OpenOrQuery(dir, handle, id, format, callback, flags);
}

std::string FailureReason(WaveDir dir, uint32_t handle, MMRESULT code) {
  if (code == MMSYSERR_NOERROR || handle == 0) return {};
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
  return winmm::OpenWave(WaveDir::In, phwi, deviceId, format, callback, flags).Code;
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
  return winmm::OpenWave(WaveDir::Out, phwo, deviceId, format, callback, flags).Code;
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
