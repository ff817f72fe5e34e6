#include "audio/WaveIn.h"

#include <cstdlib>
#include <cstring>

TWaveAudioIn::TWaveAudioIn(TComponent* owner) : TWaveAudioIO(owner) {
  FPCMFormat = Mono16bit8000Hz;
}

TWaveAudioIn::~TWaveAudioIn() { ShutDown(); }

void TWaveAudioIn::SetPCMFormat(TPCMFormat value) {
  if (value == FPCMFormat) return;
  if (HasDeviceHandle())
    throw EWaveAudioInvalidOperation("Audio format cannot be changed while device is open");
  FPCMFormat = value;
}

// --- device queries ---

UINT TWaveAudioIn::GetNumDevs() { return waveInGetNumDevs(); }

void TWaveAudioIn::GetDeviceName(std::string& Name) {
  WAVEINCAPSA caps{};
  if (waveInGetDevCapsA(GetDeviceID(), &caps, sizeof(caps)) == MMSYSERR_NOERROR)
    Name.assign(caps.szPname, strnlen(caps.szPname, sizeof(caps.szPname)));
  else
    Name.clear();
}

TPCMFormats TWaveAudioIn::GetDeviceFormats() {
  WAVEINCAPSA caps{};
  if (waveInGetDevCapsA(GetDeviceID(), &caps, sizeof(caps)) != MMSYSERR_NOERROR) return {};
  return PCMFormatsFromCaps(caps.dwFormats);
}

uint32_t TWaveAudioIn::GetPosition() {
  MMTIME time{};
  time.wType = TIME_MS;
  if (waveInGetPosition(FDeviceHandle, &time, sizeof(time)) != MMSYSERR_NOERROR) return 0;
  return MMTimeToMs(time);
}

void TWaveAudioIn::GetErrorText(MMRESULT ErrorCode, std::string& Text) {
  char text[256] = {};
  if (waveInGetErrorTextA(ErrorCode, text, sizeof(text)) == MMSYSERR_NOERROR)
    Text = text;
  else
    Text.clear();
}

MMRESULT TWaveAudioIn::ValidateDeviceID(DWORD DeviceID) {
  WAVEINCAPSA caps{};
  return waveInGetDevCapsA(DeviceID, &caps, sizeof(caps));
}

bool TWaveAudioIn::IsFormatSupported(const WAVEFORMATEX* pWaveFormat) {
  return waveInOpen(nullptr, GetDeviceID(), pWaveFormat, 0, 0, WAVE_FORMAT_QUERY) ==
         MMSYSERR_NOERROR;
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

// --- the protocol ---

bool TWaveAudioIn::OpenDevice() {
  return OpenDeviceWith(
      [this](const WAVEFORMATEX* format) {
        return waveInOpen(nullptr, GetDeviceID(), format, 0, 0, WAVE_FORMAT_QUERY);
      },
      [this](const WAVEFORMATEX* format) {
        HWAVEIN handle = 0;
        const MMRESULT result =
            waveInOpen(&handle, GetDeviceID(), format, GetCallbackHandle(), 0, GetCallbackType());
        FDeviceHandle = result == MMSYSERR_NOERROR ? handle : 0;
        return result;
      });
}

bool TWaveAudioIn::CloseDevice() {
  return CloseDeviceWith([this] { return waveInReset(FDeviceHandle); },
                         [this] { return waveInClose(FDeviceHandle); }, true);
}

bool TWaveAudioIn::PauseDevice() {
  return PauseDeviceWith(FPaused, [this] { return waveInStop(FDeviceHandle); });
}

bool TWaveAudioIn::ResumeDevice() {
  return ResumeDeviceWith(FPaused, [this] { return waveInStart(FDeviceHandle); });
}

void TWaveAudioIn::AbandonDevice() {
  if (FDeviceHandle == 0) return;
  waveInReset(FDeviceHandle);
  for (int i = 0; i < 2; ++i)
    if (waveInClose(FDeviceHandle) == MMSYSERR_NOERROR) break;
  FDeviceHandle = 0;
}

// --- the buffer cycle ---

void TWaveAudioIn::WimOpen() {
  DeviceOpened();
  if (FPaused) return;  // a cycle that starts paused waits for ResumeDevice
  // Stopped before its opened notification arrived: the device is closing (or closed), and
  // starting it could only fail and leave every later cycle paused.
  if (FClosing) return;
  // Paused until the start has succeeded, also when the failure raises.
  FPaused = true;
  FPaused = !Success(waveInStart(FDeviceHandle));
}

void TWaveAudioIn::WimClose() {
  FDeviceHandle = 0;
  DeviceClosed();
}

void TWaveAudioIn::PrimeBuffers() {
  while (ActiveBufferCount() < EffectiveBufferCount() && HasDeviceHandle() && !FClosing) {
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

bool TWaveAudioIn::QueueBuffer(PWAVEHDR Header) {
  const bool wasPrepared = (Header->dwFlags & WHDR_PREPARED) != 0;
  if (!wasPrepared && !Success(waveInPrepareHeader(FDeviceHandle, Header, sizeof(WAVEHDR))))
    return false;
  try {
    if (Success(waveInAddBuffer(FDeviceHandle, Header, sizeof(WAVEHDR)))) return true;
  } catch (...) {
    if (!wasPrepared) waveInUnprepareHeader(FDeviceHandle, Header, sizeof(WAVEHDR));
    throw;
  }
  if (!wasPrepared) waveInUnprepareHeader(FDeviceHandle, Header, sizeof(WAVEHDR));
  return false;
}

void TWaveAudioIn::WimData(PWAVEHDR Header) {
  try {
    bool requeued = false;
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
      if (!FClosing && ActiveBufferCount() <= EffectiveBufferCount())
        requeued = ReallocateBuffer(Header, CalcBufferSize(), nullptr) && QueueBuffer(Header);
      if (!requeued) ReallocateBuffer(Header, 0, nullptr);
    }
  } catch (...) {
    if (Header != nullptr) {
      if ((Header->dwFlags & WHDR_PREPARED) != 0)
        waveInUnprepareHeader(FDeviceHandle, Header, sizeof(WAVEHDR));
      ReallocateBuffer(Header, 0, nullptr);
    }
    try {
      CloseWhenDrained([this] { return waveInClose(FDeviceHandle); });
    } catch (...) {
      // The handler's own exception is the one reported.
    }
    throw;
  }
  CloseWhenDrained([this] { return waveInClose(FDeviceHandle); });
}

bool TWaveAudioIn::AddBuffer(void* Buffer, uint32_t BufferSize, bool FreeIt) {
  PWAVEHDR header = nullptr;
  if (!ReallocateBuffer(header, BufferSize, Buffer)) return false;
  if (FreeIt) header->dwUser = OwnerMark();
  try {
    if (QueueBuffer(header)) return true;
  } catch (...) {
  }
  ReallocateBuffer(header, 0, nullptr);
  return false;
}

void TWaveAudioIn::DataReady(void*, uint32_t, bool&) {}
