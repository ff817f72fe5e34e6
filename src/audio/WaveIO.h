// The common engine of the wave input and output components: the state of one audio device,
// the notification channel through which the driver reports back, the pool of buffer headers
// handed to the device, the lock that serialises control calls against notification
// handlers, event dispatch and error reporting.
//
// Memory conventions of the pool:
// - every buffer header is allocated here (zero-filled WAVEHDR, calloc) and stays listed in
//   the pool until ReallocateBuffer(…, 0, …) or ReleaseAllBuffers frees it;
// - a header's dwUser is its ownership mark: when it holds this component, the data block
//   belongs to the component and is freed with the header (std::free). A caller who hands a
//   block over with FreeIt true must therefore have obtained it with std::malloc;
// - a format record returned by GetWaveFormat with FreeIt true is freed with std::free.
//
// Threads: in window mode (Async false, the default) every notification and every event it
// fires runs on the thread that opened the device, which must keep dispatching its messages;
// in Async mode they run on a private worker thread (TWaveThread), one per open cycle.
//
// One open cycle. The component keeps one private state, changed in one place (with the
// lock held, and every change wakes whoever waits for one):
//
//   Idle --OpenDevice--> Opening --device opened--> Open --CloseDevice, end of data--> Closing
//     ^                     | the open fails          ^                                  |
//     +---------------------+                         +------ reset or close refused ----+
//   Closing --closed notification (DeviceClosed)--> Idle
//
// - Opening lasts exactly as long as OpenDevice runs, on the thread that called it and with
//   the lock held: the format is asked for (GetWaveFormat), the device is queried, the
//   channel created and the device opened. A failure ends the channel, frees the format and
//   goes back to Idle.
// - Open and Closing are Active: the channel exists and the device's notifications arrive
//   on it. The opened notification primes the buffers and fires OnActivate.
// - Closing is entered by CloseDevice (the device is reset; it is closed once every buffer
//   has come back) or by the output running out of data. A refused reset or close goes
//   back to Open, so the component can be stopped again.
// - The closed notification ends the channel, frees the buffers and fires OnDeactivate; the
//   component is Idle from the moment it leaves Closing, and a new cycle may open at once.
// - WaitForOpening and WaitForClosing block until the state moves on. On the thread that
//   owns the hidden window they dispatch that window's notifications meanwhile; in Async
//   mode they dispatch the calling thread's messages and, after a close, join the cycle's
//   worker. Neither ticks nor spins. A thread that holds the lock (a handler, or a control
//   call made from one) never waits: what it would wait for cannot happen before it returns.
//
// The input and output devices differ in their calls (the waveIn and waveOut families, one
// TWaveCalls table each) and in their buffer cycles; the protocol, the device queries,
// pausing and the hand-over of a buffer to the device are written once, here.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "audio/WaveUtils.h"
#include "platform/messages.h"
#include "platform/mmsystem.h"
#include "platform/sync.h"
#include "platform/winmm_driver.h"
#include "rtl/Classes.h"

// The application's global exception handler: an exception that escapes a notification
// handler ends up here with the component as sender, and the channel goes on. The default
// prints the message to stderr; the window replaces it with a message box.
using TApplicationExceptionHandler =
    std::function<void(TComponent* Sender, const std::exception& E)>;
TApplicationExceptionHandler& ApplicationHandleException();

// Puts another handler in place for as long as it lives; the one before comes back after.
class TApplicationExceptionScope {
 public:
  explicit TApplicationExceptionScope(TApplicationExceptionHandler handler)
      : FSaved(std::exchange(ApplicationHandleException(), std::move(handler))) {}
  ~TApplicationExceptionScope() { ApplicationHandleException() = std::move(FSaved); }
  TApplicationExceptionScope(const TApplicationExceptionScope&) = delete;
  TApplicationExceptionScope& operator=(const TApplicationExceptionScope&) = delete;

