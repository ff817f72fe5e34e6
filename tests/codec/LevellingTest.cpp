#include <ebur128.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "codec/Levelling.h"

namespace {

std::vector<float> Wave(size_t n, const std::function<float(size_t)>& f) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = f(i);
  return v;
}

std::function<float(size_t)> Sine(double hz, double amplitude) {
  return
      [=](size_t i) { return static_cast<float>(amplitude * std::sin(2 * M_PI * hz * i / 8000)); };
}

std::vector<float> Limited(const std::vector<float>& in) {
  TPeakLimiter limiter;
  std::vector<float> out;
  limiter.Process(in.data(), in.size(), out);
  limiter.Flush(out);
  return out;
}

TEST(Levelling, TheLimiterHoldsPeaksAndLeavesTheRestAlone) {
  const struct {
    const char* Name;
    std::vector<float> In;
    float LeastGainAbove;  // the gain never dips below this
  } kCases[] = {
      {"a quiet tone", Wave(4000, Sine(440, 0.5)), 1.0f},
      {"a tone twice full scale", Wave(4000, Sine(440, 2.0)), 0.4f},
      {"a click in a quiet tone",
       Wave(16000, [](size_t i) { return i >= 1000 && i < 1080 ? 4.0f : Sine(300, 0.2)(i); }),
       0.2f},
  };
  for (auto& c : kCases) {
    SCOPED_TRACE(c.Name);
    const std::vector<float> out = Limited(c.In);
    ASSERT_EQ(out.size(), c.In.size());
    float peak = 0, least = 1;
    for (size_t i = 0; i < out.size(); ++i) {
      peak = std::max(peak, std::fabs(out[i]));
      if (std::fabs(c.In[i]) > 1e-3f) least = std::min(least, out[i] / c.In[i]);
    }
    EXPECT_LE(peak, kLimiterCeiling + 1e-6f);
    EXPECT_GE(least, c.LeastGainAbove - 1e-6f);
  }
  // Half a second after the click the tone is back as it was.
  const std::vector<float>& in = kCases[2].In;
  const std::vector<float> out = Limited(in);
  for (size_t i = 5080; i < out.size(); ++i) ASSERT_NEAR(out[i], in[i], 1e-3f) << i;
}

TEST(Levelling, LoudnessFollowsTheLevelAndShortPromptsAreMeasuredWhole) {
  auto loudness = [](double seconds, double amplitude) {
    TLoudnessMeter meter;
    const std::vector<float> w = Wave(static_cast<size_t>(seconds * 8000), Sine(1000, amplitude));
    meter.Add(w.data(), w.size());
    return meter.Loudness();
  };
  const double reference = loudness(2.0, 0.1);
  EXPECT_NEAR(reference, -23.0, 1.5);  // a 1 kHz tone at -20 dBFS
  const struct {
    double Seconds, Amplitude, AboveReference;
  } kCases[] = {{2.0, 0.2, 6.02}, {2.0, 0.4, 12.04}, {0.3, 0.1, 0.0}, {0.05, 0.4, 12.04}};
  for (auto& c : kCases)
    EXPECT_NEAR(loudness(c.Seconds, c.Amplitude) - reference, c.AboveReference, 0.2)
        << c.Seconds << " s at " << c.Amplitude;
  EXPECT_TRUE(std::isinf(loudness(2.0, 0.0)));
  EXPECT_FLOAT_EQ(GainForLoudness(-26, -16), std::pow(10.0f, 0.5f));
}

// What the reference implementation measures: integrated (gated) loudness from 0.4 s on, the
// ungated loudness of the last whole milliseconds below.
double ReferenceLoudness(const std::vector<float>& x) {
  ebur128_state* st = ebur128_init(1, 8000, EBUR128_MODE_I | EBUR128_MODE_M);
  ebur128_add_frames_float(st, x.data(), x.size());
  double lufs = -HUGE_VAL;
  if (x.size() >= 3200)
    ebur128_loudness_global(st, &lufs);
  else if (x.size() >= 8)
    ebur128_loudness_window(st, x.size() / 8, &lufs);
  ebur128_destroy(&st);
  return std::isfinite(lufs) ? lufs : -HUGE_VAL;
}

