#include "package/Builder.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "codec/Convert.h"
#include "package/History.h"
#include "package/Package.h"
#include "package/SlotQueue.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "rtl/ByteFile.h"
#include "rtl/CaseFold.h"
#include "rtl/SysUtils.h"

namespace {

std::string SlotKey(int slot) { return "Name" + std::to_string(slot); }

}  // namespace

std::string NormaliseConfiguredName(std::string name) {
  std::replace(name.begin(), name.end(), '\\', '/');
  return name;
}

const char* SourceRefusal(const std::string& folder, const std::string& source) {
  if (!LiesInside(folder, folder + source)) return kOutsideFolder;
  // An earlier take is packed only once it is brought back as its slot's take.
  if (IsInHistory(source)) return kInHistory;
  return nullptr;
}

bool IsNoFile(const std::string& value) { return value.empty() || SameText(value, "NONE"); }

std::vector<TSlotConfig> ReadBuildConfig(const TIniFile& ini) {
  std::vector<TSlotConfig> slots(kSlotCount);
  for (int slot = 0; slot < kSlotCount; ++slot) {
    const std::string key = SlotKey(slot);
    slots[slot].SoundName = ini.ReadString("SoundFiles", key, "");
    slots[slot].SourceAsWritten = ini.ReadString("SourceFileNames", key, "");
    slots[slot].Source = NormaliseConfiguredName(slots[slot].SourceAsWritten);
    slots[slot].Destination = ini.ReadString("DestinationFileNames", key, "");
  }
  return slots;
}

std::vector<TSlotConfig> ReadBuildConfig(const std::string& iniPath) {
  return ReadBuildConfig(TIniFile(iniPath));
}

namespace {

// How many slots may be converted ahead of the one being packed, per worker; how many
// written files may wait for their names before they go to the disk together.
constexpr int kAheadPerWorker = 2;
constexpr size_t kMostWaiting = 64;

// What a slot's work says, kept until the slot's turn: a status line or a message.
struct TSlotEvent {
  bool IsMessage;
  TMessageSeverity Severity;
  std::string Text;
};

// The shell a slot's work talks to: it keeps what is said for the build to pass on in slot
// order, on the thread the real shell belongs to.
class TKeepingShell : public TShell {
 public:
  explicit TKeepingShell(std::vector<TSlotEvent>& events) : FEvents(events) {}
  void ShowMessage(const std::string& text, TMessageSeverity severity) override {
    FEvents.push_back({true, severity, text});
  }
  void StatusClear() override {}
  void StatusShow() override {}
  void StatusAdd(const std::string& line) override {
    FEvents.push_back({false, msInformation, line});
  }
  std::optional<std::string> PickVoxFile() override { return std::nullopt; }
  void ProcessMessages() override {}
  void WaitForEvents() override {}

