#include "codec/Levelling.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "codec/SilenceTrim.h"
#include "codec/TakeFile.h"
#include "codec/Vectorise.h"
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

// --- loudness (ITU-R BS.1770) ---
//
// The sound is K-weighted (a high shelf, then a high-pass, each a biquad), its energy summed
// in 100 ms parts; every 400 ms window that starts on a part is a block. Blocks below
// -70 LUFS are left out, then those more than 10 LU below the mean of the rest; the loudness
// is that of the mean energy of what is left. A sound shorter than 0.4 s has no block: it is
// given the loudness of the energy of the whole of it (of its last whole milliseconds).
namespace {

struct TBiquad {
  double B0, B1, B2, A1, A2;
};

// The two filters for a rate: the analog prototypes of the recommendation through the
// bilinear transform, so that any rate is weighted alike.
std::array<TBiquad, 2> KWeighting(unsigned rate) {
  const double shelfHz = 1681.974450955533, shelfGainDb = 3.999843853973347,
               shelfQ = 0.7071752369554196;
  double k = std::tan(M_PI * shelfHz / rate);
  const double vh = std::pow(10.0, shelfGainDb / 20.0), vb = std::pow(vh, 0.4996667741545416);
  double a0 = 1.0 + k / shelfQ + k * k;
  const TBiquad shelf{(vh + vb * k / shelfQ + k * k) / a0, 2.0 * (k * k - vh) / a0,
                      (vh - vb * k / shelfQ + k * k) / a0, 2.0 * (k * k - 1.0) / a0,
                      (1.0 - k / shelfQ + k * k) / a0};
  const double passHz = 38.13547087602444, passQ = 0.5003270373238773;
  k = std::tan(M_PI * passHz / rate);
  a0 = 1.0 + k / passQ + k * k;
  const TBiquad pass{1.0, -2.0, 1.0, 2.0 * (k * k - 1.0) / a0, (1.0 - k / passQ + k * k) / a0};
  return {shelf, pass};
}

// The state of both filters (transposed direct form, two values each).
struct TKState {
  double S[4] = {};
};

// One sample through both filters; returns the weighted sample.
inline double Weigh(const std::array<TBiquad, 2>& k, TKState& st, double x) {
  const TBiquad &f = k[0], &g = k[1];
  const double u = f.B0 * x + st.S[0];
  st.S[0] = f.B1 * x - f.A1 * u + st.S[1];
  st.S[1] = f.B2 * x - f.A2 * u;
  // The high-pass's numerator is 1, -2, 1: products a double holds exactly.
  const double y = u + st.S[2];
  st.S[2] = -2.0 * u - g.A1 * y + st.S[3];
  st.S[3] = u - g.A2 * y;
  return y;
}

// Blocks of this many 100 ms parts are weighed in four stretches at once: each sample waits
// for the filters' values after the one before, and four independent stretches fill the
// time a sample waits. Every stretch but the first starts from rest a little earlier (the
// warm-up): the filters forget where they started long before it ends (the slowest, the
// high-pass, by a factor of 0.97 a sample at 8000 Hz), so the stretch weighs its samples
// as one pass from the start would, to the last digits of a double.
constexpr size_t kPartsPerStretch = 10;
constexpr size_t kStretches = 4;
constexpr double kWarmUpSeconds = 0.2;
// The filters' values of two stretches, one lane each.
typedef double TPair __attribute__((vector_size(2 * sizeof(double))));
static_assert(kStretches % 2 == 0);

// The loudness of a mean energy.
double Lufs(double energy) { return 10.0 * std::log10(energy) - 0.691; }

// The filters and what they have weighed so far.
struct TWeighing {
  std::array<TBiquad, 2> K;
  TKState Filter;
  size_t PartLength;                 // samples in 100 ms
  size_t WarmUp;                     // samples a stretch starts early
  std::vector<double> Parts;         // the energy of every 100 ms part weighed so far
  double Partial = 0;                // of the part being weighed
  size_t InPart = 0;                 // its samples so far
  std::vector<double> FirstSquares;  // of the first samples, for the last whole milliseconds
  int64_t Weighed = 0;               // samples weighed so far

