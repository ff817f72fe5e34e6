#include "package/TakeRecording.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "codec/Convert.h"
#include "codec/SilenceTrim.h"
#include "codec/TakeFile.h"
#include "package/History.h"
#include "rtl/ByteFile.h"
#include "rtl/FileSystem.h"
#include "rtl/OsFiles.h"
#include "rtl/SysUtils.h"

// --- TDiskSync ---

// One file handed to the disk on a thread of its own: Request asks for it and returns at
// once; requests that come while a hand-over runs make one more. The file descriptor is
// the object's and is closed, after the last hand-over, when it goes.
class TDiskSync {
 public:
  explicit TDiskSync(int fd) : FFd(fd), FThread([this] { Run(); }) {}
  ~TDiskSync() {
    {
      std::lock_guard lk(FM);
      FQuit = true;
    }
    FCv.notify_one();
    FThread.join();
    osfiles::Close(FFd);
  }
  TDiskSync(const TDiskSync&) = delete;
  TDiskSync& operator=(const TDiskSync&) = delete;

  void Request() {
    {
      std::lock_guard lk(FM);
      FWanted = true;
    }
    FCv.notify_one();
  }

 private:
  void Run() {
    std::unique_lock lk(FM);
    for (;;) {
      FCv.wait(lk, [this] { return FWanted || FQuit; });
      if (!FWanted) return;
      FWanted = false;
      lk.unlock();
      osfiles::SyncData(FFd);
      lk.lock();
    }
  }

  const int FFd;
  std::mutex FM;
  std::condition_variable FCv;
  bool FWanted = false;
  bool FQuit = false;
  std::thread FThread;  // last: it starts once the rest is there
};

// --- TTakeRecorder ---

TTakeRecorder::TTakeRecorder(TComponent* owner) : TStockAudioRecorder(owner) {}

TTakeRecorder::~TTakeRecorder() {
  // A recording still running is stopped while this class's overrides still take part, so
  // its last buffers count and its file is handed to the disk.
  ShutDown();
  FSync.reset();
}

uint32_t TTakeRecorder::DataMilliseconds() const {
  return FBytesPerSecond == 0 ? 0 : static_cast<uint32_t>(FDataBytes * 1000 / FBytesPerSecond);
}

void TTakeRecorder::GetWaveFormat(PWaveFormatEx& pWaveFormat, bool& FreeIt) {
  // A new recording: its counts and its failures start afresh.
  FDataBytes = FSizesWrittenAt = 0;
  FFailed = FWriteFailed = false;
  FFileError = 0;
  FSync.reset();
  TStockAudioRecorder::GetWaveFormat(pWaveFormat, FreeIt);
  if (pWaveFormat == nullptr) return;
  const WAVEFORMATEX format = *pWaveFormat;
  FBytesPerSecond = format.nAvgBytesPerSec;
  FRefreshBytes = std::max<uint32_t>(format.nAvgBytesPerSec / 2, 1);
  if (auto* file = dynamic_cast<TFileStream*>(WaveStream)) {
    int fd = -1;
    if (osfiles::Open(ResolveFileName(file->FileName()), osfiles::TAccess::Write, false, false,
                      fd) == 0)
      FSync = std::make_unique<TDiskSync>(fd);
  }
  // From the first moment on the file reads as a (still empty) WAV file.
  if (WaveFileHandle != nullptr) WriteSizes(mmioSeek(WaveFileHandle, 0, SEEK_CUR_));
}

void TTakeRecorder::DataReady(void* Buffer, uint32_t BytesRecorded, bool& FreeIt) {
  // A file that took no more takes nothing after that: the buffers still coming back while
  // the recording stops are left out, and their failures are not reported again.
  if (FFileError != 0) return;
  FWriting = true;
  FWriteFailed = false;
  // The stock recorder reports a short write itself (through DoError) and never raises.
  TStockAudioRecorder::DataReady(Buffer, BytesRecorded, FreeIt);
  FWriting = false;
  if (WaveFileHandle != nullptr) {
    const LONG end = mmioSeek(WaveFileHandle, 0, SEEK_CUR_);
    if (end >= static_cast<LONG>(DataChunk.dwDataOffset))
      FDataBytes = static_cast<uint64_t>(end) - DataChunk.dwDataOffset;
    if (!FWriteFailed && FDataBytes >= FSizesWrittenAt + FRefreshBytes && !WriteSizes(end))
      FWriteFailed = true;
  }
  if (FWriteFailed) {
    FFailed = true;
    if (FFileError == 0) FFileError = StreamWriteError();
  }
}