 private:
  std::vector<TSlotEvent>& FEvents;
};

enum class TSlotOutcome { NoSource, Missing, Refused, Converted, Rejected };

// One slot's work, done on any thread, and what it leaves for its turn.
struct TSlotWork {
  std::string Row;  // the sound list's row, named by the line of a missing source
  std::vector<TSlotEvent> Events;
  TSlotOutcome Outcome = TSlotOutcome::NoSource;
  std::unique_ptr<TByteFile> Copy;  // the copy into "WAV Export", written, not in place yet
  std::vector<uint8_t> Kept;        // the samples "out.dat" is to hold, or
  std::unique_ptr<TByteFile> Work;  // "out.dat" holding them, written, not in place yet
  bool InMemory = false;            // the source was converted in memory: Codes are packed
  std::vector<uint8_t> Codes;       // its ".vox" bytes
  // The ".vox" to pack (when not in memory) or to put in place (when written): a new one,
  // not in place yet, or for a rejected source an older one.
  std::unique_ptr<TByteFile> Vox;
  const char* Refusal = nullptr;  // why a refused source was refused
  std::exception_ptr Error;       // what ended the work; the build ends at this slot
};

// The status lines of one slot, the copy into "WAV Export" and the conversion. checkWork
// raises what making "out.dat" would raise.
void WorkOnSlot(const std::string& folder, TCoder coder, const std::function<void()>& checkWork,
                int slot, const TSlotConfig& config, TSlotWork& w) {
  TKeepingShell shell(w.Events);
  try {
    if (IsNoFile(config.Source) || !FileExists(folder + config.Source)) {
      shell.StatusAdd("Warning: " + w.Row + ".wav not found");
      w.Outcome = IsNoFile(config.Source) ? TSlotOutcome::NoSource : TSlotOutcome::Missing;
      return;
    }
    shell.StatusAdd("Processing " + config.SoundName + " from " + config.Source);
    // Someone else's configuration file may name a file anywhere: what lies outside the
    // folder is neither read nor written beside.
    if (const char* refusal = SourceRefusal(folder, config.Source)) {
      shell.StatusAdd("Warning: source \"" + config.SourceAsWritten + "\" refused: " + refusal);
      w.Outcome = TSlotOutcome::Refused;
      w.Refusal = refusal;
      return;
    }
    if (!IsNoFile(config.Destination)) {
      // The copy stays in "WAV Export": a name from someone else's configuration file must
      // not reach a user's files elsewhere. A failed copy does not stop the build.
      const std::string copy = folder + "WAV Export/" + config.Destination + ".wav";
      if (!IsPlainName(config.Destination))
        shell.StatusAdd("Warning: destination \"" + config.Destination +
                        "\" refused: it must be a plain name");
      else if (!LiesInside(folder, copy))
        shell.StatusAdd("Warning: destination \"" + config.Destination +
                        "\" refused: \"WAV Export\" lies outside the program's folder");
      else
        w.Copy = CopyFileUnclosed(folder + config.Source, copy);
    }
    TAppContext ctx{folder, config.Source, coder};
    auto work = std::make_unique<TByteFile>(), vox = std::make_unique<TByteFile>();
    bool converted = false;
    try {
      converted = ConvertWaveFileForBuild(ctx, shell, checkWork, w.Kept, w.Codes, *work, *vox);
    } catch (const EInOutError& e) {
      throw ESourceFileError(slot, config.Source, e.ErrorCode);
    }
    if (converted) {
      w.Outcome = TSlotOutcome::Converted;
      w.InMemory = !work->IsOpen();
      if (!w.InMemory) w.Work = std::move(work);
      if (vox->IsOpen()) w.Vox = std::move(vox);
      return;
    }
    w.Outcome = TSlotOutcome::Rejected;
    // A rejected source leaves no new ".vox"; one from an earlier run is packed instead.
    const std::string voxPath = ChangeFileExt(ctx.CurrentSoundFileName, ".vox");
    if (FileExists(voxPath)) {
      w.Vox = std::make_unique<TByteFile>(voxPath);
      w.Vox->Reset();
    }
  } catch (...) {
    w.Error = std::current_exception();
  }
}

// True for the slots whose work must wait until every earlier slot's files are in place: a
// name it reads or writes (the source, its ".vox", its copy) is one an earlier slot writes
// (its ".vox", its copy, "out.dat"), in any letter case and in any folder; or its source is
// a link, which may lead to any of them.
std::vector<bool> SlotsThatWait(const std::string& folder, const std::vector<TSlotConfig>& config) {
  std::vector<bool> waits(kSlotCount, false);
  std::set<std::u32string> written;
  for (int slot = 0; slot < kSlotCount; ++slot) {
    const TSlotConfig& c = config[slot];
    if (IsNoFile(c.Source)) continue;
    const std::string source = folder + c.Source;
    std::vector<std::u32string> names = {CaseFolded(NameOf(source)),
                                         CaseFolded(NameOf(ChangeFileExt(source, ".vox")))};
    if (!IsNoFile(c.Destination)) names.push_back(CaseFolded(c.Destination + ".wav"));
    waits[slot] = IsLink(source) || std::any_of(names.begin(), names.end(), [&](const auto& n) {
                    return written.count(n) > 0;
                  });
    written.insert(names.begin() + 1, names.end());
    written.insert(CaseFolded("out.dat"));
  }
  return waits;
}

// The files the build has written and not yet put in place, in slot order: they go to the
// disk together, then take their names one after the other; last "out.dat".
class TWaitingFiles {
 public:
  explicit TWaitingFiles(std::string workPath) : FWorkPath(std::move(workPath)) {}
  // A ".vox" (whose failure ends the build as the slot's) or a copy (whose failure is let go).
  void Add(std::unique_ptr<TByteFile> file, int slot, const std::string& source, bool mayFail) {
    FFiles.push_back({std::move(file), slot, source, mayFail});
  }
  // What "out.dat" holds after the slot: the samples, in memory or in the file made for them.
  void SetWork(std::vector<uint8_t> kept, std::unique_ptr<TByteFile> file, int slot,
               const std::string& source) {
    FKept = std::move(kept);
    FWork = {std::move(file), slot, source, false};
    FHasWork = true;
  }
  size_t Count() const { return FFiles.size(); }

