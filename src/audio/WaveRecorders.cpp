#include "audio/WaveRecorders.h"

#include <exception>

#include "rtl/Classes.h"
#include "rtl/SysUtils.h"

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
    if (DetachFromVanishingStock(*this, WaveStream, WaveFileHandle, OwnsStream)) FStreamGone = true;
    SetStock(nullptr);
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

namespace {

// The recorder stops a running recording and goes straight on; it writes its header once
// the device asks for the format.
constexpr TStockStart kRecorderStart{/*YieldAfterStop=*/false, /*OpenReadHandle=*/false};

}  // namespace

bool TStockAudioRecorder::BeginWithStream(TStream* Stream, bool Owns) {
  return FPending.Begin(*this, Stream, Owns, kRecorderStart, [this](TStream* stream) {
    // The open began with this stream: it is this cycle's and is finished (as an empty
    // recording when the header was written) and released.
    if (WaveStream == stream) ReleaseStream();
  });
}

void TStockAudioRecorder::TakePendingStream() {
  TCycleStream next;
  if (!FPending.Take(next)) return;
  // The open runs only once the previous device has closed (its closed notification has
  // finished that cycle's file); a stream still attached here belongs to a device that
  // was abandoned, and is finished now rather than overwritten.
  if (WaveStream != nullptr) ReleaseStream();
  WaveStream = next.Stream;
  OwnsStream = next.Owns;
  FStreamGone = false;
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
  if (FStreamGone) return;
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
      // The file's last writes (its sizes) failed: that is the file error it is.
      if (!FinishWaveWriter(handle, RiffChunk, DataChunk)) {
        const auto* file = dynamic_cast<const TFileStream*>(stream);
        const int err = file != nullptr ? file->LastWriteError() : 0;
        throw EInOutError(err != 0 ? IOErrorFromErrno(err) : ioDiskFull);
      }
    } catch (...) {
      failure = std::current_exception();
    }
  }
  if (OwnsStream && stream != nullptr) delete stream;
  if (failure) std::rethrow_exception(failure);
}
