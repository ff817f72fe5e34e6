#include "codec/WavInput.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/Vectorise.h"
#include "rtl/SysUtils.h"

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

ZS_VECTORISE void ScaleSamples(int16_t* x, size_t n, float gain) {
  for (size_t i = 0; i < n; ++i) x[i] = ScaleSample(x[i], gain);
}

}  // namespace

int32_t MeasurePeak16(TByteFile& f, TPreFilter& filter) {
  const int64_t sizePos = f.Pos();
  const uint32_t dataSize = f.ReadU32();
  // The byte counter runs 0, 2, 4, ... while below the data size.
  int64_t samples = (static_cast<int64_t>(dataSize) + 1) / 2;
  constexpr size_t kPerBlock = kBlockBytes / 2;
  std::vector<uint8_t> block(kBlockBytes);
  std::vector<int16_t> x(kPerBlock);
  int32_t lo = INT32_MAX, hi = INT32_MIN;
  int64_t index = 0;
  while (samples > 0) {
    size_t n = static_cast<size_t>(std::min<int64_t>(samples, kPerBlock));
    f.BlockRead(block.data(), 2 * n);
    ToSamples16(block.data(), n, x.data());
    // The first three filtered values are still settling and never set the peak.
    size_t from = index >= 3 ? 0 : static_cast<size_t>(std::min<int64_t>(3 - index, n));
    PreFilterRange(filter, x.data(), n, from, lo, hi);
    index += static_cast<int64_t>(n);
    samples -= static_cast<int64_t>(n);
  }
  f.Seek(sizePos);
  if (lo > hi) return 0;  // no value counted
  // The largest magnitude once narrowed lies at one of the two ends of the range.
  const auto magnitude = [](int32_t v) { return std::abs(static_cast<int32_t>(Saturate16(v))); };
  return std::max(magnitude(lo), magnitude(hi));
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
  auto add = [&](const int32_t* v, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      sum += v[i];
      if (++inGroup == groupSize) {
        // Two constant divisors, which the compiler turns into multiplications.
        out[produced++] = OutputByteFor(Saturate16(groupSize == 5 ? sum / 5 : sum / 6));
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
    ToSamples16(in.data(), n, held.data());
    ScaleSamples(held.data(), n, gain);
    PreFilterBlock(filter, held.data(), n, y.data());
    produced = 0;
    add(y.data(), n);
    samples -= static_cast<int64_t>(n);
    if (samples == 0 && inGroup > 0) {
      // The data end inside a group: the rest of it repeats the last scaled input.
      int16_t repeat[6];
      int32_t ry[6];
      size_t r = static_cast<size_t>(groupSize - inGroup);
      for (size_t i = 0; i < r; ++i) repeat[i] = held[n - 1];
      PreFilterBlock(filter, repeat, r, ry);
      add(ry, r);
    }
    if (produced > 0) sink.Put(out.data(), produced);
  }
}
