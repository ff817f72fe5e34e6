#include "audio/WaveIO.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Holds the component's re-entrant lock for a scope, also when a handler raises.
class TLockGuard {
 public:
  explicit TLockGuard(TWaveAudioIO& io) : FIO(io) { FIO.Lock(); }
  ~TLockGuard() { FIO.Unlock(); }
  TLockGuard(const TLockGuard&) = delete;
  TLockGuard& operator=(const TLockGuard&) = delete;

 private:
  TWaveAudioIO& FIO;
};

// a × b ÷ c with a 64-bit product, rounded to nearest (halves away from zero); positions
// are unsigned 32-bit and would overflow the signed multiply-divide.
uint32_t ScaleRounded(uint64_t a, uint64_t b, uint64_t c) {
  if (c == 0) return 0;
  return static_cast<uint32_t>((a * b + c / 2) / c);
}

// How long the waits sleep when nothing is queued for the channel; a message that arrives
// meanwhile wakes them earlier.
constexpr DWORD kIdleWaitMs = 5;

}  // namespace

TApplicationExceptionHandler& ApplicationHandleException() {
  static TApplicationExceptionHandler handler = [](TComponent* sender, const std::exception& e) {
    const std::string name = sender != nullptr ? sender->GetName() : std::string();
    std::fprintf(stderr, "%s%s%s\n", name.c_str(), name.empty() ? "" : ": ", e.what());
  };
  return handler;
}

namespace {

// The dwFormats bits of the capability record and the formats they add, in bit order.
constexpr TPCMFormat kFormatBits[12] = {
    Mono8bit11025Hz, Stereo8bit11025Hz, Mono16bit11025Hz, Stereo16bit11025Hz,
    Mono8bit22050Hz, Stereo8bit22050Hz, Mono16bit22050Hz, Stereo16bit22050Hz,
    Mono8bit44100Hz, Stereo8bit44100Hz, Mono16bit44100Hz, Stereo16bit44100Hz,
};

}  // namespace

TPCMFormats PCMFormatsFromCaps(DWORD dwFormats) {
  TPCMFormats formats;
  // Every working device takes the 8000 Hz formats; 48000 Hz has no capability bit.
  formats.Include(Mono8Bit8000Hz);
  formats.Include(Stereo8bit8000Hz);
  formats.Include(Mono16bit8000Hz);
  formats.Include(Stereo16bit8000Hz);
  for (int bit = 0; bit < 12; ++bit)
    if ((dwFormats & (DWORD{1} << bit)) != 0) formats.Include(kFormatBits[bit]);
  return formats;
}

// --- TWaveThread ---

void TWaveThread::Start(TWaveAudioIO* waveAudio) {
  auto* thread = new TWaveThread(waveAudio);
  HANDLE ready = CreateEvent(FALSE_, FALSE_);
  DWORD threadId = 0;
  HANDLE handle = nullptr;
  try {
    handle = CreateThread(
        [thread, ready] {
          // The queue exists before the device can post its opened notification.
          EnsureMessageQueue();
          SetEvent(ready);
          thread->Execute();
          delete thread;
        },
        &threadId);
  } catch (...) {
    handle = nullptr;
  }
  if (handle == nullptr) {
    delete thread;
    CloseHandle(ready);
    throw EWaveAudioError("Cannot start the notification thread");
  }
  WaitForSingleObject(ready, INFINITE);
  CloseHandle(ready);
  thread->FHandle = handle;  // read by the thread only after WM_QUIT, posted later
  {
    std::lock_guard<std::mutex> guard(waveAudio->FWorkersLock);
    waveAudio->FWorkers.push_back({handle, threadId});
  }
  waveAudio->FThreadHandle = handle;
  waveAudio->FChannelThreadId = threadId;
  waveAudio->FCallbackHandle = threadId;
}

