// The instrument's 4-bit delta code: every code moves an unsigned 8-bit sample up or down by
// one of eight fixed steps; two codes share a byte, the earlier sample's code in the low
// nibble. A ".vox" file is nothing but these bytes: no header, no length, no rate.
#pragma once

#include <cstddef>
#include <cstdint>

// The step magnitudes, indexed by a code's three low bits.
inline constexpr uint8_t kVoxSteps[8] = {0, 1, 2, 4, 8, 16, 32, 64};

// The start value of the encoder's predictor and the decoder's value in every stream.
inline constexpr uint8_t kVoxStartValue = 128;

// Returns the code for sample s and moves the predictor p toward s. The difference is
// rounded down to a step, so p never passes s and stays within 0..255 without clamping.
uint8_t EncodeSample(uint8_t s, uint8_t& p);

// Applies code c (0..15) to the decoder value v, wrapping as an unsigned byte, and returns
// the new value: the next decoded sample.
uint8_t DecodeCode(uint8_t c, uint8_t& v);

// Encodes a stream in pieces of any length. Samples are paired across pieces; a last odd
// sample is held back and, if the stream ends there, never encoded.
class TVoxEncoder {
 public:
  // Encodes count samples and writes one byte per completed pair into out, which must hold
  // (count + 1) / 2 bytes. Returns the number of bytes written.
  size_t Encode(const uint8_t* samples, size_t count, uint8_t* out);
  uint8_t Predictor() const { return FPredictor; }

 private:
  uint8_t FPredictor = kVoxStartValue;
  bool FHasPending = false;
  uint8_t FPendingCode = 0;
};

// True when the bytes of codes are exactly what TVoxEncoder makes of the count samples, a
// whole stream: count / 2 bytes. Checked without coding the samples again.
bool IsStandardCoding(const uint8_t* samples, size_t count, const uint8_t* codes, size_t bytes);

// Decodes a stream in pieces of any length: every byte gives two samples, low nibble first.
class TVoxDecoder {
 public:
  // Decodes count bytes into 2 * count samples.
  void Decode(const uint8_t* codes, size_t count, uint8_t* samples);
  // Decodes as Decode does and returns how many codes stepped the value past 0 or 255 (where
  // the byte arithmetic folds it back, and the instrument's decoder clicks).
  size_t DecodeCountingWraps(const uint8_t* codes, size_t count, uint8_t* samples);
  uint8_t Value() const { return FValue; }

 private:
  uint8_t FValue = kVoxStartValue;
};
