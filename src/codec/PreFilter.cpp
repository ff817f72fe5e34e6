#include "codec/PreFilter.h"

#include <algorithm>
#include <cstdint>

#include "codec/Vectorise.h"

void ResetPreFilter(TPreFilter& f) { f = TPreFilter{}; }

namespace {

// The feed-forward half for every sample of a block, in two halves that each stay below
// 2^31 (the products pair taps so each is at most about 1.44e9 in magnitude), so they are
// computed in 32 bits. xs holds the six inputs before the block (oldest first), then the
// block.
ZS_VECTORISE void FeedForward(const int16_t* xs, size_t n, int32_t* even, int32_t* odd) {
  constexpr int32_t b0 = kPreFilterB[0], b1 = kPreFilterB[1], b2 = kPreFilterB[2],
                    b3 = kPreFilterB[3];
  for (size_t i = 0; i < n; ++i) {
    const int16_t* p = xs + i;  // p[6] is the newest input, p[0] six steps back
    even[i] = b0 * (p[6] + p[0]) + b2 * (p[4] + p[2]);
    odd[i] = b1 * (p[5] + p[1]) + b3 * p[3];
  }
}

// The feedback half of a piece of n samples, xs, even and odd as FeedForward left them.
template <class Put>
void RunFeedback(TPreFilter& f, const int16_t* xs, size_t n, const int32_t* even,
                 const int32_t* odd, Put put) {
  constexpr int64_t a1 = kPreFilterA[1], a2 = kPreFilterA[2], a3 = kPreFilterA[3],
                    a4 = kPreFilterA[4], a5 = kPreFilterA[5], a6 = kPreFilterA[6];
  static_assert(kPreFilterA[0] == 2048);
  int64_t y1 = f.Out[0], y2 = f.Out[1], y3 = f.Out[2], y4 = f.Out[3], y5 = f.Out[4], y6 = f.Out[5],
          y7 = f.Out[6];
  for (size_t i = 0; i < n; ++i) {
    // The older terms first: only a1 * y1 waits for the previous step. Both candidates of
    // the division, rounding down and toward zero, are ready when it arrives; the sign
    // picks one.
    const int64_t older =
        (int64_t{even[i]} + odd[i]) - (a2 * y2 + a3 * y3 + a4 * y4 + a5 * y5 + a6 * y6);
    const int64_t newest = a1 * y1;
    const int64_t down = older - newest, up = (older + 2047) - newest;
    y7 = y6, y6 = y5, y5 = y4, y4 = y3, y3 = y2, y2 = y1;
    y1 = (down < 0 ? up : down) >> 11;  // divided by a(0) = 2048, truncating toward zero
    put(i, y1);
  }
  for (int k = 0; k < 7; ++k) f.In[k] = xs[n + 5 - k];
  f.Out[0] = y1, f.Out[1] = y2, f.Out[2] = y3, f.Out[3] = y4, f.Out[4] = y5, f.Out[5] = y6;
  f.Out[6] = y7;
}


// Runs the filter over a block and hands each new output, at the scale 32768 times finer,
// to put(i, y). The feed-forward half has no feedback, so it is computed for the whole
// block first (where the compiler can vectorise it); only the feedback half runs sample by
// sample, a chain of one product, one subtraction and one division a step. The block goes
// in pieces of a fixed size, so the working arrays live on the stack: a thread_local
// buffer's destructor runs on storage already freed on Windows (platform/ThreadEnd.h), and
// the builder's workers filter at the same time.
template <class Put>
void Run(TPreFilter& f, const int16_t* x, size_t n, Put put) {
  constexpr size_t kPiece = 1024;
  int16_t xs[kPiece + 6];
  int32_t even[kPiece], odd[kPiece];
  for (size_t done = 0; done < n;) {
    const size_t m = std::min(kPiece, n - done);
    for (int k = 0; k < 6; ++k) xs[k] = f.In[5 - k];
    std::copy(x + done, x + done + m, xs + 6);
    FeedForward(xs, m, even, odd);
    RunFeedback(f, xs, m, even, odd, [&](size_t i, int64_t y) { put(done + i, y); });
    done += m;
  }
}

// The output of a fine value: divided by 32768, truncating toward zero.
int32_t Coarse(int64_t y) { return static_cast<int32_t>((y < 0 ? y + 32767 : y) >> 15); }

}  // namespace

void PreFilterBlock(TPreFilter& f, const int16_t* x, size_t n, int32_t* y) {
  Run(f, x, n, [y](size_t i, int64_t fine) { y[i] = Coarse(fine); });
}

void PreFilterRange(TPreFilter& f, const int16_t* x, size_t n, size_t from, int32_t& lo,
                    int32_t& hi) {
  // The outputs grow with the fine values: the least and greatest fine ones give them.
  int64_t least = INT64_MAX, greatest = INT64_MIN;
  Run(f, x, n, [&](size_t i, int64_t fine) {
    if (i < from) return;
    least = std::min(least, fine);
    greatest = std::max(greatest, fine);
  });
  if (from >= n) return;
  lo = std::min(lo, Coarse(least));
  hi = std::max(hi, Coarse(greatest));
}
