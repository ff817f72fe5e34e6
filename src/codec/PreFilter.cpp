#include "codec/PreFilter.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__ELF__) && defined(__GNUC__)
#include <immintrin.h>
#endif

void ResetPreFilter(TPreFilter& f) { f = TPreFilter{}; }

namespace {

// up when down is negative, else down. The sign of a filtered signal changes too often for
// a branch to guess, and the compiler turns the plain choice into one: on x86-64 it is a
// conditional move.
inline int64_t PickBySign(int64_t down, int64_t up) {
#if defined(__x86_64__) && defined(__GNUC__)
  asm("test %0, %0\n\tcmovs %1, %0" : "+r"(down) : "r"(up) : "cc");
  return down;
#else
  return down < 0 ? up : down;
#endif
}

// The feed-forward half for every sample of a block, in two parts that each stay below
// 2^31 in magnitude (at most 32768 times the sum of their taps: about 1.89e9 and 0.99e9),
// so they are computed in 32 bits: the near part takes the inputs 6 to 3 steps back, the
// far part the inputs 2 steps back to the newest. xs holds the six inputs before the block
// (oldest first), then the block; store(i, near, far) takes the parts of output i, or of
// outputs i to i + 3 at once. On x86-64 the pairs of taps go through the instruction that
// multiplies pairs of 16-bit values and adds each pair's products, eight samples at a time.
template <class Store>
void FeedForward(const int16_t* xs, size_t n, Store store) {
  constexpr int32_t b0 = kPreFilterB[0], b1 = kPreFilterB[1], b2 = kPreFilterB[2],
                    b3 = kPreFilterB[3];
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i t01 = _mm_set1_epi32(b0 | b1 << 16), t23 = _mm_set1_epi32(b2 | b3 << 16),
                t45 = _mm_set1_epi32(b2 | b1 << 16), t6 = _mm_set1_epi32(b0);
  const __m128i zero = _mm_setzero_si128();
  const auto at = [xs](size_t k) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(xs + k));
  };
  for (; i + 8 <= n; i += 8) {
    const __m128i x0 = at(i), x1 = at(i + 1), x2 = at(i + 2), x3 = at(i + 3), x4 = at(i + 4),
                  x5 = at(i + 5), x6 = at(i + 6);
    // Interleaving the inputs k and k + 1 steps on pairs each output with its two inputs.
    const auto part = [&](auto unpack, size_t first) {
      const __m128i n01 = _mm_madd_epi16(unpack(x0, x1), t01);
      const __m128i n23 = _mm_madd_epi16(unpack(x2, x3), t23);
      const __m128i f45 = _mm_madd_epi16(unpack(x4, x5), t45);
      const __m128i f6 = _mm_madd_epi16(unpack(x6, zero), t6);
      store(first, _mm_add_epi32(n01, n23), _mm_add_epi32(f45, f6));
    };
    part([](__m128i a, __m128i b) { return _mm_unpacklo_epi16(a, b); }, i);
    part([](__m128i a, __m128i b) { return _mm_unpackhi_epi16(a, b); }, i + 4);
  }
#endif
  for (; i < n; ++i) {
    const int16_t* p = xs + i;  // p[6] is the newest input, p[0] six steps back
    store(i, b0 * p[0] + b1 * p[1] + b2 * p[2] + b3 * p[3], b2 * p[4] + b1 * p[5] + b0 * p[6]);
  }
}

// The parts as they are, for the exact filter.
struct TParts {
  int32_t* Near;
  int32_t* Far;
  void operator()(size_t i, int32_t n, int32_t f) const { Near[i] = n, Far[i] = f; }
#if defined(__SSE2__)
  void operator()(size_t i, __m128i n, __m128i f) const {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(Near + i), n);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(Far + i), f);
  }
#endif
};

// The whole sums divided by 2048 (exact in double), for the estimate.
struct TScaledSums {
  double* Out;
  void operator()(size_t i, int32_t n, int32_t f) const {
    Out[i] = (static_cast<double>(n) + static_cast<double>(f)) * (1.0 / 2048);
  }
#if defined(__SSE2__)
  void operator()(size_t i, __m128i n, __m128i f) const {
    const __m128d scale = _mm_set1_pd(1.0 / 2048);
    const __m128d lo = _mm_add_pd(_mm_cvtepi32_pd(n), _mm_cvtepi32_pd(f));
    const __m128d hi = _mm_add_pd(_mm_cvtepi32_pd(_mm_unpackhi_epi64(n, n)),
                                  _mm_cvtepi32_pd(_mm_unpackhi_epi64(f, f)));
    _mm_storeu_pd(Out + i, _mm_mul_pd(lo, scale));
    _mm_storeu_pd(Out + i + 2, _mm_mul_pd(hi, scale));
  }
#endif
};

