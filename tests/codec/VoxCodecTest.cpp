#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "codec/VoxCodec.h"

namespace {

std::vector<uint8_t> EncodeAll(const std::vector<uint8_t>& samples) {
  std::vector<uint8_t> out((samples.size() + 1) / 2);
  TVoxEncoder e;
  out.resize(e.Encode(samples.data(), samples.size(), out.data()));
  return out;
}

std::vector<uint8_t> DecodeAll(const std::vector<uint8_t>& codes) {
  std::vector<uint8_t> out(2 * codes.size());
  TVoxDecoder d;
  d.Decode(codes.data(), codes.size(), out.data());
  return out;
}

using Bytes = std::vector<uint8_t>;

TEST(VoxCodec, SingleSamplesGiveTheDocumentedCodes) {
  uint8_t p = 128;
  EXPECT_EQ(EncodeSample(128, p), 0);
  EXPECT_EQ(EncodeSample(255, p), 7);
  EXPECT_EQ(p, 192);
  EXPECT_EQ(EncodeSample(255, p), 6);
  EXPECT_EQ(p, 224);
  EXPECT_EQ(EncodeSample(0, p), 15);
  EXPECT_EQ(p, 160);
}

TEST(VoxCodec, QuantiserRoundsTheDifferenceDownToAStep) {
  struct Case {
    int d;
    uint8_t index;
  } cases[] = {{0, 0},  {1, 1},  {2, 2},  {3, 2},  {4, 3},  {7, 3},   {8, 4},   {15, 4},
               {16, 5}, {31, 5}, {32, 6}, {63, 6}, {64, 7}, {127, 7}, {128, 7}, {200, 7}};
  for (const Case& c : cases) {
    uint8_t up = 50;
    EXPECT_EQ(EncodeSample(static_cast<uint8_t>(50 + c.d > 255 ? 255 : 50 + c.d), up),
              c.d + 50 > 255 ? 7 : c.index)
        << "up by " << c.d;
    if (c.d == 0) continue;  // equal to the predictor counts as up by 0
    uint8_t down = 255;
    EXPECT_EQ(EncodeSample(static_cast<uint8_t>(255 - c.d), down), c.index + 8)
        << "down by " << c.d;
    EXPECT_EQ(down, 255 - kVoxSteps[c.index]);
  }
}

TEST(VoxCodec, StreamExamples) {
  EXPECT_EQ(EncodeAll({128, 255, 255, 0}), (Bytes{0x70, 0xF6}));
  EXPECT_EQ(DecodeAll({0x70, 0xF6}), (Bytes{128, 192, 224, 160}));

  EXPECT_EQ(EncodeAll({128, 129, 131, 134, 140, 100, 100, 100, 50}),
            (Bytes{0x10, 0x22, 0xE3, 0x9B}));
  EXPECT_EQ(DecodeAll({0x10, 0x22, 0xE3, 0x9B}), (Bytes{128, 129, 131, 133, 137, 105, 101, 100}));

  EXPECT_EQ(EncodeAll({128, 128, 128, 128, 128}), (Bytes{0x00, 0x00}));
  EXPECT_EQ(EncodeAll(Bytes(8, 0)), (Bytes{0xFF, 0x00, 0x00, 0x00}));
  EXPECT_EQ(DecodeAll({0xFF, 0x00, 0x00, 0x00}), (Bytes{64, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(EncodeAll(Bytes(8, 255)), (Bytes{0x67, 0x45, 0x23, 0x01}));
  EXPECT_EQ(DecodeAll({0x67, 0x45, 0x23, 0x01}), (Bytes{192, 224, 240, 248, 252, 254, 255, 255}));
}

TEST(VoxCodec, EmptyAndSingleSampleStreamsAreEmpty) {
  EXPECT_TRUE(EncodeAll({}).empty());
  EXPECT_TRUE(EncodeAll({17}).empty());
  EXPECT_TRUE(DecodeAll({}).empty());
}

TEST(VoxCodec, DecoderWrapsOnForeignBytesAndCodeEightChangesNothing) {
  EXPECT_EQ(DecodeAll({0x77, 0x77, 0x77}), (Bytes{192, 0, 64, 128, 192, 0}));
  EXPECT_EQ(DecodeAll({0x00, 0x88}), (Bytes{128, 128, 128, 128}));
  EXPECT_EQ(DecodeAll({0x11, 0x99}), (Bytes{129, 130, 129, 128}));
}

TEST(VoxCodec, SplittingAStreamAnywhereGivesTheSameBytes) {
  std::mt19937 rng(7);
  Bytes samples(1001);
  for (auto& s : samples) s = static_cast<uint8_t>(rng());
  Bytes whole = EncodeAll(samples);
  ASSERT_EQ(whole.size(), 500u);
  for (size_t cut : {0u, 1u, 2u, 3u, 500u, 999u, 1000u}) {
    TVoxEncoder e;
    Bytes out(600);
    size_t n = e.Encode(samples.data(), cut, out.data());
    n += e.Encode(samples.data() + cut, samples.size() - cut, out.data() + n);
    out.resize(n);
    EXPECT_EQ(out, whole) << "cut at " << cut;
  }
}

// Streams are decoded many codes at a time: the samples and the count of wraps must be those
// of one code after the other, however the stream is split.
TEST(VoxCodec, DecodingCountsTheWrapsOfOneCodeAfterAnother) {
  std::mt19937 rng(5);
  for (uint8_t mask : {0xFF, 0x77, 0x33})  // any code; loud moves up; small moves up
    for (size_t n : {15u, 16u, 33u, 4099u}) {
      Bytes codes(n), expected;
      for (auto& c : codes) c = static_cast<uint8_t>(rng() & mask);
      int v = kVoxStartValue;
      size_t wraps = 0;
      for (size_t i = 0; i < 2 * n; ++i) {
        const int code = i % 2 ? codes[i / 2] >> 4 : codes[i / 2] & 15;
        const int next = code & 8 ? v - kVoxSteps[code & 7] : v + kVoxSteps[code & 7];
        wraps += next < 0 || next > 255;
        expected.push_back(static_cast<uint8_t>(v = next & 255));
      }
      TVoxDecoder d;
      Bytes out(2 * n);
      const size_t cut = n / 3;
      size_t got = d.DecodeCountingWraps(codes.data(), cut, out.data());
      got += d.DecodeCountingWraps(codes.data() + cut, n - cut, out.data() + 2 * cut);
      EXPECT_EQ(out, expected) << n;
      EXPECT_EQ(got, wraps) << n;
    }
}

// Long streams are coded by stretches followed at once (the predictor of each guessed, then
// set right); the codes must be those of one sample after the other, whatever the signal.
TEST(VoxCodec, LongStreamsGiveTheCodesOfOneSampleAfterAnother) {
  std::mt19937 rng(11);
  const std::vector<std::pair<const char*, std::function<int(size_t)>>> signals = {
      {"noise", [&](size_t) { return int(rng() % 256); }},
      {"tone", [](size_t i) { return int(128 + 120 * std::sin(i * 0.07)); }},
      {"steps", [](size_t i) { return (i / 37) % 2 ? 255 : 0; }},
      {"quiet", [&](size_t) { return int(126 + rng() % 5); }},
  };
  for (const auto& [name, signal] : signals)
    for (size_t n : {255u, 256u, 4099u, 70001u}) {
      Bytes samples(n);
      for (size_t i = 0; i < n; ++i) samples[i] = static_cast<uint8_t>(signal(i));
      Bytes expected;
      uint8_t p = kVoxStartValue;
      for (size_t i = 0; i + 1 < n; i += 2) {
        const uint8_t first = EncodeSample(samples[i], p);
        expected.push_back(static_cast<uint8_t>(first | (EncodeSample(samples[i + 1], p) << 4)));
      }
      EXPECT_EQ(EncodeAll(samples), expected) << name << ", " << n << " samples";
      // The check of a stream's codes agrees with coding it: any changed bit, a code 8 for
      // no move, a wrong length each make the codes not the coder's; so may another sample.
      EXPECT_TRUE(IsStandardCoding(samples.data(), n, expected.data(), expected.size()));
      for (size_t at : {size_t{0}, expected.size() / 2, expected.size() - 1}) {
        Bytes changed = expected;
        changed[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
        EXPECT_FALSE(IsStandardCoding(samples.data(), n, changed.data(), changed.size()))
            << name << ", " << n << " samples, byte " << at;
      }
      EXPECT_FALSE(IsStandardCoding(samples.data(), n, expected.data(), expected.size() - 1));
      Bytes other = samples;
      other[n / 3] ^= 5;
      EXPECT_EQ(IsStandardCoding(other.data(), n, expected.data(), expected.size()),
                EncodeAll(other) == expected);
    }
  const Bytes quiet(8, kVoxStartValue), zeros(4, 0x00), eights(4, 0x88);
  EXPECT_TRUE(IsStandardCoding(quiet.data(), quiet.size(), zeros.data(), zeros.size()));
  EXPECT_FALSE(IsStandardCoding(quiet.data(), quiet.size(), eights.data(), eights.size()));
}

}  // namespace