  void WeighOne(double x) {
    const double y = Weigh(K, Filter, x);
    const double square = y * y;
    if (FirstSquares.size() < FirstSquares.capacity()) FirstSquares.push_back(square);
    Partial += square;
    ++Weighed;
    if (++InPart == PartLength) {
      Parts.push_back(Partial);
      Partial = 0;
      InPart = 0;
    }
  }
  // The first samples of x, kStretches * perStretch parts of them from the start of a part,
  // in that many stretches at once: one lane of a vector each, every lane doing the
  // arithmetic of Weigh in the same order, so each stretch gives the figures it gives alone.
  void WeighStretches(const float* x, size_t perStretch) {
    const size_t stretch = perStretch * PartLength, count = kStretches * stretch;
    const TBiquad &f = K[0], &g = K[1];
    // The lanes in pairs, each pair a vector of the baseline's registers; each pair is
    // weighed on its own, so that its values stay in registers.
    constexpr size_t kPairs = kStretches / 2;
    TPair s0[kPairs] = {}, s1[kPairs] = {}, s2[kPairs] = {}, s3[kPairs] = {}, part[kPairs] = {};
    // The samples' products come first, off the filters' path, a piece at a time.
    constexpr size_t kPiece = 100;
    TPair b0[kPairs][kPiece], b1[kPairs][kPiece], b2[kPairs][kPiece];
    // n samples from from on in each lane's stretch, or in the one before it while warming
    // up (the first lane has none before it: it stays at rest).
    static const float kRest[kPiece] = {};
    auto weigh = [&](size_t from, size_t n, bool warmUp) {
      const float* lane[kStretches];
      for (size_t k = 0; k < kStretches; ++k)
        lane[k] = k < warmUp ? kRest : x + (k - warmUp) * stretch + from;
      for (size_t h = 0; h < kPairs; ++h)
        for (size_t i = 0; i < n; ++i) {
          const TPair v = {lane[2 * h][i], lane[2 * h + 1][i]};
          b0[h][i] = f.B0 * v, b1[h][i] = f.B1 * v, b2[h][i] = f.B2 * v;
        }
      // The filters' values in locals, where they stay in registers.
      TPair a0 = s0[0], a1 = s1[0], a2 = s2[0], a3 = s3[0], sumA = part[0];
      TPair c0 = s0[1], c1 = s1[1], c2 = s2[1], c3 = s3[1], sumC = part[1];
      const TPair *pa0 = b0[0], *pa1 = b1[0], *pa2 = b2[0];
      const TPair *pc0 = b0[1], *pc1 = b1[1], *pc2 = b2[1];
      auto step = [&](TPair& t0, TPair& t1, TPair& t2, TPair& t3, TPair& sum, TPair p0, TPair p1,
                      TPair p2) {
        const TPair u = p0 + t0;
        t0 = p1 - f.A1 * u + t1;
        t1 = p2 - f.A2 * u;
        const TPair y = u + t2;
        // -2u - A1 y + s3, rounded alike: -2u and u + u are exact.
        t2 = t3 - (u + u + g.A1 * y);
        t3 = u - g.A2 * y;
        sum += y * y;
      };
      for (size_t i = 0; i < n; ++i) {
        step(a0, a1, a2, a3, sumA, pa0[i], pa1[i], pa2[i]);
        step(c0, c1, c2, c3, sumC, pc0[i], pc1[i], pc2[i]);
      }
      s0[0] = a0, s1[0] = a1, s2[0] = a2, s3[0] = a3, part[0] = sumA;
      s0[1] = c0, s1[1] = c1, s2[1] = c2, s3[1] = c3, part[1] = sumC;
    };
    // Every stretch but the first warms up from rest on the samples before it; the first
    // lane's warm-up is thrown away, it goes on from where the filters stand.
    for (size_t i = stretch - WarmUp; i < stretch; i += kPiece)
      weigh(i, std::min(kPiece, stretch - i), true);
    s0[0][0] = Filter.S[0], s1[0][0] = Filter.S[1], s2[0][0] = Filter.S[2], s3[0][0] = Filter.S[3];
    const size_t first = Parts.size();
    Parts.resize(first + kStretches * perStretch);
    for (size_t p = 0; p < perStretch; ++p) {
      for (TPair& sum : part) sum = TPair{};
      for (size_t i = 0; i < PartLength; i += kPiece)
        weigh(p * PartLength + i, std::min(kPiece, PartLength - i), false);
      for (size_t k = 0; k < kStretches; ++k)
        Parts[first + k * perStretch + p] = part[k / 2][k % 2];
    }
    const size_t h = kPairs - 1;
    Filter.S[0] = s0[h][1], Filter.S[1] = s1[h][1], Filter.S[2] = s2[h][1], Filter.S[3] = s3[h][1];
    Weighed += static_cast<int64_t>(count);
  }
  // count samples waiting for a batch: as many stretches as they make, the rest one by one.
  void WeighPending(const float* x, size_t count) {
    const size_t perStretch = count / PartLength / kStretches;
    size_t at = 0;
    if (perStretch * PartLength >= WarmUp) {
      WeighStretches(x, perStretch);
      at = kStretches * perStretch * PartLength;
    }
    for (; at < count; ++at) WeighOne(x[at]);
  }
};

}  // namespace