void TWaveThread::Execute() {
  MSG msg;
  for (;;) {
    const BOOL got = GetMessage(&msg, nullptr, 0, 0);
    if (got == 0) break;      // WM_QUIT
    if (got == -1) continue;  // a failed retrieval keeps the channel running
    WaveAudio->ProcessWaveMessage(msg.message, msg.lParam);
  }
  // Only this cycle's handle is cleared: an Async handler may already have opened the next
  // cycle with a worker of its own.
  HANDLE expected = FHandle;
  WaveAudio->FThreadHandle.compare_exchange_strong(expected, nullptr);
}

// --- construction and destruction ---

TWaveAudioIO::TWaveAudioIO(TComponent* owner) : TComponent(owner) {
  // Room for the usual queue, so the pool does not allocate while buffers circulate.
  FBuffers.reserve(16);
}

TWaveAudioIO::~TWaveAudioIO() {
  Destroying();
  // The descendants' destructors closed the device through ShutDown; what remains here is
  // bookkeeping that must not outlive the component.
  if (FCallbackHandle != 0) DestroyCallback();
  ReapWorkers(true);
  ReleaseAllBuffers();
}

void TWaveAudioIO::ShutDown() noexcept {
  Destroying();
  try {
    SetActive(false);
  } catch (...) {
    // A device error while closing down has nobody left to tell.
  }
  try {
    WaitForClosing();
  } catch (...) {
  }
  if (GetActive()) {
    // The device would not close: stop it ignoring results, so that neither the driver nor
    // the channel keeps pointers into a destroyed component.
    try {
      AbandonDevice();
    } catch (...) {
    }
    DestroyCallback();
  }
  ReapWorkers(true);
  ReleaseAllBuffers();
  FClosing = false;
  FOpening = false;
}

// --- properties ---

void TWaveAudioIO::SetBufferLength(uint16_t value) { FBufferLength = value < 10 ? 10 : value; }

void TWaveAudioIO::SetAsync(bool value) {
  if (!GetActive()) FAsync = value;
}

std::string TWaveAudioIO::DeviceName() {
  std::string name;
  GetDeviceName(name);
  return name;
}

// --- errors ---

bool TWaveAudioIO::Success(MMRESULT ErrorCode) {
  FLastError = ErrorCode;
  if (ErrorCode == MMSYSERR_NOERROR) return true;
  DoError();
  return false;
}

std::string TWaveAudioIO::LastErrorText() {
  std::string text;
  GetErrorText(FLastError, text);
  return text;
}

// --- the buffer pool ---

uint32_t TWaveAudioIO::CalcBufferSize() const {
  return MillisecondsToBufferBytes(&FWaveFormat, FBufferLength);
}

bool TWaveAudioIO::ReallocateBuffer(PWAVEHDR& Header, uint32_t BufferSize, void* Buffer) {
  if (BufferSize == 0) {
    if (Header != nullptr) {
      auto it = std::find(FBuffers.begin(), FBuffers.end(), Header);
      if (it != FBuffers.end()) FBuffers.erase(it);
      if (Header->dwUser == OwnerMark()) std::free(Header->lpData);
      std::free(Header);
      Header = nullptr;
    }
    return true;
  }
  const bool ownData = Buffer == nullptr;
  if (Header == nullptr) {
    Header = static_cast<PWAVEHDR>(std::calloc(1, sizeof(WAVEHDR)));
    bool listed = false;
    if (Header != nullptr) {
      try {
        FBuffers.push_back(Header);
        listed = true;
      } catch (const std::bad_alloc&) {
        std::free(Header);
        Header = nullptr;
      }
    }
    if (!listed) {
      Header = nullptr;
      Success(MMSYSERR_NOMEM);
      return false;
    }
  }
  // A block that is not the component's is only forgotten, never freed.
  if (Header->dwUser != OwnerMark()) {
    Header->lpData = nullptr;
    Header->dwBufferLength = 0;
  }
  char* block = Header->lpData;
  if (ownData) {
    if (Header->dwBufferLength != BufferSize || block == nullptr) {
      char* resized = static_cast<char*>(std::realloc(block, BufferSize));
      if (resized == nullptr) {
        ReallocateBuffer(Header, 0, nullptr);
        Success(MMSYSERR_NOMEM);
        return false;
      }
      block = resized;
    }
  } else {
    if (Header->dwUser == OwnerMark()) std::free(block);
    block = static_cast<char*>(Buffer);
  }
  // Zeroing clears the flags too: the header is prepared again before its next use.
  std::memset(Header, 0, sizeof(WAVEHDR));
  if (ownData) Header->dwUser = OwnerMark();
  Header->lpData = block;
  Header->dwBufferLength = BufferSize;
  return true;
}

