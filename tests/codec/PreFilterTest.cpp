#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "codec/PreFilter.h"

namespace {

std::vector<int32_t> Filter(TPreFilter& f, const std::vector<int16_t>& in) {
  std::vector<int32_t> out;
  for (int16_t x : in) out.push_back(PreFilterSample(f, x));
  return out;
}

TEST(PreFilter, ZerosStayZero) {
  TPreFilter f;
  ResetPreFilter(f);
  for (int32_t y : Filter(f, std::vector<int16_t>(100, 0))) EXPECT_EQ(y, 0);
}

TEST(PreFilter, StepOfThousandRisesOvershootsAndSettles) {
  TPreFilter f;
  ResetPreFilter(f);
  std::vector<int32_t> y = Filter(f, std::vector<int16_t>(2000, 1000));
  const std::vector<int32_t> head = {0,    0,    1,    6,    18,   46,   97,   181,
                                     301,  457,  641,  837,  1024, 1183, 1295, 1353,
                                     1359, 1325, 1270, 1219, 1191, 1199, 1247, 1328};
  EXPECT_EQ(std::vector<int32_t>(y.begin(), y.begin() + head.size()), head);
  EXPECT_EQ(*std::max_element(y.begin(), y.end()), 1622);
  EXPECT_EQ(y.back(), 1341);
}

TEST(PreFilter, NegatedInputGivesNegatedOutput) {
  TPreFilter up, down;
  ResetPreFilter(up);
  ResetPreFilter(down);
  std::vector<int32_t> a = Filter(up, std::vector<int16_t>(300, 1000));
  std::vector<int32_t> b = Filter(down, std::vector<int16_t>(300, -1000));
  for (size_t i = 0; i < a.size(); ++i) EXPECT_EQ(b[i], -a[i]) << i;
}

TEST(PreFilter, ImpulseResponseDiesAway) {
  TPreFilter f;
  ResetPreFilter(f);
  std::vector<int16_t> in(3000, 0);
  in[0] = 32767;
  std::vector<int32_t> y = Filter(f, in);
  const std::vector<int32_t> head = {0,    7,    41,   150,  410,  904,  1684, 2735,
                                     3947, 5124, 6023, 6412, 6139, 5184, 3683, 1903};
  EXPECT_EQ(std::vector<int32_t>(y.begin(), y.begin() + head.size()), head);
  EXPECT_EQ(y.back(), 0);
}

TEST(PreFilter, FullScaleLeavesTheSixteenBitRange) {
  TPreFilter f;
  ResetPreFilter(f);
  std::vector<int32_t> y = Filter(f, std::vector<int16_t>(2000, 32767));
  EXPECT_EQ(*std::max_element(y.begin(), y.end()), 53157);
}

TEST(PreFilter, BlocksOfAnySizeGiveTheSampleBySampleValues) {
  std::vector<int16_t> x(3000);
  for (size_t i = 0; i < x.size(); ++i)
    x[i] = static_cast<int16_t>((i * 2654435761u) >> 16);  // full-range pseudo-noise
  TPreFilter one;
  ResetPreFilter(one);
  std::vector<int32_t> expected = Filter(one, x);
  TPreFilter block;
  ResetPreFilter(block);
  std::vector<int32_t> got(x.size());
  size_t at = 0, piece = 1;
  while (at < x.size()) {  // pieces of 1, 2, 3, ... samples, shorter than the history too
    size_t n = std::min(piece++, x.size() - at);
    PreFilterBlock(block, x.data() + at, n, got.data() + at);
    at += n;
  }
  EXPECT_EQ(got, expected);
  // Both end in the same state: the next step agrees as well.
  EXPECT_EQ(PreFilterSample(block, 1234), PreFilterSample(one, 1234));
}

// Signals that push the truncations hardest: full-scale noise, full-scale square waves of
// several periods and a quiet ramp, long enough for the side-by-side stretches.
std::vector<int16_t> TestSignal(int kind, size_t n) {
  std::vector<int16_t> x(n);
  for (size_t i = 0; i < n; ++i) {
    if (kind == 0) x[i] = static_cast<int16_t>((i * 2654435761u) >> 16);
    if (kind == 1) x[i] = (i / 7) % 2 ? 32767 : -32768;
    if (kind == 2) x[i] = (i / 1500) % 2 ? 20000 : -31000;
    if (kind == 3) x[i] = static_cast<int16_t>(i % 4000) - 2000;
  }
  return x;
}

TEST(PreFilter, EveryExactValueLiesWithinTheBoundOfItsEstimate) {
  const double bound = PreFilterEstimateBound();
  EXPECT_GT(bound, 2600);  // the truncations' own share alone is about 2,640
  EXPECT_LT(bound, 2800);
  for (int kind = 0; kind < 4; ++kind) {
    const size_t n = 300000;
    std::vector<int16_t> x = TestSignal(kind, n);
    TPreFilter f;
    ResetPreFilter(f);
    std::vector<int64_t> fine(n);
    for (size_t i = 0; i < n; ++i) PreFilterSample(f, x[i]), fine[i] = f.Out[0];
    // Blocks long enough for stretches side by side, and a short one between them.
    TPreFilterEstimate e;
    std::vector<TEstimateSpan> spans;
    size_t at = 0;
    for (size_t size : {140000, 5, 159995}) {
      EstimatePreFilter(e, x.data() + at, size, 3, spans);
      at += size;
    }
    ASSERT_GE(spans.size(), 9u) << kind;
    std::vector<bool> covered(n, false);
    for (const TEstimateSpan& s : spans) {
      ASSERT_LT(s.Begin, s.End);
      auto [lo, hi] = std::minmax_element(fine.begin() + s.Begin, fine.begin() + s.End);
      EXPECT_LE(std::abs(static_cast<double>(*lo) - s.Lo), bound) << kind << " " << s.Begin;
      EXPECT_LE(std::abs(static_cast<double>(*hi) - s.Hi), bound) << kind << " " << s.Begin;
      std::fill(covered.begin() + s.Begin, covered.begin() + s.End, true);
    }
    EXPECT_EQ(std::count(covered.begin(), covered.end(), false), 3) << kind;
    EXPECT_FALSE(covered[2]);
  }
}

}  // namespace
