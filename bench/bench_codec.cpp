// Throughput of the codec's passes, in input samples per second (items_per_second):
// the 16-bit peak pass and reduction, the 8-bit reduction with its trailing trim, the
// encoder and decoder, and a whole 16-bit conversion. Files live in a temporary folder
// (page cache), so the figures are the code's, not the disk's.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "codec/Convert.h"
#include "codec/PreFilter.h"
#include "codec/SilenceTrim.h"
#include "codec/VoxCodec.h"
#include "codec/WavInput.h"
#include "rtl/ByteFile.h"

namespace {

// Removes the scratch folder with everything in it when the benchmark ends.
struct TScratchFolder {
  std::string Path;
  ~TScratchFolder() {
    std::error_code ec;
    if (!Path.empty()) std::filesystem::remove_all(Path, ec);
  }
};
TScratchFolder gScratch;

class TNullShell : public TShell {
 public:
  void ShowMessage(const std::string&, TMessageSeverity) override {}
  void StatusClear() override {}
  void StatusShow() override {}
  void StatusAdd(const std::string&) override {}
  std::optional<std::string> PickVoxFile() override { return std::nullopt; }
  void ProcessMessages() override {}
  void WaitForEvents() override {}
};

const std::string& Folder() {
  static std::string folder = [] {
    std::string tmpl = (std::filesystem::temp_directory_path() / "zelvor-bench-XXXXXX").string();
    gScratch.Path = mkdtemp(tmpl.data());
    return gScratch.Path + "/";
  }();
  return folder;
}

constexpr int64_t kSamples = 44100 * 60;  // one minute

// Speech-like test signal: two drifting tones with an envelope, 16-bit.
int16_t Signal(int64_t i) {
  double t = static_cast<double>(i) / 44100;
  double env = 0.5 + 0.5 * std::sin(t * 3.1);
  return static_cast<int16_t>(
      env * (9000 * std::sin(t * 2 * 3.14159 * 310) + 4000 * std::sin(t * 2 * 3.14159 * 1270)));
}

// Writes a WAV file with bits per sample and returns its path.
std::string MakeFile(const std::string& name, uint16_t bits, uint32_t rate) {
  std::string path = Folder() + name;
  if (std::filesystem::exists(path)) return path;
  TByteFile f(path);
  f.Rewrite();
  const uint32_t dataBytes = static_cast<uint32_t>(kSamples * bits / 8);
  f.BlockWrite("RIFF", 4);
  f.WriteU32(36 + dataBytes);
  f.BlockWrite("WAVEfmt ", 8);
  f.WriteU32(16);
  uint8_t fmt[16] = {1, 0, 1, 0};
  for (int i = 0; i < 4; ++i) fmt[4 + i] = static_cast<uint8_t>(rate >> (8 * i));
  fmt[12] = static_cast<uint8_t>(bits / 8);
  fmt[14] = static_cast<uint8_t>(bits);
  f.BlockWrite(fmt, 16);
  f.BlockWrite("data", 4);
  f.WriteU32(dataBytes);
  std::vector<uint8_t> block;
  for (int64_t i = 0; i < kSamples; ++i) {
    int16_t s = Signal(i);
    if (bits == 16) {
      block.push_back(static_cast<uint8_t>(s & 0xFF));
      block.push_back(static_cast<uint8_t>((s >> 8) & 0xFF));
    } else {
      block.push_back(static_cast<uint8_t>((s >> 8) + 128));
    }
    if (block.size() >= 65536) {
      f.BlockWrite(block.data(), block.size());
      block.clear();
    }
  }
  f.BlockWrite(block.data(), block.size());
  f.Close();
  return path;
}

class TDiscard : public TSampleSink {
 public:
  void Put(const uint8_t* s, size_t n) override {
    Trim.Feed(s, n);
    benchmark::DoNotOptimize(s);
  }
  TTrailingTrim Trim{kNarrowQuietBand};
};

// Opens the file and leaves it at the data size field.
void OpenAtData(TByteFile& f) {
  f.Reset();
  TWavInfo info;
  if (!CheckWavHeader(f, info).empty()) std::abort();
}

void BM_PeakPass16(benchmark::State& state) {
  TByteFile f(MakeFile("s16.wav", 16, 44100));
  OpenAtData(f);
  for (auto _ : state) {
    TPreFilter filter;
    benchmark::DoNotOptimize(MeasurePeak16(f, filter));
  }
  state.SetItemsProcessed(state.iterations() * kSamples);
}
BENCHMARK(BM_PeakPass16)->Unit(benchmark::kMillisecond);

void BM_Reduce16(benchmark::State& state) {
  TByteFile f(MakeFile("s16.wav", 16, 44100));
  OpenAtData(f);
  const int64_t sizePos = f.Pos();
  for (auto _ : state) {
    f.Seek(sizePos);
    uint32_t d = f.ReadU32();
    TPreFilter filter;
    TDiscard sink;
    Reduce16(f, d, filter, 1.7f, sink);
  }
  state.SetItemsProcessed(state.iterations() * kSamples);
}
BENCHMARK(BM_Reduce16)->Unit(benchmark::kMillisecond);

void BM_Reduce8(benchmark::State& state) {
  TByteFile f(MakeFile("s8.wav", 8, 8000));
  OpenAtData(f);
  const int64_t sizePos = f.Pos();
  for (auto _ : state) {
    f.Seek(sizePos);
    uint32_t d = f.ReadU32();
    TDiscard sink;
    Reduce8(f, d, 0, sink);
  }
  state.SetItemsProcessed(state.iterations() * kSamples);
}
BENCHMARK(BM_Reduce8)->Unit(benchmark::kMillisecond);

std::vector<uint8_t> Samples8() {
  std::vector<uint8_t> v(kSamples);
  for (int64_t i = 0; i < kSamples; ++i) v[i] = static_cast<uint8_t>((Signal(i) >> 8) + 128);
  return v;
}

void BM_Encode(benchmark::State& state) {
  std::vector<uint8_t> in = Samples8(), out(kSamples / 2 + 1);
  for (auto _ : state) {
    TVoxEncoder e;
    benchmark::DoNotOptimize(e.Encode(in.data(), in.size(), out.data()));
  }
  state.SetItemsProcessed(state.iterations() * kSamples);
}
BENCHMARK(BM_Encode)->Unit(benchmark::kMillisecond);

void BM_Decode(benchmark::State& state) {
  std::vector<uint8_t> in = Samples8(), codes(kSamples / 2 + 1), out(kSamples + 2);
  TVoxEncoder e;
  size_t n = e.Encode(in.data(), in.size(), codes.data());
  for (auto _ : state) {
    TVoxDecoder d;
    d.Decode(codes.data(), n, out.data());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * 2 * static_cast<int64_t>(n));
}
BENCHMARK(BM_Decode)->Unit(benchmark::kMillisecond);

void BM_ConvertWaveFile16(benchmark::State& state) {
  MakeFile("s16.wav", 16, 44100);
  TNullShell shell;
  for (auto _ : state) {
    TAppContext ctx{Folder(), "s16.wav"};
    ConvertWaveFile(ctx, shell);
  }
  state.SetItemsProcessed(state.iterations() * kSamples);
}
BENCHMARK(BM_ConvertWaveFile16)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
