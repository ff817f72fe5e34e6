#include "audio/WaveIO.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// a × b ÷ c with a 64-bit product, rounded to nearest (halves away from zero); positions
// are unsigned 32-bit and would overflow the signed multiply-divide.
uint32_t ScaleRounded(uint64_t a, uint64_t b, uint64_t c) {
  if (c == 0) return 0;
  return static_cast<uint32_t>((a * b + c / 2) / c);
}

}  // namespace

TWaveLock::TWaveLock(TWaveAudioIO& io) : FIO(io) { FIO.Lock(); }
TWaveLock::~TWaveLock() { FIO.Unlock(); }

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

TBufferMemory& BufferMemory() {
  static TBufferMemory memory{std::calloc, std::realloc};
  return memory;
}

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

TWaveAudioIO::TWaveAudioIO(TComponent* owner, const TWaveCalls& calls)
    : TComponent(owner), FCalls(calls) {
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
    // The device would not close: it is torn down without its closed notification, so that
    // neither the driver nor the channel keeps pointers into a destroyed component.
    TWaveLock guard(*this);
    AbandonDevice();
    DestroyCallback();
    EnterState(TCycleState::Idle);
  }
  ReapWorkers(true);
  ReleaseAllBuffers();
}

void TWaveAudioIO::AbandonDevice() noexcept {
  if (FDeviceHandle == 0) return;
  FCalls.Reset(FDeviceHandle);
  for (int i = 0; i < 2; ++i)
    if (FCalls.Close(FDeviceHandle) == MMSYSERR_NOERROR) break;
  FDeviceHandle = 0;
}

// --- properties ---

void TWaveAudioIO::SetBufferLength(uint16_t value) { FBufferLength = value < 10 ? 10 : value; }

void TWaveAudioIO::SetAsync(bool value) {
  // The kind of channel is fixed for a whole cycle, from the open on.
  if (FState == TCycleState::Idle) FAsync = value;
}

std::string TWaveAudioIO::DeviceName() {
  std::string name;
  GetDeviceName(name);
  return name;
}

// --- device queries ---

UINT TWaveAudioIO::GetNumDevs() { return FCalls.NumDevs(); }

void TWaveAudioIO::GetDeviceName(std::string& Name) {
  DWORD formats = 0;
  if (FCalls.Caps(FDeviceID, Name, formats) != MMSYSERR_NOERROR) Name.clear();
}

TPCMFormats TWaveAudioIO::GetDeviceFormats() {
  std::string name;
  DWORD formats = 0;
  if (FCalls.Caps(FDeviceID, name, formats) != MMSYSERR_NOERROR) return {};
  return PCMFormatsFromCaps(formats);
}

MMRESULT TWaveAudioIO::ValidateDeviceID(DWORD DeviceID) {
  std::string name;
  DWORD formats = 0;
  return FCalls.Caps(DeviceID, name, formats);
}

uint32_t TWaveAudioIO::GetPosition() {
  // The format and the handle belong to one cycle: an Async worker may begin the next.
  TWaveLock guard(*this);
  MMTIME time{};
  time.wType = TIME_MS;
  if (FCalls.Position(FDeviceHandle, &time, sizeof(time)) != MMSYSERR_NOERROR) return 0;
  return MMTimeToMs(time);
}

void TWaveAudioIO::GetErrorText(MMRESULT ErrorCode, std::string& Text) {
  char text[256] = {};
  if (FCalls.ErrorText(ErrorCode, text, sizeof(text)) == MMSYSERR_NOERROR)
    Text = text;
  else
    Text.clear();
}

bool TWaveAudioIO::IsFormatSupported(const WAVEFORMATEX* pWaveFormat) {
  return FCalls.Open(nullptr, FDeviceID, pWaveFormat, 0, WAVE_FORMAT_QUERY).Ok();
}

bool TWaveAudioIO::HasDeviceHandle() { return FDeviceHandle != 0; }

bool TWaveAudioIO::GetPaused() { return FPaused; }

// --- errors ---

bool TWaveAudioIO::Success(MMRESULT ErrorCode) {
  if (ErrorCode == MMSYSERR_NOERROR) return Report(ErrorCode, std::string());
  return Report(ErrorCode, FCalls.FailureReason(FDeviceHandle, ErrorCode));
}

bool TWaveAudioIO::Report(winmm::WaveResult Result) {
  return Report(Result.Code, std::move(Result.Reason));
}