void TWaveAudioIO::ReleaseAllBuffers() {
  while (!FBuffers.empty()) {
    PWAVEHDR header = FBuffers.back();
    ReallocateBuffer(header, 0, nullptr);
  }
}

// --- activity ---

bool TWaveAudioIO::GetActive() { return FCallbackHandle != 0; }

void TWaveAudioIO::SetActive(bool Value) {
  if (Value == GetActive()) return;
  if (Value)
    OpenDevice();
  else
    CloseDevice();
}

void TWaveAudioIO::SetPaused(bool Value) {
  if (Value == GetPaused()) return;
  if (Value)
    PauseDevice();
  else
    ResumeDevice();
}

bool TWaveAudioIO::IsPCMFormatSupported(TPCMFormat PCMFormat) {
  const unsigned index = static_cast<unsigned>(PCMFormat) & 0x7F;
  if (index == 0 || index > 20) return false;  // no record to ask the device about
  WAVEFORMATEX format{};
  FillPCMWaveFormatByIndex(&format, PCMFormat);
  return IsFormatSupported(&format);
}

uint32_t TWaveAudioIO::MMTimeToMs(const MMTIME& Time) const {
  switch (Time.wType) {
    case TIME_MS:
      return Time.u.ms;
    case TIME_SAMPLES:
      return ScaleRounded(Time.u.sample, 1000, FWaveFormat.nSamplesPerSec);
    case TIME_BYTES:
      return ScaleRounded(Time.u.cb, 1000, FWaveFormat.nAvgBytesPerSec);
    case TIME_SMPTE:
      return (Time.u.smpte.hour * 3600u + Time.u.smpte.min * 60u + Time.u.smpte.sec) * 1000u;
    default:
      return 0;
  }
}

// --- notification handlers of the base ---

void TWaveAudioIO::WimOpen() { DeviceOpened(); }
void TWaveAudioIO::WimClose() { DeviceClosed(); }
void TWaveAudioIO::WimData(PWAVEHDR) {}
void TWaveAudioIO::WomOpen() { DeviceOpened(); }
void TWaveAudioIO::WomClose() { DeviceClosed(); }
void TWaveAudioIO::WomDone(PWAVEHDR) {}

void TWaveAudioIO::DeviceOpened() {
  FOpening = false;
  PrimeBuffers();
  DoActivate();
}

void TWaveAudioIO::DeviceClosed() {
  DoLevel(nullptr, 0);
  FClosing = false;
  DestroyCallback();
  ReleaseAllBuffers();
  DoDeactivate();
}

// --- event dispatch ---

void TWaveAudioIO::DoActivate() {
  if (OnActivate) OnActivate(this);
}

void TWaveAudioIO::DoDeactivate() {
  if (OnDeactivate && !IsDestroying()) OnDeactivate(this);
}

void TWaveAudioIO::DoPause() {
  if (OnPause) OnPause(this);
}

void TWaveAudioIO::DoResume() {
  if (OnResume) OnResume(this);
}

void TWaveAudioIO::DoError() {
  if (OnError) {
    OnError(this);
    return;
  }
  throw EWaveAudioSysError(LastErrorText());
}

