// What the device benchmarks share: the player they drive (8-bit mono at 8 kHz, every
// buffer filled with the same level, for as many buffers as Limit allows) and their main,
// on the virtual device unless ZELVOR_AUDIO says otherwise.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "audio/WaveOut.h"
#include "platform/messages.h"

class TBenchOut : public TWaveAudioOut {
 public:
  using TWaveAudioOut::TWaveAudioOut;
  ~TBenchOut() override { ShutDown(); }
  uint64_t Buffers = 0;  // buffers delivered so far
  uint64_t Limit = 0;    // the data ends after this many buffers; 0: it never ends

 protected:
  void GetWaveFormat(PWaveFormatEx& f, bool& freeIt) override {
    static WAVEFORMATEX format{};
    FillPCMWaveFormatByIndex(&format, Mono8Bit8000Hz);
    f = &format;
    freeIt = false;
  }
  uint32_t GetWaveData(void* buffer, uint32_t size, uint32_t& loops) override {
    loops = 0;
    if (Limit != 0 && Buffers >= Limit) return 0;
    ++Buffers;
    std::memset(buffer, 0x90, size);
    return size;
  }
};

inline int RunDeviceBenchmarks(int argc, char** argv) {
  setenv("ZELVOR_AUDIO", "virtual", 0);
  EnsureMessageQueue();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
