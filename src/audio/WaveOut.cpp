#include "audio/WaveOut.h"

#include <cmath>
#include <cstdlib>

#include "platform/winmm_driver.h"

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

namespace {

const TWaveCalls kWaveOutCalls{
    waveOutGetNumDevs,
    WaveCapsCall<WAVEOUTCAPSA, waveOutGetDevCapsA>,
    waveOutGetErrorTextA,
    [](uint32_t* handle, UINT id, const WAVEFORMATEX* format, DWORD_PTR callback, DWORD flags) {
      return winmm::OpenWave(winmm::WaveDir::Out, handle, id, format, callback, flags);
    },
    waveOutClose,
    waveOutPrepareHeader,
    waveOutUnprepareHeader,
    waveOutWrite,
    waveOutRestart,
    waveOutPause,
    waveOutReset,
    waveOutGetPosition,
    [](uint32_t handle, MMRESULT code) {
      return winmm::FailureReason(winmm::WaveDir::Out, handle, code);
    },
    /*CloseSwallowsErrors=*/false,
};

}  // namespace

TWaveAudioOut::TWaveAudioOut(TComponent* owner) : TWaveAudioIO(owner, kWaveOutCalls) {}

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

uint32_t TWaveAudioOut::GetPosition() {
  TWaveLock guard(*this);  // the cycle's format, handle and base
  MMTIME time{};
  time.wType = TIME_MS;
  if (waveOutGetPosition(FDeviceHandle, &time, sizeof(time)) != MMSYSERR_NOERROR) return 0;
  return MMTimeToMs(time) + FPositionBase;
}

void TWaveAudioOut::Seek(uint32_t Position) {
  // The queue and the position base are also the Async worker's, inside its handlers.
  TWaveLock guard(*this);
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
  if (HasDeviceHandle()) ApplyDeviceSettings();
  FPositionBase = 0;
  // A cycle stopped before its opened notification keeps its pause for the next cycle
  // instead of losing it to a pause call on a device that is already closing.
  if (FPaused && !GetClosing()) {
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

void TWaveAudioOut::PrimeBuffers() {
  if (ActiveBufferCount() == 0 && HasDeviceHandle() && !GetClosing())
    PostWaveMessage(MM_WOM_DONE, 0);
}

void TWaveAudioOut::EndPlaybackAfterFailure(PWAVEHDR& Header) {
  DiscardBuffer(Header);
  if (!GetClosing()) EnterState(TCycleState::Closing);
}

void TWaveAudioOut::WomDone(PWAVEHDR Header) {
  try {
    if (Header != nullptr) Success(waveOutUnprepareHeader(FDeviceHandle, Header, sizeof(WAVEHDR)));
    // A posted request (no header) is not yet counted among the buffers out.
    const uint16_t wanted = EffectiveBufferCount();
    const bool tooMany =
        Header != nullptr ? ActiveBufferCount() > wanted : ActiveBufferCount() >= wanted;
    if (!GetClosing()) {
      if (tooMany)
        ReallocateBuffer(Header, 0, nullptr);
      else
        RefillAndWrite(Header);
    }
  } catch (...) {
    // Whatever raised, the header in hand is not at the device: release it and let the
    // playback end, so that the close still comes.
    EndPlaybackAfterFailure(Header);
    try {
      CloseWhenDrained();
    } catch (...) {
      // The first error is the one reported.
    }
    throw;
  }
  if (GetClosing()) DiscardBuffer(Header);
  CloseWhenDrained();
}

void TWaveAudioOut::RefillAndWrite(PWAVEHDR& Header) {
  uint32_t numLoops = 0;
  const bool ended =
      FFillBuffers ? RefillFromWaveData(Header, numLoops) : RefillFromWaveDataPtr(Header, numLoops);
  if (ended) {
    // The remaining buffers play out; the last one to come back closes the device.
    if (!GetClosing()) EnterState(TCycleState::Closing);
    return;
  }
  // A close asked for by the source itself (from inside its refill) stands.
  if (GetClosing() || Header == nullptr) return;
  if (numLoops != 0) {
    Header->dwFlags = WHDR_BEGINLOOP | WHDR_ENDLOOP;  // this one buffer is the whole loop
    Header->dwLoops = numLoops;
  }
  if (!WriteBuffer(Header))
    EndPlaybackAfterFailure(Header);
  else if (ActiveBufferCount() < EffectiveBufferCount())
    PostWaveMessage(MM_WOM_DONE, 0);
}

bool TWaveAudioOut::RefillFromWaveData(PWAVEHDR& Header, uint32_t& NumLoops) {
  if (!ReallocateBuffer(Header, CalcBufferSize(), nullptr)) return true;
  const uint32_t bytes = GetWaveData(Header->lpData, Header->dwBufferLength, NumLoops);
  // A short buffer is shrunk in place, keeping its samples; none at all releases it.
  if (bytes < Header->dwBufferLength && !ReallocateBuffer(Header, bytes, nullptr)) return true;
  return bytes == 0;
}

bool TWaveAudioOut::RefillFromWaveDataPtr(PWAVEHDR& Header, uint32_t& NumLoops) {
  void* block = nullptr;
  bool freeIt = true;
  uint32_t bytes = GetWaveDataPtr(block, NumLoops, freeIt);
  const bool silence = block == nullptr && bytes != 0;  // bytes is a duration then
  if (silence) {
    if (ActiveBufferCount() > 1) {
      // The silence waits until the buffers queued before it have played: this header
      // goes, and the source is asked again at the next finished buffer.
      ReallocateBuffer(Header, 0, nullptr);
      return false;
    }
    freeIt = true;
    bytes = MillisecondsToBufferBytes(&FWaveFormat, bytes);
  }
  auto dropBlock = [&] {
    if (block != nullptr && freeIt) std::free(block);  // a block handed over is ours to free
  };
  if (bytes == 0) {
    dropBlock();
    ReallocateBuffer(Header, 0, nullptr);
    return true;
  }
  if (!ReallocateBuffer(Header, bytes, block)) {
    dropBlock();
    return true;
  }
  if (freeIt) Header->dwUser = OwnerMark();
  if (silence) FillSilence(Header->lpData, Header->dwBufferLength, FWaveFormat.wBitsPerSample);
  return false;
}

bool TWaveAudioOut::WriteBuffer(PWAVEHDR Header) { return SubmitBuffer(Header, true); }

bool TWaveAudioOut::AddBuffer(void* Buffer, uint32_t BufferSize, uint32_t Loops, bool FreeIt) {
  return AddCallersBuffer(Buffer, BufferSize, FreeIt, [&](PWAVEHDR header) {
    if (Buffer == nullptr) FillSilence(header->lpData, BufferSize, FWaveFormat.wBitsPerSample);
    if (Loops != 0) {
      // One buffer is a whole loop: it carries both marks, as the refill path does.
      header->dwFlags = WHDR_BEGINLOOP | WHDR_ENDLOOP;
      header->dwLoops = Loops;
    }
    return WriteBuffer(header);
  });
}

uint32_t TWaveAudioOut::GetWaveData(void*, uint32_t, uint32_t&) { return 0; }

uint32_t TWaveAudioOut::GetWaveDataPtr(void*&, uint32_t&, bool&) { return 0; }