void TWaveAudioIO::DoLevel(const void* Buffer, uint32_t Size) {
  if (!OnLevel || IsDestroying() || FWaveFormat.wFormatTag != WAVE_FORMAT_PCM) return;
  const int level = PeakLevelPercent(Buffer, Size, FWaveFormat.wBitsPerSample);
  OnLevel(this, level);
}

void TWaveAudioIO::DoBufferData(void* Buffer, uint32_t Size) {
  if (OnBufferData && !IsDestroying()) OnBufferData(this, Buffer, Size);
}

// --- the open / close / pause / resume protocol ---

bool TWaveAudioIO::OpenDeviceWith(const std::function<MMRESULT(const WAVEFORMATEX*)>& Query,
                                  const std::function<MMRESULT(const WAVEFORMATEX*)>& Open) {
  if (FOpening) return false;  // an open is already running (re-entered from a handler)
  if (FClosing) WaitForClosing();
  if (GetActive()) throw EWaveAudioInvalidOperation("Device is aleardy open");
  ReapWorkers(true);  // the previous Async cycle's worker has been told to quit

  TLockGuard guard(*this);
  if (GetActive()) throw EWaveAudioInvalidOperation("Device is aleardy open");
  FOpening = true;
  FOpeningThreadId = GetCurrentThreadId();
  FCloseIssued = false;
  PWaveFormatEx format = nullptr;
  bool freeIt = true;
  bool result = false;
  auto finish = [&] {
    if (freeIt) std::free(format);
    FOpening = false;
    FOpeningThreadId = 0;
  };
  try {
    GetWaveFormat(format, freeIt);
    if (format == nullptr)
      throw EWaveAudioInvalidOperation("No audio format to open the device with");
    if (Success(Query(format))) {
      std::memcpy(&FWaveFormat, format, 16);
      FWaveFormat.cbSize = 0;
      CreateCallback();
      try {
        result = Success(Open(format));
      } catch (...) {
        result = false;
      }
      if (!result) DestroyCallback();
    }
  } catch (...) {
    finish();
    throw;
  }
  finish();
  return result;
}

bool TWaveAudioIO::CloseDeviceWith(const std::function<MMRESULT()>& Reset,
                                   const std::function<MMRESULT()>& Close, bool SwallowErrors) {
  if (FClosing) return false;
  if (FOpening) {
    // Called from a handler inside OpenDevice on the same thread: the open cannot finish
    // while we wait for it, so the close is refused.
    if (FOpeningThreadId == GetCurrentThreadId()) return false;
    WaitForOpening();
  }
  if (!GetActive()) throw EWaveAudioInvalidOperation("Device is aleardy close");

  TLockGuard guard(*this);
  // In Async mode the worker may have ended the cycle (the output's data ran dry) between
  // the look above and taking the lock: look again, now that nothing can change.
  if (FClosing) return false;
  if (!GetActive()) throw EWaveAudioInvalidOperation("Device is aleardy close");
  FClosing = true;
  bool result = false;
  try {
    if (!Success(Reset())) {
      FClosing = false;
    } else if (ActiveBufferCount() == 0) {
      const MMRESULT closed = Close();
      if (closed == MMSYSERR_NOERROR)
        FCloseIssued = true;
      else
        FClosing = false;  // refused: the component stays active and can be stopped again
      result = Success(closed);
    } else {
      result = true;  // the last returning buffer closes the device
    }
  } catch (...) {
    FClosing = false;
    if (!SwallowErrors) throw;
    result = false;
  }
  return result;
}

void TWaveAudioIO::CloseWhenDrained(const std::function<MMRESULT()>& Close) {
  // The close is issued once per cycle: a notification that the component posted to itself
  // before the close may still arrive and must not close the device a second time.
  if (!FClosing || ActiveBufferCount() != 0 || FCloseIssued) return;
  const MMRESULT closed = Close();
  if (closed == MMSYSERR_NOERROR)
    FCloseIssued = true;
  else
    FClosing = false;
  Success(closed);
}

