#include "codec/Levelling.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "codec/SilenceTrim.h"
#include "codec/TakeFile.h"
#include "rtl/SysUtils.h"

namespace {

// 50 ms at 8000 Hz: the blocks the sounding part is judged by.
constexpr size_t kBlockSamples = 400;
// A block counts as sounding within this many dB of the loudest (as an energy ratio).
constexpr double kSoundingRange = 1e-4;  // 40 dB
// The loudest block standing this far above the middle of the sounding ones is a click (or
// a knock, a pop) rather than speech.
constexpr double kClickOverSpeechDb = 15.0;

double Db(double ratio) { return 10.0 * std::log10(ratio); }

}  // namespace

struct TLoudnessMeter::TState {
  ebur128_state* Measure;
  ~TState() { ebur128_destroy(&Measure); }
};

TLoudnessMeter::TLoudnessMeter(unsigned rate) : FRate(rate) {
  // Momentary mode keeps the last 0.4 s, which a prompt shorter than that is measured over.
  ebur128_state* measure = ebur128_init(1, rate, EBUR128_MODE_I | EBUR128_MODE_M);
  if (measure == nullptr) throw Exception(Format("Cannot measure loudness at %u Hz", rate));
  FState.reset(new TState{measure});
}

TLoudnessMeter::~TLoudnessMeter() = default;

void TLoudnessMeter::Add(const float* samples, size_t count) {
  if (count == 0) return;
  ebur128_add_frames_float(FState->Measure, samples, count);
  FSamples += static_cast<int64_t>(count);
}

void TLoudnessMeter::Add(const uint8_t* samples, size_t count) {
  FBlock.resize(count);
  for (size_t i = 0; i < count; ++i) FBlock[i] = (static_cast<int>(samples[i]) - 128) / 128.0f;
  Add(FBlock.data(), count);
}

double TLoudnessMeter::Loudness() const {
  double lufs = -std::numeric_limits<double>::infinity();
  const double seconds = static_cast<double>(FSamples) / FRate;
  if (seconds >= kGatedLoudnessSeconds) {
    if (ebur128_loudness_global(FState->Measure, &lufs) != EBUR128_SUCCESS) return -HUGE_VAL;
  } else {
    // The measuring window holds the last 0.4 s, which is all of a shorter sound.
    const auto ms = static_cast<unsigned long>(FSamples * 1000 / FRate);
    if (ms == 0 || ebur128_loudness_window(FState->Measure, ms, &lufs) != EBUR128_SUCCESS)
      return -HUGE_VAL;
  }
  return std::isfinite(lufs) ? lufs : -HUGE_VAL;
}

float GainForLoudness(double loudnessLufs, double targetLufs) {
  if (!std::isfinite(loudnessLufs)) return 1.0f;
  return static_cast<float>(std::pow(10.0, (targetLufs - loudnessLufs) / 20.0));
}

TPeakLimiter::TPeakLimiter(float ceiling, double releaseSamples)
    : FCeiling(ceiling), FRelease(static_cast<float>(1.0 - std::exp(-1.0 / releaseSamples))) {
  // Silence ahead of the stream fills the look-ahead, so the first samples are judged like
  // every other; none of it comes out.
  std::vector<float> lead;
  for (size_t i = 0; i < kLookAhead; ++i) Push(0.0f, lead);
}

void TPeakLimiter::Process(const float* in, size_t count, std::vector<float>& out) {
  for (size_t i = 0; i < count; ++i) Push(in[i], out);
}

void TPeakLimiter::Flush(std::vector<float>& out) {
  for (size_t i = 0; i < kLookAhead; ++i) Push(0.0f, out);
}