int TTakeRecorder::StreamWriteError() const {
  const auto* file = dynamic_cast<const TFileStream*>(WaveStream);
  const int err = file != nullptr ? file->LastWriteError() : 0;
  return err != 0 ? IOErrorFromErrno(err) : ioDiskFull;
}

void TTakeRecorder::WimData(PWAVEHDR Header) {
  try {
    TStockAudioRecorder::WimData(Header);
  } catch (...) {
    StopAfterFailure();
    throw;
  }
  StopAfterFailure();
}

void TTakeRecorder::StopAfterFailure() {
  // A device that is gone delivers no more sound, and a file that takes no more (a full
  // disk) would lose everything after this buffer: the recording ends here and keeps what
  // it holds, rather than running on until the user notices.
  if (!FFailed || !GetActive() || GetClosing()) return;
  try {
    StopRecording();
  } catch (...) {
    // The failure that ended it has been reported; the device reports its own.
  }
}

void TTakeRecorder::DoError() {
  FFailed = true;
  // A write of the file that failed is a file error, not the device's: it is kept for
  // Finish to say, instead of the device's "unspecified error" for every buffer.
  if (FWriting) {
    FWriteFailed = true;
    return;
  }
  TStockAudioRecorder::DoError();
}

void TTakeRecorder::ReleaseStream() {
  FSync.reset();
  try {
    TStockAudioRecorder::ReleaseStream();
  } catch (const EInOutError& e) {
    // The sizes at the end could not be written: the recording failed there, and the file
    // keeps the sizes written last (every half second).
    FFailed = true;
    if (FFileError == 0) FFileError = e.ErrorCode;
  }
}

bool TTakeRecorder::WriteSizes(int32_t end) {
  auto put = [this](DWORD at, uint32_t value) {
    const char bytes[4] = {static_cast<char>(value), static_cast<char>(value >> 8),
                           static_cast<char>(value >> 16), static_cast<char>(value >> 24)};
    return mmioSeek(WaveFileHandle, static_cast<LONG>(at), SEEK_SET_) == static_cast<LONG>(at) &&
           mmioWrite(WaveFileHandle, bytes, 4) == 4;
  };
  if (end < static_cast<int32_t>(DataChunk.dwDataOffset)) return false;
  // The RIFF size counts everything after its own field; the data size the sound so far.
  const bool written = put(RiffChunk.dwDataOffset - 4, end - RiffChunk.dwDataOffset) &&
                       put(DataChunk.dwDataOffset - 4, end - DataChunk.dwDataOffset);
  const bool back = mmioSeek(WaveFileHandle, end, SEEK_SET_) == end;
  if (!written || !back) return false;
  FSizesWrittenAt = FDataBytes;
  if (FSync) FSync->Request();
  return true;
}

// --- TTakeRecording ---

namespace {

bool IsReadOnly(const std::string& path) {
  osfiles::TInfo info;
  return osfiles::Stat(ResolveFileName(path), true, info) == 0 && IsReadOnlyMode(info.Mode);
}

// A folder without any write permission bit takes no new file, root included, as a file
// without one takes no writes.
bool FolderTakesFiles(const std::string& folder) {
  osfiles::TInfo info;
  return osfiles::Stat(folder.empty() ? "." : folder, true, info) == 0 &&
         info.Kind == osfiles::TKind::Folder && !IsReadOnlyMode(info.Mode);
}

// "<name> (unfinished recording).WAV", or with " 2", " 3", ... when that name is taken.
std::string TemporaryName(const std::string& takeName, int number) {
  const size_t dot = takeName.rfind('.');
  const std::string base = dot == std::string::npos ? takeName : takeName.substr(0, dot);
  const std::string ext = dot == std::string::npos ? "" : takeName.substr(dot);
  return base + " (unfinished recording" + (number > 1 ? " " + std::to_string(number) : "") + ")" +
         ext;
}

}  // namespace

