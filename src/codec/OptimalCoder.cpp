#include "codec/OptimalCoder.h"

#include <algorithm>
#include <array>
#include <limits>
#include <stdexcept>

#include "codec/VoxCodec.h"

namespace {

// A row holds the 256 decoder values with kPad unreachable ones on either side: the
// largest move is 64, so every predecessor of a value lies inside the row.
constexpr int kPad = 64;
constexpr int kValues = 256;
constexpr int kRow = kValues + 2 * kPad;
constexpr float kUnreachable = std::numeric_limits<float>::infinity();

// Errors are sums of squares of integers, held in floats: exact up to 2^24. A row is
// lowered by its least error (which changes no choice) once it climbs past 2^22; the
// spread within a row stays far below that (any value is nine moves from any other).
constexpr float kLowerAbove = 4194304.0f;

// The moves a code can make, in the order ties are broken: the smaller move first.
constexpr std::array<int, 15> kMoves = {0, 1, -1, 2, -2, 4, -4, 8, -8, 16, -16, 32, -32, 64, -64};

// (d - 255)^2 for d = 0..510: the squared error of value v against sample s is at
// index v - s + 255, so one row's errors are one contiguous slice.
constexpr std::array<float, 511> MakeSquares() {
  std::array<float, 511> t{};
  for (int d = 0; d < 511; ++d) t[d] = static_cast<float>((d - 255) * (d - 255));
  return t;
}
constexpr std::array<float, 511> kSquares = MakeSquares();

inline float Least(float a, float b) { return b < a ? b : a; }

// One sample: next[v] = err[v] + the least of prev over v's fifteen predecessors. prev and
// next point at the first padding entry of their rows. Written out so the compiler turns
// it into vector minima.
// Where the loader can choose at start-up, processors with AVX take a copy that works on
// eight values at once: the same minima and sums, lane by lane.
#if defined(__x86_64__) && defined(__ELF__) && defined(__GNUC__)
[[gnu::target_clones("avx", "default")]]
#endif
void Advance(const float* __restrict prev, float* __restrict next, const float* __restrict err) {
  for (int v = 0; v < kValues; ++v) {
    const float* p = prev + kPad + v;
    // A tree of minima rather than a chain: the fifteen loads do not wait on each other.
    const float a = Least(Least(p[0], p[1]), Least(p[-1], p[2]));
    const float b = Least(Least(p[-2], p[4]), Least(p[-4], p[8]));
    const float c = Least(Least(p[-8], p[16]), Least(p[-16], p[32]));
    const float d = Least(Least(p[-32], p[64]), p[-64]);
    const float m = Least(Least(a, b), Least(c, d));
    next[kPad + v] = m + err[v];
  }
}

// The code that moves the decoder from value a to value b (a move of the table).
uint8_t CodeFor(int a, int b) {
  const int d = b - a;
  const int magnitude = d < 0 ? -d : d;
  uint8_t index = 0;
  while (kVoxSteps[index] != magnitude) ++index;
  return static_cast<uint8_t>(d < 0 ? index + 8 : index);
}

}  // namespace

TOptimalVoxEncoder::TOptimalVoxEncoder(size_t decisionBlock, size_t lookAhead)
    : FBlock(decisionBlock), FLookAhead(lookAhead) {
  if (FBlock == 0 || FBlock % 2 != 0) throw std::invalid_argument("decision block must be even");
}

void TOptimalVoxEncoder::Encode(const uint8_t* samples, size_t count, std::vector<uint8_t>& out) {
  const size_t window = FBlock + FLookAhead;
  while (count > 0) {
    // Never more than one window waits, whatever the caller hands over at once.
    const size_t n = std::min(count, window - FPending.size());
    FPending.insert(FPending.end(), samples, samples + n);
    samples += n;
    count -= n;
    if (FPending.size() == window) {
      Search(window);
      Keep(FBlock, out);
    }
  }
}

void TOptimalVoxEncoder::Finish(std::vector<uint8_t>& out) {
  const size_t n = FPending.size() & ~size_t{1};
  if (n > 0) {
    Search(n);
    Keep(n, out);
  }
  FPending.clear();
  FStart = kVoxStartValue;
}

void TOptimalVoxEncoder::Search(size_t n) {
  const size_t needed = (n + 1) * kRow;
  if (FRows.size() < needed) FRows.assign(needed, kUnreachable);
  float* start = FRows.data() + kPad;
  std::fill(start, start + kValues, kUnreachable);
  start[FStart] = 0.0f;
  for (size_t t = 0; t < n; ++t) {
    const float* prev = FRows.data() + t * kRow;
    float* next = FRows.data() + (t + 1) * kRow;
    Advance(prev, next, kSquares.data() + 255 - FPending[t]);
    float* values = next + kPad;
    if (values[kVoxStartValue] > kLowerAbove) {
      // Value 128 is always reachable (it can stay where it is), so it bounds the row.
      const float least = *std::min_element(values, values + kValues);
      for (int v = 0; v < kValues; ++v) values[v] -= least;
    }
  }

  // Back from the best value after the last sample, each value's best predecessor.
  FPath.resize(n);
  const float* last = FRows.data() + n * kRow + kPad;
  FPath[n - 1] = static_cast<uint8_t>(std::min_element(last, last + kValues) - last);
  for (size_t t = n - 1; t > 0; --t) {
    const float* row = FRows.data() + t * kRow + kPad;  // the values after sample t - 1
    const int v = FPath[t];
    int best = v;
    for (int m : kMoves)
      if (row[v - m] < row[best]) best = v - m;
    FPath[t - 1] = static_cast<uint8_t>(best);
  }
}

void TOptimalVoxEncoder::Keep(size_t n, std::vector<uint8_t>& out) {
  int value = FStart;
  for (size_t i = 0; i < n; i += 2) {
    const uint8_t first = CodeFor(value, FPath[i]);
    const uint8_t second = CodeFor(FPath[i], FPath[i + 1]);
    out.push_back(static_cast<uint8_t>(first | (second << 4)));
    value = FPath[i + 1];
  }
  FStart = static_cast<uint8_t>(value);
  FPending.erase(FPending.begin(), FPending.begin() + static_cast<std::ptrdiff_t>(n));
}
