// Names find their files whatever the letter case; read-only files stay untouched, root
// included; a finished file replaces a user's file only when that one may be written.
#include <gtest/gtest.h>
#include <sys/stat.h>

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
  EXPECT_FALSE(d.Exists("voice/Hello.vox"));

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
  EXPECT_FALSE(d.Exists("voice/Take.WAV"));
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
  EXPECT_FALSE(d.Exists("finished.tmp"));  // a refused replacement takes its file away
  EXPECT_FALSE(d.Exists("RO.wav"));
  // Reading stays allowed.
  TFileStream in(ro, fmOpenRead);
  EXPECT_EQ(in.GetSize(), 4);
}

}  // namespace