TTakeRecording::TTakeRecording(std::string take, bool convert)
    : FTake(std::move(take)), FConvert(convert) {
  if (FTake.empty() || NameOf(FTake).empty() || IsReadOnly(FTake)) throw EFCreateError(FTake);
  const std::string vox = ChangeFileExt(FTake, ".vox");
  if (FConvert && IsReadOnly(vox)) throw EFCreateError(vox);
  // The temporary file lies in the take's folder as that is on disk, so the rename that
  // finishes the recording stays within one folder.
  const std::string folder = ResolveFileName(FolderOf(FTake));
  if (!FolderTakesFiles(folder)) throw EFCreateError(FTake);
  for (int number = 1; number < 100; ++number) {
    const std::string temp = folder + TemporaryName(NameOf(FTake), number);
    int fd = -1;
    const int err = osfiles::CreateNew(temp, fd);
    if (err == 0) {
      osfiles::Close(fd);
      FTemp = temp;
      return;
    }
    if (err != EEXIST) break;  // a file left by an earlier recording is never reused
  }
  throw EFCreateError(FTake);
}

TTakeRecording::~TTakeRecording() {
  if (!FStarted && !FTemp.empty()) osfiles::Remove(FTemp);
}

bool TTakeRecording::Start(TTakeRecorder& recorder) {
  FStarted = recorder.StartRecordingToFile(FTemp);
  return FStarted;
}

TTakeOutcome TTakeRecording::Finish(const TTakeRecorder& recorder, const TAppContext& folder,
                                    TShell& shell) {
  if (recorder.Failed() && recorder.DataBytes() == 0) {
    osfiles::Remove(FTemp);
    shell.ShowMessage("Nothing was recorded into \"" + FTake +
                          "\": the recording failed before any sound came in, and the slot's files "
                          "are as they were.",
                      msError);
    return TTakeOutcome::NothingRecorded;
  }
  if (FConvert && !TakeHoldsSound(FTemp) && TakeHoldsSound(FTake)) {
    osfiles::Remove(FTemp);
    shell.ShowMessage(
        "Nothing was heard in the recording: the earlier take \"" + FTake + "\" is kept.",
        msWarning);
    return TTakeOutcome::NothingHeard;
  }
  {
    // The take leaves its slot only when the finished file has taken its name.
    TKeptTake kept(folder.ExeFolder, HistoryNameOf(folder.ExeFolder, FTake), FTake);
    ReplaceByRename(FTemp, FTake);
    kept.Keep();
    FKept = kept.Entry();
  }
  std::string notCoded;
  if (FConvert) {
    TAppContext ctx{folder.ExeFolder, FTake, folder.Coder};
    try {
      ConvertRecordedTake(ctx, shell);
      FCoded = true;
    } catch (const EInOutError& e) {
      // After a recording that failed (a full disk) the coding fails the same way: said once.
      if (!recorder.Failed()) throw;
      notCoded = e.Message();
    }
  }
  if (!recorder.Failed()) return TTakeOutcome::Replaced;
  const double seconds = recorder.DataMilliseconds() / 1000.0;
  std::string text =
      recorder.FileError() != 0
          ? Format(
                "%s: the recording stopped after %.2f seconds, and what was captured is kept "
                "in \"%s\"",
                EInOutError::TextFor(recorder.FileError()).c_str(), seconds, FTake.c_str())
          : Format(
                "The recording was cut short after %.2f seconds: what was captured is kept in "
                "\"%s\"",
                seconds, FTake.c_str());
  text += notCoded.empty() ? "." : " (not coded: " + notCoded + ").";
  shell.ShowMessage(text, msError);
  return TTakeOutcome::CutShort;
}

bool TakeHoldsSound(const std::string& path) {
  try {
    TByteFile take(path);
    take.Reset();
    const int64_t size = take.Size();
    if (size < kTakeSamplesPos) return false;
    take.Seek(kTakeDataSizePos);
    const int64_t count = std::min<int64_t>(take.ReadU32(), size - kTakeSamplesPos);
    return FindLeadingStart(take, count, kWideQuietBand) >= 0;
  } catch (const EInOutError&) {
    return false;
  }
}
