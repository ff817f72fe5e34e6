#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "CodecTestKit.h"
#include "TempDir.h"
#include "codec/Convert.h"
#include "codec/PreFilter.h"
#include "codec/WavInput.h"

namespace {

// Converts the WAV bytes as the builder would and reports what the user saw.
struct TConverted {
  std::vector<std::string> Messages;
  std::string OutDat;
  bool VoxWritten = false;
};

TConverted Convert(const std::string& wav) {
  TempDir dir;
  dir.Write("in.wav", wav);
  TAppContext ctx{dir.Folder(), "in.wav"};
  TRecordingShell shell;
  ConvertWaveFile(ctx, shell);
  return {shell.Messages, dir.Read("out.dat"), dir.Exists("in.vox")};
}

std::string ProblemOf(const std::string& wav) {
  TempDir dir;
  dir.Write("in.wav", wav);
  TAppContext ctx{dir.Folder(), "in.wav"};
  TRecordingShell shell;
  ConvertWaveFile(ctx, shell);
  if (shell.Messages.size() != 1) return "accepted";
  std::string prefix = "Invalid WAV file: " + dir.Path("in.wav") + " Problem: ";
  EXPECT_EQ(shell.Messages[0].rfind(prefix, 0), 0u) << shell.Messages[0];
  EXPECT_FALSE(dir.Exists("out.dat"));
  EXPECT_FALSE(dir.Exists("in.vox"));
  return shell.Messages[0].substr(prefix.size());
}

std::string Loud8(size_t n) { return std::string(n, static_cast<char>(200)); }

TEST(WavCheck, RejectionsCarryTheirProblemTexts) {
  TWavSpec w;
  std::string good = MakeWav(w, Loud8(10));
  EXPECT_EQ(ProblemOf(good), "accepted");

  std::string notRiff = good;
  notRiff[0] = 'R', notRiff[1] = 'I', notRiff[2] = 'F', notRiff[3] = 'X';
  EXPECT_EQ(ProblemOf(notRiff), "File header incorrect");

  // Another chunk before the format chunk.
  std::string listFirst = "RIFF";
  PutU32(listFirst, 0);
  listFirst += "WAVELIST";
  PutU32(listFirst, 4);
  listFirst += "INFO" + good.substr(12);
  EXPECT_EQ(ProblemOf(listFirst), "File header incorrect");

  TWavSpec stereo;
  stereo.Channels = 2;
  EXPECT_EQ(ProblemOf(MakeWav(stereo, Loud8(10))), "Not MONO recording");
  TWavSpec floating;
  floating.Tag = 3;
  EXPECT_EQ(ProblemOf(MakeWav(floating, Loud8(10))), "Invalid PCM format");
  TWavSpec deep;
  deep.Bits = 24;
  EXPECT_EQ(ProblemOf(MakeWav(deep, Loud8(12))), "Need 8 or 16 bits/sample - file is 24bps");
  TWavSpec slow16;
  slow16.Bits = 16;
  slow16.Rate = 22050;
  EXPECT_EQ(ProblemOf(MakeWav(slow16, Samples16({1, 2, 3}))),
            "Need 44100 Hz for 16 bits/sample - file is 22050Hz");
}

TEST(WavCheck, ChecksRunInOrderAndTheFirstFailureWins) {
  TWavSpec w;
  w.Tag = 2;
  w.Channels = 2;
  w.Bits = 24;
  EXPECT_EQ(ProblemOf(MakeWav(w, Loud8(10))), "Invalid PCM format");
  w.Tag = 1;
  EXPECT_EQ(ProblemOf(MakeWav(w, Loud8(10))), "Not MONO recording");
}

TEST(WavCheck, RejectionLeavesEarlierOutputAlone) {
  TempDir dir;
  TWavSpec stereo;
  stereo.Channels = 2;
  dir.Write("in.wav", MakeWav(stereo, Loud8(10)));
  dir.Write("in.vox", "old vox");
  dir.Write("out.dat", "old dat");
  TAppContext ctx{dir.Folder(), "in.wav"};
  TRecordingShell shell;
  ConvertWaveFile(ctx, shell);
  ASSERT_EQ(shell.Messages.size(), 1u);
  EXPECT_EQ(dir.Read("in.vox"), "old vox");
  EXPECT_EQ(dir.Read("out.dat"), "old dat");
  EXPECT_EQ(ctx.CurrentSoundFileName, dir.Path("in.wav"));
}

TEST(WavCheck, ChunksBetweenFormatAndDataAreSkipped) {
  std::string samples = Loud8(40);
  std::string list = "LIST";
  PutU32(list, 6);
  list += "INFOab";
  // An odd-sized chunk is followed by its pad byte.
  std::string odd = "junk";
  PutU32(odd, 3);
  odd += "xyz";
  odd += '\0';
  std::string empty = "zero";
  PutU32(empty, 0);
  for (uint32_t fmtSize : {16u, 18u, 17u}) {
    TWavSpec w;
    w.FormatSize = fmtSize;
    w.ChunksBeforeData = list + odd + empty;
    TConverted c = Convert(MakeWav(w, samples));
    EXPECT_TRUE(c.Messages.empty()) << fmtSize;
    EXPECT_EQ(c.OutDat, samples) << fmtSize;
  }
}

TEST(WavCheck, TruncatedAndHostileFilesEndInReadBeyondEnd) {
  TWavSpec w;
  std::string good = MakeWav(w, Loud8(10));
  TempDir dir;
  auto errorFor = [&](const std::string& bytes) {
    dir.Write("in.wav", bytes);
    TAppContext ctx{dir.Folder(), "in.wav"};
    TRecordingShell shell;
    return ErrorOf([&] { ConvertWaveFile(ctx, shell); });
  };
  EXPECT_EQ(errorFor(good.substr(0, 10)), "Read beyond end of file");
  EXPECT_EQ(errorFor(good.substr(0, 30)), "Read beyond end of file");
  // No data chunk: the walk runs into the end of the file.
  EXPECT_EQ(errorFor(good.substr(0, 36)), "Read beyond end of file");
  std::string huge = "huge";
  PutU32(huge, 0xFFFFFFFFu);
  w.ChunksBeforeData = huge;
  EXPECT_EQ(errorFor(MakeWav(w, Loud8(10))), "Read beyond end of file");
  TWavSpec longer;
  longer.DataSizeField = 0xFFFFFFF0u;
  EXPECT_EQ(errorFor(MakeWav(longer, Loud8(10))), "Read beyond end of file");
  longer.Bits = 16;
  longer.Rate = 44100;
  EXPECT_EQ(errorFor(MakeWav(longer, Samples16({5, 6, 7}))), "Read beyond end of file");
  EXPECT_EQ(errorFor("RIFF"), "Read beyond end of file");
  TAppContext ctx{dir.Folder(), "missing.wav"};
  TRecordingShell shell;
  EXPECT_EQ(ErrorOf([&] { ConvertWaveFile(ctx, shell); }), "File not found");
}

TEST(WavReduction, EightBitSamplesPassUnchangedAtAnyRate) {
  std::string samples;
  for (int i = 0; i < 3000; ++i) samples += static_cast<char>((i * 37) % 256);
  TWavSpec w;
  w.Rate = 22050;
  w.DataSizeField = static_cast<uint32_t>(samples.size());
  // Make the first sample loud so the leading trim keeps everything.
  samples[0] = static_cast<char>(0);
  TConverted c = Convert(MakeWav(w, samples));
  EXPECT_TRUE(c.Messages.empty());
  EXPECT_EQ(c.OutDat, samples.substr(0, c.OutDat.size()));
  EXPECT_GE(c.OutDat.size(), 2500u);
}

TEST(WavReduction, OutputMappingOfGroupAverages) {
  EXPECT_EQ(OutputByteFor(-1), 127);
  EXPECT_EQ(OutputByteFor(255), 128);
  EXPECT_EQ(OutputByteFor(-256), 127);
  EXPECT_EQ(OutputByteFor(-257), 126);
  EXPECT_EQ(OutputByteFor(-32768), 0);
  EXPECT_EQ(OutputByteFor(0), 128);
  EXPECT_EQ(OutputByteFor(32767), 255);
}

TEST(WavReduction, GainAndNarrowingSaturate) {
  EXPECT_EQ(GainForPeak(32760), 1.0f);
  EXPECT_EQ(GainForPeak(32768), 1.0f);
  EXPECT_EQ(GainForPeak(0), 1.0f);
  EXPECT_EQ(GainForPeak(32759), 32768.0f / 32759.0f);
  EXPECT_EQ(GainForPeak(6), static_cast<float>(32768.0 / 6.0));
  EXPECT_EQ(ScaleSample(20000, 2.0f), 32767);
  EXPECT_EQ(ScaleSample(-20000, 2.0f), -32768);
  EXPECT_EQ(ScaleSample(-32768, 1.0f), -32768);
  EXPECT_EQ(ScaleSample(1000, 5461.3335f), 32767);
  EXPECT_EQ(ScaleSample(3, 2.9f), 8);    // 8.7 truncated
  EXPECT_EQ(ScaleSample(-3, 2.9f), -8);  // toward zero, not down
  EXPECT_EQ(Saturate16(53157), 32767);
  EXPECT_EQ(Saturate16(-40000), -32768);
}

// The peak pass over the samples x, written to a data chunk.
int32_t PeakOf(const std::vector<int16_t>& x) {
  TempDir dir;
  std::string data = Samples16(x);
  std::string path = dir.Write("p.raw", "data" + std::string(4, '\0') + data);
  TByteFile f(path);
  f.Reset();
  f.Seek(4);
  f.WriteU32(static_cast<uint32_t>(data.size()));
  f.Seek(4);
  TPreFilter filter;
  ResetPreFilter(filter);
  int32_t m = MeasurePeak16(f, filter);
  EXPECT_EQ(f.Pos(), 4);  // back at the size field
  return m;
}

// Peak pass over n samples of a constant 1000 (filtered: 0, 0, 1, 6, 18, 46, 97, ...).
int32_t PeakOfThousands(size_t n) { return PeakOf(std::vector<int16_t>(n, 1000)); }

TEST(WavReduction, PeakIgnoresTheFirstThreeFilteredValues) {
  EXPECT_EQ(PeakOfThousands(3), 0);  // the third value, 1, does not count
  EXPECT_EQ(PeakOfThousands(4), 6);
  EXPECT_EQ(PeakOfThousands(7), 97);
  EXPECT_EQ(PeakOfThousands(2000), 1622);
}

// Long files take the fast estimate of the peak, which must give the exact pass's value in
// every case, also where the estimate alone leaves the last digit open (then the exact
// filter settles it over part of the file).
TEST(WavReduction, LongFilesGiveTheExactPassPeak) {
  std::mt19937 rng(11);
  for (int round = 0; round < 40; ++round) {
    const size_t n = 33000 + rng() % 500000;
    const double amplitude = 200 + rng() % 30000, tone = 0.001 + (rng() % 1000) / 4000.0;
    std::vector<int16_t> x(n);
    for (size_t i = 0; i < n; ++i) {
      double v = amplitude * std::sin(tone * static_cast<double>(i)) + (rng() % 2001) - 1000.0;
      x[i] = Saturate16(static_cast<int64_t>(v));
    }
    TPreFilter exact;
    ResetPreFilter(exact);
    int32_t lo = INT32_MAX, hi = INT32_MIN;
    PreFilterRange(exact, x.data(), n, 3, lo, hi);
    const int32_t expected =
        std::max(std::abs(int32_t{Saturate16(lo)}), std::abs(int32_t{Saturate16(hi)}));
    EXPECT_EQ(PeakOf(x), expected) << round;
  }
}

TEST(WavReduction, ElevenSamplesGiveTwoOutputs) {
  TWavSpec w;
  w.Bits = 16;
  w.Rate = 44100;
  TConverted c = Convert(MakeWav(w, Samples16(std::vector<int16_t>(11, 3000))));
  EXPECT_TRUE(c.Messages.empty());
  EXPECT_EQ(c.OutDat.size(), 2u);
  TConverted twelve = Convert(MakeWav(w, Samples16(std::vector<int16_t>(12, 3000))));
  EXPECT_EQ(twelve.OutDat.size(), 3u);  // 5 + 6 and one more group begun
}

// The 16-bit reduction written the plain way: one sample at a time with the byte counter,
// for comparison with the streamed one across block boundaries and odd sizes.
std::string ReferenceReduce16(const std::vector<int16_t>& x, uint32_t dataSize,
                              bool rescaleRepeats = false) {
  TPreFilter f;
  ResetPreFilter(f);
  int32_t peak = 0;
  size_t idx = 0;
  for (int64_t bc = 0; bc < dataSize; bc += 2, ++idx) {
    int16_t y = Saturate16(PreFilterSample(f, x[idx]));
    if (bc > 4) peak = std::max<int32_t>(peak, std::abs(static_cast<int32_t>(y)));
  }
  float gain = peak >= 32760 || peak == 0 ? 1.0f : 32768.0f / static_cast<float>(peak);
  ResetPreFilter(f);
  std::string out;
  int64_t bc = 0;
  int32_t outCount = 0;
  int16_t held = 0;
  idx = 0;
  while (bc < dataSize) {
    ++outCount;
    int n = outCount % 2 ? 5 : 6;
    int64_t sum = 0;
    for (int k = 0; k < n; ++k) {
      if (bc < dataSize)
        held = Saturate16(static_cast<int32_t>(static_cast<float>(x[idx++]) * gain));
      else if (rescaleRepeats)
        held = Saturate16(static_cast<int32_t>(static_cast<float>(held) * gain));
      sum += PreFilterSample(f, held);
      bc += 2;
    }
    out += static_cast<char>(OutputByteFor(Saturate16(sum / n)));
  }
  return out;
}

TEST(WavReduction, StreamedSixteenBitPathMatchesThePlainOne) {
  std::mt19937 rng(3);
  for (size_t n : {1u, 4u, 7u, 400u, 16384u, 16385u, 40000u}) {
    std::vector<int16_t> x(n);
    double phase = 0;
    for (auto& v : x) {
      phase += 0.05 + (rng() % 100) / 2000.0;
      v = static_cast<int16_t>(std::sin(phase) * 6000 + static_cast<int>(rng() % 400) - 200);
    }
    TWavSpec w;
    w.Bits = 16;
    w.Rate = 44100;
    TConverted c = Convert(MakeWav(w, Samples16(x)));
    std::string expected = ReferenceReduce16(x, static_cast<uint32_t>(2 * n));
    // The trailing trim may cut the end; everything kept must match.
    ASSERT_LE(c.OutDat.size(), expected.size());
    EXPECT_EQ(c.OutDat, expected.substr(0, c.OutDat.size())) << n;
    if (n >= 400) {
      EXPECT_GT(c.OutDat.size(), n / 6) << n;
    }
  }
}

TEST(WavReduction, LastGroupRepeatsTheScaledSampleWithoutScalingAgain) {
  // A quiet sine: the gain is large, so scaling the repeated sample a second time would
  // change the last output. Find lengths where the two readings differ and check that the
  // conversion takes the scaled sample as it is.
  std::vector<int16_t> all(1200);
  for (size_t i = 0; i < all.size(); ++i)
    all[i] = static_cast<int16_t>(std::sin(static_cast<double>(i) * 0.07) * 700);
  int differing = 0;
  for (size_t n = 300; n < all.size() && differing < 5; ++n) {
    if (n % 11 == 0 || n % 11 == 5) continue;  // ends on a group boundary: nothing repeats
    std::vector<int16_t> x(all.begin(), all.begin() + n);
    uint32_t d = static_cast<uint32_t>(2 * n);
    std::string once = ReferenceReduce16(x, d), twice = ReferenceReduce16(x, d, true);
    if (once.back() == twice.back()) continue;
    ++differing;
    TWavSpec w;
    w.Bits = 16;
    w.Rate = 44100;
    TConverted c = Convert(MakeWav(w, Samples16(x)));
    ASSERT_EQ(c.OutDat.size(), once.size()) << n;
    EXPECT_EQ(c.OutDat.back(), once.back()) << n;
  }
  EXPECT_EQ(differing, 5);
}

TEST(WavReduction, LoudSixteenBitInputSaturatesInsteadOfWrapping) {
  // Full-scale input: the filter settles near 43940, beyond the 16-bit range. Wrapping
  // would turn it into large negative values (bytes near 79); saturation holds 255.
  TWavSpec w;
  w.Bits = 16;
  w.Rate = 44100;
  TConverted c = Convert(MakeWav(w, Samples16(std::vector<int16_t>(2000, 32767))));
  ASSERT_GT(c.OutDat.size(), 300u);
  for (size_t i = 20; i < c.OutDat.size(); ++i)
    ASSERT_EQ(static_cast<uint8_t>(c.OutDat[i]), 255) << i;
  TConverted low = Convert(MakeWav(w, Samples16(std::vector<int16_t>(2000, -32768))));
  for (size_t i = 20; i < low.OutDat.size(); ++i)
    ASSERT_EQ(static_cast<uint8_t>(low.OutDat[i]), 0) << i;
}

}  // namespace
