#include "codec/VoxCodec.h"

#include <array>

namespace {

// For every difference s - p (offset by 255), the code and the signed move of the
// predictor. One look-up per sample instead of a scan of the step table.
struct TEncodeEntry {
  uint8_t Code;
  int16_t Move;
};

constexpr uint8_t StepIndexFor(int d) {
  // The largest index whose step does not exceed d.
  uint8_t i = 0;
  while (i < 7 && kVoxSteps[i + 1] <= d) ++i;
  return i;
}

constexpr std::array<TEncodeEntry, 511> MakeEncodeTable() {
  std::array<TEncodeEntry, 511> t{};
  for (int diff = -255; diff <= 255; ++diff) {
    if (diff >= 0) {
      uint8_t i = StepIndexFor(diff);
      t[diff + 255] = {i, static_cast<int16_t>(kVoxSteps[i])};
    } else {
      uint8_t i = StepIndexFor(-diff);
      t[diff + 255] = {static_cast<uint8_t>(i + 8), static_cast<int16_t>(-kVoxSteps[i])};
    }
  }
  return t;
}

constexpr std::array<TEncodeEntry, 511> kEncodeTable = MakeEncodeTable();

// The move of the decoder value for each code, as an unsigned byte (wrapping arithmetic).
constexpr std::array<uint8_t, 16> MakeDecodeMoves() {
  std::array<uint8_t, 16> m{};
  for (int c = 0; c < 16; ++c)
    m[c] = c >= 8 ? static_cast<uint8_t>(256 - kVoxSteps[c - 8]) : kVoxSteps[c];
  return m;
}

constexpr std::array<uint8_t, 16> kDecodeMoves = MakeDecodeMoves();

}  // namespace

uint8_t EncodeSample(uint8_t s, uint8_t& p) {
  const TEncodeEntry& e = kEncodeTable[static_cast<int>(s) - static_cast<int>(p) + 255];
  p = static_cast<uint8_t>(p + e.Move);
  return e.Code;
}

uint8_t DecodeCode(uint8_t c, uint8_t& v) {
  v = static_cast<uint8_t>(v + kDecodeMoves[c & 15]);
  return v;
}

size_t TVoxEncoder::Encode(const uint8_t* samples, size_t count, uint8_t* out) {
  size_t written = 0;
  size_t i = 0;
  uint8_t p = FPredictor;
  if (FHasPending && count > 0) {
    uint8_t second = EncodeSample(samples[i++], p);
    out[written++] = static_cast<uint8_t>(FPendingCode | (second << 4));
    FHasPending = false;
  }
  for (; i + 1 < count; i += 2) {
    uint8_t first = EncodeSample(samples[i], p);
    uint8_t second = EncodeSample(samples[i + 1], p);
    out[written++] = static_cast<uint8_t>(first | (second << 4));
  }
  if (i < count) {
    FPendingCode = EncodeSample(samples[i], p);
    FHasPending = true;
  }
  FPredictor = p;
  return written;
}

void TVoxDecoder::Decode(const uint8_t* codes, size_t count, uint8_t* samples) {
  uint8_t v = FValue;
  for (size_t i = 0; i < count; ++i) {
    uint8_t b = codes[i];
    v = static_cast<uint8_t>(v + kDecodeMoves[b & 15]);
    samples[2 * i] = v;
    v = static_cast<uint8_t>(v + kDecodeMoves[b >> 4]);
    samples[2 * i + 1] = v;
  }
  FValue = v;
}