// The feedback half of a piece of n samples, xs, near and far as FeedForward left them.
template <class Put>
void RunFeedback(TPreFilter& f, const int16_t* xs, size_t n, const int32_t* near,
                 const int32_t* far, Put put) {
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
        (int64_t{near[i]} + far[i]) - (a2 * y2 + a3 * y3 + a4 * y4 + a5 * y5 + a6 * y6);
    const int64_t newest = a1 * y1;
    const int64_t down = older - newest, up = (older + 2047) - newest;
    y7 = y6, y6 = y5, y5 = y4, y4 = y3, y3 = y2, y2 = y1;
    // Divided by a(0) = 2048, truncating toward zero. The sign of a filtered signal changes
    // too often for a branch to guess: the choice is a conditional move.
    y1 = PickBySign(down, up) >> 11;
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
  int32_t near[kPiece], far[kPiece];
  for (size_t done = 0; done < n;) {
    const size_t m = std::min(kPiece, n - done);
    for (int k = 0; k < 6; ++k) xs[k] = f.In[5 - k];
    std::copy(x + done, x + done + m, xs + 6);
    FeedForward(xs, m, TParts{near, far});
    RunFeedback(f, xs, m, near, far, [&](size_t i, int64_t y) { put(done + i, y); });
    done += m;
  }
}

// The output of a fine value: divided by 32768, truncating toward zero.
// (A mask from the sign instead of a branch: see the division above.)
int32_t Coarse(int64_t y) { return static_cast<int32_t>((y + ((y >> 63) & 32767)) >> 15); }

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

