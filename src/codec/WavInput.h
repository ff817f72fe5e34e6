// Checking a WAV file prepared outside the program and reducing its samples to the codec's
// working form: unsigned 8-bit mono at about 8 kHz, 128 being silence.
//
// Accepted: RIFF, the format chunk first, PCM, mono, 8 bits at any rate (taken unchanged) or
// 16 bits at 44100 Hz (normalised, low-pass filtered, averaged over groups of 5 and 6 inputs
// and cut to 8 bits). Everything is streamed in blocks: memory does not grow with the file.
#pragma once

#include <cstdint>
#include <string>

#include "codec/PreFilter.h"
#include "rtl/ByteFile.h"

struct TWavInfo {
  uint16_t FormatTag = 0;
  uint16_t Channels = 0;
  uint32_t SampleRate = 0;
  uint16_t BitsPerSample = 0;
  // Position of the data chunk's 32-bit size field; the samples follow it.
  int64_t DataSizePos = 0;
};

// The rate the 16-bit reduction is built for.
inline constexpr uint32_t kReducibleRate16 = 44100;

// Runs the header checks in their fixed order and returns the problem text of the first
// that fails, or an empty text when the file is accepted; then the file is positioned at
// the data chunk's size field. A file too short for a field, or without a "data" chunk,
// raises the runtime's "Read beyond end of file".
std::string CheckWavHeader(TByteFile& f, TWavInfo& info);

// The message box text for a rejected file.
std::string InvalidWavMessage(const std::string& fullPath, const std::string& problem);

// Receives reduced samples a block at a time.
class TSampleSink {
 public:
  virtual ~TSampleSink() = default;
  // Called once the source has been measured, before the first Put: a sink that writes a
  // file creates it here, so a source that fails before leaves no file touched.
  virtual void Begin() {}
  virtual void Put(const uint8_t* samples, size_t count) = 0;
};

// The peak pass over 16-bit data: reads the data size at the current position (the size
// field), runs the filter (which the caller has reset) over every sample, and returns the
// largest absolute narrowed value from the fourth sample on, M. The file is left at the size
// field again.
int32_t MeasurePeak16(TByteFile& f, TPreFilter& filter);

// 1.0 when the peak is at full scale already (32760 or more) or the data are silent (0);
// otherwise 32768 / M in single precision, so the peak reaches full scale.
float GainForPeak(int32_t peak);

// Reduces 8-bit data: the bytes from sample index first up to the data size dataSize are
// the output unchanged. The file must be positioned at the first sample.
void Reduce8(TByteFile& f, uint32_t dataSize, int64_t first, TSampleSink& sink);

// Reduces 16-bit data: every input is scaled by gain (saturating to 16 bits), filtered, and
// 5 or 6 of them (alternately, starting with 5) are averaged into one output. The filter
// must be reset and the file positioned at the first sample.
void Reduce16(TByteFile& f, uint32_t dataSize, TPreFilter& filter, float gain, TSampleSink& sink);

// The narrowings of the 16-bit path: saturate, never wrap.
inline int16_t Saturate16(int64_t v) {
  return static_cast<int16_t>(v < -32768 ? -32768 : v > 32767 ? 32767 : v);
}
// held × gain in single precision, truncated toward zero.
inline int16_t ScaleSample(int16_t held, float gain) {
  float p = static_cast<float>(held) * gain;  // |p| <= 32768 * 32768, exact in int32
  return Saturate16(static_cast<int32_t>(p));
}
// The output byte for a group average: its high byte with the top bit inverted.
inline uint8_t OutputByteFor(int16_t a) { return static_cast<uint8_t>((a >> 8) + 128); }
