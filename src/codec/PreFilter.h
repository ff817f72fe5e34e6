// The sixth-order recursive low-pass filter that 16-bit 44.1 kHz input passes before it is
// decimated to about 8 kHz. Exact integer arithmetic: 64-bit products, divisions that
// truncate toward zero; any correct build gives the same numbers bit for bit.
//
// Every conversion owns its own state, so two conversions can run side by side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The coefficients: the feed-forward row b(0..6), symmetric, so b(4..6) mirror b(2..0);
// the feedback row a(1..6) at the scale a(0) = 2048.
inline constexpr int32_t kPreFilterB[4] = {1373, 8240, 20600, 27467};
inline constexpr int64_t kPreFilterA[7] = {2048, -10662, 24009, -29855, 21592, -8608, 1478};

struct TPreFilter {
  // Index 0 is the newest entry, 6 the one six steps back. The outputs are kept at a scale
  // 32768 times finer than the value returned.
  int16_t In[7] = {};
  int64_t Out[7] = {};
};

// Clears both histories.
void ResetPreFilter(TPreFilter& f);

// The filter's step on histories held in plain variables, so that a loop over a block keeps
// them in registers: load, step many times, store.
class TPreFilterLoop {
 public:
  explicit TPreFilterLoop(const TPreFilter& f)
      : x1(f.In[0]),
        x2(f.In[1]),
        x3(f.In[2]),
        x4(f.In[3]),
        x5(f.In[4]),
        x6(f.In[5]),
        y1(f.Out[0]),
        y2(f.Out[1]),
        y3(f.Out[2]),
        y4(f.Out[3]),
        y5(f.Out[4]),
        y6(f.Out[5]) {}

  // Stores the histories back. Entry 6 is never read again after a step, but is kept so
  // the stored state is the full one.
  void Store(TPreFilter& f) const {
    f.In[0] = static_cast<int16_t>(x1), f.In[1] = static_cast<int16_t>(x2);
    f.In[2] = static_cast<int16_t>(x3), f.In[3] = static_cast<int16_t>(x4);
    f.In[4] = static_cast<int16_t>(x5), f.In[5] = static_cast<int16_t>(x6);
    f.In[6] = static_cast<int16_t>(x7);
    f.Out[0] = y1, f.Out[1] = y2, f.Out[2] = y3, f.Out[3] = y4, f.Out[4] = y5, f.Out[5] = y6;
    f.Out[6] = y7;
  }

  // One input sample in, the new filtered value out (it can leave the 16-bit range).
  int32_t Step(int16_t x) {
    constexpr int64_t b0 = kPreFilterB[0], b1 = kPreFilterB[1], b2 = kPreFilterB[2],
                      b3 = kPreFilterB[3];
    constexpr int64_t a1 = kPreFilterA[1], a2 = kPreFilterA[2], a3 = kPreFilterA[3],
                      a4 = kPreFilterA[4], a5 = kPreFilterA[5], a6 = kPreFilterA[6];
    // Exact in 64 bits either way; pairing the symmetric taps saves three products.
    int64_t acc = b0 * (x + x6) + b1 * (x1 + x5) + b2 * (x2 + x4) + b3 * x3;
    acc -= a1 * y1 + a2 * y2 + a3 * y3 + a4 * y4 + a5 * y5 + a6 * y6;
    // The histories move one place: what was newest becomes one step back.
    x7 = x6, x6 = x5, x5 = x4, x4 = x3, x3 = x2, x2 = x1, x1 = x;
    y7 = y6, y6 = y5, y5 = y4, y4 = y3, y3 = y2, y2 = y1;
    y1 = acc / kPreFilterA[0];  // C++ division truncates toward zero, as required
    return static_cast<int32_t>(y1 / 32768);
  }

 private:
  int64_t x1, x2, x3, x4, x5, x6, x7 = 0;  // inputs 1..6 steps back after the next step
  int64_t y1, y2, y3, y4, y5, y6, y7 = 0;
};

// Runs the filter over a block: y[i] is what PreFilterSample would return for x[i], bit for
// bit. The feed-forward half has no feedback, so it is computed for the whole block first
// (where the compiler can vectorise it); only the feedback half runs sample by sample.
void PreFilterBlock(TPreFilter& f, const int16_t* x, size_t n, int32_t* y);

// Runs the filter over a block as PreFilterBlock does, keeping only the least and the
// greatest value it returns for x[from] to x[n - 1]: lo and hi are lowered and raised to
// them (left as they are when from >= n).
void PreFilterRange(TPreFilter& f, const int16_t* x, size_t n, size_t from, int32_t& lo,
                    int32_t& hi);

// Advances the filter by one input sample and returns the new filtered value. It can leave
// the 16-bit range (steady gain about 1.341, overshoot on steps): the caller narrows it.
inline int32_t PreFilterSample(TPreFilter& f, int16_t x) {
  TPreFilterLoop loop(f);
  int32_t y = loop.Step(x);
  loop.Store(f);
  return y;
}

// A fast estimate of the filter's outputs for finding their extremes: the same recursion
// without the truncation, in double precision, worked on four stretches of a block side by
// side. Starting from rest, every exact output (at the fine scale) lies within
// PreFilterEstimateBound() of its estimate: the truncations differ from the exact quotients
// by less than one each, and the recursion carries those differences on with the summed
// magnitude of its impulse response; what the double precision and a stretch's start from
// rest add is far below the margin the bound keeps on top.
struct TPreFilterEstimate {
  int16_t In[6] = {};        // the last inputs, oldest first
  double Out[6] = {};        // the last estimates, newest first
  int64_t Done = 0;          // inputs taken so far
  std::vector<double> Sums;  // working space kept from block to block
};

// The least and greatest estimate for inputs Begin to End - 1 (counted from the run's start).
struct TEstimateSpan {
  int64_t Begin = 0, End = 0;
  double Lo = 0, Hi = 0;
};

// Runs the estimate over the next n inputs and appends a span for each stretch worked on.
// Estimates of the first `skip` inputs of the whole run count in no span (the exact pass
// leaves the filter's first values out as well).
void EstimatePreFilter(TPreFilterEstimate& e, const int16_t* x, size_t n, int64_t skip,
                       std::vector<TEstimateSpan>& spans);

// How far an exact output can lie from its estimate, fine scale.
double PreFilterEstimateBound();
