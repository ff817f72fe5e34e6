#include "audio/WaveOut.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

DWORD FloatToFixedPoint(double value) {
  if (!std::isfinite(value)) value = 0.0;
  value = std::fmax(-32768.0, std::fmin(value, 65535.0));
  const double whole = std::trunc(value);
  double fraction = value - whole;
  const DWORD high = static_cast<DWORD>(static_cast<int64_t>(whole)) & 0xFFFF;
  DWORD low = 0;
  for (int bit = 0; bit < 16; ++bit) {
    fraction *= 2.0;
    low <<= 1;
    if (fraction >= 1.0) {
      low |= 1;
      fraction -= 1.0;
    }
  }
  return (high << 16) | low;
}

double FixedPointToFloat(DWORD value) {
  double result = static_cast<int16_t>(static_cast<uint16_t>(value >> 16));
  double weight = 0.5;
  for (int bit = 15; bit >= 0; --bit, weight /= 2.0)
    if ((value & (DWORD{1} << bit)) != 0) result += weight;
  return result;
}

DWORD VolumePercentToWord(uint16_t percent) {
  const DWORD v = static_cast<DWORD>(MulDiv(percent, 0xFFFF, 100)) & 0xFFFF;
  return v | (v << 16);
}

TWaveAudioOut::TWaveAudioOut(TComponent* owner) : TWaveAudioIO(owner) {}

TWaveAudioOut::~TWaveAudioOut() { ShutDown(); }

bool TWaveAudioOut::HasOption(TWaveOutOption option) const { return FOptions.Contains(option); }

// --- settings ---

TWaveOutSupports TWaveAudioOut::DeviceSupport() {
  TWaveOutSupports support;
  WAVEOUTCAPSA caps{};
  if (waveOutGetDevCapsA(GetDeviceID(), &caps, sizeof(caps)) != MMSYSERR_NOERROR) return support;
  if ((caps.dwSupport & WAVECAPS_VOLUME) != 0) {
    support.Include(dsVolume);
    if ((caps.dwSupport & WAVECAPS_LRVOLUME) != 0) support.Include(dsLeftRightVolume);
  }
  if ((caps.dwSupport & WAVECAPS_PITCH) != 0) support.Include(dsPitch);
  if ((caps.dwSupport & WAVECAPS_PLAYBACKRATE) != 0) support.Include(dsPlaybackRate);
  if ((caps.dwSupport & WAVECAPS_SAMPLEACCURATE) != 0) support.Include(dsSampleAccurate);
  if ((caps.dwSupport & WAVECAPS_SYNC) == 0) support.Include(dsAsynchronous);
  return support;
}

uint16_t TWaveAudioOut::GetVolume() {
  if (HasDeviceHandle() && DeviceSupport().Contains(dsVolume)) {
    DWORD volume = 0;
    if (waveOutGetVolume(FDeviceHandle, &volume) == MMSYSERR_NOERROR)
      return static_cast<uint16_t>(MulDiv(static_cast<int>(volume & 0xFFFF), 100, 0xFFFF));
  }
  return FVolume;
}

void TWaveAudioOut::SetVolume(uint16_t value) {
  if (value > 100) value = 100;  // the device word only covers 0 to 100 percent
  if (value == FVolume) return;
  FVolume = value;
  if (HasDeviceHandle() && HasOption(woSetVolume) && DeviceSupport().Contains(dsVolume))
    waveOutSetVolume(FDeviceHandle, VolumePercentToWord(FVolume));
}

double TWaveAudioOut::GetPitch() {
  if (!HasDeviceHandle()) return FPitch;
  if (!DeviceSupport().Contains(dsPitch)) return 1.0;
  DWORD pitch = 0;
  if (waveOutGetPitch(FDeviceHandle, &pitch) != MMSYSERR_NOERROR) return FPitch;
  return FixedPointToFloat(pitch);
}

void TWaveAudioOut::SetPitch(double value) {
  if (value == FPitch) return;
  FPitch = value;
  if (HasDeviceHandle() && HasOption(woSetPitch) && DeviceSupport().Contains(dsPitch))
    waveOutSetPitch(FDeviceHandle, FloatToFixedPoint(FPitch));
}

