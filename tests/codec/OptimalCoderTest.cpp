#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "codec/OptimalCoder.h"
#include "codec/VoxCodec.h"
#include "codec/VoxCoders.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Decode(const Bytes& codes) {
  Bytes out(2 * codes.size());
  TVoxDecoder d;
  d.Decode(codes.data(), codes.size(), out.data());
  return out;
}

int64_t SquaredError(const Bytes& samples, const Bytes& decoded) {
  int64_t e = 0;
  for (size_t i = 0; i < decoded.size(); ++i)
    e += (samples[i] - decoded[i]) * (samples[i] - decoded[i]);
  return e;
}

double SignalToErrorDb(const Bytes& samples, const Bytes& decoded) {
  double signal = 0;
  for (size_t i = 0; i < decoded.size(); ++i) signal += (samples[i] - 128.0) * (samples[i] - 128.0);
  return 10 * std::log10(signal / static_cast<double>(SquaredError(samples, decoded)));
}

// The least error of every code sequence (code 8 aside) whose decoding stays in 0..255,
// found by trying them all.
int64_t BruteForceError(const Bytes& s, size_t at = 0, int value = 128) {
  if (at == s.size()) return 0;
  int64_t best = INT64_MAX;
  for (int code = 0; code < 16; ++code) {
    if (code == 8) continue;
    const int next = code < 8 ? value + kVoxSteps[code] : value - kVoxSteps[code - 8];
    if (next < 0 || next > 255) continue;
    const int64_t rest = BruteForceError(s, at + 1, next);
    best = std::min(best, (s[at] - next) * (s[at] - next) + rest);
  }
  return best;
}

Bytes Made(size_t n, const std::function<int(size_t)>& f) {
  Bytes s(n);
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<uint8_t>(std::clamp(f(i), 0, 255));
  return s;
}

// Syllables of a voiced sound: a 120 Hz pulse train through two resonances, each syllable
// rising and falling, with pauses between.
Bytes SpeechLike(size_t n, double level) {
  return Made(n, [&](size_t i) {
    const double t = i / 8000.0, syllable = std::fmod(t, 0.35);
    const double envelope = syllable < 0.25 ? std::sin(3.14159 * syllable / 0.25) : 0.0;
    const double f0 = 120 + 30 * std::sin(2 * t);
    const double v = 0.6 * std::sin(2 * 3.14159 * 5 * f0 * t) +
                     0.3 * std::sin(2 * 3.14159 * 13 * f0 * t) +
                     0.1 * std::sin(2 * 3.14159 * f0 * t);
    return static_cast<int>(std::lround(128 + level * 127 * envelope * v));
  });
}

TEST(OptimalCoder, FindsTheLeastErrorThatTryingEveryCodeSequenceFinds) {
  std::mt19937 rng(25);
  std::vector<Bytes> inputs = {{0, 0}, {255, 255}, {128, 200, 0, 255}, {64, 64, 192, 192, 0, 255}};
  for (size_t n : {2u, 4u, 6u})
    for (int k = 0; k < 6; ++k) inputs.push_back(Made(n, [&](size_t) { return int(rng() % 256); }));
  for (const Bytes& s : inputs) {
    SCOPED_TRACE(::testing::PrintToString(s));
    const Bytes codes = EncodeVox(TCoder::Optimal, s.data(), s.size());
    ASSERT_EQ(codes.size(), s.size() / 2);
    EXPECT_EQ(SquaredError(s, Decode(codes)), BruteForceError(s));
  }
}

TEST(OptimalCoder, NeverWrapsNeverUsesCodeEightAndKeepsTheLength) {
  std::mt19937 rng(8);
  const struct {
    const char* Name;
    Bytes Samples;
  } kCases[] = {
      {"square, 2 samples a period", Made(4001, [](size_t i) { return i % 2 ? 255 : 0; })},
      {"square, 7 samples a period", Made(3000, [](size_t i) { return i % 7 < 3 ? 255 : 0; })},
      {"square, 64 samples a period", Made(2000, [](size_t i) { return i % 64 < 32 ? 255 : 0; })},
      {"noise", Made(5000, [&](size_t) { return int(rng() % 256); })},
      {"held at 0", Made(600, [](size_t) { return 0; })},
      {"held at 255", Made(601, [](size_t) { return 255; })},
      {"one sample", {200}},
      {"nothing", {}},
  };
  for (auto& c : kCases) {
    SCOPED_TRACE(c.Name);
    const Bytes& s = c.Samples;
    const Bytes codes = EncodeVox(TCoder::Optimal, s.data(), s.size());
    ASSERT_EQ(codes.size(), s.size() / 2);
    int value = 128;
    for (uint8_t b : codes)
      for (int code : {b & 15, b >> 4}) {
        EXPECT_NE(code, 8);
        value += code < 8 ? kVoxSteps[code] : -kVoxSteps[code - 8];
        ASSERT_TRUE(value >= 0 && value <= 255) << "wrapped";
      }
    const Bytes standard = EncodeVox(TCoder::Standard, s.data(), s.size());
    EXPECT_LE(SquaredError(s, Decode(codes)), SquaredError(s, Decode(standard)));
  }
}

TEST(OptimalCoder, DecisionsInBlocksMatchTheWholeSoundAndPiecesDoNotMatter) {
  const Bytes speech = SpeechLike(8000 * 3 + 1, 0.8);
  TOptimalVoxEncoder whole(speech.size() + 1, 0);
  Bytes all;
  whole.Encode(speech.data(), speech.size(), all);
  whole.Finish(all);
  const Bytes blocks = EncodeVox(TCoder::Optimal, speech.data(), speech.size());
  ASSERT_EQ(blocks.size(), all.size());
  EXPECT_NEAR(SignalToErrorDb(speech, Decode(blocks)), SignalToErrorDb(speech, Decode(all)), 0.1);
  // Where the standard coder falls short on every slope, the search follows.
  const Bytes standard = EncodeVox(TCoder::Standard, speech.data(), speech.size());
  EXPECT_GT(SignalToErrorDb(speech, Decode(blocks)), SignalToErrorDb(speech, Decode(standard)) + 3);

  for (size_t piece : {1u, 3u, 255u, 272u, 1000u}) {
    auto encoder = MakeVoxEncoder(TCoder::Optimal);
    Bytes out;
    for (size_t at = 0; at < speech.size(); at += piece)
      encoder->Encode(speech.data() + at, std::min(piece, speech.size() - at), out);
    encoder->Finish(out);
    EXPECT_EQ(out, blocks) << "pieces of " << piece;
  }
}

TEST(OptimalCoder, TheStandardCoderBehindTheChoiceIsTheStoredOneByteForByte) {
  std::mt19937 rng(3);
  const Bytes s = Made(10001, [&](size_t) { return int(rng() % 256); });
  Bytes stored((s.size() + 1) / 2);
  TVoxEncoder e;
  stored.resize(e.Encode(s.data(), s.size(), stored.data()));
  EXPECT_EQ(EncodeVox(TCoder::Standard, s.data(), s.size()), stored);
}

TEST(OptimalCoder, CoderNames) {
  const struct {
    const char* Name;
    std::optional<TCoder> Coder;
  } kNames[] = {
      {"standard", TCoder::Standard}, {"optimal", TCoder::Optimal}, {" Optimal ", TCoder::Optimal},
      {"STANDARD", TCoder::Standard}, {"", std::nullopt},           {"fast", std::nullopt},
      {"optimal2", std::nullopt}};
  for (auto& n : kNames) EXPECT_EQ(CoderByName(n.Name), n.Coder) << n.Name;
}

}  // namespace
