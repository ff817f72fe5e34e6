#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <vector>

#include "TempDir.h"
#include "codec/CodecTestKit.h"
#include "package/Builder.h"
#include "package/Package.h"
#include "package/ReviewPage.h"

namespace {

TSoundFindings Analyse(const std::vector<uint8_t>& codes, int columns = kWaveColumns) {
  std::vector<uint8_t> samples(2 * codes.size());
  TVoxDecoder decoder;
  decoder.Decode(codes.data(), codes.size(), samples.data());
  TSoundAnalyser a(static_cast<int64_t>(samples.size()), columns);
  // In two pieces, so that a run and the decoder's value carry across a block's end.
  const size_t half = codes.size() / 2;
  a.Feed(std::span(codes).first(half), samples.data());
  a.Feed(std::span(codes).subspan(half), samples.data() + 2 * half);
  return a.Finish();
}

std::vector<uint8_t> Repeat(std::vector<uint8_t> head, uint8_t code, size_t n) {
  head.insert(head.end(), n, code);
  return head;
}

// 0x67 0x45 0x23 0x01 climbs from 128 to 255 in seven samples and holds it for one more.
const std::vector<uint8_t> kToTop = {0x67, 0x45, 0x23, 0x01};

// 64, then 0 for nine samples; up to 255 without a wrap and held there for eight.
const std::vector<uint8_t> kZeroThenTop = {0xFF, 0x00, 0x00, 0x00, 0x00, 0x77, 0x67,
                                           0x45, 0x23, 0x01, 0x00, 0x00, 0x00};

TEST(SoundAnalyser, WrapsClipsAndSilenceComeFromTheCodes) {
  struct {
    const char* What;
    std::vector<uint8_t> Codes;
    int64_t Wraps, FirstWrap, Stretches, ClipSamples, FirstClip;
    bool Loud;
  } rows[] = {
      // 192, 0 (wrapped), 64, 128, 192, 0 (wrapped): the sixth sample is a wrap, not a clip.
      {"up past 255", {0x77, 0x77, 0x77}, 2, 1, 0, 0, -1, true},
      // 64, 0, then down 64 from 0 lands on 192.
      {"down past 0", {0xFF, 0xFF, 0xFF}, 1, 2, 0, 0, -1, true},
      {"255 held for ten samples", Repeat(kToTop, 0x00, 4), 0, -1, 1, 10, 6, true},
      {"255 held for seven samples", Repeat(Repeat(kToTop, 0x00, 2), 0x90, 1), 0, -1, 0, 0, -1,
       true},
      {"0 held, then 255 held", kZeroThenTop, 0, -1, 2, 17, 1, true},
      {"silence", std::vector<uint8_t>(10, 0x00), 0, -1, 0, 0, -1, false},
      {"within the quiet band", {0x44, 0xCC}, 0, -1, 0, 0, -1, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.What);
    TSoundFindings f = Analyse(r.Codes);
    EXPECT_EQ(f.Samples, static_cast<int64_t>(2 * r.Codes.size()));
    EXPECT_EQ(f.Wraps, r.Wraps);
    EXPECT_EQ(f.FirstWrap, r.FirstWrap);
    EXPECT_EQ(f.ClipStretches, r.Stretches);
    EXPECT_EQ(f.ClipSamples, r.ClipSamples);
    EXPECT_EQ(f.FirstClip, r.FirstClip);
    EXPECT_EQ(f.Loud, r.Loud);
  }
}

TEST(SoundAnalyser, ColumnsHoldTheEnvelopeAndMarkWrapsAndClips) {
  // Six samples over 480 columns: sample i in column 80·i, the columns between repeat it.
  TSoundFindings f = Analyse({0x77, 0x77, 0x77});
  ASSERT_EQ(f.ColumnLo.size(), static_cast<size_t>(kWaveColumns));
  EXPECT_EQ(f.ColumnHi[0], 192);
  EXPECT_EQ(f.ColumnLo[80], 0);
  EXPECT_EQ(f.ColumnHi[159], 0);
  EXPECT_EQ(f.ColumnLo[160], 64);
  EXPECT_EQ(f.ColumnHi[479], 0);
  EXPECT_EQ(std::count(f.ColumnMarked.begin(), f.ColumnMarked.end(), true), 2);
  EXPECT_TRUE(f.ColumnMarked[80] && f.ColumnMarked[400]);
  // Three columns of two samples: the lowest and the highest of each pair.
  TSoundFindings g = Analyse({0x77, 0x77, 0x77}, 3);
  EXPECT_EQ(g.ColumnLo, (std::vector<uint8_t>{0, 64, 0}));
  EXPECT_EQ(g.ColumnHi, (std::vector<uint8_t>{192, 128, 192}));
  // Sixteen samples, 255 from the seventh on: columns 180 to 450 are marked.
  TSoundFindings h = Analyse(Repeat(kToTop, 0x00, 4));
  EXPECT_FALSE(h.ColumnMarked[150]);
  EXPECT_TRUE(h.ColumnMarked[180] && h.ColumnMarked[450]);
}

// A folder set up as the program's, with sources built into "Sounds.zvd".
struct TReviewFolder {
  TempDir Dir;
  TAppContext Ctx{Dir.Folder(), ""};
  TRecordingShell Shell;
  TReviewFolder() { std::filesystem::create_directory(Dir.Path("WAV Export")); }
  void Build() {
    Button2Click(Ctx, Shell, [](int i) { return "Sound " + std::to_string(i + 1); });
  }
  std::string Package() const { return Dir.Path("Sounds.zvd"); }
};

std::string Tone(double hz, double amplitude, int n) {
  std::string s;
  for (int i = 0; i < n; ++i)
    s += static_cast<char>(std::lround(128 + amplitude * std::sin(2 * M_PI * hz * i / 8000)));
  return s;
}

TEST(SourceComparison, TellsHowFarTheDecodedSoundIsFromItsSource) {
  TReviewFolder b;
  std::string ramp;  // steps of 1 the codec follows exactly
  for (int v = 128; v < 200; ++v) ramp += static_cast<char>(v);
  for (int v = 200; v > 128; --v) ramp += static_cast<char>(v);
  const std::string tone = MakeTake(Tone(300, 60, 4000));
  std::vector<int16_t> wide;
  for (int i = 0; i < 22050; ++i)
    wide.push_back(static_cast<int16_t>(std::lround(9000 * std::sin(2 * M_PI * 300 * i / 44100))));
  TWavSpec w16;
  w16.Bits = 16;
  w16.Rate = 44100;
  b.Dir.Write("exact.wav", MakeTake(ramp));
  b.Dir.Write("tone.wav", tone);
  b.Dir.Write("wide.wav", MakeWav(w16, Samples16(wide)));
  for (const char* name : {"changed.wav", "stereo.wav", "gone.wav", "cut.wav"})
    b.Dir.Write(name, tone);
  b.Dir.Write("ZelvorSound.ini",
              "[SourceFileNames]\nName0=exact.wav\nName1=tone.wav\nName2=wide.wav\n"
              "Name3=changed.wav\nName4=stereo.wav\nName5=gone.wav\nName6=cut.wav\n");
  b.Build();
  std::filesystem::remove(b.Dir.Path("out.dat"));

  // After the build: one source grows, one becomes stereo (the slot keeps its ".vox"), one
  // goes away, one is cut short.
  b.Dir.Write("changed.wav", MakeTake(Tone(300, 60, 5000)));
  TWavSpec stereo;
  stereo.Channels = 2;
  b.Dir.Write("stereo.wav", MakeWav(stereo, "abcd"));
  std::filesystem::remove(b.Dir.Path("gone.wav"));
  b.Dir.Write("cut.wav", tone.substr(0, 30));

  struct {
    const char* Name;
    TSourceState State;
    std::string Text;
  } rows[] = {
      {"exact", TSourceState::Compared, ""},
      {"tone", TSourceState::Compared, ""},
      {"wide", TSourceState::Compared, ""},
      {"changed", TSourceState::Differs, ""},
      {"stereo", TSourceState::Rejected, "Not MONO recording"},
      {"gone", TSourceState::Missing, ""},
      {"cut", TSourceState::Unreadable, "Read beyond end of file"},
  };
  TPackageReader pkg(b.Package());
  pkg.Open();
  std::vector<TSourceComparison> results;
  for (const auto& r : rows) {  // slot by slot, as the INI names them
    SCOPED_TRACE(r.Name);
    std::optional<TSoundRecord> rec = pkg.Record(static_cast<int>(results.size()));
    ASSERT_TRUE(rec);
    results.push_back(
        CompareWithSource(pkg.File(), *rec, b.Dir.Path(std::string(r.Name) + ".wav"), true));
    EXPECT_EQ(results.back().State, r.State);
    EXPECT_EQ(results.back().Text, r.Text);
  }
  EXPECT_TRUE(results[0].Exact);
  EXPECT_FALSE(results[1].Exact);
  // A tone the steps can follow stays well above the warning line; so does the 16-bit source
  // against its own reduction.
  EXPECT_GT(results[1].CodingNoiseDb, 15.0);
  EXPECT_LT(results[1].CodingNoiseDb, 60.0);
  EXPECT_GT(results[2].CodingNoiseDb, kNoisyCodingDb);
  // The package was built with the standard coder; the optimal one follows the tone closer.
  ASSERT_TRUE(results[1].OptimalGainDb);
  EXPECT_GT(*results[1].OptimalGainDb, 3.0);
  EXPECT_FALSE(results[0].OptimalGainDb);  // nothing to gain on an exact copy
  EXPECT_EQ(results[3].KeptSamples, 5000);
  EXPECT_FALSE(b.Dir.Exists("out.dat"));  // compared in memory: nothing written
}

TEST(Review, OneTimeScaleLoudnessAgainstTheMiddleAndTheCodersGain) {
  const struct {
    int Samples, Amplitude;
    size_t Columns;
    bool Flagged;  // more than 3 LU from the middle
  } kSlots[] = {{4000, 60, kWaveColumns, false},
                {2000, 52, kWaveColumns / 2, false},
                {1000, 20, kWaveColumns / 4, true}};
  TReviewFolder b;
  std::string ini = "[SourceFileNames]\n";
  for (int i = 0; i < 3; ++i) {
    b.Dir.Write("s" + std::to_string(i) + ".wav",
                MakeTake(Tone(400, kSlots[i].Amplitude, kSlots[i].Samples)));
    ini += "Name" + std::to_string(i) + "=s" + std::to_string(i) + ".wav\n";
  }
  b.Dir.Write("ZelvorSound.ini", ini);
  b.Build();
  const TReview r = ReviewPackage(b.Package(), b.Dir.Folder());
  ASSERT_EQ(r.Slots.size(), 3u);
  EXPECT_EQ(r.LongestSamples, 4000);
  ASSERT_TRUE(r.MedianOptimalGainDb);
  EXPECT_GT(*r.MedianOptimalGainDb, 3.0);
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const TSlotReview& s = r.Slots[i];
    EXPECT_EQ(s.Findings.ColumnLo.size(), kSlots[i].Columns);
    auto has = [&](const char* kind) {
      return std::any_of(s.Checks.begin(), s.Checks.end(),
                         [&](const TReviewCheck& c) { return std::string(c.Kind) == kind; });
    };
    EXPECT_EQ(has("loudness"), kSlots[i].Flagged);
    EXPECT_TRUE(has("coder"));
  }
  // With the optimal coder chosen, nothing is said of a gain.
  b.Dir.Write("ZelvorSound.ini", ini + "[Options]\nCoder=optimal\n");
  const TReview optimal = ReviewPackage(b.Package(), b.Dir.Folder());
  EXPECT_FALSE(optimal.MedianOptimalGainDb);
}