bool TWaveAudioIO::Report(MMRESULT ErrorCode, std::string Reason) {
  FLastError = ErrorCode;
  {
    std::lock_guard<std::mutex> guard(FErrorLock);
    if (Reason.empty())
      FLastErrorReason.clear();  // keeps its room: a steady stream of successes allocates nothing
    else
      FLastErrorReason = std::move(Reason);
  }
  if (ErrorCode == MMSYSERR_NOERROR) return true;
  DoError();
  return false;
}

std::string TWaveAudioIO::GetLastErrorReason() const {
  std::lock_guard<std::mutex> guard(FErrorLock);
  return FLastErrorReason;
}

std::string TWaveAudioIO::LastErrorText() {
  const MMRESULT code = FLastError;
  std::string text;
  GetErrorText(code, text);
  const std::string reason = GetLastErrorReason();
  if (reason.empty()) {
    if (text.empty() && code != MMSYSERR_NOERROR)
      text = "The sound device reported error " + std::to_string(code);
    return text;
  }
  if (text.empty()) return reason;
  if (text.back() == '.') text.pop_back();  // the sentence goes on with its reason
  return text + " (" + reason + ")";
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
    Header = static_cast<PWAVEHDR>(BufferMemory().Calloc(1, sizeof(WAVEHDR)));
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
      char* resized = static_cast<char*>(BufferMemory().Realloc(block, BufferSize));
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

void TWaveAudioIO::DiscardBuffer(PWAVEHDR& Header) {
  if (Header == nullptr) return;
  if ((Header->dwFlags & WHDR_PREPARED) != 0)
    FCalls.Unprepare(FDeviceHandle, Header, sizeof(WAVEHDR));
  ReallocateBuffer(Header, 0, nullptr);
}

bool TWaveAudioIO::SubmitBuffer(PWAVEHDR Header, bool ShowSamples) {
  const bool wasPrepared = (Header->dwFlags & WHDR_PREPARED) != 0;
  if (!wasPrepared && !Success(FCalls.Prepare(FDeviceHandle, Header, sizeof(WAVEHDR))))
    return false;
  auto undo = [&] {
    if (!wasPrepared) FCalls.Unprepare(FDeviceHandle, Header, sizeof(WAVEHDR));
  };
  try {
    if (ShowSamples) {
      DoBufferData(Header->lpData, Header->dwBufferLength);
      DoLevel(Header->lpData, Header->dwBufferLength);
    }
    if (Success(FCalls.Queue(FDeviceHandle, Header, sizeof(WAVEHDR)))) return true;
  } catch (...) {
    undo();
    throw;
  }
  undo();
  return false;
}

bool TWaveAudioIO::AddCallersBuffer(void* Buffer, uint32_t BufferSize, bool FreeIt,
                                    const std::function<bool(PWAVEHDR)>& Submit) {
  PWAVEHDR header = nullptr;
  if (!ReallocateBuffer(header, BufferSize, Buffer)) return false;
  if (FreeIt) header->dwUser = OwnerMark();
  try {
    if (Submit(header)) return true;
  } catch (...) {
    // The caller learns of the failure from the result; the report went through Success.
  }
  ReallocateBuffer(header, 0, nullptr);
  return false;
}

// --- activity ---

bool TWaveAudioIO::GetActive() {
  const TCycleState state = FState;
  return state == TCycleState::Open || state == TCycleState::Closing;
}

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
  // The open left Opening when OpenDevice returned, before this notification could run.
  PrimeBuffers();
  DoActivate();
}

