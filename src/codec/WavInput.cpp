#include "codec/WavInput.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/Vectorise.h"
#include "rtl/SysUtils.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// The block the sample loops read and write in: large enough that the byte file's own
// buffer is bypassed cheaply, small enough to keep memory flat.
constexpr size_t kBlockBytes = kCopyBlockBytes;

bool SameId(const uint8_t* p, const char* id) { return std::memcmp(p, id, 4) == 0; }

// Chunk bodies of odd size are followed by a pad byte.
int64_t PaddedSize(uint32_t size) { return static_cast<int64_t>(size) + (size & 1); }

}  // namespace

std::string CheckWavHeader(TByteFile& f, TWavInfo& info) {
  f.Seek(0);
  uint8_t head[16];
  f.BlockRead(head, sizeof head);
  if (!SameId(head, "RIFF")) return "File header incorrect";
  if (std::memcmp(head + 8, "WAVEfmt ", 8) != 0) return "File header incorrect";
  uint32_t formatSize = f.ReadU32();
  info.FormatTag = f.ReadU16();
  if (info.FormatTag != 1) return "Invalid PCM format";
  info.Channels = f.ReadU16();
  if (info.Channels != 1) return "Not MONO recording";
  info.SampleRate = f.ReadU32();
  f.Seek(f.Pos() + 6);  // average bytes per second and block align
  info.BitsPerSample = f.ReadU16();
  if (info.BitsPerSample != 8 && info.BitsPerSample != 16)
    return Format("Need 8 or 16 bits/sample - file is %ubps", unsigned{info.BitsPerSample});
  // Only 44.1 kHz has a 16-bit reduction; other rates would consume no samples at all.
  if (info.BitsPerSample == 16 && info.SampleRate != kReducibleRate16)
    return Format("Need 44100 Hz for 16 bits/sample - file is %uHz", info.SampleRate);

  // Walk the chunks after the format chunk to "data". Every step moves forward by at least
  // the 8 bytes of a chunk head, so a hostile chain ends at the end of the file at the
  // latest, with "Read beyond end of file".
  f.Seek(20 + PaddedSize(formatSize));
  uint8_t id[4];
  f.BlockRead(id, 4);
  while (!SameId(id, "data")) {
    uint32_t size = f.ReadU32();
    f.Seek(f.Pos() + PaddedSize(size));
    f.BlockRead(id, 4);
  }
  info.DataSizePos = f.Pos();
  return std::string();
}

std::string InvalidWavMessage(const std::string& fullPath, const std::string& problem) {
  return "Invalid WAV file: " + fullPath + " Problem: " + problem;
}

namespace {

// Little-endian 16-bit samples of a block read from the file.
ZS_VECTORISE void ToSamples16(const uint8_t* bytes, size_t n, int16_t* x) {
  for (size_t i = 0; i < n; ++i)
    x[i] = static_cast<int16_t>(static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)));
}

// ToSamples16, then ScaleSample on each. On x86-64 eight at a time: the bytes are the
// samples already, the products are exact in 32 bits before truncation, and the packing
// instruction saturates to 16 bits as Saturate16 does.
void ToScaledSamples(const uint8_t* bytes, size_t n, float gain, int16_t* x) {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128 g = _mm_set1_ps(gain);
  for (; i + 8 <= n; i += 8) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 2 * i));
    const __m128i lo = _mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16);
    const __m128i hi = _mm_srai_epi32(_mm_unpackhi_epi16(v, v), 16);
    const __m128i sl = _mm_cvttps_epi32(_mm_mul_ps(_mm_cvtepi32_ps(lo), g));
    const __m128i sh = _mm_cvttps_epi32(_mm_mul_ps(_mm_cvtepi32_ps(hi), g));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(x + i), _mm_packs_epi32(sl, sh));
  }
#endif
  ToSamples16(bytes + 2 * i, n - i, x + i);
  for (; i < n; ++i) x[i] = ScaleSample(x[i], gain);
}

}  // namespace