TEST(ReviewPage, RowsForFilledSlotsEscapedNamesAndEmptyRanges) {
  TReviewFolder b;
  b.Dir.Write("a.wav", MakeTake(Tone(300, 60, 2000)));
  b.Dir.Write("b.wav", MakeTake(Tone(500, 40, 2000)));
  b.Dir.Write("ZelvorSound.ini",
              "[SoundFiles]\nName0=<b>\"Hi\" & 'you'</b>\nName2=Caf\xE9\n"
              "[SourceFileNames]\nName0=a.wav\nName2=b.wav\nName5=missing.wav\n");
  b.Build();
  const std::string page = b.Dir.Path("Sounds.html");
  TReviewSummary s = WriteReviewPage(b.Package(), b.Dir.Folder(), page);
  EXPECT_EQ(s.Filled, 2);
  EXPECT_EQ(s.WithWarnings, 0);
  const std::string html = b.Dir.Read("Sounds.html");
  EXPECT_EQ(s.PageBytes, static_cast<int64_t>(html.size()));
  EXPECT_NE(html.find("&lt;b&gt;&quot;Hi&quot; &amp; &#39;you&#39;&lt;/b&gt;"), std::string::npos);
  EXPECT_EQ(html.find("<b>\"Hi\""), std::string::npos);
  EXPECT_NE(html.find("Caf&#233;"), std::string::npos);
  EXPECT_NE(html.find("id=\"slot-0\""), std::string::npos);
  EXPECT_NE(html.find("id=\"slot-2\""), std::string::npos);
  EXPECT_EQ(html.find("id=\"slot-1\""), std::string::npos);
  EXPECT_NE(html.find("Empty slots (126): 1, 3\u2013127"), std::string::npos);
  EXPECT_NE(html.find("but empty in the package: 5 (missing.wav)"), std::string::npos);
  EXPECT_TRUE(IsReviewPage(page));
  EXPECT_FALSE(IsReviewPage(b.Dir.Path("ZelvorSound.ini")));
  for (auto& e : std::filesystem::directory_iterator(b.Dir.Folder()))
    EXPECT_NE(e.path().extension(), ".part") << e.path();
}