void TWaveAudioIO::DeviceClosed() {
  FDeviceHandle = 0;
  DoLevel(nullptr, 0);
  DestroyCallback();
  EnterState(TCycleState::Idle);  // Active is False from here on
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

void TWaveAudioIO::EnterState(TCycleState State) {
  FState = State;
  std::lock_guard<std::mutex> guard(FWaitersLock);
  for (HANDLE waiter : FWaiters) SetEvent(waiter);
}

// "Device is aleardy open" and "Device is aleardy close" are the component's stored texts,
// spelled as they always were: callers and tests compare them as they are.
bool TWaveAudioIO::OpenDevice() {
  if (GetOpening()) return false;  // an open is already running (re-entered from a handler)
  if (GetClosing()) WaitForClosing();
  if (GetActive()) throw EWaveAudioInvalidOperation("Device is aleardy open");
  ReapWorkers(true);  // the previous Async cycle's worker has been told to quit

  TWaveLock guard(*this);
  // Another thread may have opened or be opening meanwhile: look again, under the lock.
  if (GetOpening()) return false;
  if (GetActive()) throw EWaveAudioInvalidOperation("Device is aleardy open");
  EnterState(TCycleState::Opening);
  PWaveFormatEx format = nullptr;
  bool freeIt = true;
  bool result = false;
  auto finish = [&] {
    if (freeIt) std::free(format);
    EnterState(result ? TCycleState::Open : TCycleState::Idle);
  };
  try {
    FNoFormatReason.clear();
    GetWaveFormat(format, freeIt);
    if (format == nullptr) {
      // Nothing to open the device with: a failure like a format the device refuses, with
      // the format source's reason (a player names what is wrong with the file).
      Report(WAVERR_BADFORMAT,
             FNoFormatReason.empty() ? "no audio format to open the device with" : FNoFormatReason);
    } else if (Report(FCalls.Open(nullptr, FDeviceID, format, 0, WAVE_FORMAT_QUERY))) {
      std::memcpy(&FWaveFormat, format, 16);
      FWaveFormat.cbSize = 0;
      CreateCallback();
      try {
        uint32_t handle = 0;
        winmm::WaveResult opened =
            FCalls.Open(&handle, FDeviceID, format, FCallbackHandle, FCallbackType);
        FDeviceHandle = opened.Ok() ? handle : 0;
        result = Report(std::move(opened));
      } catch (...) {
        result = false;  // an error of the device open (DoError's too) does not propagate
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

bool TWaveAudioIO::CloseDevice() {
  if (GetClosing()) return false;
  if (GetOpening()) {
    // Only the opening thread holds the lock while an open runs: called from a handler
    // inside that open, the close would wait for itself, so it is refused.
    if (FLock.HeldByCurrentThread()) return false;
    WaitForOpening();
  }
  if (!GetActive()) throw EWaveAudioInvalidOperation("Device is aleardy close");

  TWaveLock guard(*this);
  // In Async mode the worker may have ended the cycle (the output's data ran dry) between
  // the look above and taking the lock: look again, now that nothing can change.
  if (GetClosing()) return false;
  if (!GetActive()) throw EWaveAudioInvalidOperation("Device is aleardy close");
  EnterState(TCycleState::Closing);
  try {
    if (!Success(FCalls.Reset(FDeviceHandle))) {
      EnterState(TCycleState::Open);
      return false;
    }
    // With buffers out, the last one to come back closes the device.
    return ActiveBufferCount() != 0 || CloseWhenDrained();
  } catch (...) {
    if (GetClosing() && HasDeviceHandle()) EnterState(TCycleState::Open);
    if (!FCalls.CloseSwallowsErrors) throw;
    return false;
  }
}

bool TWaveAudioIO::CloseWhenDrained() {
  // Once the close is issued the handle is gone: a notification the component posted to
  // itself before the close may still arrive and must not close the device a second time.
  if (!GetClosing() || ActiveBufferCount() != 0 || !HasDeviceHandle()) return true;
  const MMRESULT closed = FCalls.Close(FDeviceHandle);
  if (closed == MMSYSERR_NOERROR)
    FDeviceHandle = 0;  // the closed notification follows
  else
    EnterState(TCycleState::Open);
  return Success(closed);
}

bool TWaveAudioIO::PauseDevice() {
  if (FPaused) return false;
  TWaveLock guard(*this);
  if (FPaused) return false;
  if (HasDeviceHandle() && !Success(FCalls.Stop(FDeviceHandle))) return false;
  FPaused = true;
  DoPause();
  return true;
}

bool TWaveAudioIO::ResumeDevice() {
  if (!FPaused) return false;
  TWaveLock guard(*this);
  if (!FPaused) return false;
  if (HasDeviceHandle() && !Success(FCalls.Start(FDeviceHandle))) return false;
  FPaused = false;
  DoResume();
  return true;
}

// --- the notification channel ---

void TWaveAudioIO::CreateCallback() {
  if (FAsync) {
    FCallbackType = CALLBACK_THREAD;
    TWaveThread::Start(this);
  } else {
    FCallbackType = CALLBACK_WINDOW;
    HWND wnd = AllocateHWnd([this](TMessage& message) { CallbackWndProc(message); });
    FCallbackHandle = reinterpret_cast<DWORD_PTR>(wnd);
  }
}

// The worker makes its queue before the channel is handed out and keeps it until its thread
// ends, so a post to it succeeds at once or finds the worker gone: there is nothing to retry.
void TWaveAudioIO::DestroyCallback() {
  const DWORD_PTR callback = FCallbackHandle;
  if (callback == 0) return;
  if (FCallbackType == CALLBACK_THREAD)
    PostThreadMessage(static_cast<DWORD>(callback), WM_QUIT, 0, 0);
  else
    DeallocateHWnd(reinterpret_cast<HWND>(callback));
  FCallbackHandle = 0;
}

void TWaveAudioIO::PostWaveMessage(UINT Msg, LPARAM LParam) {
  const DWORD_PTR callback = FCallbackHandle;
  if (callback == 0) return;
  if (FCallbackType == CALLBACK_THREAD)
    PostThreadMessage(static_cast<DWORD>(callback), Msg, 0, LParam);
  else
    PostMessage(reinterpret_cast<HWND>(callback), Msg, 0, LParam);
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
    TWaveLock guard(*this);
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

// --- the waits ---

void TWaveAudioIO::WaitForOpening() {
  // The open is short and bounded, so a quit message does not cut this wait short.
  WaitWhile(TCycleState::Opening, false);
}

void TWaveAudioIO::WaitForClosing() {
  if (!GetClosing() || FLock.HeldByCurrentThread()) return;
  const HANDLE worker = FCallbackType == CALLBACK_THREAD ? FThreadHandle.load() : nullptr;
  WaitWhile(TCycleState::Closing, true);
  // The cycle's worker has ended its cycle (or another one has begun): let it leave its
  // loop before anyone reuses the component. A close the device refused keeps the worker.
  if (worker != nullptr && (!GetActive() || FThreadHandle.load() != worker)) JoinWorker(worker);
}

void TWaveAudioIO::WaitWhile(TCycleState From, bool StopOnQuit) {
  // A thread that holds the lock is the one whose handler or control call the change needs.
  if (FState != From || FLock.HeldByCurrentThread()) return;
  struct TWaiter {
    TWaveAudioIO& IO;
    HANDLE Event = CreateEvent(FALSE_, FALSE_);
    explicit TWaiter(TWaveAudioIO& io) : IO(io) {
      std::lock_guard<std::mutex> guard(IO.FWaitersLock);
      IO.FWaiters.push_back(Event);
    }
    ~TWaiter() {
      {
        std::lock_guard<std::mutex> guard(IO.FWaitersLock);
        IO.FWaiters.erase(std::find(IO.FWaiters.begin(), IO.FWaiters.end(), Event));
      }
      CloseHandle(Event);
    }
  } waiter(*this);
  // The hidden window's notifications are dispatched by the thread that owns it; any other
  // thread, and every thread in Async mode, has none of the component's to dispatch. (An
  // open in progress is finished by its own thread without them.)
  const HWND window = From == TCycleState::Closing && FCallbackType == CALLBACK_WINDOW
                          ? reinterpret_cast<HWND>(FCallbackHandle.load())
                          : nullptr;
  const bool ownsWindow =
      window != nullptr && GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId();
  while (FState == From) {
    if (ownsWindow) {
      MSG msg;
      if (PeekMessage(&msg, window, 0, 0, PM_REMOVE)) {
        DispatchMessage(&msg);
        if (msg.message == WM_QUIT && StopOnQuit) return;
        continue;
      }
      // Wakes for a change of state or a message posted after the look above; a message
      // for another window of this thread wakes it once, not again and again.
      MsgWaitForMultipleObjects(1, &waiter.Event, FALSE_, INFINITE, QS_POSTMESSAGE);
    } else if (FAsync) {
      // As the platform's wait does, the calling thread's own messages keep flowing.
      const DWORD woke = WaitWithMessagePump(waiter.Event, INFINITE);
      if (woke == WAIT_FAILED || (woke != WAIT_OBJECT_0 && StopOnQuit)) return;
    } else {
      if (WaitForSingleObject(waiter.Event, INFINITE) == WAIT_FAILED) return;
    }
  }
}

void TWaveAudioIO::JoinWorker(HANDLE Worker) {
  // A thread that holds the lock runs inside a handler: dispatching its messages there
  // would run other handlers in the middle of it, so it only waits.
  if (FLock.HeldByCurrentThread()) {
    WaitForSingleObject(Worker, INFINITE);
    return;
  }
  // A quit message does not end this wait: the worker is leaving already.
  while (WaitWithMessagePump(Worker, INFINITE) == WAIT_OBJECT_0 + 1) {
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
    JoinWorker(w.Handle);
    CloseHandle(w.Handle);
  }
}
