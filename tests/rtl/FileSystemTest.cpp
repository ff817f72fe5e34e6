// Names find their files whatever the letter case; read-only files stay untouched, root
// included; a finished file replaces a user's file only when that one may be written.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "ErrorOf.h"
#include "TempDir.h"
#include "rtl/ByteFile.h"
#include "rtl/Classes.h"
#include "rtl/FileSystem.h"
#include "rtl/SysUtils.h"

namespace {

namespace fs = std::filesystem;

TEST(ResolveFileName, ExactNamesWinElseTheFirstCaseVariantElseTheNameAsFormed) {
  TempDir d;
  fs::create_directories(d.Path("sub/deeper"));
  fs::create_directories(d.Path("Sub2"));
  // Non-ASCII names in UTF-8, as the compiler writes them.
  for (const char* f : {"exact.wav", "EXACT.wav", "ExAcT.wav", "HELLO.VOX", "sub/hello.wav",
                        "sub/deeper/Take.WAV", "\u00FCberall.wav", "stra\u00DFe.wav", "\xFF.wav"})
    d.Write(f, "x");
  const std::string r = d.Folder();
  struct Row {
    std::string formed, found;
  } rows[] = {
      {"exact.wav", "exact.wav"},  // exact wins over its variants
      {"ExAcT.wav", "ExAcT.wav"},
      {"Exact.wav", "EXACT.wav"},  // several variants: the first in byte order
      {"Hello.vox", "HELLO.VOX"},  // creating "Hello.vox" writes into "HELLO.VOX"
      {"SUB/Hello.WAV", "sub/hello.wav"},
      {"Sub/DEEPER/take.wav", "sub/deeper/Take.WAV"},
      {"sub/../Exact.wav", "sub/../EXACT.wav"},
      {"./SUB//hello.WAV", "./sub//hello.wav"},
      {"\u00DCBERALL.WAV", "\u00FCberall.wav"},  // Unicode folding: Ü matches ü
      {"STRASSE.wav", "STRASSE.wav"},            // one character never matches two
      {"\xFF.WAV", "\xFF.wav"},                  // a byte that is not UTF-8 matches itself only
      {"\xFE.wav", "\xFE.wav"},
      {"new.vox", "new.vox"},  // nothing matches: created as formed
      {"SUB/New/x.vox", "sub/New/x.vox"},
      {"sub2/x.wav", "Sub2/x.wav"},
  };
  for (const Row& row : rows)
    EXPECT_EQ(ResolveFileName(r + row.formed), r + row.found) << row.formed;
  EXPECT_EQ(ResolveFileName(""), "");

  EXPECT_TRUE(SameNameIgnoringCase("Hello.WAV", "hello.wav"));
  EXPECT_FALSE(SameNameIgnoringCase("Hello.WAV", "Hello.WAVE"));
}

TEST(ResolveFileName, EveryOpenAndCreateFindsTheCaseVariant) {
  TempDir d;
  fs::create_directory(d.Path("voice"));
  d.Write("voice/HELLO.VOX", "old codes");
  d.Write("voice/take.wav", "RIFF");

  TByteFile vox(d.Path("Voice/Hello.vox"));
  vox.Rewrite();
  vox.BlockWrite("new", 3);
  vox.Close();
  EXPECT_EQ(vox.Path(), d.Path("Voice/Hello.vox"));  // the name stays as formed
  EXPECT_EQ(d.Read("voice/HELLO.VOX"), "new");
  EXPECT_EQ(d.Names("voice"), (std::vector<std::string>{"HELLO.VOX", "take.wav"}));

  TByteFile take(d.Path("VOICE/Take.WAV"));
  take.Reset();
  EXPECT_EQ(take.Size(), 4);
  take.Close();
  {
    TFileStream in(d.Path("voice/TAKE.wav"), fmOpenRead | fmShareDenyWrite);
    EXPECT_EQ(in.GetSize(), 4);
  }
  {
    TFileStream out(d.Path("Voice/Take.WAV"), fmCreate);
    out.WriteBuffer("RIFFWAVE", 8);
  }
  EXPECT_EQ(d.Read("voice/take.wav"), "RIFFWAVE");
  EXPECT_EQ(d.Names("voice"), (std::vector<std::string>{"HELLO.VOX", "take.wav"}));
}

TEST(ReadOnly, NoWriteBitMeansNoWriteForEveryone) {
  TempDir d;
  const std::string ro = d.Write("ro.wav", "keep");
  ASSERT_EQ(::chmod(ro.c_str(), 0444), 0);
  const std::string finished = d.Write("finished.tmp", "new");

  struct Row {
    const char* what;
    std::function<void()> write;
    const char* error;
  } rows[] = {
      {"byte file create", [&] { TByteFile(d.Path("RO.wav")).Rewrite(); }, "File access denied"},
      {"stream create", [&] { TFileStream(ro, fmCreate); }, "Cannot create file "},
      {"stream open for writing", [&] { TFileStream(ro, fmOpenReadWrite); }, "Cannot open file "},
      {"replace by rename", [&] { ReplaceByRename(finished, d.Path("Ro.WAV")); },
       "File access denied"},
  };
  for (const Row& row : rows) {
    std::string error = ErrorOf(row.write);
    EXPECT_EQ(error.substr(0, std::string(row.error).size()), row.error) << row.what;
    EXPECT_EQ(d.Read("ro.wav"), "keep") << row.what;
  }
  // A refused replacement takes its file away; nothing else was made.
  EXPECT_EQ(d.Names(), std::vector<std::string>{"ro.wav"});
  // Reading stays allowed.
  TFileStream in(ro, fmOpenRead);
  EXPECT_EQ(in.GetSize(), 4);
}

}  // namespace

