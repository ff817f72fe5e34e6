// Building a package of 128 slots, each a 10-second 8-bit 8 kHz source, the way the window's
// "Create Zelvor sound file" does (conversion of every source included); and decoding every
// slot of the result as the package test does.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "package/Builder.h"
#include "package/Package.h"
#include "package/Tester.h"
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

constexpr int kSourceSamples = 8000 * 10;

const std::string& Folder() {
  static std::string folder = [] {
    // ZELVOR_BENCH_DIR picks the file system (the program's folder lies on a disk).
    const char* base = std::getenv("ZELVOR_BENCH_DIR");
    std::string tmpl =
        ((base ? std::filesystem::path(base) : std::filesystem::temp_directory_path()) /
         "zelvor-pkg-XXXXXX")
            .string();
    gScratch.Path = mkdtemp(tmpl.data());
    std::string f = gScratch.Path + "/";
    std::filesystem::create_directory(f + "WAV Export");
    std::vector<uint8_t> samples(kSourceSamples);
    std::string ini = "[SourceFileNames]\n";
    for (int slot = 0; slot < kSlotCount; ++slot) {
      for (int i = 0; i < kSourceSamples; ++i)
        samples[i] = static_cast<uint8_t>(128 + 100 * std::sin(i * (0.05 + slot * 0.002)));
      std::string name = "s" + std::to_string(slot) + ".wav";
      TByteFile w(f + name);
      w.Rewrite();
      w.BlockWrite("RIFF", 4);
      w.WriteU32(36 + kSourceSamples);
      w.BlockWrite("WAVEfmt ", 8);
      w.WriteU32(16);
      const uint8_t fmt[16] = {1, 0, 1, 0, 0x40, 0x1F, 0, 0, 0x40, 0x1F, 0, 0, 1, 0, 8, 0};
      w.BlockWrite(fmt, 16);
      w.BlockWrite("data", 4);
      w.WriteU32(kSourceSamples);
      w.BlockWrite(samples.data(), samples.size());
      w.Close();
      ini += "Name" + std::to_string(slot) + "=" + name + "\n";
    }
    TByteFile i(f + "ZelvorSound.ini");
    i.Rewrite();
    i.BlockWrite(ini.data(), ini.size());
    i.Close();
    return f;
  }();
  return folder;
}

void BM_Build128Slots(benchmark::State& state) {
  TNullShell shell;
  Folder();  // the sources are made once, outside the timing
  for (auto _ : state) {
    TAppContext ctx{Folder(), ""};
    Button2Click(ctx, shell, [](int i) { return "Sound " + std::to_string(i + 1); });
  }
  state.SetItemsProcessed(state.iterations() * kSlotCount * int64_t{kSourceSamples});
}
BENCHMARK(BM_Build128Slots)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DecodeAllSlots(benchmark::State& state) {
  TNullShell shell;
  TAppContext ctx{Folder(), ""};
  Button2Click(ctx, shell, [](int) { return std::string(); });
  for (auto _ : state) {
    TPackageReader pkg(Folder() + "Sounds.zvd");
    pkg.Open();
    for (int slot = 0; slot < kSlotCount; ++slot) DecodeSlotToTestWav(ctx, pkg, slot);
    pkg.Close();
  }
  state.SetItemsProcessed(state.iterations() * kSlotCount * int64_t{kSourceSamples});
}
BENCHMARK(BM_DecodeAllSlots)->Unit(benchmark::kMillisecond)->UseRealTime();

// A build whose "ZelvorSound.ini" holds 20,000 sections besides the ones it reads (an INI
// shared with other tools): four of the sources above, so the rest of the time is the
// configuration's, read once.
void BM_BuildWithA20000SectionIni(benchmark::State& state) {
  TNullShell shell;
  const std::string folder = Folder() + "big-ini/";
  std::filesystem::create_directory(folder);
  std::string ini = "[SourceFileNames]\n";
  for (int slot = 0; slot < 4; ++slot) {
    const std::string name = "s" + std::to_string(slot) + ".wav";
    std::filesystem::copy_file(Folder() + name, folder + name,
                               std::filesystem::copy_options::overwrite_existing);
    ini += "Name" + std::to_string(slot) + "=" + name + "\n";
  }
  for (int i = 0; i < 20000; ++i)
    ini += "[Tool" + std::to_string(i) + "]\nKey=value " + std::to_string(i) + "\n";
  TByteFile f(folder + "ZelvorSound.ini");
  f.Rewrite();
  f.BlockWrite(ini.data(), ini.size());
  f.Close();
  for (auto _ : state) {
    TAppContext ctx{folder, ""};
    Button2Click(ctx, shell, [](int i) { return "Sound " + std::to_string(i + 1); });
  }
}
BENCHMARK(BM_BuildWithA20000SectionIni)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