double TWaveAudioOut::GetPlaybackRate() {
  if (!HasDeviceHandle()) return FPlaybackRate;
  if (!DeviceSupport().Contains(dsPlaybackRate)) return 1.0;
  DWORD rate = 0;
  if (waveOutGetPlaybackRate(FDeviceHandle, &rate) != MMSYSERR_NOERROR) return FPlaybackRate;
  return FixedPointToFloat(rate);
}

void TWaveAudioOut::SetPlaybackRate(double value) {
  if (value == FPlaybackRate) return;
  FPlaybackRate = value;
  if (HasDeviceHandle() && HasOption(woSetPlaybackRate) && DeviceSupport().Contains(dsPlaybackRate))
    waveOutSetPlaybackRate(FDeviceHandle, FloatToFixedPoint(FPlaybackRate));
}

void TWaveAudioOut::SetOptions(TWaveOutOptions value) {
  if (value == FOptions) return;
  FOptions = value;
  if (HasDeviceHandle()) ApplyDeviceSettings();
}

void TWaveAudioOut::ApplyDeviceSettings() {
  const TWaveOutSupports support = DeviceSupport();
  if (HasOption(woSetVolume) && support.Contains(dsVolume))
    waveOutSetVolume(FDeviceHandle, VolumePercentToWord(FVolume));
  if (HasOption(woSetPitch) && support.Contains(dsPitch))
    waveOutSetPitch(FDeviceHandle, FloatToFixedPoint(FPitch));
  if (HasOption(woSetPlaybackRate) && support.Contains(dsPlaybackRate))
    waveOutSetPlaybackRate(FDeviceHandle, FloatToFixedPoint(FPlaybackRate));
}

// --- device queries ---

UINT TWaveAudioOut::GetNumDevs() { return waveOutGetNumDevs(); }

void TWaveAudioOut::GetDeviceName(std::string& Name) {
  WAVEOUTCAPSA caps{};
  if (waveOutGetDevCapsA(GetDeviceID(), &caps, sizeof(caps)) == MMSYSERR_NOERROR)
    Name.assign(caps.szPname, strnlen(caps.szPname, sizeof(caps.szPname)));
  else
    Name.clear();
}

TPCMFormats TWaveAudioOut::GetDeviceFormats() {
  WAVEOUTCAPSA caps{};
  if (waveOutGetDevCapsA(GetDeviceID(), &caps, sizeof(caps)) != MMSYSERR_NOERROR) return {};
  return PCMFormatsFromCaps(caps.dwFormats);
}

uint32_t TWaveAudioOut::GetPosition() {
  MMTIME time{};
  time.wType = TIME_MS;
  if (waveOutGetPosition(FDeviceHandle, &time, sizeof(time)) != MMSYSERR_NOERROR) return 0;
  return MMTimeToMs(time) + FPositionBase;
}

void TWaveAudioOut::GetErrorText(MMRESULT ErrorCode, std::string& Text) {
  char text[256] = {};
  if (waveOutGetErrorTextA(ErrorCode, text, sizeof(text)) == MMSYSERR_NOERROR)
    Text = text;
  else
    Text.clear();
}

MMRESULT TWaveAudioOut::ValidateDeviceID(DWORD DeviceID) {
  WAVEOUTCAPSA caps{};
  return waveOutGetDevCapsA(DeviceID, &caps, sizeof(caps));
}

bool TWaveAudioOut::IsFormatSupported(const WAVEFORMATEX* pWaveFormat) {
  return waveOutOpen(nullptr, GetDeviceID(), pWaveFormat, 0, 0, WAVE_FORMAT_QUERY) ==
         MMSYSERR_NOERROR;
}

// --- the protocol ---

bool TWaveAudioOut::OpenDevice() {
  return OpenDeviceWith(
      [this](const WAVEFORMATEX* format) {
        return waveOutOpen(nullptr, GetDeviceID(), format, 0, 0, WAVE_FORMAT_QUERY);
      },
      [this](const WAVEFORMATEX* format) {
        HWAVEOUT handle = 0;
        const MMRESULT result =
            waveOutOpen(&handle, GetDeviceID(), format, GetCallbackHandle(), 0, GetCallbackType());
        FDeviceHandle = result == MMSYSERR_NOERROR ? handle : 0;
        return result;
      });
}

