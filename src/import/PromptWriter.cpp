#include "import/PromptWriter.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>

#include "codec/TakeFile.h"
#include "rtl/LateLibrary.h"
#include "rtl/SysUtils.h"

namespace {

constexpr const char* kSoxr = "libsoxr.so.0";

constexpr size_t kOutBlock = 4096;  // resampled samples per scratch write
constexpr size_t kTakeBlock = kCopyBlockBytes;

}  // namespace

uint8_t TakeSample(float value) {
  if (std::isnan(value)) return 128;
  const float v = std::clamp(value, -1.0f, 1.0f);
  return static_cast<uint8_t>(128 + std::lround(v * 127.0f));
}

float GainForPeakDb(float peak, double peakDb) {
  if (!(peak > 0) || std::isinf(peak)) return 1.0f;
  return static_cast<float>(std::pow(10.0, peakDb / 20.0) / peak);
}

uint16_t HalfFromFloat(float value) {
  uint32_t x;
  std::memcpy(&x, &value, sizeof x);
  const auto sign = static_cast<uint16_t>((x >> 16) & 0x8000);
  const uint32_t magnitude = x & 0x7FFFFFFF;
  if (magnitude > 0x7F800000) return sign | 0x7E00;   // NaN
  if (magnitude >= 0x477FF000) return sign | 0x7C00;  // rounds to beyond 65504: infinity
  const uint32_t exponent = magnitude >> 23;
  const uint32_t mantissa = (magnitude & 0x7FFFFF) | 0x800000;
  // Below 2^-14 the half is subnormal: steps of 2^-24, down to nothing.
  const uint32_t shift = exponent < 113 ? 126 - exponent : 13;
  if (shift > 24) return sign;
  const uint32_t rest = mantissa & ((1u << shift) - 1), halfway = 1u << (shift - 1);
  uint32_t half = exponent < 113 ? mantissa >> shift
                                 : ((exponent - 112) << 10) | ((mantissa & 0x7FFFFF) >> shift);
  if (rest > halfway || (rest == halfway && (half & 1))) ++half;  // may carry into the exponent
  return static_cast<uint16_t>(sign | half);
}

float FloatFromHalf(uint16_t half) {
  const uint32_t sign = static_cast<uint32_t>(half & 0x8000) << 16;
  const uint32_t exponent = (half >> 10) & 0x1F, mantissa = half & 0x3FF;
  uint32_t x;
  if (exponent == 0) {
    const float v = static_cast<float>(mantissa) * (1.0f / 16777216.0f);  // exact
    return sign ? -v : v;
  }
  if (exponent == 31)
    x = sign | 0x7F800000 | (mantissa << 13);
  else
    x = sign | ((exponent + 112) << 23) | (mantissa << 13);
  float v;
  std::memcpy(&v, &x, sizeof v);
  return v;
}

TPromptWriter::TPromptWriter(double inputRate, const std::string& folder,
                             std::function<bool()> stop, int64_t maxSamples)
    : FSoxr(nullptr, ZS_LATE_CALL(kSoxr, soxr_delete)),
      FScratch(folder + "import scratch"),
      FOut(kOutBlock),
      FHalves(kOutBlock),
      FStop(std::move(stop)),
      FMaxSamples(maxSamples),
      FMeter(kTakeRate) {
  const soxr_io_spec_t io = ZS_LATE_CALL(kSoxr, soxr_io_spec)(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = ZS_LATE_CALL(kSoxr, soxr_quality_spec)(SOXR_HQ, 0);
  soxr_error_t error = nullptr;
  FSoxr.reset(
      ZS_LATE_CALL(kSoxr, soxr_create)(inputRate, kTakeRate, 1, &error, &io, &quality, nullptr));
  if (!FSoxr) throw Exception(Format("Cannot resample from %g Hz: %s", inputRate, error));
  FScratch.Rewrite(TWriteKind::Scratch);
}

// The scratch file has no name: it goes with its descriptor.
TPromptWriter::~TPromptWriter() = default;

void TPromptWriter::CheckStop() const {
  if (FStop && FStop()) throw EPromptStopped();
}

void TPromptWriter::Put(const float* mono, size_t frames) {
  CheckStop();
  if (frames > 0) Resample(mono, frames);
}

void TPromptWriter::Finish() { Resample(nullptr, 0); }

void TPromptWriter::Resample(const float* in, size_t frames) {
  for (;;) {
    size_t used = 0, made = 0;
    soxr_error_t error = ZS_LATE_CALL(kSoxr, soxr_process)(FSoxr.get(), in, frames, &used,
                                                           FOut.data(), FOut.size(), &made);
    if (error) throw Exception(Format("Resampling failed: %s", error));
    Store(FOut.data(), made);
    if (in) {
      in += used;
      frames -= used;
      if (frames == 0 && made < FOut.size()) return;
    } else if (made == 0) {
      return;  // the end of the input: drained
    }
  }
}

void TPromptWriter::Store(const float* samples, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    FPeak = std::max(FPeak, std::fabs(samples[i]));
    FHalves[i] = HalfFromFloat(samples[i]);
  }
  FMeter.Add(samples, count);
  FSamples += static_cast<int64_t>(count);
  // The rest of a stream longer than any take is not worth reading.
  if (FSamples > FMaxSamples) throw EPromptTooLong();
  FScratch.BlockWrite(FHalves.data(), count * sizeof(uint16_t));
}

void TPromptWriter::ForEachLevelled(float gain, bool limit,
                                    const std::function<void(const std::vector<float>&)>& use) {
  FScratch.Seek(0);
  std::vector<uint16_t> halves(kTakeBlock);
  std::vector<float> in(kTakeBlock), levelled;
  TPeakLimiter limiter;
  for (int64_t left = FSamples; left > 0;) {
    CheckStop();
    const size_t n = static_cast<size_t>(std::min<int64_t>(left, kTakeBlock));
    FScratch.BlockRead(halves.data(), n * sizeof(uint16_t));
    for (size_t i = 0; i < n; ++i) in[i] = FloatFromHalf(halves[i]) * gain;
    levelled.clear();
    if (limit)
      limiter.Process(in.data(), n, levelled);
    else
      levelled.assign(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(n));
    use(levelled);
    left -= static_cast<int64_t>(n);
  }
  if (limit && FSamples > 0) {
    levelled.clear();
    limiter.Flush(levelled);
    use(levelled);
  }
}

TTrimVerdict TPromptWriter::WriteTake(TByteFile& take, float gain, bool limit) {
  WriteTakeHeader(take, static_cast<uint32_t>(FSamples));
  std::vector<uint8_t> out;
  TTrimPreview preview;
  ForEachLevelled(gain, limit, [&](const std::vector<float>& levelled) {
    out.resize(levelled.size());
    for (size_t i = 0; i < levelled.size(); ++i) out[i] = TakeSample(levelled[i]);
    preview.Feed(levelled.data(), out.data(), out.size());
    take.BlockWrite(out.data(), out.size());
  });
  return preview.Finish();
}

double TPromptWriter::LimitedLoudness(float gain) {
  TLoudnessMeter meter(kTakeRate);
  ForEachLevelled(gain, true, [&](const std::vector<float>& levelled) {
    meter.Add(levelled.data(), levelled.size());
  });
  return meter.Loudness();
}