TEST(ReviewPage, FileErrorsNameTheirFileAndKeepTheOlderPage) {
  TempDir dir;
  const std::string pkg = dir.Path("Sounds.zvd"), page = dir.Path("Sounds.html");
  std::string entry600(512, '\0'), countPast(512, '\0');
  entry600[1] = 2;  // slot 0 at 512 + 88: past the end
  entry600[0] = 88;
  countPast[9] = 2;  // slot 2 at 512, its count 1000 with two bytes behind it
  PutU32(countPast, 1000);
  countPast += "ab";
  struct {
    const char* What;
    std::optional<std::string> Package;
    std::string Error;
  } rows[] = {
      {"no package", std::nullopt, pkg + ": File not found"},
      {"entry past the end", entry600, pkg + ": Read beyond end of file"},
      {"count past the end", countPast, pkg + ": Read beyond end of file"},
  };
  dir.Write("Sounds.html", "older page");
  for (const auto& r : rows) {
    SCOPED_TRACE(r.What);
    std::filesystem::remove(pkg);
    if (r.Package) dir.Write("Sounds.zvd", *r.Package);
    EXPECT_EQ(ErrorOf([&] { WriteReviewPage(pkg, dir.Folder(), page); }), r.Error);
    EXPECT_EQ(dir.Read("Sounds.html"), "older page");
  }
  dir.Write("Sounds.zvd", std::string(512, '\0'));
  ::chmod(page.c_str(), 0444);
  EXPECT_EQ(ErrorOf([&] { WriteReviewPage(pkg, dir.Folder(), page); }),
            page + ": File access denied");
  EXPECT_EQ(dir.Read("Sounds.html"), "older page");
  const std::string nowhere = dir.Path("no/such/folder/p.html");
  EXPECT_EQ(ErrorOf([&] { WriteReviewPage(pkg, dir.Folder(), nowhere); }),
            nowhere + ": File not found");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Folder()), {}), 2);
}

TEST(ReviewPageText, RangesAndEscapes) {
  EXPECT_EQ(SlotRanges({}), "");
  EXPECT_EQ(SlotRanges({7}), "7");
  std::vector<int> slots = {0, 1, 2, 4};
  for (int i = 6; i < 128; ++i) slots.push_back(i);
  EXPECT_EQ(SlotRanges(slots), "0\u20132, 4, 6\u2013127");
  struct {
    std::string In, Out;
  } rows[] = {
      {"<a href=\"x\">&'", "&lt;a href=&quot;x&quot;&gt;&amp;&#39;"},
      {"Caf\xC3\xA9 \xE2\x82\xAC", "Caf\xC3\xA9 \xE2\x82\xAC"},  // UTF-8 stays
      {"Caf\xE9 \x80", "Caf&#233; &#128;"},                      // a Windows code page
      {"\xC3", "&#195;"},                                        // a sequence cut short
      {"a\x01\tb", "a\xEF\xBF\xBD\tb"},
  };
  for (const auto& r : rows) EXPECT_EQ(HtmlText(r.In), r.Out) << r.In;
}

}  // namespace