bool TWaveAudioOut::CloseDevice() {
  return CloseDeviceWith([this] { return waveOutReset(FDeviceHandle); },
                         [this] { return waveOutClose(FDeviceHandle); }, false);
}

bool TWaveAudioOut::PauseDevice() {
  return PauseDeviceWith(FPaused, [this] { return waveOutPause(FDeviceHandle); });
}

bool TWaveAudioOut::ResumeDevice() {
  return ResumeDeviceWith(FPaused, [this] { return waveOutRestart(FDeviceHandle); });
}

void TWaveAudioOut::AbandonDevice() {
  if (FDeviceHandle == 0) return;
  waveOutReset(FDeviceHandle);
  for (int i = 0; i < 2; ++i)
    if (waveOutClose(FDeviceHandle) == MMSYSERR_NOERROR) break;
  FDeviceHandle = 0;
}

void TWaveAudioOut::Seek(uint32_t Position) {
  if (!HasDeviceHandle()) return;
  waveOutReset(FDeviceHandle);  // every queued buffer comes back and is refilled
  if (FPaused) {
    bool held = false;
    try {
      held = Success(waveOutPause(FDeviceHandle));
    } catch (...) {
      FPaused = false;
      FPositionBase = Position;
      throw;
    }
    FPaused = held;
  }
  FPositionBase = Position;
}

// --- the buffer cycle ---

void TWaveAudioOut::WomOpen() {
  ApplyDeviceSettings();
  FPositionBase = 0;
  // A cycle stopped before its opened notification keeps its pause for the next cycle
  // instead of losing it to a pause call on a device that is already closing.
  if (FPaused && !FClosing) {
    bool held = false;
    try {
      held = Success(waveOutPause(FDeviceHandle));
    } catch (...) {
      // The cycle still starts (unpaused); the error goes on to the exception handler.
      FPaused = false;
      DeviceOpened();
      throw;
    }
    FPaused = held;
  }
  DeviceOpened();
}

void TWaveAudioOut::WomClose() {
  FDeviceHandle = 0;
  DeviceClosed();
}

void TWaveAudioOut::PrimeBuffers() {
  if (ActiveBufferCount() == 0 && HasDeviceHandle() && !FClosing) PostWaveMessage(MM_WOM_DONE, 0);
}

void TWaveAudioOut::EndPlaybackAfterFailure(PWAVEHDR& Header) {
  if (Header != nullptr) {
    if ((Header->dwFlags & WHDR_PREPARED) != 0)
      waveOutUnprepareHeader(FDeviceHandle, Header, sizeof(WAVEHDR));
    ReallocateBuffer(Header, 0, nullptr);
  }
  FClosing = true;
}