// The program's measure gives the reference figures, fed in blocks of any size: long sounds
// weighed in stretches at once, short ones, sounds whose quiet parts the gates leave out.
TEST(Levelling, LoudnessIsTheReferenceImplementationsFigure) {
  std::mt19937 rng(17);
  std::uniform_real_distribution<float> noise(-0.3f, 0.3f);
  const struct {
    const char* What;
    std::vector<float> Sound;
  } kCases[] = {
      {"a tone", Wave(16000, Sine(1000, 0.1))},
      {"noise, 61.3 s", Wave(490400, [&](size_t) { return noise(rng); })},
      {"words and pauses", Wave(96000,
                                [&](size_t i) {
                                  const float level = (i / 6000) % 3 == 2 ? 1e-5f : 1.0f;
                                  return level * Sine(300 + (i / 6000) * 40, 0.4)(i);
                                })},
      {"a quiet second after a loud one",
       Wave(16000, [](size_t i) { return Sine(500, i < 8000 ? 0.9 : 0.009)(i); })},
      {"0.3 s", Wave(2403, Sine(700, 0.2))},
      {"a few samples", Wave(13, Sine(700, 0.2))},
      {"silence", std::vector<float>(20000, 0.0f)},
  };
  for (const auto& c : kCases) {
    TLoudnessMeter meter;
    for (size_t at = 0, piece = 1; at < c.Sound.size(); at += piece, piece = piece * 3 + 7)
      meter.Add(c.Sound.data() + at, std::min(piece, c.Sound.size() - at));
    const double expected = ReferenceLoudness(c.Sound), got = meter.Loudness();
    if (std::isinf(expected))
      EXPECT_TRUE(std::isinf(got)) << c.What;
    else
      EXPECT_NEAR(got, expected, 1e-9) << c.What;
  }
}

TEST(Levelling, TheTrimPreviewTellsHowMuchOfTheSoundTheTrimmingKeeps) {
  // Syllables of 0.25 s with 0.1 s pauses, at a peak amplitude, after a 10 ms click or not.
  auto take = [](double amplitude, bool click) {
    TTrimPreview preview;
    const std::vector<float> v = Wave(16000, [&](size_t i) {
      if (click && i < 80) return 0.9f;
      const double t = std::fmod(i / 8000.0, 0.35);
      return static_cast<float>(t < 0.25 ? amplitude * std::sin(M_PI * t / 0.25) * Sine(500, 1)(i)
                                         : 0);
    });
    std::vector<uint8_t> bytes(v.size());
    for (size_t i = 0; i < v.size(); ++i)
      bytes[i] = static_cast<uint8_t>(128 + std::lround(v[i] * 127));
    preview.Feed(v.data(), bytes.data(), v.size());
    return preview.Finish();
  };
  const struct {
    const char* Name;
    TTrimVerdict Verdict;
    bool Loses;
    const char* Why;
  } kCases[] = {
      {"speech at full level", take(0.9, false), false, ""},
      {"speech inside the quiet band", take(0.1, false), true, "too quiet for the quiet band"},
      {"a click over quiet speech", take(0.03, true), true, "a click louder than the speech"},
      {"a click over speech at full level", take(0.9, true), false, ""},
  };
  for (auto& c : kCases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(c.Verdict.Samples, 16000);
    EXPECT_GT(c.Verdict.SoundingSamples, 8000);
    EXPECT_EQ(c.Verdict.LosesSpeech(), c.Loses);
    if (c.Loses) {
      EXPECT_NE(c.Verdict.Reason().find(c.Why), std::string::npos) << c.Verdict.Reason();
    }
  }
}

}  // namespace
