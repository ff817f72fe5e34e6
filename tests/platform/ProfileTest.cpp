#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <string>

#include "TempDir.h"
#include "platform/profile.h"
#include "rtl/SysUtils.h"

namespace {

TEST(Profile, MissingFileSectionOrKeyReadsTheDefault) {
  TempDir d;
  EXPECT_EQ(GetPrivateProfileString("SoundFiles", "Name0", "Sound 1", d.Path("none.ini")),
            "Sound 1");
  d.Write("a.ini", "[Other]\nName0=x\n[SoundFiles]\nName1=y\n");
  EXPECT_EQ(GetPrivateProfileString("Missing", "Name0", "def", d.Path("a.ini")), "def");
  EXPECT_EQ(GetPrivateProfileString("SoundFiles", "Name0", "def", d.Path("a.ini")), "def");
  // A folder in place of the file reads as a missing file.
  EXPECT_EQ(GetPrivateProfileString("SoundFiles", "Name1", "def", d.Folder()), "def");
}

TEST(Profile, NamesMatchWithoutCaseAndBlanksDoNotCount) {
  TempDir d;
  std::string f = d.Write("a.ini", "[ soundfiles ]\n  NAME5 =   Hello World  \n\tname6\t=\t\n");
  EXPECT_EQ(GetPrivateProfileString("SoundFiles", "Name5", "", f), "Hello World");
  EXPECT_EQ(GetPrivateProfileString("SOUNDFILES", "name5", "", f), "Hello World");
  // A key that is present with an empty value is not missing.
  EXPECT_EQ(GetPrivateProfileString("SoundFiles", "Name6", "def", f), "");
}

TEST(Profile, KeyIsLookedUpOnlyInsideItsSection) {
  TempDir d;
  std::string f = d.Write("a.ini", "Name0=global\n[A]\nName0=a\n[B]\nName0=b\n");
  EXPECT_EQ(GetPrivateProfileString("A", "Name0", "", f), "a");
  EXPECT_EQ(GetPrivateProfileString("B", "Name0", "", f), "b");
}

TEST(Profile, QuotedValueLosesItsQuotesAndCommentsAreNoKeys) {
  TempDir d;
  std::string f = d.Write("a.ini",
                          "[S]\n; Name1=commented\n# Name2=hash\nName3=\"  padded \"\n"
                          "Name4=\"half\nName5=a=b\n");
  EXPECT_EQ(GetPrivateProfileString("S", "Name1", "d", f), "d");
  EXPECT_EQ(GetPrivateProfileString("S", "; Name1", "d", f), "d");
  EXPECT_EQ(GetPrivateProfileString("S", "Name2", "d", f), "d");
  EXPECT_EQ(GetPrivateProfileString("S", "Name3", "", f), "  padded ");
  EXPECT_EQ(GetPrivateProfileString("S", "Name4", "", f), "\"half");
  EXPECT_EQ(GetPrivateProfileString("S", "Name5", "", f), "a=b");
}

TEST(Profile, ReadValueIsCutTo2047Characters) {
  TempDir d;
  std::string longValue(3000, 'x');
  longValue[2046] = 'L';
  longValue[2047] = 'C';
  std::string f = d.Write("a.ini", "[S]\nK=" + longValue + "\n");
  std::string got = GetPrivateProfileString("S", "K", "", f);
  ASSERT_EQ(got.size(), 2047u);
  EXPECT_EQ(got.back(), 'L');
  // A long default is cut the same way.
  EXPECT_EQ(GetPrivateProfileString("S", "Missing", longValue, f).size(), 2047u);
}

TEST(Profile, ValueEndsAtANulAndTheFileIsFoundWhateverItsLetterCase) {
  TempDir d;
  d.Write("zelvorsound.ini", std::string("[S]\nK=a.wav\0.vox\n", 17));
  const std::string formed = d.Path("ZelvorSound.ini");
  EXPECT_EQ(GetPrivateProfileString("S", "K", "", formed), "a.wav");
  ASSERT_TRUE(WritePrivateProfileString("S", "New", "v", formed));
  EXPECT_EQ(d.Names(), std::vector<std::string>{"zelvorsound.ini"});  // into the file there
  EXPECT_EQ(GetPrivateProfileString("S", "New", "", d.Path("zelvorsound.ini")), "v");
}

TEST(Profile, CrlfFileAndByteOrderMarkAreRead) {
  TempDir d;
  std::string f = d.Write("a.ini", "\xEF\xBB\xBF[S]\r\nName0=Hello\r\n");
  EXPECT_EQ(GetPrivateProfileString("S", "Name0", "", f), "Hello");
}

TEST(Profile, WriteCreatesFileAndSection) {
  TempDir d;
  std::string f = d.Path("new.ini");
  ASSERT_TRUE(WritePrivateProfileString("SoundFiles", "Name0", "Sound 1", f));
  EXPECT_EQ(d.Read("new.ini"), "[SoundFiles]\nName0=Sound 1\n");
  ASSERT_TRUE(WritePrivateProfileString("Other", "K", "v", f));
  EXPECT_EQ(d.Read("new.ini"), "[SoundFiles]\nName0=Sound 1\n\n[Other]\nK=v\n");
}

TEST(Profile, WriteTouchesOnlyItsOwnLine) {
  TempDir d;
  const std::string before =
      "; hand-written notes\n"
      "\n"
      "[SourceFileNames]\n"
      "Name0 = intro.wav   ; keep me\n"
      "\n"
      "[soundfiles]\n"
      "name5 = Old\n"
      "Name6=Six\n"
      "; trailing comment of the section\n"
      "\n"
      "[DestinationFileNames]\n"
      "Name0=NONE";  // no final line break
  std::string f = d.Write("a.ini", before);
  ASSERT_TRUE(WritePrivateProfileString("SoundFiles", "Name5", "Hello", f));
  ASSERT_TRUE(WritePrivateProfileString("SoundFiles", "Name7", "Seven", f));
  EXPECT_EQ(d.Read("a.ini"),
            "; hand-written notes\n"
            "\n"
            "[SourceFileNames]\n"
            "Name0 = intro.wav   ; keep me\n"
            "\n"
            "[soundfiles]\n"
            "Name5=Hello\n"
            "Name6=Six\n"
            "Name7=Seven\n"
            "; trailing comment of the section\n"
            "\n"
            "[DestinationFileNames]\n"
            "Name0=NONE");
  // A new section goes at the end, after the unterminated last line.
  ASSERT_TRUE(WritePrivateProfileString("New", "A", "1", f));
  std::string after = d.Read("a.ini");
  const std::string tail = "[DestinationFileNames]\nName0=NONE\n\n[New]\nA=1\n";
  ASSERT_GE(after.size(), tail.size());
  EXPECT_EQ(after.substr(after.size() - tail.size()), tail);
}

TEST(Profile, WriteKeepsCrlfStyle) {
  TempDir d;
  std::string f = d.Write("a.ini", "[S]\r\nA=1\r\n");
  ASSERT_TRUE(WritePrivateProfileString("S", "B", "2", f));
  ASSERT_TRUE(WritePrivateProfileString("T", "C", "3", f));
  EXPECT_EQ(d.Read("a.ini"), "[S]\r\nA=1\r\nB=2\r\n\r\n[T]\r\nC=3\r\n");
}

TEST(Profile, EveryValueWrittenReadsBackUnchanged) {
  TempDir d;
  std::string f = d.Path("a.ini");
  for (std::string v :
       {"plain", "  leading", "trailing\t", "\"quoted\"", "\"", "", "a ; b", "x=y", "\"\""}) {
    ASSERT_TRUE(WritePrivateProfileString("S", "K", v, f)) << v;
    EXPECT_EQ(GetPrivateProfileString("S", "K", "default", f), v);
  }
}

TEST(Profile, WriteRefusesWhatWouldBreakTheFile) {
  TempDir d;
  std::string f = d.Write("a.ini", "[S]\nA=1\n");
  EXPECT_FALSE(WritePrivateProfileString("S", "A", "one\n[Evil]\nB=2", f));
  EXPECT_FALSE(WritePrivateProfileString("S\n", "A", "1", f));
  EXPECT_FALSE(WritePrivateProfileString("S]x", "A", "1", f));
  EXPECT_FALSE(WritePrivateProfileString("S", "A=B", "1", f));
  EXPECT_FALSE(WritePrivateProfileString("S", " ", "1", f));
  EXPECT_EQ(d.Read("a.ini"), "[S]\nA=1\n");
}

TEST(Profile, WriteFailsOnReadOnlyFileFolderPathAndMissingFolder) {
  TempDir d;
  std::string ro = d.Write("ro.ini", "[S]\nA=1\n");
  ASSERT_EQ(::chmod(ro.c_str(), 0444), 0);
  EXPECT_FALSE(WritePrivateProfileString("S", "A", "2", ro));
  EXPECT_EQ(d.Read("ro.ini"), "[S]\nA=1\n");
  EXPECT_FALSE(WritePrivateProfileString("S", "A", "2", d.Folder()));
  EXPECT_FALSE(WritePrivateProfileString("S", "A", "2", d.Path("no/such/folder.ini")));
}

TEST(IniFile, ReadsAndWritesThroughTheProfile) {
  TempDir d;
  TIniFile ini(d.Path("ZelvorSound.ini"));
  EXPECT_EQ(ini.ReadString("SoundFiles", "Name0", "Sound 1"), "Sound 1");
  ini.WriteString("SoundFiles", "Name0", "Intro");
  EXPECT_EQ(ini.ReadString("soundfiles", "NAME0", "Sound 1"), "Intro");
  EXPECT_FALSE(d.Exists("ZelvorSound.ini"));  // held in memory until UpdateFile
  ini.UpdateFile();
  EXPECT_EQ(d.Read("ZelvorSound.ini"), "[SoundFiles]\nName0=Intro\n");
}

std::string Utf16(const std::u16string& text, bool bigEndian) {
  std::string out;
  for (char16_t c : text) {
    const char hi = static_cast<char>(c >> 8), lo = static_cast<char>(c & 0xFF);
    out += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
  }
  return out;
}

TEST(IniFile, EveryEncodingIsReadAndWrittenBackInItsOwnBytes) {
  const std::string utf8 = "; notes \u266A\r\n[SoundFiles]\r\nName0=Gr\u00FC\u00DFe\r\n";
  const std::u16string utf16 = u"; notes \u266A\r\n[SoundFiles]\r\nName0=Gr\u00FC\u00DFe\r\n";
  const struct {
    const char* What;
    std::string Before, Added;  // the file, and the line a new key adds to it
  } rows[] = {
      {"UTF-8", utf8, "Name1=Gr\u00FC\u00DFe\r\n"},
      {"UTF-8 with a byte-order mark", "\xEF\xBB\xBF" + utf8, "Name1=Gr\u00FC\u00DFe\r\n"},
      {"UTF-16 LE", "\xFF\xFE" + Utf16(utf16, false), Utf16(u"Name1=Gr\u00FC\u00DFe\r\n", false)},
      {"UTF-16 BE", "\xFE\xFF" + Utf16(utf16, true), Utf16(u"Name1=Gr\u00FC\u00DFe\r\n", true)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.What);
    TempDir d;
    d.Write("ZelvorSound.ini", row.Before);
    TIniFile ini(d.Path("ZelvorSound.ini"));
    EXPECT_EQ(ini.ReadString("SoundFiles", "Name0", ""), "Gr\u00FC\u00DFe");
    ini.WriteString("SoundFiles", "Name0", "Gr\u00FC\u00DFe");  // the value it has
    ini.WriteString("SoundFiles", "Name1", "Gr\u00FC\u00DFe");
    ini.UpdateFile();
    // Every other line keeps its bytes; the new one is written in the file's encoding.
    EXPECT_EQ(d.Read("ZelvorSound.ini"), row.Before + row.Added);
    // A name that is no UTF-8 comes back as it went in, whatever the encoding.
    ini.WriteString("SoundFiles", "Name2", "x\xFFy\xC3");
    ini.UpdateFile();
    EXPECT_EQ(TIniFile(d.Path("ZelvorSound.ini")).ReadString("SoundFiles", "Name2", ""),
              "x\xFFy\xC3");
  }
}

TEST(IniFile, UpdateChangesOnlyItsOwnKeysAndKeepsWhatAnotherRunWrote) {
  TempDir d;
  d.Write("a.ini", "[SoundFiles]\nName3=Old\nName20=Old\n");
  TIniFile window(d.Path("a.ini"));
  ASSERT_TRUE(WritePrivateProfileString("SoundFiles", "Name20", "FromCli", d.Path("a.ini")));
  window.WriteString("SoundFiles", "Name3", "Mine");
  EXPECT_EQ(window.ReadString("SoundFiles", "Name20", ""), "Old");  // as it read the file
  window.UpdateFile();
  EXPECT_EQ(d.Read("a.ini"), "[SoundFiles]\nName3=Mine\nName20=FromCli\n");
  EXPECT_EQ(window.ReadString("SoundFiles", "Name20", ""), "FromCli");  // the file as written
}

TEST(IniFile, FailedWriteRaisesWithThePath) {
  TempDir d;
  std::string f = d.Write("ZelvorSound.ini", "");
  ASSERT_EQ(::chmod(f.c_str(), 0444), 0);
  TIniFile ini(f);
  try {
    ini.WriteString("SoundFiles", "Name0", "x");
    ini.UpdateFile();
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Unable to write to " + f);
  }
}

TEST(IniFile, OneHundredTwentyEightKeysStayQuick) {
  // Not a timing assertion: a guard against a write-back that grows far beyond linear.
  // The measured figure lives in the benchmarks.
  TempDir d;
  TIniFile ini(d.Path("ZelvorSound.ini"));
  for (int i = 0; i < 128; ++i)
    ini.WriteString("SoundFiles", "Name" + std::to_string(i), "Sound " + std::to_string(i + 1));
  ini.UpdateFile();
  ini = TIniFile(d.Path("ZelvorSound.ini"));
  for (int i = 0; i < 128; ++i)
    EXPECT_EQ(ini.ReadString("SoundFiles", "Name" + std::to_string(i), ""),
              "Sound " + std::to_string(i + 1));
}

}  // namespace
