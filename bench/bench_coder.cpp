// The two coders on speech: what the optimal coder gains over the standard one (signal to
// coding noise of the decoded sound, in dB) and what it costs (CPU time per second of
// sound at 8000 Hz).
//
// The speech is every "*.u8" file (unsigned 8-bit samples at 8000 Hz, as a take holds them)
// in the folder ZELVOR_BENCH_SPEECH names; scripts/bench-coder.sh prepares such a folder
// from recorded and synthesised speech. Without it a synthetic voiced signal stands in.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/VoxCodec.h"
#include "codec/VoxCoders.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<Bytes> LoadSpeech() {
  std::vector<Bytes> sounds;
  if (const char* folder = std::getenv("ZELVOR_BENCH_SPEECH")) {
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
      if (e.path().extension() != ".u8") continue;
      std::ifstream in(e.path(), std::ios::binary);
      sounds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return sounds;
  }
  Bytes s(8000 * 10);  // syllables of a buzz through two resonances
  for (size_t i = 0; i < s.size(); ++i) {
    const double t = i / 8000.0, phase = std::fmod(t, 0.35);
    const double envelope = phase < 0.25 ? std::sin(M_PI * phase / 0.25) : 0.0;
    const double v = 0.6 * std::sin(2 * M_PI * 700 * t) + 0.4 * std::sin(2 * M_PI * 1500 * t);
    s[i] = static_cast<uint8_t>(std::lround(128 + 100 * envelope * v));
  }
  sounds.push_back(s);
  return sounds;
}

const std::vector<Bytes>& Speech() {
  static const std::vector<Bytes> speech = LoadSpeech();
  return speech;
}

double CodingNoiseDb(const Bytes& s, TCoder coder) {
  const Bytes codes = EncodeVox(coder, s.data(), s.size());
  Bytes decoded(2 * codes.size());
  TVoxDecoder d;
  d.Decode(codes.data(), codes.size(), decoded.data());
  double signal = 0, error = 0;
  for (size_t i = 0; i < decoded.size(); ++i) {
    signal += (s[i] - 128.0) * (s[i] - 128.0);
    error += (s[i] - static_cast<double>(decoded[i])) * (s[i] - static_cast<double>(decoded[i]));
  }
  return 10 * std::log10(signal / std::max(error, 1.0));
}

// The gain of each sound; its median, least and most as counters.
void BM_OptimalGainOnSpeech(benchmark::State& state) {
  std::vector<double> gains;
  for (auto _ : state) {
    gains.clear();
    for (const Bytes& s : Speech())
      if (s.size() >= 2)
        gains.push_back(CodingNoiseDb(s, TCoder::Optimal) - CodingNoiseDb(s, TCoder::Standard));
  }
  std::sort(gains.begin(), gains.end());
  state.counters["sounds"] = static_cast<double>(gains.size());
  if (gains.empty()) return;
  state.counters["median_gain_dB"] = gains[gains.size() / 2];
  state.counters["least_gain_dB"] = gains.front();
  state.counters["most_gain_dB"] = gains.back();
}
BENCHMARK(BM_OptimalGainOnSpeech)->Iterations(1)->Unit(benchmark::kSecond);

// The coder over all the speech; cpu_per_audio_second is the CPU time per 8000 samples.
void BM_Coder(benchmark::State& state) {
  const TCoder coder = static_cast<TCoder>(state.range(0));
  int64_t samples = 0;
  for (const Bytes& s : Speech()) samples += static_cast<int64_t>(s.size());
  for (auto _ : state)
    for (const Bytes& s : Speech()) benchmark::DoNotOptimize(EncodeVox(coder, s.data(), s.size()));
  state.SetItemsProcessed(state.iterations() * samples);
  state.SetLabel(CoderName(coder));
  // CPU seconds per second of sound.
  state.counters["cpu_per_audio_second"] = benchmark::Counter(
      static_cast<double>(samples) / 8000.0,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Coder)
    ->Arg(static_cast<int>(TCoder::Standard))
    ->Arg(static_cast<int>(TCoder::Optimal))
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
