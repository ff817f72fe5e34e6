#include "audio/WaveIn.h"

#include <cstdlib>

#include "platform/winmm_driver.h"

namespace {

const TWaveCalls kWaveInCalls{
    waveInGetNumDevs,
    WaveCapsCall<WAVEINCAPSA, waveInGetDevCapsA>,
    waveInGetErrorTextA,
    [](uint32_t* handle, UINT id, const WAVEFORMATEX* format, DWORD_PTR callback, DWORD flags) {
      return winmm::OpenWave(winmm::WaveDir::In, handle, id, format, callback, flags);
    },
    waveInClose,
    waveInPrepareHeader,
    waveInUnprepareHeader,
    waveInAddBuffer,
    waveInStart,
    waveInStop,
    waveInReset,
    waveInGetPosition,
    [](uint32_t handle, MMRESULT code) {
      return winmm::FailureReason(winmm::WaveDir::In, handle, code);
    },
    /*CloseSwallowsErrors=*/true,
};

}  // namespace

TWaveAudioIn::TWaveAudioIn(TComponent* owner) : TWaveAudioIO(owner, kWaveInCalls) {}

TWaveAudioIn::~TWaveAudioIn() { ShutDown(); }

void TWaveAudioIn::SetPCMFormat(TPCMFormat value) {
  if (value == FPCMFormat) return;
  if (HasDeviceHandle())
    throw EWaveAudioInvalidOperation("Audio format cannot be changed while device is open");
  FPCMFormat = value;
}

void TWaveAudioIn::GetWaveFormat(PWaveFormatEx& pWaveFormat, bool& FreeIt) {
  if (FPCMFormat != nonePCM) {
    FreeIt = true;
    pWaveFormat = static_cast<PWaveFormatEx>(std::calloc(1, sizeof(TWaveFormatEx)));
    if (pWaveFormat == nullptr) throw EWaveAudioError("Out of memory for the audio format");
    FillPCMWaveFormatByIndex(pWaveFormat, FPCMFormat);
    return;
  }
  pWaveFormat = nullptr;
  if (OnFormat) OnFormat(this, pWaveFormat, FreeIt);
  if (pWaveFormat == nullptr)
    throw EWaveAudioInvalidOperation("No audio format is given for the device");
}

// --- the buffer cycle ---

void TWaveAudioIn::WimOpen() {
  DeviceOpened();
  if (FPaused) return;  // a cycle that starts paused waits for ResumeDevice
  // Stopped before its opened notification arrived: the device is closing (or closed), and
  // starting it could only fail and leave every later cycle paused.
  if (GetClosing()) return;
  // Paused until the start has succeeded, also when the failure raises.
  FPaused = true;
  FPaused = !Success(waveInStart(FDeviceHandle));
}

void TWaveAudioIn::PrimeBuffers() {
  while (ActiveBufferCount() < EffectiveBufferCount() && HasDeviceHandle() && !GetClosing()) {
    PWAVEHDR header = nullptr;
    try {
      if (!ReallocateBuffer(header, CalcBufferSize(), nullptr)) break;
      if (!QueueBuffer(header)) {
        ReallocateBuffer(header, 0, nullptr);
        break;
      }
    } catch (...) {
      // A device error while priming ends the priming; the cycle goes on with what is out.
      ReallocateBuffer(header, 0, nullptr);
      break;
    }
  }
}

bool TWaveAudioIn::QueueBuffer(PWAVEHDR Header) { return SubmitBuffer(Header, false); }

void TWaveAudioIn::WimData(PWAVEHDR Header) {
  try {
    if (Header != nullptr) {
      if (Success(waveInUnprepareHeader(FDeviceHandle, Header, sizeof(WAVEHDR))) &&
          Header->dwBytesRecorded > 0) {
        bool freeIt = true;
        DoLevel(Header->lpData, Header->dwBytesRecorded);
        DoBufferData(Header->lpData, Header->dwBytesRecorded);
        DataReady(Header->lpData, Header->dwBytesRecorded, freeIt);
        // The receiver keeps the block: the header gets a fresh one when it is reused.
        if (!freeIt) Header->dwUser = 0;
      }
      bool requeued = false;
      if (!GetClosing() && ActiveBufferCount() <= EffectiveBufferCount())
        requeued = ReallocateBuffer(Header, CalcBufferSize(), nullptr) && QueueBuffer(Header);
      if (!requeued) ReallocateBuffer(Header, 0, nullptr);
    }
  } catch (...) {
    DiscardBuffer(Header);
    try {
      CloseWhenDrained();
    } catch (...) {
      // The handler's own exception is the one reported.
    }
    throw;
  }
  CloseWhenDrained();
}

bool TWaveAudioIn::AddBuffer(void* Buffer, uint32_t BufferSize, bool FreeIt) {
  return AddCallersBuffer(Buffer, BufferSize, FreeIt,
                          [this](PWAVEHDR header) { return QueueBuffer(header); });
}

void TWaveAudioIn::DataReady(void*, uint32_t, bool&) {}