 private:
  TApplicationExceptionHandler FSaved;
};

// Sees every buffer's samples: recorded buffers as they arrive, output buffers as they are
// queued (the handler may change them in place).
using TWaveAudioBufferEvent =
    std::function<void(TComponent* Sender, void* Buffer, uint32_t BufferSize)>;

// A set of the standard PCM formats (bit i stands for TPCMFormat value i).
class TPCMFormats {
 public:
  void Include(TPCMFormat f) { FBits |= Bit(f); }
  void Exclude(TPCMFormat f) { FBits &= ~Bit(f); }
  bool Contains(TPCMFormat f) const { return (FBits & Bit(f)) != 0; }
  bool Empty() const { return FBits == 0; }
  uint32_t Bits() const { return FBits; }
  bool operator==(const TPCMFormats&) const = default;

 private:
  static uint32_t Bit(TPCMFormat f) { return uint32_t{1} << (static_cast<unsigned>(f) & 31u); }
  uint32_t FBits = 0;
};

// The formats a device's capability bits (dwFormats) stand for: the four 8000 Hz formats
// always, one more per bit, never the 48000 Hz ones.
TPCMFormats PCMFormatsFromCaps(DWORD dwFormats);

// The memory calls of the buffer pool (headers and their data blocks). Only tests replace
// them, to drive the out-of-memory paths that a real machine seldom takes.
struct TBufferMemory {
  void* (*Calloc)(size_t Count, size_t Size);
  void* (*Realloc)(void* Block, size_t Size);
};
TBufferMemory& BufferMemory();

class TWaveAudioIO;

// Holds a component's re-entrant lock for a scope, also when a handler raises.
class TWaveLock {
 public:
  explicit TWaveLock(TWaveAudioIO& io);
  ~TWaveLock();
  TWaveLock(const TWaveLock&) = delete;
  TWaveLock& operator=(const TWaveLock&) = delete;

 private:
  TWaveAudioIO& FIO;
};

// The worker thread of Async mode: it owns a message queue (created before the device is
// opened, so no notification can be lost), hands every message to the component's
// ProcessWaveMessage, leaves its loop on WM_QUIT, clears the component's ThreadHandle and
// frees itself.
class TWaveThread {
 public:
  // Creates the thread and starts it; returns once its queue exists. The object frees
  // itself when the thread ends, so the caller keeps no pointer to it.
  static void Start(TWaveAudioIO* waveAudio);

 private:
  explicit TWaveThread(TWaveAudioIO* waveAudio) : WaveAudio(waveAudio) {}
  void Execute();
  TWaveAudioIO* WaveAudio;
  HANDLE FHandle = nullptr;  // this thread's own handle, known before its loop can end
};

// The platform calls of one direction: the input device fills it with the waveIn family,
// the output device with the waveOut family. Handles of both directions are 32-bit numbers.
struct TWaveCalls {
  UINT (*NumDevs)();
  // The product name and the format bits of a device (the capability records differ).
  MMRESULT (*Caps)(UINT DeviceID, std::string& Name, DWORD& Formats);
  MMRESULT (*ErrorText)(MMRESULT ErrorCode, char* Text, UINT Size);
  // The open, also the format query (WAVE_FORMAT_QUERY, no handle), with the driver's
  // reason for a failure.
  using TOpenCall = winmm::WaveResult(uint32_t* Handle, UINT DeviceID, const WAVEFORMATEX* Format,
                                      DWORD_PTR Callback, DWORD Flags);
  TOpenCall* Open;
  MMRESULT (*Close)(uint32_t Handle);
  MMRESULT (*Prepare)(uint32_t Handle, WAVEHDR* Header, UINT Size);
  MMRESULT (*Unprepare)(uint32_t Handle, WAVEHDR* Header, UINT Size);
  MMRESULT (*Queue)(uint32_t Handle, WAVEHDR* Header, UINT Size);  // add buffer / write
  MMRESULT (*Start)(uint32_t Handle);                              // start / restart
  MMRESULT (*Stop)(uint32_t Handle);                               // stop / pause
  MMRESULT (*Reset)(uint32_t Handle);
  MMRESULT (*Position)(uint32_t Handle, MMTIME* Time, UINT Size);
  // Why the open device failed with this code (winmm::FailureReason of this direction).
  std::string (*FailureReason)(uint32_t Handle, MMRESULT ErrorCode);
  // An exception raised while CloseDevice resets or closes the device: the input device
  // turns it into the result False, the output device lets it reach the caller.
  bool CloseSwallowsErrors;
};