namespace {

// The first three filtered values are still settling and never set the peak.
constexpr int64_t kSettling = 3;

// The peak of the narrowed values whose extremes before narrowing are lo and hi.
int32_t PeakOfRange(int32_t lo, int32_t hi) {
  if (lo > hi) return 0;  // no value counted
  // The largest magnitude once narrowed lies at one of the two ends of the range.
  const auto magnitude = [](int32_t v) { return std::abs(static_cast<int32_t>(Saturate16(v))); };
  return std::max(magnitude(lo), magnitude(hi));
}

// The exact filter over the next `samples` samples of the file: lo and hi are lowered and
// raised to the values it returns from the fourth sample on.
void ExactRange(TByteFile& f, int64_t samples, TPreFilter& filter, int32_t& lo, int32_t& hi) {
  constexpr size_t kPerBlock = kBlockBytes / 2;
  std::vector<uint8_t> block(kBlockBytes);
  std::vector<int16_t> x(kPerBlock);
  int64_t index = 0;
  while (samples > 0) {
    size_t n = static_cast<size_t>(std::min<int64_t>(samples, kPerBlock));
    f.BlockRead(block.data(), 2 * n);
    ToSamples16(block.data(), n, x.data());
    size_t from = static_cast<size_t>(std::clamp<int64_t>(kSettling - index, 0, n));
    PreFilterRange(filter, x.data(), n, from, lo, hi);
    index += static_cast<int64_t>(n);
    samples -= static_cast<int64_t>(n);
  }
}

// The values a filtered value v can narrow to when it is only known to lie in [a, b], fine
// scale: the least and the greatest magnitude.
struct TMagnitudes {
  int32_t Least, Greatest;
};
TMagnitudes MagnitudesBetween(double a, double b) {
  const auto coarse = [](double fine) {  // as the exact pass narrows a fine value
    const auto v = static_cast<int64_t>(fine);
    return static_cast<int32_t>(std::abs(static_cast<int32_t>(Saturate16(v / 32768))));
  };
  const int32_t ma = coarse(std::floor(a)), mb = coarse(std::ceil(b));
  if (a > 0) return {ma, mb};
  if (b < 0) return {mb, ma};
  return {0, std::max(ma, mb)};
}

// Samples from which the estimate pays: below, the exact pass alone is as quick.
constexpr int64_t kEstimateFrom = 1 << 15;
// Samples the estimate takes at a time: four stretches of 32 Ki.
constexpr size_t kEstimateBlock = 1 << 17;

// The peak from the filter's fast estimate, made exact: each end of the range of exact
// values lies within the estimate's bound of the estimated end. Where that leaves the peak
// open, the exact filter runs over the samples that can hold the deciding value: those up
// to the last stretch whose estimates come within twice the bound of the estimated end.
int32_t EstimatedPeak(TByteFile& f, int64_t samples, TPreFilter& filter) {
  const int64_t dataPos = f.Pos();
  std::vector<uint8_t> block(2 * kEstimateBlock);
  std::vector<int16_t> x(kEstimateBlock);
  TPreFilterEstimate estimate;
  std::vector<TEstimateSpan> spans;
  for (int64_t left = samples; left > 0;) {
    size_t n = static_cast<size_t>(std::min<int64_t>(left, kEstimateBlock));
    f.BlockRead(block.data(), 2 * n);
    ToSamples16(block.data(), n, x.data());
    EstimatePreFilter(estimate, x.data(), n, kSettling, spans);
    left -= static_cast<int64_t>(n);
  }
  double lo = INFINITY, hi = -INFINITY;
  for (const TEstimateSpan& s : spans) lo = std::min(lo, s.Lo), hi = std::max(hi, s.Hi);
  const double bound = PreFilterEstimateBound();
  const TMagnitudes atLo = MagnitudesBetween(lo - bound, lo + bound);
  const TMagnitudes atHi = MagnitudesBetween(hi - bound, hi + bound);
  if (std::max(atLo.Least, atHi.Least) == std::max(atLo.Greatest, atHi.Greatest))
    return std::max(atLo.Greatest, atHi.Greatest);
  int64_t end = 0;
  for (const TEstimateSpan& s : spans)
    if (s.Lo <= lo + 2 * bound || s.Hi >= hi - 2 * bound) end = std::max(end, s.End);
  f.Seek(dataPos);
  int32_t exactLo = INT32_MAX, exactHi = INT32_MIN;
  ExactRange(f, end, filter, exactLo, exactHi);
  return PeakOfRange(exactLo, exactHi);
}

}  // namespace

