#include "codec/PreFilter.h"

#include <vector>

#include "codec/Vectorise.h"

void ResetPreFilter(TPreFilter& f) { f = TPreFilter{}; }

namespace {

// The feed-forward half for every sample of a block. xs holds the six inputs before the
// block (oldest first) followed by the block. Every partial sum stays below 2^31: the
// products pair taps so each half is at most about 1.44e9 in magnitude.
ZS_VECTORISE void FeedForward(const int16_t* xs, size_t n, int64_t* fir) {
  constexpr int32_t b0 = kPreFilterB[0], b1 = kPreFilterB[1], b2 = kPreFilterB[2],
                    b3 = kPreFilterB[3];
  for (size_t i = 0; i < n; ++i) {
    const int16_t* p = xs + i;  // p[6] is the newest input, p[0] six steps back
    int32_t even = b0 * (p[6] + p[0]) + b2 * (p[4] + p[2]);
    int32_t odd = b1 * (p[5] + p[1]) + b3 * p[3];
    fir[i] = static_cast<int64_t>(even) + odd;
  }
}

}  // namespace

void PreFilterBlock(TPreFilter& f, const int16_t* x, size_t n, int32_t* y) {
  if (n == 0) return;
  thread_local std::vector<int16_t> xs;
  thread_local std::vector<int64_t> fir;
  xs.resize(n + 6);
  fir.resize(n);
  for (int k = 0; k < 6; ++k) xs[k] = f.In[5 - k];
  for (size_t i = 0; i < n; ++i) xs[6 + i] = x[i];
  FeedForward(xs.data(), n, fir.data());

  constexpr int64_t a1 = kPreFilterA[1], a2 = kPreFilterA[2], a3 = kPreFilterA[3],
                    a4 = kPreFilterA[4], a5 = kPreFilterA[5], a6 = kPreFilterA[6];
  int64_t y1 = f.Out[0], y2 = f.Out[1], y3 = f.Out[2], y4 = f.Out[3], y5 = f.Out[4], y6 = f.Out[5],
          y7 = f.Out[6];
  for (size_t i = 0; i < n; ++i) {
    // The older terms first: only a1 * y1 waits for the previous step.
    int64_t acc = fir[i] - (a2 * y2 + a3 * y3 + a4 * y4 + a5 * y5 + a6 * y6);
    acc -= a1 * y1;
    y7 = y6, y6 = y5, y5 = y4, y4 = y3, y3 = y2, y2 = y1;
    y1 = acc / kPreFilterA[0];  // truncating toward zero
    y[i] = static_cast<int32_t>(y1 / 32768);
  }
  for (int k = 0; k < 7; ++k) f.In[k] = xs[n + 5 - k];
  f.Out[0] = y1, f.Out[1] = y2, f.Out[2] = y3, f.Out[3] = y4, f.Out[4] = y5, f.Out[5] = y6;
  f.Out[6] = y7;
}