// The Caps entry of TWaveCalls over a direction's capability query (GetDevCaps).
template <class TCaps, MMRESULT (*GetDevCaps)(UINT, TCaps*, UINT)>
MMRESULT WaveCapsCall(UINT DeviceID, std::string& Name, DWORD& Formats) {
  TCaps caps{};
  const MMRESULT result = GetDevCaps(DeviceID, &caps, sizeof(caps));
  if (result == MMSYSERR_NOERROR) {
    Name.assign(caps.szPname, strnlen(caps.szPname, sizeof(caps.szPname)));
    Formats = caps.dwFormats;
  }
  return result;
}

class TWaveAudioIO : public TComponent {
  friend class TWaveThread;

 public:
  ~TWaveAudioIO() override;

  // --- published properties ---
  uint16_t GetBufferLength() const { return FBufferLength; }
  void SetBufferLength(uint16_t value);  // below 10 is stored as 10
  uint16_t GetBufferCount() const { return FBufferCount; }
  // Stored unchanged; an open cycle with a count of 0 keeps one buffer at the device.
  void SetBufferCount(uint16_t value) { FBufferCount = value; }
  bool GetAsync() const { return FAsync; }
  void SetAsync(bool value);  // ignored while Active (or opening)

  // --- public properties ---
  DWORD GetDeviceID() const { return FDeviceID; }
  void SetDeviceID(DWORD value) { FDeviceID = value; }
  MMRESULT GetLastError() const { return FLastError; }
  // Why the last error happened, in words of its own, when something said so: the driver
  // (a device that does not exist, a sound card that went away) or the format source (a
  // file that is not a RIFF WAVE file). Empty otherwise.
  std::string GetLastErrorReason() const;
  // Why the last open found no format to open the device with (a player: what is wrong with
  // its file); empty when it had one.
  std::string GetNoFormatReason() const { return FNoFormatReason; }
  std::string DeviceName();  // GetDeviceName
  bool GetOpening() const { return FState == TCycleState::Opening; }
  bool GetClosing() const { return FState == TCycleState::Closing; }
  DWORD_PTR GetCallbackHandle() const { return FCallbackHandle; }
  DWORD GetCallbackType() const { return FCallbackType; }
  // Non-zero from the worker's creation until its loop has ended; 0 in window mode.
  HANDLE GetThreadHandle() const { return FThreadHandle; }
  // A copy: the record is packed, so its fields are read by value.
  WAVEFORMATEX GetWaveFormatRecord() const { return FWaveFormat; }
  uint32_t GetDeviceHandle() const { return FDeviceHandle; }

  TWaveAudioEvent OnActivate, OnDeactivate, OnPause, OnResume, OnError;
  TWaveAudioLevelEvent OnLevel;
  TWaveAudioBufferEvent OnBufferData;