bool TWaveAudioIO::PauseDeviceWith(std::atomic<bool>& PausedFlag,
                                   const std::function<MMRESULT()>& Stop) {
  if (PausedFlag) return false;
  TLockGuard guard(*this);
  if (PausedFlag) return false;
  if (HasDeviceHandle() && !Success(Stop())) return false;
  PausedFlag = true;
  DoPause();
  return true;
}

bool TWaveAudioIO::ResumeDeviceWith(std::atomic<bool>& PausedFlag,
                                    const std::function<MMRESULT()>& Start) {
  if (!PausedFlag) return false;
  TLockGuard guard(*this);
  if (!PausedFlag) return false;
  if (HasDeviceHandle() && !Success(Start())) return false;
  PausedFlag = false;
  DoResume();
  return true;
}

// --- the notification channel ---

bool TWaveAudioIO::OnChannelThread() const {
  return FCallbackHandle != 0 && FChannelThreadId == GetCurrentThreadId();
}

void TWaveAudioIO::CreateCallback() {
  if (FAsync) {
    FCallbackType = CALLBACK_THREAD;
    TWaveThread::Start(this);
  } else {
    FCallbackType = CALLBACK_WINDOW;
    HWND wnd = AllocateHWnd([this](TMessage& message) { CallbackWndProc(message); });
    FChannelThreadId = GetCurrentThreadId();
    FCallbackHandle = reinterpret_cast<DWORD_PTR>(wnd);
  }
}

void TWaveAudioIO::DestroyCallback() {
  const DWORD_PTR callback = FCallbackHandle;
  if (callback == 0) return;
  if (FCallbackType == CALLBACK_THREAD) {
    // The worker created its queue before the channel was handed out, so this post only
    // waits while the queue is briefly busy.
    while (!PostThreadMessage(static_cast<DWORD>(callback), WM_QUIT, 0, 0)) {
      if (!HasMessageQueue(static_cast<DWORD>(callback))) break;  // the worker is gone
      Sleep(0);
    }
  } else {
    DeallocateHWnd(reinterpret_cast<HWND>(callback));
  }
  FCallbackHandle = 0;
}

void TWaveAudioIO::PostWaveMessage(UINT Msg, LPARAM LParam) {
  const DWORD_PTR callback = FCallbackHandle;
  if (callback == 0) return;
  if (FCallbackType == CALLBACK_THREAD) {
    while (!PostThreadMessage(static_cast<DWORD>(callback), Msg, 0, LParam)) {
      if (!HasMessageQueue(static_cast<DWORD>(callback))) break;
      Sleep(0);
    }
  } else {
    PostMessage(reinterpret_cast<HWND>(callback), Msg, 0, LParam);
  }
}

bool TWaveAudioIO::ProcessWaveMessage(UINT Msg, LPARAM LParam) {
  switch (Msg) {
    case MM_WOM_OPEN:
    case MM_WOM_CLOSE:
    case MM_WOM_DONE:
    case MM_WIM_OPEN:
    case MM_WIM_CLOSE:
    case MM_WIM_DATA:
      break;
    default:
      return false;
  }
  auto* header = reinterpret_cast<PWAVEHDR>(LParam);
  try {
    TLockGuard guard(*this);
    struct TDepth {
      int& depth;
      explicit TDepth(int& d) : depth(d) { ++depth; }
      ~TDepth() { --depth; }
    } depth(FDispatchDepth);
    switch (Msg) {
      case MM_WOM_OPEN:
        WomOpen();
        break;
      case MM_WOM_CLOSE:
        WomClose();
        break;
      case MM_WOM_DONE:
        WomDone(header);
        break;
      case MM_WIM_OPEN:
        WimOpen();
        break;
      case MM_WIM_CLOSE:
        WimClose();
        break;
      case MM_WIM_DATA:
        WimData(header);
        break;
    }
  } catch (const std::exception& e) {
    if (auto& handler = ApplicationHandleException()) handler(this, e);
  } catch (...) {
    if (auto& handler = ApplicationHandleException()) handler(this, Exception("Unknown error"));
  }
  return true;
}