  // A ".vox" that fails ends the build as its slot's failure: the files before it still take
  // their names, those after it (and "out.dat") are given up.
  void PutInPlace() {
    size_t end = FFiles.size();
    std::exception_ptr failure;
    for (void (TByteFile::*step)() :
         {&TByteFile::StartPrepare, &TByteFile::Prepare, &TByteFile::Close})
      for (size_t i = 0; i < end; ++i)
        if (!Step(
                FFiles[i], [&](TByteFile& f) { (f.*step)(); }, failure))
          end = i;
    FFiles.clear();
    const bool work = FHasWork && !failure;
    FHasWork = false;
    if (work && !FWork.File) {
      FWork.File = std::make_unique<TByteFile>(FWorkPath);
      Step(
          FWork,
          [&](TByteFile& f) {
            f.Rewrite(TWriteKind::WorkingFile);
            f.BlockWrite(FKept.data(), FKept.size());
          },
          failure);
    }
    if (work)
      Step(
          FWork, [](TByteFile& f) { f.Close(); }, failure);
    FWork.File.reset();
    if (failure) std::rethrow_exception(failure);
  }

 private:
  struct TWaiting {
    std::unique_ptr<TByteFile> File;
    int Slot;
    std::string Source;
    bool MayFail;
  };
  // Runs one step of putting the file in place; false when it failed and ends the build (the
  // failure then holds the slot's error). A file that failed is given up.
  template <class F>
  static bool Step(TWaiting& w, F step, std::exception_ptr& failure) {
    if (!w.File) return true;
    try {
      step(*w.File);
      return true;
    } catch (const EInOutError& e) {
      w.File.reset();
      if (w.MayFail) return true;
      failure = std::make_exception_ptr(ESourceFileError(w.Slot, w.Source, e.ErrorCode));
      return false;
    }
  }

  std::string FWorkPath;
  std::vector<TWaiting> FFiles;
  std::vector<uint8_t> FKept;
  TWaiting FWork;
  bool FHasWork = false;
};

// Appends one record, the byte count and then the bytes of a ".vox", to the staging file and
// to the package at their positions.
class TRecordWriter {
 public:
  TRecordWriter(TByteFile& staging, TByteFile& package) : FStaging(staging), FPackage(package) {}
  void Put(const uint8_t* codes, size_t count) {
    Count(static_cast<int64_t>(count));
    Bytes(codes, count);
  }
  // The ".vox" in a file, read from its start.
  void Put(TByteFile& vox) {
    const int64_t size = vox.Size();
    vox.Seek(0);
    Count(size);
    std::vector<uint8_t> block(kCopyBlockBytes);
    for (int64_t left = size; left > 0;) {
      const size_t n = static_cast<size_t>(std::min<int64_t>(left, kCopyBlockBytes));
      vox.BlockRead(block.data(), n);
      Bytes(block.data(), n);
      left -= static_cast<int64_t>(n);
    }
  }

 private:
  void Count(int64_t size) {
    FStaging.WriteI32(static_cast<int32_t>(size));
    FPackage.WriteI32(static_cast<int32_t>(size));
  }
  void Bytes(const uint8_t* data, size_t n) {
    FStaging.BlockWrite(data, n);
    FPackage.BlockWrite(data, n);
  }
  TByteFile& FStaging;
  TByteFile& FPackage;
};

}  // namespace

TBuildSummary Button2Click(const TAppContext& ctx, TShell& shell,
                           const std::function<std::string(int)>& soundListRow) {
  const TIniFile ini(ctx.ExeFolder + "ZelvorSound.ini");
  return BuildPackage(ctx, shell, soundListRow, ReadBuildConfig(ini), ini.Exists());
}

