// Turns one mono stream at any sample rate into a take: the layout the recorder writes
// (46-byte header, 8000 Hz, 8-bit mono), its peak at a chosen level.
//
// One cycle: Put the stream block by block as it is decoded or spoken; each block is
// resampled to 8000 Hz at once (libsoxr, high quality) and appended to a scratch file, as
// 16-bit half-precision floats, while its peak and its loudness are followed. Finish flushes
// the resampler. WriteTake then reads the scratch file back, scales every sample by the gain
// the caller chose from Peak() or Loudness(), holds the peaks under -1 dBFS with a limiter
// when asked, cuts it to 8 bits (clamped, never wrapped) and writes the take, telling what
// the silence trimming will keep of it.
//
// Why a scratch file: the peak must be known before the first sample is scaled. Keeping the
// resampled stream in memory would grow with the length of the sound; decoding the source
// a second time would double the costly steps (decoding and resampling, or synthesising
// the speech again). Half precision keeps 11 significant bits at any level, more than the 8
// bits a take holds, in 2 bytes a sample: 16 KB per second of sound, read back once. The
// scratch file has no name (it is gone when the writer goes, also when the program is
// killed), and a stream that passes the longest take is given up at once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "codec/Levelling.h"
#include "codec/TakeFile.h"
#include "rtl/ByteFile.h"
#include "rtl/SysUtils.h"

struct soxr;

// Raised by Put when the stream has grown past the longest take, and by Put and WriteTake
// when the writer was told to stop (an interrupted import).
class EPromptTooLong : public Exception {
 public:
  EPromptTooLong() : Exception("it is too long for a take") {}
};
class EPromptStopped : public Exception {
 public:
  EPromptStopped() : Exception("interrupted") {}
};

// Below this peak (-60 dB) a sound counts as silence: normalising it would only make its
// noise loud.
inline constexpr float kSilencePeak = 0.001f;

// The longest take the 32-bit sizes of its header can describe.
inline constexpr int64_t kMaxTakeSamples = UINT32_MAX - kTakeSamplesPos;

class TPromptWriter {
 public:
  // The scratch file is made in folder, without a name. stop, when given, is asked now and
  // then; once it says true the writer raises EPromptStopped. Raises Exception when the
  // resampler cannot be made for inputRate, EInOutError when the scratch file cannot be made.
  TPromptWriter(double inputRate, const std::string& folder, std::function<bool()> stop = {},
                int64_t maxSamples = kMaxTakeSamples);
  ~TPromptWriter();
  TPromptWriter(const TPromptWriter&) = delete;
  TPromptWriter& operator=(const TPromptWriter&) = delete;

  void Put(const float* mono, size_t frames);
  void Finish();

  // The largest magnitude of the resampled stream (0 for silence), and its length.
  float Peak() const { return FPeak; }
  int64_t Samples() const { return FSamples; }
  // Its loudness in LUFS (TLoudnessMeter), once Finish has been called.
  double Loudness() const { return FMeter.Loudness(); }

  // Writes the whole take into the open file from its start: header, then the samples
  // times gain, through the peak limiter when limit is true. Returns what the take's
  // silence trimming will keep of its sounding part.
  TTrimVerdict WriteTake(TByteFile& take, float gain, bool limit);
  // The loudness of the stream times gain after the peak limiter: what the take would
  // measure. A loud click far above the speech dominates the gated loudness of the stream
  // itself; once limited, it no longer does.
  double LimitedLoudness(float gain);

 private:
  void Resample(const float* in, size_t frames);  // in == nullptr: the end of the input
  void Store(const float* samples, size_t count);
  void CheckStop() const;
  // Reads the scratch file back and hands over the stream times gain (through the limiter
  // when limit is true) block by block.
  void ForEachLevelled(float gain, bool limit,
                       const std::function<void(const std::vector<float>&)>& use);

  std::unique_ptr<soxr, void (*)(soxr*)> FSoxr;
  TByteFile FScratch;
  std::vector<float> FOut;
  std::vector<uint16_t> FHalves;
  std::function<bool()> FStop;
  int64_t FMaxSamples;
  TLoudnessMeter FMeter;
  float FPeak = 0;
  int64_t FSamples = 0;
};

// One sample of the stream, times its gain, as an 8-bit take sample: 128 is silence, ±1.0
// maps to 128 ± 127, anything beyond is held at 1 or 255.
uint8_t TakeSample(float value);

// The gain that brings peak to peakDb decibels below full scale; 1 for silence.
float GainForPeakDb(float peak, double peakDb);

// IEEE 754 half precision (binary16), rounded to the nearest (ties to even): beyond 65504
// is infinity, NaN stays NaN.
uint16_t HalfFromFloat(float value);
float FloatFromHalf(uint16_t half);
