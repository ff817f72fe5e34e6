// Levelling a prompt for the instrument: its loudness, a limiter for the peaks that
// levelling pushes too high, and a look ahead at what the silence trimming will keep.
//
// Prompts come from many sources; brought to one loudness they sound alike on the
// instrument, where each one scaled to its own peak does not (a click or a shout sets the
// level of everything around it). Loudness is measured as ITU-R BS.1770 defines it, on the
// 8000 Hz stream the instrument plays. The measure is the program's own, made to weigh a
// package's worth of sound quickly (a review weighs every slot): it gives the figures of
// the reference implementation in libebur128, which the tests hold it to.
//
// Everything here follows a stream in blocks of any length: memory does not grow with the
// length of the sound (the trim preview keeps one number per 50 ms).
#pragma once

#include <cstddef>
#include <cstdint>
#include <array>
#include <memory>
#include <string>
#include <vector>

// The loudness every prompt is brought to unless the user says otherwise, and the range a
// user may choose from.
inline constexpr double kDefaultLoudnessLufs = -16.0;
inline constexpr double kLowestLoudnessLufs = -40.0;
inline constexpr double kHighestLoudnessLufs = -5.0;
// The level the limiter keeps the peaks under (-1 dBFS), as a sample magnitude.
inline constexpr float kLimiterCeiling = 0.891251f;
// Below this length the gated loudness has no block to measure: a prompt shorter than
// 0.4 s is given the ungated K-weighted loudness of the whole of it.
inline constexpr double kGatedLoudnessSeconds = 0.4;

class TLoudnessMeter {
 public:
  // Raises Exception for a rate below 1000 Hz.
  explicit TLoudnessMeter(unsigned rate = 8000);
  ~TLoudnessMeter();
  TLoudnessMeter(const TLoudnessMeter&) = delete;
  TLoudnessMeter& operator=(const TLoudnessMeter&) = delete;

  // Samples of full scale ±1.
  void Add(const float* samples, size_t count);
  // Codec samples: unsigned 8-bit, 128 silence, ±128 full scale.
  void Add(const uint8_t* samples, size_t count);

  // The loudness in LUFS: integrated (gated) for a sound of 0.4 s or more, else the ungated
  // K-weighted loudness of all of it. -infinity for silence or no sound at all.
  double Loudness() const;
  int64_t Samples() const { return FSamples; }

 private:
  struct TState;  // the filters, the energy of every 100 ms so far
  unsigned FRate;
  std::unique_ptr<TState> FState;
  int64_t FSamples = 0;
};

// The gain that takes a sound of this loudness to target LUFS; 1 for silence.
float GainForLoudness(double loudnessLufs, double targetLufs);

// Holds peaks under the ceiling without lowering the rest of the sound: the gain dips only
// around a peak, reaching its low over 2 ms before it (it looks ahead that far, so the
// output lags the input by kLookAhead samples) and coming back over about 50 ms after it.
class TPeakLimiter {
 public:
  static constexpr size_t kLookAhead = 16;  // 2 ms at 8000 Hz
  explicit TPeakLimiter(float ceiling = kLimiterCeiling, double releaseSamples = 400);

  // Appends to out one sample for each sample put in, kLookAhead behind.
  void Process(const float* in, size_t count, std::vector<float>& out);
  // Appends the samples still held back (as if silence followed): the end of the stream.
  void Flush(std::vector<float>& out);
  // The least gain applied so far (1 while no peak needed it).
  float LeastGain() const { return FLeast; }

 private:
  void Push(float x, std::vector<float>& out);

  float FCeiling;
  float FRelease;            // the share of the way back to full gain made each sample
  // Rings of the last kLookAhead + 1 of each, sample k at k % (kLookAhead + 1): the samples
  // waiting for their gain, the gain each of them needs, and the least need over the window
  // each starts.
  static constexpr size_t kRing = kLookAhead + 1;
  std::array<float, kRing> FDelay{}, FNeed{}, FAhead{};
  double FAheadSum = 0;
  size_t FPushed = 0;
  float FGain = 1;
  float FLeast = 1;
};

// What the silence trimming of a take will keep of its sounding part, told before the take
// is written: the part of the prompt that sounds is its 50 ms blocks within 40 dB of the
// loudest one; the trimming keeps what lies between its first and last loud sample (outside
// the quiet band 112..144) with up to 899 samples before and 500 after.
struct TTrimVerdict {
  int64_t Samples = 0;          // the take's length
  int64_t SoundingSamples = 0;  // in the blocks that sound
  int64_t KeptSamples = 0;      // what the trimming keeps
  int64_t KeptSounding = 0;     // sounding samples among those kept
  float Peak = 0;               // the largest magnitude written, full scale 1
  // How far the loudest block stands above the middle one of those that sound, in dB: a
  // click or a knock stands far above the speech around it.
  double LoudestOverMiddleDb = 0;
  // True when less than half of the sounding part would be kept, or nothing.
  bool LosesSpeech() const { return SoundingSamples > 0 && 2 * KeptSounding < SoundingSamples; }
  // Why, in the user's words: "too quiet for the quiet band", "a click louder than the
  // speech set the level".
  std::string Reason() const;
  // "0.07 s of its 2.25 s of sound (3 %)" or "nothing of its 2.00 s of sound".
  std::string KeptText() const;
};

class TTrimPreview {
 public:
  // levelled: the samples as written, full scale 1; bytes: the same as take samples.
  void Feed(const float* levelled, const uint8_t* bytes, size_t count);
  TTrimVerdict Finish();

 private:
  void EndBlock();

  std::vector<float> FBlockEnergy;  // mean square of each finished 50 ms block
  double FEnergy = 0;
  size_t FInBlock = 0;
  int64_t FIndex = 0;
  int64_t FFirstLoud = -1, FLastLoud = -1;
  float FPeak = 0;
};
