#include "audio/WavePlayers.h"

#include <exception>

TStockAudioPlayer::TStockAudioPlayer(TComponent* owner) : TWaveAudioOut(owner) {}

TStockAudioPlayer::~TStockAudioPlayer() {
  // Stops a running playback through the overridden SetActive; its closed notification
  // releases the stream. A device that would not close is abandoned without it.
  ShutDown();
  try {
    ReleaseStream();
  } catch (...) {
  }
  SetStock(nullptr);
}

// --- the Stock link ---

void TStockAudioPlayer::SetStock(TCustomWaveStorage* Value) { LinkStock(this, FStock, Value); }

void TStockAudioPlayer::Notification(TComponent* component, TOperation operation) {
  TWaveAudioOut::Notification(component, operation);
  if (operation == opRemove && component != nullptr && component == FStock) {
    // The next request for data finds no handle: the end.
    DetachFromVanishingStock(*this, WaveStream, WaveFileHandle, OwnsStream);
    SetStock(nullptr);
  }
}

// --- starting and stopping ---

bool TStockAudioPlayer::StartPlayingFile(const std::string& FileName) {
  auto* stream = new TFileStream(FileName, fmOpenRead | fmShareDenyWrite);
  return BeginWithStream(stream, true);
}

bool TStockAudioPlayer::StartPlayingStockItem(int32_t Index) {
  if (FStock == nullptr) throw EWaveAudioInvalidOperation("Stock property is not assigned");
  return BeginWithStream(FStock->ProvideStream(Index), false);
}

bool TStockAudioPlayer::StopPlaying() { return CloseDevice(); }

void TStockAudioPlayer::SetActive(bool Value) {
  if (Value == GetActive()) return;
  if (Value)
    StartPlayingStockItem(0);
  else
    StopPlaying();
}

namespace {

// The player yields once after stopping a running playback, and opens its read handle on
// the new stream before the device.
constexpr TStockStart kPlayerStart{/*YieldAfterStop=*/true, /*OpenReadHandle=*/true};

}  // namespace

bool TStockAudioPlayer::BeginWithStream(TStream* Stream, bool Owns) {
  return FPending.Begin(*this, Stream, Owns, kPlayerStart, [this](TStream* stream) {
    if (WaveStream == stream) ReleaseStream();
  });
}

void TStockAudioPlayer::TakePendingStream() {
  TCycleStream next;
  if (!FPending.Take(next)) return;
  // The previous device has closed (and released its stream) before an open gets here; a
  // stream still attached belongs to an abandoned device and is released now.
  if (WaveStream != nullptr || WaveFileHandle != nullptr) ReleaseStream();
  WaveStream = next.Stream;
  WaveFileHandle = next.Handle;
  OwnsStream = next.Owns;
  DataSize = 0;
  DataOffset = 0;
}

// --- the device cycle ---

void TStockAudioPlayer::GetWaveFormat(PWaveFormatEx& pWaveFormat, bool& /*FreeIt*/) {
  TakePendingStream();
  pWaveFormat = nullptr;
  // Without a format the open fails through DoError, with the reader's reason for it.
  if (WaveFileHandle == nullptr) {
    ExplainNoFormat(WaveStream == nullptr ? "no stream to play" : "the stream cannot be read");
    return;
  }
  const char* reason = nullptr;
  if (ReadWaveHeader(WaveFileHandle, pWaveFormat, DataSize, DataOffset, &reason)) {
    mmioSeek(WaveFileHandle, DataOffset, SEEK_SET_);
  } else {
    pWaveFormat = nullptr;
    ExplainNoFormat(reason);
  }
  // The record came from std::malloc; the device layer frees it once the device is open.
}

uint32_t TStockAudioPlayer::GetWaveData(void* Buffer, uint32_t BufferSize, uint32_t& /*NumLoops*/) {
  if (WaveFileHandle == nullptr) return 0;
  const LONG position = mmioSeek(WaveFileHandle, 0, SEEK_CUR_);
  if (position < 0) return 0;
  // Bytes of the data chunk not yet delivered; a position outside the chunk has none.
  uint32_t remaining = 0;
  if (position >= DataOffset) {
    const uint32_t done = static_cast<uint32_t>(position - DataOffset);
    if (done < DataSize) remaining = DataSize - done;
  }
  const uint32_t wanted = BufferSize < remaining ? BufferSize : remaining;
  if (wanted == 0) return 0;
  const LONG got = mmioRead(WaveFileHandle, static_cast<char*>(Buffer), static_cast<LONG>(wanted));
  // The read's failure result would otherwise pass as a huge byte count and the device
  // would play a buffer that was never filled.
  if (got < 0) return 0;
  return static_cast<uint32_t>(got);
}

void TStockAudioPlayer::Seek(uint32_t Position) {
  // The file position is also the Async worker's, as it refills buffers in its handlers.
  TWaveLock guard(*this);
  if (WaveFileHandle != nullptr) {
    const WAVEFORMATEX& format = GetWaveFormatRecord();
    const uint32_t offset = MillisecondsToAlignedBytes(&format, Position);
    const uint32_t target = offset < DataSize ? offset : DataSize;
    mmioSeek(WaveFileHandle, static_cast<LONG>(DataOffset + static_cast<int64_t>(target)),
             SEEK_SET_);
  }
  TWaveAudioOut::Seek(Position);
}

void TStockAudioPlayer::WomClose() {
  try {
    ReleaseStream();
  } catch (...) {
    TWaveAudioOut::WomClose();
    throw;
  }
  TWaveAudioOut::WomClose();
}

void TStockAudioPlayer::DoError() {
  if (!GetActive()) {
    try {
      ReleaseStream();
    } catch (...) {
      TWaveAudioOut::DoError();
      throw;
    }
  }
  TWaveAudioOut::DoError();
}

void TStockAudioPlayer::ReleaseStream() {
  HMMIO handle = WaveFileHandle;
  WaveFileHandle = nullptr;
  TStream* stream = WaveStream;
  WaveStream = nullptr;
  if (handle != nullptr) mmioClose(handle, 0);
  if (OwnsStream && stream != nullptr) delete stream;
}