void TWaveAudioIO::CallbackWndProc(TMessage& Message) {
  if (!ProcessWaveMessage(Message.Msg, Message.LParam))
    Message.Result = DefWindowProc(reinterpret_cast<HWND>(FCallbackHandle.load()), Message.Msg,
                                   Message.WParam, Message.LParam);
}

void TWaveAudioIO::WaitForOpening() {
  if (FCallbackHandle == 0) return;
  if (FCallbackType == CALLBACK_THREAD) {
    while (FOpening) {
      WaitWithMessagePump(GetCurrentThread(), 0);
      if (FOpening) Sleep(1);
    }
    return;
  }
  HWND wnd = reinterpret_cast<HWND>(FCallbackHandle.load());
  MSG msg;
  while (FOpening && FCallbackHandle != 0) {
    if (PeekMessage(&msg, wnd, 0, 0, PM_REMOVE)) {
      DispatchMessage(&msg);
      if (msg.message == WM_QUIT) break;
    } else {
      MsgWaitForMultipleObjects(0, nullptr, FALSE_, kIdleWaitMs,
                                QS_POSTMESSAGE | QS_ALLPOSTMESSAGE);
    }
  }
}

void TWaveAudioIO::WaitForClosing() {
  if (FCallbackHandle == 0) return;
  // From inside one of this component's own handlers the close cannot complete: the
  // handler in progress still holds a buffer (window mode) or is the worker itself.
  if (OnChannelThread() && (FCallbackType == CALLBACK_THREAD || FDispatchDepth > 0)) return;
  if (FCallbackType == CALLBACK_THREAD) {
    HANDLE worker = nullptr;
    {
      std::lock_guard<std::mutex> guard(FWorkersLock);
      for (const auto& w : FWorkers)
        if (w.ThreadId == static_cast<DWORD>(FCallbackHandle.load())) worker = w.Handle;
    }
    if (worker == nullptr) return;
    while (FCallbackHandle != 0 && FClosing) {
      if (WaitWithMessagePump(worker, kIdleWaitMs * 4) == WAIT_OBJECT_0) break;
    }
    // Closed: let the worker leave its loop before anyone reuses the component.
    if (FCallbackHandle == 0) WaitForSingleObject(worker, INFINITE);
    return;
  }
  // Window mode. Only a pending close is waited for: a close the device refused leaves the
  // component active and would otherwise be waited for forever.
  HWND wnd = reinterpret_cast<HWND>(FCallbackHandle.load());
  MSG msg;
  while (FCallbackHandle != 0 && FClosing) {
    if (PeekMessage(&msg, wnd, 0, 0, PM_REMOVE)) {
      DispatchMessage(&msg);
      if (msg.message == WM_QUIT) break;
    } else {
      MsgWaitForMultipleObjects(0, nullptr, FALSE_, kIdleWaitMs,
                                QS_POSTMESSAGE | QS_ALLPOSTMESSAGE);
    }
  }
}

void TWaveAudioIO::ReapWorkers(bool Wait) {
  const DWORD self = GetCurrentThreadId();
  std::vector<TWorker> done;
  {
    std::lock_guard<std::mutex> guard(FWorkersLock);
    for (auto it = FWorkers.begin(); it != FWorkers.end();) {
      // A worker cannot join itself, and the running cycle's worker is not done; both are
      // reaped by a later open or the destructor.
      const bool joinable = it->ThreadId != self && it->ThreadId != FCallbackHandle;
      if (joinable && (Wait || WaitForSingleObject(it->Handle, 0) == WAIT_OBJECT_0)) {
        done.push_back(*it);
        it = FWorkers.erase(it);
      } else {
        ++it;
      }
    }
  }
  // Joined outside the list's lock: a worker that is finishing never needs it.
  for (const auto& w : done) {
    WaitForSingleObject(w.Handle, INFINITE);
    CloseHandle(w.Handle);
  }
}