struct TLoudnessMeter::TState : TWeighing {
  std::vector<float> Pending;  // samples waiting for a batch of stretches, PendingCount of them
  size_t PendingCount = 0;

  // count samples, convert(from, n, to) giving n of them at full scale ±1: the first part,
  // while the first samples are kept, one by one; then whole batches.
  template <class T, class C>
  void Add(const T* samples, size_t count, C convert) {
    const size_t batch = kStretches * kPartsPerStretch * PartLength;
    auto one = [&] {
      float x;
      convert(samples++, 1, &x);
      --count;
      WeighOne(x);
    };
    while (count > 0 && FirstSquares.size() < FirstSquares.capacity()) one();
    while (count > 0 && InPart != 0 && PendingCount == 0) one();
    while (count > 0) {
      const size_t n = std::min(count, batch - PendingCount);
      convert(samples, n, Pending.data() + PendingCount);
      PendingCount += n;
      samples += n;
      count -= n;
      if (PendingCount == batch) {
        WeighStretches(Pending.data(), kPartsPerStretch);
        PendingCount = 0;
      }
    }
  }
};

TLoudnessMeter::TLoudnessMeter(unsigned rate) : FRate(rate) {
  if (rate < 1000) throw Exception(Format("Cannot measure loudness at %u Hz", rate));
  FState = std::make_unique<TState>();
  FState->K = KWeighting(rate);
  FState->PartLength = rate / 10;
  FState->WarmUp = static_cast<size_t>(kWarmUpSeconds * rate);
  FState->FirstSquares.reserve(rate / 1000 + 1);
  FState->Pending.resize(kStretches * kPartsPerStretch * FState->PartLength);
}

TLoudnessMeter::~TLoudnessMeter() = default;

namespace {

ZS_VECTORISE void FullScale(const uint8_t* in, size_t n, float* out) {
  for (size_t i = 0; i < n; ++i) out[i] = (static_cast<int>(in[i]) - 128) / 128.0f;
}

}  // namespace

void TLoudnessMeter::Add(const float* samples, size_t count) {
  FSamples += static_cast<int64_t>(count);
  FState->Add(samples, count,
              [](const float* in, size_t n, float* out) { std::copy_n(in, n, out); });
}

void TLoudnessMeter::Add(const uint8_t* samples, size_t count) {
  FSamples += static_cast<int64_t>(count);
  FState->Add(samples, count, FullScale);
}

double TLoudnessMeter::Loudness() const {
  // The samples waiting for a batch are weighed now, on a copy.
  TWeighing st = *FState;
  st.WeighPending(FState->Pending.data(), FState->PendingCount);
  double lufs = -HUGE_VAL;
  const double seconds = static_cast<double>(FSamples) / FRate;
  if (seconds >= kGatedLoudnessSeconds) {
    // Every 400 ms window that starts on a 100 ms part.
    const double absolute = std::pow(10.0, (-70.0 + 0.691) / 10.0);
    std::vector<double> blocks;
    for (size_t b = 0; b + 4 <= st.Parts.size(); ++b) {
      const double energy = (st.Parts[b] + st.Parts[b + 1] + st.Parts[b + 2] + st.Parts[b + 3]) /
                            static_cast<double>(4 * st.PartLength);
      if (energy >= absolute) blocks.push_back(energy);
    }
    if (blocks.empty()) return -HUGE_VAL;
    double sum = 0;
    for (double e : blocks) sum += e;
    const double relative = sum / static_cast<double>(blocks.size()) * 0.1;  // 10 LU below
    double kept = 0;
    size_t count = 0;
    for (double e : blocks)
      if (e >= relative) kept += e, ++count;
    lufs = Lufs(kept / static_cast<double>(count));
  } else {
    // The last whole milliseconds of the sound.
    const auto ms = static_cast<uint64_t>(FSamples * 1000 / FRate);
    const auto frames = static_cast<size_t>(FRate * ms / 1000);
    if (frames == 0) return -HUGE_VAL;
    double energy = st.Partial;
    for (double p : st.Parts) energy += p;
    for (size_t i = 0; i + frames < static_cast<size_t>(FSamples); ++i)
      energy -= st.FirstSquares[i];
    lufs = Lufs(energy / static_cast<double>(frames));
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