TBuildSummary BuildPackage(const TAppContext& ctx, TShell& shell,
                           const std::function<std::string(int)>& soundListRow,
                           const std::vector<TSlotConfig>& config, bool configFound, int workers) {
  shell.StatusClear();
  shell.StatusShow();
  const std::string folder = ctx.ExeFolder;
  TBuildSummary summary;
  summary.ConfigFound = configFound;
  // A read-only package refuses the build here, before any source is converted.
  TByteFile package(folder + "Sounds.zvd");
  package.Rewrite();
  TByteFile staging(folder + "temp2.tmp");
  staging.Rewrite(TWriteKind::WorkingFile);
  // The records follow the directory, which is written last, once every offset is known.
  package.Seek(kDirectoryBytes);
  std::vector<int32_t> directory(kSlotCount, 0);
  TRecordWriter records(staging, package);

  std::vector<TSlotWork> work(kSlotCount);
  for (int slot = 0; slot < kSlotCount; ++slot) work[slot].Row = soundListRow(slot);
  const std::vector<bool> waits = SlotsThatWait(folder, config);
  if (workers <= 0) workers = WorkersPerCore();
  // "out.dat" is made once, at the end; what making it would raise, each conversion raises
  // where it would have made it. Under the folder's lock nothing else changes it meanwhile.
  int workRefused = 0;
  try {
    TSafeFile::Check(folder + "out.dat", TWriteKind::WorkingFile);
  } catch (const EInOutError& e) {
    workRefused = e.ErrorCode;
  }
  const std::function<void()> checkWork = [workRefused] {
    if (workRefused != 0) throw EInOutError(workRefused);
  };
  TWaitingFiles waiting(folder + "out.dat");
  TSlotQueue queue(workers, [&](int slot) {
    WorkOnSlot(folder, ctx.Coder, checkWork, slot, config[slot], work[slot]);
  });
  try {
    for (int slot = 0; slot < kSlotCount; ++slot) {
      if (waits[slot]) waiting.PutInPlace();
      // The next slot that waits is not started before its turn.
      int limit = std::min(kSlotCount, slot + kAheadPerWorker * workers);
      for (int later = slot + 1; later < limit; ++later)
        if (waits[later]) limit = later;
      queue.Allow(std::max(limit, slot + 1));
      queue.WaitFor(slot);

      TSlotWork& w = work[slot];
      std::string lastMessage;  // why a conversion rejected its source
      for (const TSlotEvent& e : w.Events) {
        if (e.IsMessage) {
          shell.ShowMessage(e.Text, e.Severity);
          lastMessage = e.Text;
        } else {
          shell.SlotStatusAdd(slot, e.Text);
        }
      }
      const std::string& source = config[slot].Source;
      if (w.Copy) waiting.Add(std::move(w.Copy), slot, source, true);
      if (w.Error) std::rethrow_exception(w.Error);
      const std::string path = folder + source;
      if (w.Outcome == TSlotOutcome::Missing)
        summary.Missing.push_back({slot, source, path, "not found"});
      if (w.Outcome == TSlotOutcome::Refused)
        summary.Refused.push_back(
            {slot, config[slot].SourceAsWritten, path, w.Refusal});
      if (w.Outcome == TSlotOutcome::Rejected)
        summary.Rejected.push_back({slot, source, path, lastMessage});
      if (w.Outcome == TSlotOutcome::Converted)
        waiting.SetWork(std::move(w.Kept), std::move(w.Work), slot, source);
      if (w.InMemory || w.Vox) {
        directory[slot] = static_cast<int32_t>(kDirectoryBytes + staging.Size());
        if (w.InMemory)
          records.Put(w.Codes.data(), w.Codes.size());
        else
          records.Put(*w.Vox);
        ++summary.Packed;
        if (w.Outcome != TSlotOutcome::Converted)
          w.Vox->Close();
        else if (w.Vox)
          waiting.Add(std::move(w.Vox), slot, source, false);
      } else {
        summary.Empty.push_back(slot);
      }
      w = TSlotWork();
      // One worker builds one slot after the other, each in place before the next begins.
      if (workers == 1 || waiting.Count() >= kMostWaiting) waiting.PutInPlace();
    }
    waiting.PutInPlace();
  } catch (...) {
    // What the slots before the failure wrote takes its place, as it would have one by one.
    waiting.PutInPlace();
    throw;
  }
  package.Seek(0);
  for (int32_t offset : directory) package.WriteI32(offset);
  // The package and its staging file take their names together, once both are complete.
  CloseTogether({&package, &staging});
  shell.ShowMessage("Created file \"Sounds.zvd\" in \"" + folder +
                        "\". Copy this file to an SD card and install onto instrument.",
                    msInformation);
  return summary;
}