void TWaveAudioOut::WomDone(PWAVEHDR Header) {
  auto closeDevice = [this] { return waveOutClose(FDeviceHandle); };
  try {
    if (Header != nullptr) Success(waveOutUnprepareHeader(FDeviceHandle, Header, sizeof(WAVEHDR)));
    // A posted request (no header) is not yet counted among the buffers out.
    const uint16_t wanted = EffectiveBufferCount();
    const bool tooMany =
        Header != nullptr ? ActiveBufferCount() > wanted : ActiveBufferCount() >= wanted;
    if (!FClosing && tooMany) {
      ReallocateBuffer(Header, 0, nullptr);
    } else if (!FClosing) {
      uint32_t bytes = 0;
      uint32_t numLoops = 0;
      if (FFillBuffers) {
        if (ReallocateBuffer(Header, CalcBufferSize(), nullptr)) {
          bytes = GetWaveData(Header->lpData, Header->dwBufferLength, numLoops);
          if (bytes < Header->dwBufferLength) ReallocateBuffer(Header, bytes, nullptr);
        }
        // A close asked for by the source itself (from inside GetWaveData) stands.
        FClosing = FClosing || bytes == 0;
      } else {
        void* block = nullptr;
        bool freeIt = true;
        bool silence = false;
        bytes = GetWaveDataPtr(block, numLoops, freeIt);
        if (block == nullptr && bytes != 0) {
          silence = true;
          if (ActiveBufferCount() > 1) {
            bytes = 0;  // the silence waits until the buffers queued before it have played
          } else {
            freeIt = true;
            bytes = MillisecondsToBufferBytes(&FWaveFormat, bytes);
          }
        }
        if (block != nullptr && bytes == 0 && freeIt) {
          std::free(block);  // an empty block handed over is ours to free
          block = nullptr;
        }
        const bool ok = ReallocateBuffer(Header, bytes, bytes == 0 ? nullptr : block);
        if (!ok && block != nullptr && freeIt) std::free(block);
        if (Header != nullptr && freeIt) Header->dwUser = OwnerMark();
        if (Header != nullptr && silence)
          FillSilence(Header->lpData, Header->dwBufferLength, FWaveFormat.wBitsPerSample);
        FClosing = FClosing || (bytes == 0 && !silence);
      }
      if (!FClosing && Header != nullptr) {
        if (numLoops != 0) {
          Header->dwFlags = WHDR_BEGINLOOP | WHDR_ENDLOOP;
          Header->dwLoops = numLoops;
        }
        if (!WriteBuffer(Header))
          EndPlaybackAfterFailure(Header);
        else if (ActiveBufferCount() < wanted)
          PostWaveMessage(MM_WOM_DONE, 0);
      }
    }
  } catch (...) {
    // Whatever raised, the header in hand is not at the device: release it and let the
    // playback end, so that the close still comes.
    EndPlaybackAfterFailure(Header);
    try {
      CloseWhenDrained(closeDevice);
    } catch (...) {
      // The first error is the one reported.
    }
    throw;
  }
  if (FClosing && Header != nullptr) {
    if ((Header->dwFlags & WHDR_PREPARED) != 0)
      waveOutUnprepareHeader(FDeviceHandle, Header, sizeof(WAVEHDR));
    ReallocateBuffer(Header, 0, nullptr);
  }
  CloseWhenDrained(closeDevice);
}

bool TWaveAudioOut::WriteBuffer(PWAVEHDR Header) {
  const bool wasPrepared = (Header->dwFlags & WHDR_PREPARED) != 0;
  if (!wasPrepared && !Success(waveOutPrepareHeader(FDeviceHandle, Header, sizeof(WAVEHDR))))
    return false;
  try {
    DoBufferData(Header->lpData, Header->dwBufferLength);
    DoLevel(Header->lpData, Header->dwBufferLength);
    if (Success(waveOutWrite(FDeviceHandle, Header, sizeof(WAVEHDR)))) return true;
  } catch (...) {
    if (!wasPrepared) waveOutUnprepareHeader(FDeviceHandle, Header, sizeof(WAVEHDR));
    throw;
  }
  if (!wasPrepared) waveOutUnprepareHeader(FDeviceHandle, Header, sizeof(WAVEHDR));
  return false;
}

bool TWaveAudioOut::AddBuffer(void* Buffer, uint32_t BufferSize, uint32_t Loops, bool FreeIt) {
  PWAVEHDR header = nullptr;
  if (!ReallocateBuffer(header, BufferSize, Buffer)) return false;
  if (Buffer == nullptr) FillSilence(header->lpData, BufferSize, FWaveFormat.wBitsPerSample);
  if (FreeIt) header->dwUser = OwnerMark();
  if (Loops != 0) {
    // One buffer is a whole loop: it carries both marks, as the refill path does.
    header->dwFlags = WHDR_BEGINLOOP | WHDR_ENDLOOP;
    header->dwLoops = Loops;
  }
  try {
    if (WriteBuffer(header)) return true;
  } catch (...) {
  }
  ReallocateBuffer(header, 0, nullptr);
  return false;
}

uint32_t TWaveAudioOut::GetWaveData(void*, uint32_t, uint32_t&) { return 0; }

uint32_t TWaveAudioOut::GetWaveDataPtr(void*&, uint32_t&, bool&) { return 0; }
