#include "audio/WaveRecorders.h"

#include <exception>

TStockAudioRecorder::TStockAudioRecorder(TComponent* owner) : TWaveAudioIn(owner) {}

TStockAudioRecorder::~TStockAudioRecorder() {
  // Stops a running recording through the overridden SetActive; its closed notification
  // finishes the file. A device that would not close is abandoned without that
  // notification, so whatever is still attached is finished here.
  ShutDown();
  try {
    ReleaseStream();
  } catch (...) {
    // Nobody is left to tell.
  }
  SetStock(nullptr);
}

// --- the Stock link ---

void TStockAudioRecorder::SetStock(TCustomWaveStorage* Value) { LinkStock(this, FStock, Value); }

void TStockAudioRecorder::Notification(TComponent* component, TOperation operation) {
  TWaveAudioIn::Notification(component, operation);
  if (operation == opRemove && component != nullptr && component == FStock) {
    DetachFromVanishingStock();
    SetStock(nullptr);
  }
}

void TStockAudioRecorder::DetachFromVanishingStock() {
  if (WaveStream == nullptr || OwnsStream) return;
  // The storage has already freed its streams: closing the handle sends no data, and the
  // stream itself is not touched again.
  if (WaveFileHandle != nullptr) {
    HMMIO handle = WaveFileHandle;
    WaveFileHandle = nullptr;
    mmioClose(handle, 0);
  }
  WaveStream = nullptr;
  if (GetActive() && !GetClosing()) {
    try {
      StopRecording();
    } catch (...) {
      // The storage's destruction goes on; the device reports through its own channel.
    }
  }
}

// --- starting and stopping ---

bool TStockAudioRecorder::StartRecordingToFile(const std::string& FileName) {
  // Raises "Cannot create file %s" before anything else happens.
  auto* stream = new TFileStream(FileName, fmCreate);
  return BeginWithStream(stream, true);
}

bool TStockAudioRecorder::StartRecordingToStockItem(int32_t Index) {
  if (FStock == nullptr) throw EWaveAudioInvalidOperation("Stock property is not assigned");
  return BeginWithStream(FStock->ProvideStream(Index), false);
}

bool TStockAudioRecorder::StopRecording() { return CloseDevice(); }

void TStockAudioRecorder::SetActive(bool Value) {
  if (Value == GetActive()) return;
  if (Value)
    StartRecordingToStockItem(0);
  else
    StopRecording();
}

bool TStockAudioRecorder::BeginWithStream(TStream* Stream, bool Owns) {
  TPendingStream pending{Stream, Owns, false, FPending};
  try {
    SetActive(false);  // a running recording is stopped first; it finishes its own file
  } catch (...) {
    DropPendingStream(pending);
    throw;
  }
  FPending = &pending;
  bool opened = false;
  try {
    opened = OpenDevice();
  } catch (...) {
    FPending = pending.Outer;
    DropPendingStream(pending);
    throw;
  }
  FPending = pending.Outer;
  if (!opened) DropPendingStream(pending);
  return opened;
}

void TStockAudioRecorder::TakePendingStream() {
  if (FPending == nullptr || FPending->Taken) return;
  // The open runs only once the previous device has closed (its closed notification has
  // finished that cycle's file); a stream still attached here belongs to a device that
  // was abandoned, and is finished now rather than overwritten.
  if (WaveStream != nullptr) ReleaseStream();
  WaveStream = FPending->Stream;
  OwnsStream = FPending->Owns;
  FPending->Taken = true;
}

void TStockAudioRecorder::DropPendingStream(TPendingStream& pending) noexcept {
  try {
    if (pending.Taken) {
      // The open began with this stream: it is this cycle's and is finished (as an empty
      // recording when the header was written) and released.
      if (WaveStream == pending.Stream) ReleaseStream();
    } else if (pending.Owns) {
      delete pending.Stream;  // never reached a device: nothing was written to it
    }
  } catch (...) {
    // The open's own failure is the one the caller hears about.
  }
  pending.Stream = nullptr;
}

// --- the device cycle ---

void TStockAudioRecorder::GetWaveFormat(PWaveFormatEx& pWaveFormat, bool& FreeIt) {
  TakePendingStream();
  TWaveAudioIn::GetWaveFormat(pWaveFormat, FreeIt);
  if (pWaveFormat == nullptr) return;
  if (WaveFileHandle != nullptr) {
    // A handle left over from an earlier open on the same stream is not written again.
    mmioClose(WaveFileHandle, 0);
    WaveFileHandle = nullptr;
  }
  if (WaveStream != nullptr)
    WaveFileHandle = CreateStreamWaveWriter(WaveStream, pWaveFormat, RiffChunk, DataChunk);
  // A failed header shows itself with the first buffer, which then cannot be written.
}

void TStockAudioRecorder::DataReady(void* Buffer, uint32_t BytesRecorded, bool& /*FreeIt*/) {
  LONG written = -1;
  if (WaveFileHandle != nullptr)
    written = mmioWrite(WaveFileHandle, static_cast<const char*>(Buffer),
                        static_cast<LONG>(BytesRecorded));
  if (written >= 0 && static_cast<uint32_t>(written) == BytesRecorded) return;
  // A short write is reported for this buffer and the recording goes on: the report is
  // handed to the application's exception handler here, where it would end up anyway,
  // instead of unwinding through the device layer, which would drop the buffer from the
  // queue and starve the device after a few failures.
  try {
    Success(1);
  } catch (const std::exception& e) {
    if (auto& handler = ApplicationHandleException()) handler(this, e);
  }
}

void TStockAudioRecorder::WimClose() {
  try {
    ReleaseStream();
  } catch (...) {
    TWaveAudioIn::WimClose();
    throw;
  }
  TWaveAudioIn::WimClose();
}

void TStockAudioRecorder::DoError() {
  if (!GetActive()) {
    // No device: the recording cannot go on, so its file is finished now.
    try {
      ReleaseStream();
    } catch (...) {
      TWaveAudioIn::DoError();
      throw;
    }
  }
  TWaveAudioIn::DoError();
}

void TStockAudioRecorder::ReleaseStream() {
  // Each field is cleared before the call that might raise, so a second run never finishes
  // or frees the same thing again.
  HMMIO handle = WaveFileHandle;
  WaveFileHandle = nullptr;
  TStream* stream = WaveStream;
  WaveStream = nullptr;
  std::exception_ptr failure;
  if (handle != nullptr) {
    try {
      FinishWaveWriter(handle, RiffChunk, DataChunk);
    } catch (...) {
      failure = std::current_exception();
    }
  }
  if (OwnsStream && stream != nullptr) delete stream;
  if (failure) std::rethrow_exception(failure);
}
