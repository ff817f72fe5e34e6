// What finding a file whatever its letter case costs: an exact name is one lstat; only a
// missing name scans its folder (a case variant, or nothing, among `range(0)` entries).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "rtl/FileSystem.h"

namespace {

// A folder of n files "take0.wav" … and one "HELLO.WAV"; removed with the object.
struct TBenchFolder {
  std::string Path;
  explicit TBenchFolder(int64_t n) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "zelvor-bench-XXXXXX").string();
    Path = ::mkdtemp(tmpl.data()) ? tmpl + "/" : std::string();
    for (int64_t i = 0; i < n; ++i) std::ofstream(Path + "take" + std::to_string(i) + ".wav");
    std::ofstream(Path + "HELLO.WAV");
  }
  ~TBenchFolder() { std::filesystem::remove_all(Path); }
};

void Resolve(benchmark::State& state, const char* name) {
  TBenchFolder folder(state.range(0));
  const std::string path = folder.Path + name;
  for (auto _ : state) benchmark::DoNotOptimize(ResolveFileName(path));
}

void BM_ResolveExactName(benchmark::State& state) { Resolve(state, "HELLO.WAV"); }
void BM_ResolveCaseVariant(benchmark::State& state) { Resolve(state, "Hello.wav"); }
void BM_ResolveMissingName(benchmark::State& state) { Resolve(state, "new.vox"); }
BENCHMARK(BM_ResolveExactName)->Arg(128)->Arg(1000);
BENCHMARK(BM_ResolveCaseVariant)->Arg(128)->Arg(1000);
BENCHMARK(BM_ResolveMissingName)->Arg(128)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();
