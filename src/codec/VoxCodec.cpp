#include "codec/VoxCodec.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "codec/Vectorise.h"

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

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

// The same moves alone: the encoder follows the predictor first and names the codes after.
constexpr std::array<int16_t, 511> MakeMoves() {
  std::array<int16_t, 511> m{};
  for (size_t i = 0; i < m.size(); ++i) m[i] = kEncodeTable[i].Move;
  return m;
}
constexpr std::array<int16_t, 511> kMoves = MakeMoves();

// The code of a move of the predictor: its step's index, 8 more for a move down. Every move
// is one of the steps, so the index counts the steps it reaches.
ZS_VECTORISE void CodesOfPath(const uint8_t* path, size_t n, uint8_t* codes) {
  for (size_t i = 1; i < n; ++i) {
    const auto move = static_cast<int8_t>(static_cast<uint8_t>(path[i] - path[i - 1]));
    const auto size = static_cast<uint8_t>(move < 0 ? -move : move);
    const int index = (size >= 1) + (size >= 2) + (size >= 4) + (size >= 8) + (size >= 16) +
                      (size >= 32) + (size >= 64);
    codes[i] = static_cast<uint8_t>(index | (move < 0 ? 8 : 0));
  }
}

// The code the encoder gives each sample from the predictor before it (path[i] before
// samples[i]): the largest step not beyond the difference, 8 more for a move down.
ZS_VECTORISE void CodesOfSamples(const uint8_t* samples, const uint8_t* path, size_t n,
                                 uint8_t* codes) {
  for (size_t i = 0; i < n; ++i) {
    const uint8_t s = samples[i], p = path[i];
    const auto size = static_cast<uint8_t>(s > p ? s - p : p - s);
    const int index = (size >= 1) + (size >= 2) + (size >= 4) + (size >= 8) + (size >= 16) +
                      (size >= 32) + (size >= 64);
    codes[i] = static_cast<uint8_t>(index | (s < p ? 8 : 0));
  }
}

// Two codes a byte, the earlier in the low nibble.
ZS_VECTORISE void PackCodes(const uint8_t* codes, size_t pairs, uint8_t* out) {
  for (size_t j = 0; j < pairs; ++j)
    out[j] = static_cast<uint8_t>(codes[2 * j] | (codes[2 * j + 1] << 4));
}

// The predictor after each of n samples (path[i] after sample i), from p.
//
// Each sample waits for the predictor the one before left, a chain of a few cycles per
// sample; four stretches of the block are followed at once so their chains overlap. Every
// stretch but the first starts from a guess, the sample before it, which the predictor
// follows closely. Then, stretch after stretch, the true predictor is followed from the end
// of the one before until it meets the guessed path: from there on both are the same path
// (the same predictor meeting the same samples), usually a few samples in. The result is the
// path of one pass from the first sample, value for value.
void FollowPredictor(const uint8_t* samples, size_t n, int p, uint8_t* path) {
  constexpr size_t kStretches = 4;
  const int16_t* move = kMoves.data() + 255;
  const size_t len = n / kStretches;
  if (len < 64) {  // too short to be worth the guesses
    for (size_t i = 0; i < n; ++i) path[i] = static_cast<uint8_t>(p += move[samples[i] - p]);
    return;
  }
  int q[kStretches];
  for (size_t k = 0; k < kStretches; ++k) q[k] = k == 0 ? p : samples[k * len - 1];
  for (size_t i = 0; i < len; ++i)
    for (size_t k = 0; k < kStretches; ++k) {
      q[k] += move[samples[k * len + i] - q[k]];
      path[k * len + i] = static_cast<uint8_t>(q[k]);
    }
  // What the block holds past the stretches belongs to the last one.
  for (size_t i = kStretches * len; i < n; ++i)
    path[i] = static_cast<uint8_t>(q[kStretches - 1] += move[samples[i] - q[kStretches - 1]]);
  for (size_t k = 1; k < kStretches; ++k) {
    const size_t end = k + 1 < kStretches ? (k + 1) * len : n;
    int t = path[k * len - 1];
    for (size_t i = k * len; i < end; ++i) {
      t += move[samples[i] - t];
      if (t == path[i]) break;
      path[i] = static_cast<uint8_t>(t);
    }
  }
}

// The move of the decoder value for each code, as an unsigned byte (wrapping arithmetic).
constexpr std::array<uint8_t, 16> MakeDecodeMoves() {
  std::array<uint8_t, 16> m{};
  for (int c = 0; c < 16; ++c)
    m[c] = c >= 8 ? static_cast<uint8_t>(256 - kVoxSteps[c - 8]) : kVoxSteps[c];
  return m;
}

constexpr std::array<uint8_t, 16> kDecodeMoves = MakeDecodeMoves();

#if defined(__SSE2__) && defined(__x86_64__)
// The moves of both codes of every byte, the earlier in the low byte: stored as they come,
// they lie in sample order.
constexpr std::array<uint16_t, 256> MakePairMoves() {
  std::array<uint16_t, 256> m{};
  for (int b = 0; b < 256; ++b)
    m[b] = static_cast<uint16_t>(kDecodeMoves[b & 15] | kDecodeMoves[b >> 4] << 8);
  return m;
}

constexpr std::array<uint16_t, 256> kPairMoves = MakePairMoves();