int32_t MeasurePeak16(TByteFile& f, TPreFilter& filter) {
  const int64_t sizePos = f.Pos();
  const uint32_t dataSize = f.ReadU32();
  // The byte counter runs 0, 2, 4, ... while below the data size.
  const int64_t samples = (static_cast<int64_t>(dataSize) + 1) / 2;
  int32_t peak = 0;
  if (samples >= kEstimateFrom) {
    peak = EstimatedPeak(f, samples, filter);
  } else {
    int32_t lo = INT32_MAX, hi = INT32_MIN;
    ExactRange(f, samples, filter, lo, hi);
    peak = PeakOfRange(lo, hi);
  }
  f.Seek(sizePos);
  return peak;
}

float GainForPeak(int32_t peak) {
  if (peak >= 32760 || peak == 0) return 1.0f;
  return 32768.0f / static_cast<float>(peak);
}

void Reduce8(TByteFile& f, uint32_t dataSize, int64_t first, TSampleSink& sink) {
  int64_t left = static_cast<int64_t>(dataSize) - first;
  std::vector<uint8_t> block(kBlockBytes);
  while (left > 0) {
    size_t n = static_cast<size_t>(std::min<int64_t>(left, kBlockBytes));
    f.BlockRead(block.data(), n);
    sink.Put(block.data(), n);
    left -= static_cast<int64_t>(n);
  }
}

void Reduce16(TByteFile& f, uint32_t dataSize, TPreFilter& filter, float gain, TSampleSink& sink) {
  int64_t samples = (static_cast<int64_t>(dataSize) + 1) / 2;
  constexpr size_t kPerBlock = kBlockBytes / 2;
  std::vector<uint8_t> in(kBlockBytes);
  std::vector<int16_t> held(kPerBlock);
  std::vector<int32_t> y(kPerBlock);
  std::vector<uint8_t> out(kPerBlock / 5 + 4);
  int32_t outCount = 1;  // the group being filled; odd groups take 5 inputs, even ones 6
  int groupSize = 5;
  int inGroup = 0;
  int64_t sum = 0;
  size_t produced = 0;
  // Two constant divisors, which the compiler turns into multiplications.
  const auto byteOf5 = [](int64_t s) { return OutputByteFor(Saturate16(s / 5)); };
  const auto byteOf6 = [](int64_t s) { return OutputByteFor(Saturate16(s / 6)); };
  auto add = [&](const int32_t* v, size_t n) {
    size_t i = 0;
    while (i < n) {
      if (inGroup == 0 && groupSize == 5) {
        // Whole pairs of groups, 5 + 6 inputs, while an odd group is about to begin.
        for (; i + 11 <= n; i += 11) {
          const int32_t* g = v + i;
          out[produced++] = byteOf5(int64_t{g[0]} + g[1] + g[2] + g[3] + g[4]);
          out[produced++] = byteOf6(int64_t{g[5]} + g[6] + g[7] + g[8] + g[9] + g[10]);
          outCount += 2;
        }
        if (i == n) break;
      }
      sum += v[i++];
      if (++inGroup == groupSize) {
        out[produced++] = groupSize == 5 ? byteOf5(sum) : byteOf6(sum);
        ++outCount;
        groupSize = (outCount & 1) ? 5 : 6;
        inGroup = 0;
        sum = 0;
      }
    }
  };
  while (samples > 0) {
    size_t n = static_cast<size_t>(std::min<int64_t>(samples, kPerBlock));
    f.BlockRead(in.data(), 2 * n);
    ToScaledSamples(in.data(), n, gain, held.data());
    PreFilterBlock(filter, held.data(), n, y.data());
    produced = 0;
    add(y.data(), n);
    samples -= static_cast<int64_t>(n);
    if (samples == 0 && inGroup > 0) {
      // The data end inside a group: the rest of it repeats the last scaled input.
      int16_t repeat[6];
      size_t r = static_cast<size_t>(groupSize - inGroup);
      for (size_t i = 0; i < r; ++i) repeat[i] = held[n - 1];
      PreFilterBlock(filter, repeat, r, y.data());
      add(y.data(), r);
    }
    if (produced > 0) sink.Put(out.data(), produced);
  }
}