void TPeakLimiter::Push(float x, std::vector<float>& out) {
  const size_t k = FPushed++;
  const float magnitude = std::fabs(x);
  FDelay[k % kRing] = x;
  FNeed[k % kRing] = magnitude > FCeiling ? FCeiling / magnitude : 1.0f;
  if (k < kLookAhead) return;
  // The least gain any of the samples k - kLookAhead .. k needs; averaged over as many such
  // windows, every one of which holds the sample going out, it is never above what that
  // sample needs, and it glides down instead of stepping.
  const size_t a = k - kLookAhead;
  if (a >= kRing) FAheadSum -= FAhead[a % kRing];
  FAhead[a % kRing] = *std::min_element(FNeed.begin(), FNeed.end());
  FAheadSum += FAhead[a % kRing];
  if (a < kLookAhead) return;
  const float target = static_cast<float>(FAheadSum / static_cast<double>(kRing));
  FGain = target <= FGain ? target : FGain + (target - FGain) * FRelease;
  FLeast = std::min(FLeast, FGain);
  out.push_back(FDelay[a % kRing] * FGain);
}

void TTrimPreview::Feed(const float* levelled, const uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const float v = levelled[i];
    FEnergy += static_cast<double>(v) * v;
    FPeak = std::max(FPeak, std::fabs(v));
    if (kWideQuietBand.IsLoud(bytes[i])) {
      if (FFirstLoud < 0) FFirstLoud = FIndex;
      FLastLoud = FIndex;
    }
    ++FIndex;
    if (++FInBlock == kBlockSamples) EndBlock();
  }
}

void TTrimPreview::EndBlock() {
  if (FInBlock == 0) return;
  FBlockEnergy.push_back(static_cast<float>(FEnergy / static_cast<double>(FInBlock)));
  FEnergy = 0;
  FInBlock = 0;
}

TTrimVerdict TTrimPreview::Finish() {
  EndBlock();
  TTrimVerdict v;
  v.Samples = FIndex;
  v.Peak = FPeak;
  // What the take conversion keeps: the leading trim, then the trailing one.
  int64_t start = 0, end = 0;
  if (FFirstLoud >= 0) {
    start = FFirstLoud > kLeadIn ? FFirstLoud - kLeadIn : 0;
    const int64_t written = v.Samples - start, lastLoud = FLastLoud - start + 1;
    const int64_t kept = written > kTail && written - kTail > lastLoud ? lastLoud + kTail : written;
    end = start + kept;
  }
  v.KeptSamples = end - start;

  const float loudest =
      FBlockEnergy.empty() ? 0.0f : *std::max_element(FBlockEnergy.begin(), FBlockEnergy.end());
  if (!(loudest > 0)) return v;
  std::vector<float> sounding;
  for (size_t b = 0; b < FBlockEnergy.size(); ++b) {
    if (FBlockEnergy[b] < loudest * kSoundingRange) continue;
    sounding.push_back(FBlockEnergy[b]);
    const int64_t from = static_cast<int64_t>(b * kBlockSamples);
    const int64_t to = std::min<int64_t>(from + kBlockSamples, v.Samples);
    v.SoundingSamples += to - from;
    v.KeptSounding += std::max<int64_t>(0, std::min(to, end) - std::max(from, start));
  }
  std::nth_element(sounding.begin(), sounding.begin() + sounding.size() / 2, sounding.end());
  const float middle = sounding[sounding.size() / 2];
  v.LoudestOverMiddleDb = Db(static_cast<double>(loudest) / middle);
  return v;
}

std::string TTrimVerdict::Reason() const {
  if (LoudestOverMiddleDb >= kClickOverSpeechDb)
    return Format(
        "a click louder than the speech (its loudest 50 ms stand %.0f dB above the speech) set "
        "the level, and the speech stays inside the quiet band the trimming cuts",
        LoudestOverMiddleDb);
  // A take sample leaves the quiet band 112..144 from 17 steps of 127 off the middle on.
  return Format(
      "too quiet for the quiet band the trimming cuts (the sound peaks at %.1f dBFS; only "
      "what rises above %.1f dBFS counts as sound)",
      20.0 * std::log10(std::max(Peak, 1e-6f)), 20.0 * std::log10(16.5 / 127.0));
}

std::string TTrimVerdict::KeptText() const {
  const double sounding = static_cast<double>(SoundingSamples) / kTakeRate;
  if (KeptSounding == 0) return Format("nothing of its %.2f s of sound", sounding);
  return Format("%.2f s of its %.2f s of sound (%.0f %%)",
                static_cast<double>(KeptSounding) / kTakeRate, sounding,
                100.0 * static_cast<double>(KeptSounding) / static_cast<double>(SoundingSamples));
}