namespace {

constexpr size_t kLanes = 4;
// Steps a stretch runs from rest before its estimates count: by then what the true starting
// state would have added has died away to far below a millionth of one fine unit (the
// impulse response's tail after 2,000 steps sums to about 4e-19).
constexpr size_t kWarmUp = 2048;
// Below this stretch length the warm-up costs more than the side-by-side work saves.
constexpr size_t kMinStretch = 4 * kWarmUp;

// The feedback coefficients divided by a(0) = 2048: exact in double, as is the division of
// the feed-forward sums by 2048.
constexpr double kC1 = kPreFilterA[1] / 2048.0, kC2 = kPreFilterA[2] / 2048.0,
                 kC3 = kPreFilterA[3] / 2048.0, kC4 = kPreFilterA[4] / 2048.0,
                 kC5 = kPreFilterA[5] / 2048.0, kC6 = kPreFilterA[6] / 2048.0;

// Steps four stretches from step `from` to step `to`: lane j reads ff[start[j] + t]. w
// holds each lane's last six estimates, newest first; lo and hi each lane's least and
// greatest estimate so far. Two lanes to an SSE2 register; on other targets the same steps
// one lane at a time.
void RunLanes(const double* ff, const size_t* start, size_t from, size_t to, double (*w)[kLanes],
              double* lo, double* hi) {
#if defined(__SSE2__)
  const __m128d c1 = _mm_set1_pd(kC1), c2 = _mm_set1_pd(kC2), c3 = _mm_set1_pd(kC3),
                c4 = _mm_set1_pd(kC4), c5 = _mm_set1_pd(kC5), c6 = _mm_set1_pd(kC6);
  __m128d a[6], b[6];  // lanes 0 and 1, lanes 2 and 3
  for (int k = 0; k < 6; ++k) a[k] = _mm_loadu_pd(w[k]), b[k] = _mm_loadu_pd(w[k] + 2);
  __m128d loA = _mm_loadu_pd(lo), loB = _mm_loadu_pd(lo + 2);
  __m128d hiA = _mm_loadu_pd(hi), hiB = _mm_loadu_pd(hi + 2);
  const double *p0 = ff + start[0], *p1 = ff + start[1], *p2 = ff + start[2], *p3 = ff + start[3];
  const auto step = [&](__m128d f, __m128d* h) {
    // The older terms first, so that only the newest waits for the previous step.
    __m128d older = _mm_sub_pd(f, _mm_mul_pd(c6, h[5]));
    older = _mm_sub_pd(older, _mm_mul_pd(c5, h[4]));
    older = _mm_sub_pd(older, _mm_mul_pd(c4, h[3]));
    older = _mm_sub_pd(older, _mm_mul_pd(c3, h[2]));
    older = _mm_sub_pd(older, _mm_mul_pd(c2, h[1]));
    const __m128d next = _mm_sub_pd(older, _mm_mul_pd(c1, h[0]));
    h[5] = h[4], h[4] = h[3], h[3] = h[2], h[2] = h[1], h[1] = h[0], h[0] = next;
  };
  for (size_t t = from; t < to; ++t) {
    step(_mm_set_pd(p1[t], p0[t]), a);
    step(_mm_set_pd(p3[t], p2[t]), b);
    loA = _mm_min_pd(loA, a[0]), hiA = _mm_max_pd(hiA, a[0]);
    loB = _mm_min_pd(loB, b[0]), hiB = _mm_max_pd(hiB, b[0]);
  }
  for (int k = 0; k < 6; ++k) _mm_storeu_pd(w[k], a[k]), _mm_storeu_pd(w[k] + 2, b[k]);
  _mm_storeu_pd(lo, loA), _mm_storeu_pd(lo + 2, loB);
  _mm_storeu_pd(hi, hiA), _mm_storeu_pd(hi + 2, hiB);
#else
  for (size_t j = 0; j < kLanes; ++j) {
    const double* p = ff + start[j];
    for (size_t t = from; t < to; ++t) {
      const double next = p[t] - kC6 * w[5][j] - kC5 * w[4][j] - kC4 * w[3][j] - kC3 * w[2][j] -
                          kC2 * w[1][j] - kC1 * w[0][j];
      for (int k = 5; k > 0; --k) w[k][j] = w[k - 1][j];
      w[0][j] = next;
      lo[j] = std::min(lo[j], next), hi[j] = std::max(hi[j], next);
    }
  }
#endif
}

#if defined(__x86_64__) && defined(__ELF__) && defined(__GNUC__)
#define ZS_ESTIMATE_AVX2 1

// RunLanes with the four lanes in one AVX register and each product and difference in one
// fused step (rounded once instead of twice: the estimate stays as close as the bound says).
[[gnu::target("avx2,fma")]] void RunLanesAvx2(const double* ff, const size_t* start, size_t from,
                                              size_t to, double (*w)[kLanes], double* lo,
                                              double* hi) {
  const __m256d c1 = _mm256_set1_pd(kC1), c2 = _mm256_set1_pd(kC2), c3 = _mm256_set1_pd(kC3),
                c4 = _mm256_set1_pd(kC4), c5 = _mm256_set1_pd(kC5), c6 = _mm256_set1_pd(kC6);
  __m256d h1 = _mm256_loadu_pd(w[0]), h2 = _mm256_loadu_pd(w[1]), h3 = _mm256_loadu_pd(w[2]),
          h4 = _mm256_loadu_pd(w[3]), h5 = _mm256_loadu_pd(w[4]), h6 = _mm256_loadu_pd(w[5]);
  __m256d l = _mm256_loadu_pd(lo), u = _mm256_loadu_pd(hi);
  const double *p0 = ff + start[0], *p1 = ff + start[1], *p2 = ff + start[2], *p3 = ff + start[3];
  for (size_t t = from; t < to; ++t) {
    const __m256d f = _mm256_set_pd(p3[t], p2[t], p1[t], p0[t]);
    // The older terms first, so that only the newest waits for the previous step.
    __m256d older = _mm256_fnmadd_pd(c6, h6, f);
    older = _mm256_fnmadd_pd(c5, h5, older);
    older = _mm256_fnmadd_pd(c4, h4, older);
    older = _mm256_fnmadd_pd(c3, h3, older);
    older = _mm256_fnmadd_pd(c2, h2, older);
    const __m256d next = _mm256_fnmadd_pd(c1, h1, older);
    h6 = h5, h5 = h4, h4 = h3, h3 = h2, h2 = h1, h1 = next;
    l = _mm256_min_pd(l, next), u = _mm256_max_pd(u, next);
  }
  _mm256_storeu_pd(w[0], h1), _mm256_storeu_pd(w[1], h2), _mm256_storeu_pd(w[2], h3);
  _mm256_storeu_pd(w[3], h4), _mm256_storeu_pd(w[4], h5), _mm256_storeu_pd(w[5], h6);
  _mm256_storeu_pd(lo, l), _mm256_storeu_pd(hi, u);
}

// The feed-forward sums divided by 2048 as FeedForward with TScaledSums makes them, sixteen
// outputs a step. The 256-bit unpacking works in two 128-bit halves, so one step's results
// come as outputs 0-3 and 8-11, then 4-7 and 12-15.
[[gnu::target("avx2,fma")]] void ScaledSumsAvx2(const int16_t* xs, size_t n, double* out) {
  constexpr int32_t b0 = kPreFilterB[0], b1 = kPreFilterB[1], b2 = kPreFilterB[2],
                    b3 = kPreFilterB[3];
  const __m256i t01 = _mm256_set1_epi32(b0 | b1 << 16), t23 = _mm256_set1_epi32(b2 | b3 << 16),
                t45 = _mm256_set1_epi32(b2 | b1 << 16), t6 = _mm256_set1_epi32(b0);
  const __m256i zero = _mm256_setzero_si256();
  const __m256d scale = _mm256_set1_pd(1.0 / 2048);
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m256i x[7];
    for (int k = 0; k < 7; ++k)
      x[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(xs + i + k));
    for (int half = 0; half < 2; ++half) {  // outputs 0-3 and 8-11, then 4-7 and 12-15
      const __m256i p01 =
          half ? _mm256_unpackhi_epi16(x[0], x[1]) : _mm256_unpacklo_epi16(x[0], x[1]);
      const __m256i p23 =
          half ? _mm256_unpackhi_epi16(x[2], x[3]) : _mm256_unpacklo_epi16(x[2], x[3]);
      const __m256i p45 =
          half ? _mm256_unpackhi_epi16(x[4], x[5]) : _mm256_unpacklo_epi16(x[4], x[5]);
      const __m256i p6 =
          half ? _mm256_unpackhi_epi16(x[6], zero) : _mm256_unpacklo_epi16(x[6], zero);
      const __m256i near =
          _mm256_add_epi32(_mm256_madd_epi16(p01, t01), _mm256_madd_epi16(p23, t23));
      const __m256i far = _mm256_add_epi32(_mm256_madd_epi16(p45, t45), _mm256_madd_epi16(p6, t6));
      for (int lane = 0; lane < 2; ++lane) {
        const __m128i n4 = lane ? _mm256_extracti128_si256(near, 1) : _mm256_castsi256_si128(near);
        const __m128i f4 = lane ? _mm256_extracti128_si256(far, 1) : _mm256_castsi256_si128(far);
        const __m256d sum = _mm256_add_pd(_mm256_cvtepi32_pd(n4), _mm256_cvtepi32_pd(f4));
        _mm256_storeu_pd(out + i + 4 * half + 8 * lane, _mm256_mul_pd(sum, scale));
      }
    }
  }
  FeedForward(xs + i, n - i, TScaledSums{out + i});
}

