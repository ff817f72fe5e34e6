// The configuration file's two bulk moments: start-up reads the 128 slot names, closing
// writes them back (the file is read once, the keys changed in memory, the file written once).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/profile.h"

namespace {

std::string FreshFolder() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "zelvor-bench-XXXXXX").string();
  return ::mkdtemp(tmpl.data()) ? tmpl : std::string();
}

void WriteAllSlots(const std::string& ini) {
  TIniFile file(ini);
  for (int i = 0; i < 128; ++i)
    file.WriteString("SoundFiles", "Name" + std::to_string(i), "Sound " + std::to_string(i + 1));
  file.UpdateFile();
}

// Closing the window on a first run: the file and its section are created, 128 keys added.
void BM_WriteBack128NewKeys(benchmark::State& state) {
  std::string folder = FreshFolder();
  std::string ini = folder + "/ZelvorSound.ini";
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove(ini);
    state.ResumeTiming();
    WriteAllSlots(ini);
  }
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_WriteBack128NewKeys)->Unit(benchmark::kMillisecond);

// Closing on a later run: every key is there and is replaced in place, with the two other
// sections of a full configuration around it.
void BM_WriteBack128ExistingKeys(benchmark::State& state) {
  std::string folder = FreshFolder();
  std::string ini = folder + "/ZelvorSound.ini";
  for (const char* section : {"SourceFileNames", "DestinationFileNames"})
    for (int i = 0; i < 128; ++i)
      WritePrivateProfileString(section, "Name" + std::to_string(i), "demo/prompt.wav", ini);
  WriteAllSlots(ini);
  for (auto _ : state) WriteAllSlots(ini);
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_WriteBack128ExistingKeys)->Unit(benchmark::kMillisecond);

void BM_StartUpRead128Keys(benchmark::State& state) {
  std::string folder = FreshFolder();
  std::string ini = folder + "/ZelvorSound.ini";
  WriteAllSlots(ini);
  for (auto _ : state) {
    TIniFile file(ini);
    for (int i = 0; i < 128; ++i)
      benchmark::DoNotOptimize(file.ReadString("SoundFiles", "Name" + std::to_string(i), ""));
  }
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_StartUpRead128Keys)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
