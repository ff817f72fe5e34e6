#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "TempDir.h"
#include "package/History.h"
#include "package/SlotActions.h"
#include "rtl/FileSystem.h"
#include "rtl/SysUtils.h"

namespace {

// One replacement of "Hello.WAV" (and its ".vox") by the bytes next, as every replacement
// of the program goes: the entry first, then the rename, then Keep unless it failed.
std::string Replace(const TempDir& dir, const std::string& next, bool fails = false) {
  TKeptTake kept(dir.Folder(), "Hello", dir.Path("Hello.WAV"));
  if (fails) return "";
  for (auto [name, bytes] : {std::pair{"Hello.WAV", next}, {"Hello.vox", next + " vox"}}) {
    dir.Write("new", bytes);
    std::filesystem::rename(dir.Path("new"), dir.Path(name));
  }
  kept.Keep();
  return kept.Entry();
}

std::string Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(History, KeepsTheNewestFiveEntriesOfTheTakesReplaced) {
  struct TRow {
    const char* What;
    int Takes;       // "take 0" .. "take <Takes-1>", each replacing the one before
    bool LastFails;  // a last replacement fails after its entry was made
    std::vector<std::string> Entries;  // newest first
  } rows[] = {
      {"a first take replaces nothing", 1, false, {}},
      {"the replaced take and its .vox", 2, false, {"take 0"}},
      {"a failed replacement leaves no entry", 2, true, {"take 0"}},
      {"beyond five the oldest go", 8, false, {"take 6", "take 5", "take 4", "take 3", "take 2"}},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.What);
    TempDir dir;
    for (int i = 0; i < row.Takes; ++i) Replace(dir, "take " + std::to_string(i));
    if (row.LastFails) Replace(dir, "lost", true);
    const std::vector<THistoryEntry> entries = ListHistory(dir.Folder(), "Hello");
    std::vector<std::string> kept;
    for (const THistoryEntry& e : entries) {
      kept.push_back(Bytes(e.Take));
      EXPECT_EQ(Bytes(e.Vox), kept.back() + " vox");
      EXPECT_EQ(NameOf(e.Take), "Hello " + e.Stamp + ".WAV");
    }
    EXPECT_EQ(kept, row.Entries);
    // The names order the entries even when they were made within one second.
    for (size_t i = 1; i < entries.size(); ++i) EXPECT_GT(entries[i - 1].Stamp, entries[i].Stamp);
  }
}

TEST(History, RestoreSwapsTheTakeWithItsEntryByteForByte) {
  TempDir dir;
  Replace(dir, "first");
  Replace(dir, "second");  // history: "first"
  const std::string take = dir.Path("Hello.WAV");
  const std::string kept =
      RestoreTake(dir.Folder(), "Hello", take, ListHistory(dir.Folder(), "Hello")[0].Take);
  EXPECT_EQ(dir.Read("Hello.WAV"), "first");
  EXPECT_EQ(dir.Read("Hello.vox"), "first vox");
  const std::vector<THistoryEntry> entries = ListHistory(dir.Folder(), "Hello");
  ASSERT_EQ(entries.size(), 1u);  // the restored entry left the history
  EXPECT_EQ(entries[0].Take, kept);
  EXPECT_EQ(Bytes(kept), "second");
}

TEST(History, AHistoryLeadingOutOfTheFolderIsRefusedAndTheTakeStays) {
  TempDir dir, elsewhere;
  Replace(dir, "first");
  std::filesystem::create_directory_symlink(elsewhere.Folder(), dir.Path("History"));
  EXPECT_THROW(Replace(dir, "second"), Exception);
  EXPECT_EQ(dir.Read("Hello.WAV"), "first");
  EXPECT_TRUE(std::filesystem::is_empty(elsewhere.Folder()));
}