// 16 samples from their moves and the value before them (in every byte of before): the
// running sum of the moves, in byte arithmetic. Adds the wraps to wraps (two counts, one per
// half) and returns the samples.
inline __m128i DecodeSixteen(__m128i moves, __m128i before, __m128i& wraps) {
  __m128i sum = _mm_add_epi8(moves, _mm_slli_si128(moves, 1));
  sum = _mm_add_epi8(sum, _mm_slli_si128(sum, 2));
  sum = _mm_add_epi8(sum, _mm_slli_si128(sum, 4));
  sum = _mm_add_epi8(sum, _mm_slli_si128(sum, 8));
  const __m128i samples = _mm_add_epi8(sum, before);
  // The value each move starts from; a move up wraps where it lands below it, a move down
  // (a signed byte below zero) where it lands above it. Bytes are compared without sign by
  // flipping their top bits.
  const __m128i from = _mm_or_si128(_mm_slli_si128(samples, 1), _mm_srli_si128(before, 15));
  const __m128i top = _mm_set1_epi8(static_cast<char>(0x80));
  const __m128i s = _mm_xor_si128(samples, top), f = _mm_xor_si128(from, top);
  const __m128i down = _mm_cmplt_epi8(moves, _mm_setzero_si128());
  const __m128i wrapped = _mm_or_si128(_mm_and_si128(down, _mm_cmpgt_epi8(s, f)),
                                       _mm_andnot_si128(down, _mm_cmplt_epi8(s, f)));
  wraps = _mm_add_epi64(
      wraps, _mm_sad_epu8(_mm_and_si128(wrapped, _mm_set1_epi8(1)), _mm_setzero_si128()));
  return samples;
}

// The last sample in every byte.
inline __m128i LastOf(__m128i samples) {
  const __m128i high = _mm_unpackhi_epi8(samples, samples);
  return _mm_shuffle_epi32(_mm_shufflehi_epi16(high, 0xFF), 0xFF);
}
#endif

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
  constexpr size_t kPiece = 8192;
  // path[0] is the predictor before the piece, path[1 + i] after sample i; likewise codes.
  uint8_t path[kPiece + 1], codes[kPiece + 1];
  size_t written = 0;
  for (size_t at = 0; at < count; at += kPiece) {
    const size_t n = std::min(kPiece, count - at);
    path[0] = FPredictor;
    FollowPredictor(samples + at, n, FPredictor, path + 1);
    CodesOfPath(path, n + 1, codes);
    size_t i = 1;
    if (FHasPending) {
      out[written++] = static_cast<uint8_t>(FPendingCode | (codes[1] << 4));
      i = 2;
      FHasPending = false;
    }
    const size_t pairs = (n + 1 - i) / 2;
    PackCodes(codes + i, pairs, out + written);
    written += pairs;
    i += 2 * pairs;
    if (i <= n) {
      FPendingCode = codes[i];
      FHasPending = true;
    }
    FPredictor = path[n];
  }
  return written;
}

void TVoxDecoder::Decode(const uint8_t* codes, size_t count, uint8_t* samples) {
  DecodeCountingWraps(codes, count, samples);
}

size_t TVoxDecoder::DecodeCountingWraps(const uint8_t* codes, size_t count, uint8_t* samples) {
  size_t wraps = 0, i = 0;
#if defined(__SSE2__) && defined(__x86_64__)
  // Sixteen codes at a time: the moves looked up by pairs, the samples their running sum.
  if (count >= 16) {
    __m128i before = _mm_set1_epi8(static_cast<char>(FValue)), counts = _mm_setzero_si128();
    alignas(16) uint16_t moves[16];
    for (; i + 16 <= count; i += 16) {
      for (size_t j = 0; j < 16; ++j) moves[j] = kPairMoves[codes[i + j]];
      for (size_t half = 0; half < 2; ++half) {
        const __m128i m = _mm_load_si128(reinterpret_cast<const __m128i*>(moves) + half);
        const __m128i out = DecodeSixteen(m, before, counts);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(samples + 2 * i) + half, out);
        before = LastOf(out);
      }
    }
    FValue = static_cast<uint8_t>(_mm_cvtsi128_si32(before));
    wraps = static_cast<size_t>(_mm_cvtsi128_si64(counts)) +
            static_cast<size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(counts, counts)));
  }
#endif
  // A move up wraps when the byte sum carries; a move down (a move of 128 or more, the byte
  // sum of a step taken away) wraps when it does not. The moves of 0, up and down, never do.
  unsigned v = FValue;
  auto step = [&](unsigned move) {
    v += move;
    wraps += (v >> 8) ^ (move >> 7);
    v &= 255;
    return static_cast<uint8_t>(v);
  };
  for (; i < count; ++i) {
    const uint8_t b = codes[i];
    samples[2 * i] = step(kDecodeMoves[b & 15]);
    samples[2 * i + 1] = step(kDecodeMoves[b >> 4]);
  }
  FValue = static_cast<uint8_t>(v);
  return wraps;
}

bool IsStandardCoding(const uint8_t* samples, size_t count, const uint8_t* codes, size_t bytes) {
  if (bytes != count / 2) return false;
  // The codes decoded give the predictor before every sample; each sample's code from its
  // predictor is then found on its own, without the chain from sample to sample. Where every
  // code is the one the encoder would give, the encoder's predictor followed the decoded one
  // throughout.
  constexpr size_t kPiece = 8192;  // samples, even
  uint8_t path[kPiece + 1], expected[kPiece], packed[kPiece / 2];
  TVoxDecoder decoder;
  for (size_t at = 0; at < 2 * bytes; at += kPiece) {
    const size_t n = std::min(kPiece, 2 * bytes - at);
    path[0] = decoder.Value();
    decoder.Decode(codes + at / 2, n / 2, path + 1);
    CodesOfSamples(samples + at, path, n, expected);
    PackCodes(expected, n / 2, packed);
    if (std::memcmp(packed, codes + at / 2, n / 2) != 0) return false;
  }
  return true;
}