namespace {

TEST(SafeFile, TheNameTakesTheNewFileOnlyWhenItIsPutInPlace) {
  TempDir d;
  fs::create_directory(d.Path("sub"));
  d.Write("old.wav", "old");
  d.Write("elsewhere.wav", "elsewhere");
  fs::create_symlink(d.Path("elsewhere.wav"), d.Path("link.wav"));
  struct Row {
    const char* What;
    std::string Target;
    std::function<void(TByteFile&)> Finish;  // after "new" was written
    std::string After;                       // of the target; "-" for none
  } rows[] = {
      {"closed", "old.wav", [](TByteFile& f) { f.Close(); }, "new"},
      {"given up", "old.wav", [](TByteFile&) {}, "old"},
      {"a new file given up", "sub/none.wav", [](TByteFile&) {}, "-"},
      {"a link replaced", "link.wav", [](TByteFile& f) { f.Close(); }, "new"},
      {"a scratch file never named", "sub/scratch", [](TByteFile& f) { f.Close(); }, "-"},
  };
  for (const Row& row : rows) {
    d.Write("old.wav", "old");
    {
      TByteFile f(d.Path(row.Target));
      f.Rewrite(row.Target == "sub/scratch" ? TWriteKind::Scratch : TWriteKind::UserFile);
      f.BlockWrite("new", 3);
      row.Finish(f);
    }
    EXPECT_EQ(row.After == "-" ? !d.Exists(row.Target) : d.Read(row.Target) == row.After, true)
        << row.What;
    EXPECT_EQ(d.Read("elsewhere.wav"), "elsewhere") << row.What;
    for (auto& e : fs::recursive_directory_iterator(d.Folder()))
      EXPECT_EQ(e.path().filename().string().rfind(".zelvor-", 0), std::string::npos) << row.What;
  }
  EXPECT_FALSE(fs::is_symlink(d.Path("link.wav")));
  // What cannot be replaced is refused before anything is made.
  fs::create_directory(d.Path("folder.wav"));
  EXPECT_EQ(ErrorOf([&] { TByteFile(d.Path("folder.wav")).Rewrite(); }), "File access denied");
  EXPECT_EQ(ErrorOf([&] { TByteFile(d.Path("no/such.wav")).Rewrite(); }), "File not found");
}

TEST(LiesInside, LinksAndDotsAreFollowedNewNamesJudgedByTheirSpelling) {
  TempDir d;
  fs::create_directories(d.Path("f/voice"));
  fs::create_directories(d.Path("out"));
  fs::create_directory_symlink(d.Path("out"), d.Path("f/away"));
  fs::create_directory_symlink(d.Path("f/voice"), d.Path("f/Near"));
  d.Write("out/x.wav", "x");
  fs::create_symlink(d.Path("out/x.wav"), d.Path("f/x.wav"));
  const std::string f = d.Path("f") + "/";
  const struct {
    std::string Path;
    bool Inside;
  } rows[] = {
      {"voice/a.wav", true},     {"VOICE/new/deeper/a.wav", true}, {"near/a.wav", true},
      {"voice/../a.wav", true},  {"../out/x.wav", false},          {"away/a.wav", false},
      {"x.wav", false},          {"new/../../a.wav", false},       {"", false},
      {"voice/../../f/a", true},
  };
  for (const auto& row : rows) EXPECT_EQ(LiesInside(f, f + row.Path), row.Inside) << row.Path;
}

TEST(Temporaries, OnlyThoseOfRunsThatEndedAreRemoved) {
  TempDir d;
  fs::create_directories(d.Path("a/b"));
  const std::string me = std::to_string(::getpid());
  const struct {
    std::string Name;
    bool Removed;
  } rows[] = {
      {".zelvor-999999999-0.tmp", true}, {"a/b/.zelvor-999999999-12.tmp", true},
      {".import-999999999.f32", true},   {"Sounds.zvd.building", true},
      {"a/Sounds.zvd.building", false},  {".zelvor-" + me + "-0.tmp", false},
      {".zelvor-x-0.tmp", false},        {".zelvor-999999999-0.tmpx", false},
      {"zelvor-999999999-0.tmp", false}, {".take-999999999.tmp", true},
  };
  for (const auto& row : rows) d.Write(row.Name, "half");
  EXPECT_EQ(RemoveStrayTemporaries(d.Folder()), 5);
  for (const auto& row : rows) EXPECT_EQ(d.Exists(row.Name), !row.Removed) << row.Name;
}

TEST(PrintableText, ControlCharactersBecomeQuestionMarks) {
  const struct {
    std::string In, Out;
  } rows[] = {
      {"plain \t name", "plain \t name"},
      {"\x1b]0;title\x07", "?]0;title?"},
      {"\x1b[2J\r\n\x7f", "?[2J???"},
      {"\xc2\x9b"
       "31m",
       "?31m"},  // U+009B, the 8-bit CSI
      {"\x9b"
       "31m",
       "?31m"},  // the same byte standing alone
      {"Gr\xc3\xbc\xc3\x9f"
       "e",
       "Gr\xc3\xbc\xc3\x9f"
       "e"},                       // a continuation byte 0x9F kept
      {"\xe0\x9b\x80", "\xe0??"},  // no character: its bytes stand alone
      {"\xf0\x9f\x8e\xb5", "\xf0\x9f\x8e\xb5"},
  };
  for (const auto& row : rows) EXPECT_EQ(PrintableText(row.In), row.Out) << row.In;
}

}  // namespace