  // --- operations ---
  // Records the code as LastError (with the driver's explanation of it, if any); any
  // non-zero code goes to DoError and gives False.
  bool Success(MMRESULT ErrorCode);
  // The text of the last error that the window and the CLI show, also as the message of
  // the EWaveAudioSysError that DoError raises: the device's own text for the code, with
  // the reason in brackets when one is known ("No sound device is available (ALSA: Unknown
  // PCM default)"); never empty for a failure.
  std::string LastErrorText();
  uint16_t ActiveBufferCount() const { return static_cast<uint16_t>(FBuffers.size()); }
  uint32_t CalcBufferSize() const;
  // BufferSize 0 releases Header (nil afterwards). Otherwise allocates Header when nil and
  // points it at Buffer (a caller's block, not owned) or at a component block of BufferSize
  // bytes (Buffer nil; the header's own block is resized, keeping its contents). The header
  // comes back zeroed apart from lpData, dwBufferLength and the ownership mark.
  bool ReallocateBuffer(PWAVEHDR& Header, uint32_t BufferSize, void* Buffer);
  void Lock() { FLock.Enter(); }
  void Unlock() { FLock.Leave(); }

  // --- the notification channel ---
  void CreateCallback();
  void DestroyCallback();
  void PostWaveMessage(UINT Msg, LPARAM LParam);
  // Dispatches the six device notifications to their handlers under the lock; an exception
  // of a handler goes to the application's exception handler. False for any other message.
  bool ProcessWaveMessage(UINT Msg, LPARAM LParam);
  void CallbackWndProc(TMessage& Message);
  // Block until an open in progress has finished, or a pending close has been handled (see
  // the cycle above); both return at once when there is nothing to wait for.
  void WaitForOpening();
  void WaitForClosing();

  uint32_t MMTimeToMs(const MMTIME& Time) const;
  bool IsPCMFormatSupported(TPCMFormat PCMFormat);

  // --- virtual operations, in slot order ---
 protected:
  virtual void WimOpen();
  virtual void WimClose();
  virtual void WimData(PWAVEHDR Header);
  virtual void WomOpen();
  virtual void WomClose();
  virtual void WomDone(PWAVEHDR Header);

 public:
  // The device operations below are the same for both directions over their calls; the
  // output device adds its position base to GetPosition.
  virtual UINT GetNumDevs();
  virtual bool GetActive();
  virtual void SetActive(bool Value);
  virtual bool GetPaused();
  virtual void SetPaused(bool Value);
  virtual void GetDeviceName(std::string& Name);
  virtual TPCMFormats GetDeviceFormats();
  virtual uint32_t GetPosition();
  virtual void GetErrorText(MMRESULT ErrorCode, std::string& Text);

 protected:
  // Supplies the format of the open cycle; FreeIt arrives True and says, on return, whether
  // the record (std::malloc'ed) is freed after the open. No record fails the open through
  // DoError, with the reason given to ExplainNoFormat.
  virtual void GetWaveFormat(PWaveFormatEx& pWaveFormat, bool& FreeIt) = 0;

 public:
  virtual MMRESULT ValidateDeviceID(DWORD DeviceID);
  virtual bool OpenDevice();
  virtual bool CloseDevice();
  virtual bool PauseDevice();
  virtual bool ResumeDevice();
  virtual bool HasDeviceHandle();

 protected:
  virtual void PrimeBuffers() = 0;
  virtual void ReleaseAllBuffers();
  virtual void DeviceOpened();
  virtual void DeviceClosed();
  virtual void DoActivate();
  virtual void DoDeactivate();
  virtual void DoPause();
  virtual void DoResume();
  virtual void DoError();
  virtual void DoLevel(const void* Buffer, uint32_t Size);
  virtual void DoBufferData(void* Buffer, uint32_t Size);

 public:
  virtual bool IsFormatSupported(const WAVEFORMATEX* pWaveFormat);

 protected:
  enum class TCycleState { Idle, Opening, Open, Closing };

  TWaveAudioIO(TComponent* owner, const TWaveCalls& calls);

  // The one place the cycle state changes; the lock is held. Wakes every waiter.
  void EnterState(TCycleState State);

  // Called from GetWaveFormat when it has no format to give: why, for the error report.
  void ExplainNoFormat(std::string Reason) { FNoFormatReason = std::move(Reason); }

