// The device-layer tests' own pieces, beside the shared ones of WaveTestDevice.h (waiting
// while messages are dispatched, byte patterns): a fixture that puts the virtual device
// back to its defaults and collects what reaches the application's exception handler, and
// small recorder and player descendants with scriptable data.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "WaveTestDevice.h"
#include "audio/WaveIn.h"
#include "audio/WaveOut.h"
#include "platform/messages.h"
#include "platform/winmm_driver.h"

namespace wavetest {

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FDevice.emplace();
    EnsureMessageQueue();
    FHandlerScope.emplace([this](TComponent*, const std::exception& e) {
      std::lock_guard<std::mutex> g(FErrorsLock);
      FHandled.push_back(e.what());
    });
  }
  void TearDown() override {
    FHandlerScope.reset();
    FDevice.reset();
    EXPECT_EQ(winmm::OpenDeviceCount(), 0) << "a device was left open";
    EXPECT_EQ(winmm::PreparedHeaderCount(), 0) << "a header was left prepared";
  }
  std::vector<std::string> Handled() {
    std::lock_guard<std::mutex> g(FErrorsLock);
    return FHandled;
  }

 private:
  std::optional<TWaveTestDevice> FDevice;
  std::optional<TApplicationExceptionScope> FHandlerScope;
  std::mutex FErrorsLock;
  std::vector<std::string> FHandled;
};

// A recorder that keeps what it is given and counts its events.
class TTestIn : public TWaveAudioIn {
 public:
  using TWaveAudioIn::TWaveAudioIn;
  ~TTestIn() override {
    ShutDown();
    for (void* b : Kept) std::free(b);
  }

  std::string Recorded;
  int DataCalls = 0;
  bool KeepBlocks = false;  // DataReady takes the blocks over
  std::vector<void*> Kept;
  std::function<void()> OnDataReady;

  void SetFormatRecord(const WAVEFORMATEX& f) { FWaveFormat = f; }
  void CallDoLevel(const void* b, uint32_t n) { DoLevel(b, n); }

 protected:
  void DataReady(void* Buffer, uint32_t BytesRecorded, bool& FreeIt) override {
    ++DataCalls;
    Recorded.append(static_cast<const char*>(Buffer), BytesRecorded);
    if (KeepBlocks) {
      FreeIt = false;
      Kept.push_back(Buffer);
    }
    if (OnDataReady) OnDataReady();
  }
};

// A player over a string of bytes; Chunk limits what one request returns.
class TTestOut : public TWaveAudioOut {
 public:
  explicit TTestOut(TComponent* owner = nullptr) : TWaveAudioOut(owner) {
    FillPCMWaveFormatByIndex(&Format, Mono8Bit8000Hz);
  }
  ~TTestOut() override { ShutDown(); }

  WAVEFORMATEX Format{};
  std::string Data;
  size_t Offset = 0;
  uint32_t Chunk = 0;  // 0: as much as asked for
  uint32_t Loops = 0;  // NumLoops of every refill
  int Requests = 0;
  std::function<void()> OnRequest;

  // For the block-handing source: each request pops the front entry; a nil block with a
  // count asks for that many milliseconds of silence.
  struct TBlock {
    std::string Bytes;
    uint32_t SilenceMs = 0;
  };
  std::vector<TBlock> Blocks;

  void SeekData(size_t offset) { Offset = offset; }

 protected:
  void GetWaveFormat(PWaveFormatEx& pWaveFormat, bool& FreeIt) override {
    pWaveFormat = &Format;
    FreeIt = false;
  }
  uint32_t GetWaveData(void* Buffer, uint32_t BufferSize, uint32_t& NumLoops) override {
    ++Requests;
    if (OnRequest) OnRequest();
    uint32_t n = static_cast<uint32_t>(std::min<size_t>(BufferSize, Data.size() - Offset));
    if (Chunk != 0) n = std::min(n, Chunk);
    std::memcpy(Buffer, Data.data() + Offset, n);
    Offset += n;
    NumLoops = Loops;
    return n;
  }
  uint32_t GetWaveDataPtr(void*& Buffer, uint32_t& NumLoops, bool& FreeIt) override {
    ++Requests;
    if (OnRequest) OnRequest();
    NumLoops = 0;
    if (Blocks.empty()) return 0;
    TBlock b = Blocks.front();
    if (b.Bytes.empty()) {
      // Asked again until the queue in front of the silence has played.
      if (ActiveBufferCount() <= 1) Blocks.erase(Blocks.begin());
      Buffer = nullptr;
      return b.SilenceMs;
    }
    Blocks.erase(Blocks.begin());
    Buffer = std::malloc(b.Bytes.size());
    std::memcpy(Buffer, b.Bytes.data(), b.Bytes.size());
    FreeIt = true;
    return static_cast<uint32_t>(b.Bytes.size());
  }
};

}  // namespace wavetest
