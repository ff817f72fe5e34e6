// zelvorsound-cli report: its exits, and its page as a browser shows it (structure through
// python's HTML parser, rendering through headless Chromium when it is installed).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/CliRun.h"
#include "codec/CodecTestKit.h"

namespace {

TRun Cli(const TempDir& dir, const std::string& args) { return RunCliIn(dir, args); }

TEST(CliReport, ExitsTellDoneBadUsageAndFileErrors) {
  TempDir dir;
  dir.Write("empty.zvd", std::string(512, '\0'));
  dir.Write("bad.zvd", std::string(100, '\0'));
  dir.Write("notes.html", "my own notes");
  const std::string f = dir.Folder();
  const std::string usage =
      "\nUsage: zelvorsound-cli report [PACKAGE] [-o FILE.html] [--json] [--wait SECONDS] "
      "[--folder DIR]\n";
  struct {
    const char* Args;
    int Code;
    std::string Err;  // the whole of stderr, when given
  } rows[] = {
      {"report a.zvd b.zvd", 64, "zelvorsound-cli: report: takes one package at most" + usage},
      {"report empty.zvd --output=", 64,
       "zelvorsound-cli: report: --output needs a file name" + usage},
      {"report empty.zvd --loud", 64, "zelvorsound-cli: report: unknown option '--loud'" + usage},
      {"report empty.zvd -o notes.html", 64,
       "zelvorsound-cli: report: " + f +
           "notes.html: exists and is not a review page; it stays as it is. Give another -o "
           "FILE.html\n"},
      {"report", 2, "zelvorsound-cli: report: " + f + "Sounds.zvd: File not found\n"},
      {"report bad.zvd", 2, "zelvorsound-cli: report: " + f + "bad.zvd: Read beyond end of file\n"},
      {"report empty.zvd", 0, ""},
      {"report empty.zvd", 0, ""},  // its own page is replaced
      {"report empty.zvd --output other.html", 0, ""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.Args);
    TRun run = Cli(dir, r.Args);
    EXPECT_EQ(run.Code, r.Code);
    EXPECT_EQ(run.Err, r.Err);
  }
  EXPECT_EQ(dir.Read("notes.html"), "my own notes");
  EXPECT_FALSE(dir.Exists("bad.html"));
  TRun ok = Cli(dir, "report empty.zvd");
  EXPECT_EQ(ok.Out, "wrote " + f + "empty.html: 0 of 128 slots filled, 0 with warnings, " +
                        std::to_string(dir.Read("empty.html").size()) + " bytes\n");
  EXPECT_NE(dir.Read("other.html").find("Empty slots (128): 0\u2013127"), std::string::npos);
}

// A record appended to the package and entered for the slot.
void AddRecord(std::string& pkg, int slot, const std::vector<uint8_t>& codes) {
  const auto offset = static_cast<uint32_t>(pkg.size());
  for (int i = 0; i < 4; ++i) pkg[4 * slot + i] = static_cast<char>((offset >> (8 * i)) & 0xFF);
  PutU32(pkg, static_cast<uint32_t>(codes.size()));
  pkg += Bytes(codes);
}

TEST(CliReport, DemoPackagePageLooksRightInABrowser) {
  TempDir dir;
  ASSERT_EQ(Cli(dir, "demo").Code, 0);
  ASSERT_EQ(Cli(dir, "build").Code, 0);
  // Beside the demo's four slots: one made to wrap around (and too short), one to clip.
  std::string pkg = dir.Read("Sounds.zvd");
  AddRecord(pkg, 10, std::vector<uint8_t>(100, 0x77));
  std::vector<uint8_t> clipped = {0x67, 0x45, 0x23, 0x01};
  clipped.resize(1000, 0x00);
  AddRecord(pkg, 11, clipped);
  dir.Write("Sounds.zvd", pkg);

  TRun report = Cli(dir, "report");
  ASSERT_EQ(report.Code, 0) << report.Err;
  EXPECT_NE(report.Out.find("6 of 128 slots filled"), std::string::npos) << report.Out;
  std::filesystem::create_directory(dir.Path("wavs"));
  for (int slot : {0, 1, 2, 3, 10, 11}) {
    const std::string args =
        "extract Sounds.zvd " + std::to_string(slot) + " wavs/slot" + std::to_string(slot) + ".wav";
    ASSERT_EQ(Cli(dir, args).Code, 0) << args;
  }
  const int check =
      Shell("python3 " + Quote(std::string(ZS_SOURCE_DIR) + "/tests/cli/report_page_check.py") +
            " " + Quote(dir.Path("Sounds.html")) + " --wavs " + Quote(dir.Path("wavs")) +
            " --expect-slots 0,1,2,3,10,11 --expect-warning 10:wrap --expect-warning 10:short"
            " --expect-warning 11:clip --expect-empty 'Empty slots (122): 4\u20139, 12\u2013127'"
            " --screenshot " +
            Quote(dir.Path("page.png")) + " --window-size 1200,1800 --layout-widths 1200,390");
  if (check == 77)
    GTEST_SKIP() << "chromium is not installed (scripts/setup.sh --tests "
                    "installs it): the page's structure passed, nothing rendered";
  EXPECT_EQ(check, 0) << "report_page_check.py failed; see its lines above";
}

}  // namespace