  // Closes the device once no buffer is out while closing (the closed notification
  // follows); a refused close goes back to Open, so the component stays active and can be
  // stopped again instead of waiting for a notification that never comes. True unless the
  // close was refused.
  bool CloseWhenDrained();
  // Prepares the header when it is not prepared yet and hands it to the device. With
  // ShowSamples (output) OnBufferData and OnLevel see the samples first, as they are
  // queued. A header this call prepared is unprepared again when the hand-over fails.
  bool SubmitBuffer(PWAVEHDR Header, bool ShowSamples);
  // A caller's block (or, with Buffer nil, a component block) queued through Submit; with
  // FreeIt the component frees it. False, with the header released, when it is not queued.
  bool AddCallersBuffer(void* Buffer, uint32_t BufferSize, bool FreeIt,
                        const std::function<bool(PWAVEHDR)>& Submit);
  // Unprepares (when prepared) and releases a header that is not at the device.
  void DiscardBuffer(PWAVEHDR& Header);

  // The number of buffers an open cycle keeps at the device: BufferCount, but at least one,
  // so that a count of 0 still moves audio instead of stalling with the device open.
  uint16_t EffectiveBufferCount() const { return FBufferCount == 0 ? 1 : FBufferCount; }
  DWORD_PTR OwnerMark() const { return reinterpret_cast<DWORD_PTR>(this); }

  // Called at the top of the destructor of every class that overrides SetActive (the stock
  // recorder and player, the input and output devices): marks the component as being
  // destroyed (OnDeactivate and OnLevel stay silent), closes an active device through the
  // virtual SetActive and waits for its closed notification. A device that refuses to
  // close is reset and closed ignoring results, and the channel and buffers are released
  // without it. Safe to call more than once.
  void ShutDown() noexcept;

  const TWaveCalls& FCalls;
  // The open device; 0 when none (also once its close is issued). Atomic, as the fields
  // below that an Async worker shares with the threads that control the component: the
  // worker writes them inside handlers, other threads read them without the lock.
  std::atomic<uint32_t> FDeviceHandle{0};
  std::atomic<bool> FPaused{false};
  WAVEFORMATEX FWaveFormat{};

 private:
  // Blocks while the state is From (see WaitForOpening). StopOnQuit: a quit message the
  // wait dispatches ends it, as the platform's waits do.
  void WaitWhile(TCycleState From, bool StopOnQuit);
  // Records the code and its reason as the last error; a failure goes to DoError.
  bool Report(MMRESULT ErrorCode, std::string Reason);
  bool Report(winmm::WaveResult Result);
  void AbandonDevice() noexcept;
  void ReapWorkers(bool Wait);
  void JoinWorker(HANDLE Worker);

  std::atomic<TCycleState> FState{TCycleState::Idle};
  bool FAsync = false;
  DWORD FDeviceID = WAVE_MAPPER;
  std::atomic<MMRESULT> FLastError{0};
  std::string FLastErrorReason;  // guarded by FErrorLock: any thread may read it
  mutable std::mutex FErrorLock;
  std::string FNoFormatReason;
  uint16_t FBufferLength = 1000;
  uint16_t FBufferCount = 2;
  std::atomic<DWORD_PTR> FCallbackHandle{0};
  std::atomic<DWORD> FCallbackType{0};
  std::vector<PWAVEHDR> FBuffers;
  std::atomic<HANDLE> FThreadHandle{nullptr};
  TCriticalSection FLock;

  // One auto-reset event per thread waiting for the state to change: each change sets
  // them all, so no waiter can miss one, however many there are.
  std::vector<HANDLE> FWaiters;
  std::mutex FWaitersLock;

  struct TWorker {
    HANDLE Handle;
    DWORD ThreadId;
  };
  std::vector<TWorker> FWorkers;  // worker threads not yet joined
  std::mutex FWorkersLock;        // a worker may start the next cycle while others look
};