// Whether this processor takes the AVX2 forms, asked once.
bool HasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return has;
}
#endif

// The sums of xs (six inputs before, then n) divided by 2048, in the widest form this
// processor has.
void ScaledSums(const int16_t* xs, size_t n, double* out) {
#if defined(ZS_ESTIMATE_AVX2)
  if (HasAvx2()) return ScaledSumsAvx2(xs, n, out);
#endif
  FeedForward(xs, n, TScaledSums{out});
}

// RunLanes in the widest form this processor has.
void RunLanesWidest(const double* ff, const size_t* start, size_t from, size_t to,
                    double (*w)[kLanes], double* lo, double* hi) {
#if defined(ZS_ESTIMATE_AVX2)
  if (HasAvx2()) return RunLanesAvx2(ff, start, from, to, w, lo, hi);
#endif
  RunLanes(ff, start, from, to, w, lo, hi);
}

}  // namespace

void EstimatePreFilter(TPreFilterEstimate& e, const int16_t* x, size_t n, int64_t skip,
                       std::vector<TEstimateSpan>& spans) {
  if (n == 0) return;
  if (e.Sums.size() < n) e.Sums.resize(n);
  double* ff = e.Sums.data();
  // The first six sums need the inputs before the block; the rest read the block alone.
  int16_t head[12] = {};
  std::copy(e.In, e.In + 6, head);
  const size_t first = std::min<size_t>(n, 6);
  std::copy(x, x + first, head + 6);
  FeedForward(head, first, TScaledSums{ff});
  if (n > 6) ScaledSums(x, n - 6, ff + 6);
  std::copy(head + first, head + first + 6, e.In);
  if (n > 6) std::copy(x + n - 6, x + n, e.In);

  constexpr double kInf = __builtin_inf();
  size_t at = 0;
  const size_t lead = static_cast<size_t>(std::clamp<int64_t>(skip - e.Done, 0, kWarmUp));
  if (n >= kLanes * kMinStretch && skip - e.Done <= static_cast<int64_t>(kWarmUp)) {
    // Lane 0 goes on from where the last block ended; lane j > 0 starts from rest kWarmUp
    // steps before its stretch at j * s. Every lane takes s + kWarmUp steps, so the last
    // one ends at the end of its stretch and its state is the block's.
    const size_t s = n / kLanes;
    const size_t start[kLanes] = {0, s - kWarmUp, 2 * s - kWarmUp, 3 * s - kWarmUp};
    double w[6][kLanes] = {};
    for (int k = 0; k < 6; ++k) w[k][0] = e.Out[k];
    double lo[kLanes], hi[kLanes];
    std::fill(lo, lo + kLanes, kInf), std::fill(hi, hi + kLanes, -kInf);
    RunLanesWidest(ff, start, 0, lead, w, lo, hi);
    std::fill(lo, lo + kLanes, kInf), std::fill(hi, hi + kLanes, -kInf);  // count nowhere
    RunLanesWidest(ff, start, lead, kWarmUp, w, lo, hi);
    std::fill(lo + 1, lo + kLanes, kInf), std::fill(hi + 1, hi + kLanes, -kInf);  // warm-up
    RunLanesWidest(ff, start, kWarmUp, s + kWarmUp, w, lo, hi);
    for (size_t j = 0; j < kLanes; ++j) {
      const size_t begin = j == 0 ? lead : j * s, end = j == 0 ? s + kWarmUp : (j + 1) * s;
      spans.push_back(
          {e.Done + static_cast<int64_t>(begin), e.Done + static_cast<int64_t>(end), lo[j], hi[j]});
    }
    for (int k = 0; k < 6; ++k) e.Out[k] = w[k][kLanes - 1];
    at = kLanes * s;
  }
  if (at < n) {
    double w1 = e.Out[0], w2 = e.Out[1], w3 = e.Out[2], w4 = e.Out[3], w5 = e.Out[4], w6 = e.Out[5];
    double lo = kInf, hi = -kInf;
    const size_t begin =
        std::max(at, static_cast<size_t>(std::clamp<int64_t>(skip - e.Done, 0, n)));
    for (size_t i = at; i < n; ++i) {
      const double next = ff[i] - kC6 * w6 - kC5 * w5 - kC4 * w4 - kC3 * w3 - kC2 * w2 - kC1 * w1;
      w6 = w5, w5 = w4, w4 = w3, w3 = w2, w2 = w1, w1 = next;
      if (i < begin) continue;
      lo = std::min(lo, next);
      hi = std::max(hi, next);
    }
    if (lo <= hi)
      spans.push_back(
          {e.Done + static_cast<int64_t>(begin), e.Done + static_cast<int64_t>(n), lo, hi});
    e.Out[0] = w1, e.Out[1] = w2, e.Out[2] = w3, e.Out[3] = w4, e.Out[4] = w5, e.Out[5] = w6;
  }
  e.Done += static_cast<int64_t>(n);
}

double PreFilterEstimateBound() {
  // The summed magnitude of the recursion's response to a unit difference in one quotient
  // (about 2,640 fine units), plus a margin for rounding and warm-up far above what those
  // can add.
  static const double bound = [] {
    constexpr int kSteps = 8192;
    std::vector<double> g(kSteps);
    double sum = 0;
    for (int i = 0; i < kSteps; ++i) {
      double v = i == 0 ? 1.0 : 0.0;
      for (int k = 1; k <= 6 && k <= i; ++k) v -= kPreFilterA[k] / 2048.0 * g[i - k];
      g[i] = v;
      sum += std::abs(v);
    }
    return std::ceil(sum) + 64;
  }();
  return bound;
}
