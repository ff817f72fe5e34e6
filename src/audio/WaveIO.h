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
#pragma once

#include <atomic>
#include <cstdint>
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

class TWaveAudioIO;

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

class TWaveAudioIO : public TComponent {
  friend class TWaveThread;

 public:
  explicit TWaveAudioIO(TComponent* owner = nullptr);
  ~TWaveAudioIO() override;

  // --- published properties ---
  uint16_t GetBufferLength() const { return FBufferLength; }
  void SetBufferLength(uint16_t value);  // below 10 is stored as 10
  uint16_t GetBufferCount() const { return FBufferCount; }
  // Stored unchanged; an open cycle with a count of 0 keeps one buffer at the device.
  void SetBufferCount(uint16_t value) { FBufferCount = value; }
  bool GetAsync() const { return FAsync; }
  void SetAsync(bool value);  // ignored while Active

  // --- public properties ---
  DWORD GetDeviceID() const { return FDeviceID; }
  void SetDeviceID(DWORD value) { FDeviceID = value; }
  MMRESULT GetLastError() const { return FLastError; }
  std::string DeviceName();  // GetDeviceName
  bool GetOpening() const { return FOpening; }
  bool GetClosing() const { return FClosing; }
  DWORD_PTR GetCallbackHandle() const { return FCallbackHandle; }
  DWORD GetCallbackType() const { return FCallbackType; }
  // Non-zero from the worker's creation until its loop has ended; 0 in window mode.
  HANDLE GetThreadHandle() const { return FThreadHandle; }
  // A copy: the record is packed, so its fields are read by value.
  WAVEFORMATEX GetWaveFormatRecord() const { return FWaveFormat; }

  TWaveAudioEvent OnActivate, OnDeactivate, OnPause, OnResume, OnError;
  TWaveAudioLevelEvent OnLevel;
  TWaveAudioBufferEvent OnBufferData;

  // --- operations ---
  // Records the code as LastError; any non-zero code goes to DoError and gives False.
  bool Success(MMRESULT ErrorCode);
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
  virtual UINT GetNumDevs() = 0;
  virtual bool GetActive();
  virtual void SetActive(bool Value);
  virtual bool GetPaused() = 0;
  virtual void SetPaused(bool Value);
  virtual void GetDeviceName(std::string& Name) = 0;
  virtual TPCMFormats GetDeviceFormats() = 0;
  virtual uint32_t GetPosition() = 0;
  virtual void GetErrorText(MMRESULT ErrorCode, std::string& Text) = 0;

 protected:
  // Supplies the format of the open cycle; FreeIt arrives True and says, on return, whether
  // the record (std::malloc'ed) is freed after the open.
  virtual void GetWaveFormat(PWaveFormatEx& pWaveFormat, bool& FreeIt) = 0;

 public:
  virtual MMRESULT ValidateDeviceID(DWORD DeviceID) = 0;
  virtual bool OpenDevice() = 0;
  virtual bool CloseDevice() = 0;
  virtual bool PauseDevice() = 0;
  virtual bool ResumeDevice() = 0;
  virtual bool HasDeviceHandle() = 0;

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
  virtual bool IsFormatSupported(const WAVEFORMATEX* pWaveFormat) = 0;

 protected:
  // --- the protocol shared by the input and output devices ---
  // The steps of an open: query the format, create the channel, open the device. Query and
  // Open are the device's calls; Open stores the device handle.
  bool OpenDeviceWith(const std::function<MMRESULT(const WAVEFORMATEX*)>& Query,
                      const std::function<MMRESULT(const WAVEFORMATEX*)>& Open);
  // Reset, then close at once when no buffer is out. SwallowErrors: the input device turns
  // an exception into False, the output device lets it through.
  bool CloseDeviceWith(const std::function<MMRESULT()>& Reset,
                       const std::function<MMRESULT()>& Close, bool SwallowErrors);
  // Closes the device once the last buffer has come back while closing. A refused close
  // clears Closing: the component stays active and can be stopped again, instead of
  // waiting for a closed notification that never comes.
  void CloseWhenDrained(const std::function<MMRESULT()>& Close);
  bool PauseDeviceWith(std::atomic<bool>& PausedFlag, const std::function<MMRESULT()>& Stop);
  bool ResumeDeviceWith(std::atomic<bool>& PausedFlag, const std::function<MMRESULT()>& Start);

  // The number of buffers an open cycle keeps at the device: BufferCount, but at least one,
  // so that a count of 0 still moves audio instead of stalling with the device open.
  uint16_t EffectiveBufferCount() const { return FBufferCount == 0 ? 1 : FBufferCount; }
  DWORD_PTR OwnerMark() const { return reinterpret_cast<DWORD_PTR>(this); }

  // Called at the top of the destructor of every class that overrides SetActive (the stock
  // recorder and player, the input and output devices): marks the component as being
  // destroyed (OnDeactivate and OnLevel stay silent), closes an active device through the
  // virtual SetActive and waits for its closed notification. A device that refuses to
  // close is torn down through AbandonDevice. Safe to call more than once.
  void ShutDown() noexcept;
  // Last resort of ShutDown when the device would not close: the descendant resets and
  // closes its handle ignoring results; the channel and the buffers are then released.
  virtual void AbandonDevice() {}

  std::atomic<bool> FOpening{false};
  std::atomic<bool> FClosing{false};
  WAVEFORMATEX FWaveFormat{};

 private:
  void ReapWorkers(bool Wait);
  bool OnChannelThread() const;

  bool FAsync = false;
  DWORD FDeviceID = WAVE_MAPPER;
  MMRESULT FLastError = 0;
  uint16_t FBufferLength = 1000;
  uint16_t FBufferCount = 2;
  std::atomic<DWORD_PTR> FCallbackHandle{0};
  DWORD FCallbackType = 0;
  std::vector<PWAVEHDR> FBuffers;
  std::atomic<HANDLE> FThreadHandle{nullptr};
  TCriticalSection FLock;

  // Channel bookkeeping.
  std::atomic<DWORD> FChannelThreadId{0};  // the thread that runs this cycle's handlers
  std::atomic<DWORD> FOpeningThreadId{0};  // the thread inside OpenDevice while Opening
  int FDispatchDepth = 0;                  // handlers running on the channel thread
  bool FCloseIssued = false;               // the device close of this cycle has been called
  struct TWorker {
    HANDLE Handle;
    DWORD ThreadId;
  };
  std::vector<TWorker> FWorkers;  // worker threads not yet joined
  std::mutex FWorkersLock;        // a worker may start the next cycle while others look
};