TEST(SlotActions, WriteOnlyTheKeysTheyConcern) {
  const std::string ini =
      "; mine\n[SoundFiles]\nName0=Hello\nName1=World\n[SourceFileNames]\nName0=hello.wav\n"
      "Name1=sub/world.wav\n[DestinationFileNames]\nName1=W\n[Other]\nx=1\n";
  struct TRow {
    const char* What;
    std::function<std::string(const std::string&)> Act;
    std::string Refusal;             // a start of it
    std::string Ini;                 // what the file holds afterwards
    std::vector<const char*> Files;  // that are there afterwards
  } rows[] = {
      {"rename: the take, .vox, history and the source that named the take follow",
       [](auto& f) { return RenameSlot(f, 0, "Hi"); },
       "",
       "; mine\n[SoundFiles]\nName0=Hi\nName1=World\n[SourceFileNames]\nName0=Hi.WAV\n"
       "Name1=sub/world.wav\n[DestinationFileNames]\nName1=W\n[Other]\nx=1\n",
       {"Hi.WAV", "Hi.vox", "History/Hi"}},
      {"rename: a source of another name stays",
       [](auto& f) { return RenameSlot(f, 1, "Earth"); },
       "",
       "; mine\n[SoundFiles]\nName0=Hello\nName1=Earth\n[SourceFileNames]\nName0=hello.wav\n"
       "Name1=sub/world.wav\n[DestinationFileNames]\nName1=W\n[Other]\nx=1\n",
       {"Hello.WAV", "History/Hello"}},
      {"rename: another slot's name",
       [](auto& f) { return RenameSlot(f, 0, "world"); },
       "The name \"world\" belongs to slot 1 already",
       ini,
       {"Hello.WAV"}},
      {"rename: a file no slot names",
       [](auto& f) { return RenameSlot(f, 0, "Stray"); },
       "\"",
       ini,
       {"Hello.WAV", "Stray.WAV"}},
      {"rename: no name for a take",
       [](auto& f) { return RenameSlot(f, 0, "a/b"); },
       "The name \"a/b\" cannot name a take",
       ini,
       {"Hello.WAV"}},
      {"clear: the source only; the files stay",
       [](auto& f) { return ClearSlot(f, 0); },
       "",
       "; mine\n[SoundFiles]\nName0=Hello\nName1=World\n[SourceFileNames]\nName0=NONE\n"
       "Name1=sub/world.wav\n[DestinationFileNames]\nName1=W\n[Other]\nx=1\n",
       {"Hello.WAV", "Hello.vox"}},
      {"move down: names, sources and destinations swap",
       [](auto& f) { return MoveSlot(f, 0, +1); },
       "",
       "; mine\n[SoundFiles]\nName0=World\nName1=Hello\n[SourceFileNames]\nName0=sub/world.wav\n"
       "Name1=hello.wav\n[DestinationFileNames]\nName1=\nName0=W\n[Other]\nx=1\n",
       {"Hello.WAV"}},
      {"move down: a default name moves as shown",
       [](auto& f) { return MoveSlot(f, 2, +1); },
       "",
       "; mine\n[SoundFiles]\nName0=Hello\nName1=World\nName2=Sound 4\nName3=Sound 3\n"
       "[SourceFileNames]\nName0=hello.wav\nName1=sub/world.wav\n[DestinationFileNames]\n"
       "Name1=W\n[Other]\nx=1\n",
       {}},
      {"move up from the first slot",
       [](auto& f) { return MoveSlot(f, 0, -1); },
       "Slot 0 cannot move up",
       ini,
       {}},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.What);
    TempDir dir;
    dir.Write(kIniName, ini);
    Replace(dir, "take");
    Replace(dir, "newer");  // Hello.WAV, Hello.vox and one entry
    dir.Write("Stray.WAV", "no slot's");
    const std::string refusal = row.Act(dir.Folder());
    EXPECT_EQ(refusal.substr(0, row.Refusal.size()), row.Refusal);
    EXPECT_EQ(refusal.empty(), row.Refusal.empty()) << refusal;
    EXPECT_EQ(dir.Read(kIniName), row.Ini);
    for (const char* file : row.Files) EXPECT_TRUE(dir.Exists(file)) << file;
  }
}

}  // namespace
