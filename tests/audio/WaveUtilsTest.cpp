#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "audio/WaveUtils.h"

namespace {

// Sets the locale separators for one test and puts the previous ones back.
class SeparatorsScope {
 public:
  SeparatorsScope(char decimal, char time) : FSaved(FormatSettings()) {
    FormatSettings().DecimalSeparator = decimal;
    FormatSettings().TimeSeparator = time;
  }
  ~SeparatorsScope() { FormatSettings() = FSaved; }

 private:
  TFormatSettings FSaved;
};

TWaveFormatEx Filled(TPCMFormat f) {
  TWaveFormatEx w{};
  FillPCMWaveFormatByIndex(&w, f);
  return w;
}

}  // namespace

TEST(PCMFormatTable, EveryEntryHasItsRateWidthChannelsAndDisplayName) {
  SeparatorsScope dot('.', ':');
  struct Row {
    TPCMFormat F;
    DWORD Rate;
    WORD Bits, Channels, Align;
    DWORD Bytes;
    const char* Name;
  };
  const Row rows[] = {
      {Mono8Bit8000Hz, 8000, 8, 1, 1, 8000, "PCM 8.000 kHz, 8 Bit, Mono"},
      {Stereo8bit8000Hz, 8000, 8, 2, 2, 16000, "PCM 8.000 kHz, 8 Bit, Stereo"},
      {Mono16bit8000Hz, 8000, 16, 1, 2, 16000, "PCM 8.000 kHz, 16 Bit, Mono"},
      {Stereo16bit8000Hz, 8000, 16, 2, 4, 32000, "PCM 8.000 kHz, 16 Bit, Stereo"},
      {Mono8bit11025Hz, 11025, 8, 1, 1, 11025, "PCM 11.025 kHz, 8 Bit, Mono"},
      {Stereo8bit11025Hz, 11025, 8, 2, 2, 22050, "PCM 11.025 kHz, 8 Bit, Stereo"},
      {Mono16bit11025Hz, 11025, 16, 1, 2, 22050, "PCM 11.025 kHz, 16 Bit, Mono"},
      {Stereo16bit11025Hz, 11025, 16, 2, 4, 44100, "PCM 11.025 kHz, 16 Bit, Stereo"},
      {Mono8bit22050Hz, 22050, 8, 1, 1, 22050, "PCM 22.050 kHz, 8 Bit, Mono"},
      {Stereo8bit22050Hz, 22050, 8, 2, 2, 44100, "PCM 22.050 kHz, 8 Bit, Stereo"},
      {Mono16bit22050Hz, 22050, 16, 1, 2, 44100, "PCM 22.050 kHz, 16 Bit, Mono"},
      {Stereo16bit22050Hz, 22050, 16, 2, 4, 88200, "PCM 22.050 kHz, 16 Bit, Stereo"},
      {Mono8bit44100Hz, 44100, 8, 1, 1, 44100, "PCM 44.100 kHz, 8 Bit, Mono"},
      {Stereo8bit44100Hz, 44100, 8, 2, 2, 88200, "PCM 44.100 kHz, 8 Bit, Stereo"},
      {Mono16bit44100Hz, 44100, 16, 1, 2, 88200, "PCM 44.100 kHz, 16 Bit, Mono"},
      {Stereo16bit44100Hz, 44100, 16, 2, 4, 176400, "PCM 44.100 kHz, 16 Bit, Stereo"},
      {Mono8bit48000Hz, 48000, 8, 1, 1, 48000, "PCM 48.000 kHz, 8 Bit, Mono"},
      {Stereo8bit48000Hz, 48000, 8, 2, 2, 96000, "PCM 48.000 kHz, 8 Bit, Stereo"},
      {Mono16bit48000Hz, 48000, 16, 1, 2, 96000, "PCM 48.000 kHz, 16 Bit, Mono"},
      {Stereo16bit48000Hz, 48000, 16, 2, 4, 192000, "PCM 48.000 kHz, 16 Bit, Stereo"},
  };
  for (const Row& r : rows) {
    TWaveFormatEx w;
    std::memset(&w, 0xAB, sizeof w);  // every field must be written
    FillPCMWaveFormatByIndex(&w, r.F);
    SCOPED_TRACE(r.Name);
    EXPECT_EQ(+w.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(+w.nSamplesPerSec, r.Rate);
    EXPECT_EQ(+w.wBitsPerSample, r.Bits);
    EXPECT_EQ(+w.nChannels, r.Channels);
    EXPECT_EQ(+w.nBlockAlign, r.Align);
    EXPECT_EQ(+w.nAvgBytesPerSec, r.Bytes);
    EXPECT_EQ(+w.cbSize, 0);
    EXPECT_EQ(DescribeWaveFormat(&w), r.Name);
  }
  EXPECT_EQ(static_cast<int>(Stereo16bit48000Hz), 20);
  EXPECT_EQ(sizeof(TPCMFormat), 1u);
}

TEST(PCMFormatTable, NoneAndOutOfRangeLeaveTheRecordAlone) {
  for (int v : {0, 21, 127}) {
    TWaveFormatEx w;
    std::memset(&w, 0x5A, sizeof w);
    FillPCMWaveFormatByIndex(&w, static_cast<TPCMFormat>(v));
    const auto* bytes = reinterpret_cast<const uint8_t*>(&w);
    for (size_t i = 0; i < sizeof w; ++i) EXPECT_EQ(bytes[i], 0x5A) << "value " << v;
  }
  // Only the low seven bits count: 128 + 3 is format 3.
  EXPECT_EQ(+Filled(static_cast<TPCMFormat>(131)).nAvgBytesPerSec, 16000u);
}

TEST(FillPCMWaveFormat, SelectorsOutOfRangeKeepTheirFieldButRecomputeTheRest) {
  TWaveFormatEx w = Filled(Stereo16bit44100Hz);
  FillPCMWaveFormat(&w, 0, 9, 7);  // mono, rate and bits kept
  EXPECT_EQ(+w.nChannels, 1);
  EXPECT_EQ(+w.nSamplesPerSec, 44100u);
  EXPECT_EQ(+w.wBitsPerSample, 16);
  EXPECT_EQ(+w.nBlockAlign, 2);
  EXPECT_EQ(+w.nAvgBytesPerSec, 88200u);
}

TEST(DescribeWaveFormat, OtherChannelCountsTagsAndSeparators) {
  SeparatorsScope dot('.', ':');
  TWaveFormatEx w = Filled(Stereo16bit48000Hz);
  w.nChannels = 6;
  EXPECT_EQ(DescribeWaveFormat(&w), "PCM 48.000 kHz, 16 Bit, 6 Ch");
  w = Filled(Mono16bit8000Hz);
  w.wFormatTag = 2;
  EXPECT_EQ(DescribeWaveFormat(&w), "8.000 kHz, 16 Bit, Mono");
  SeparatorsScope comma(',', '.');
  w = Filled(Mono16bit8000Hz);
  EXPECT_EQ(DescribeWaveFormat(&w), "PCM 8,000 kHz, 16 Bit, Mono");
}

TEST(BufferSizes, DurationsBecomeWholeFramesRoundedByTheMultiplyDivide) {
  TWaveFormatEx f3 = Filled(Mono16bit8000Hz);
  TWaveFormatEx f5 = Filled(Mono8bit11025Hz);
  TWaveFormatEx f6 = Filled(Stereo8bit11025Hz);
  EXPECT_EQ(MillisecondsToBufferBytes(&f3, 100), 1600u);
  EXPECT_EQ(MillisecondsToBufferBytes(&f5, 100), 1103u);  // 1102.5 rounds up
  EXPECT_EQ(MillisecondsToBufferBytes(&f6, 100), 2206u);  // 2205 raised to whole frames
  TWaveFormatEx noAlign = f6;
  noAlign.nBlockAlign = 0;
  EXPECT_EQ(MillisecondsToBufferBytes(&noAlign, 100), 2205u);
  // Durations beyond the signed 32-bit range still compute (no -1 from an overflow).
  TWaveFormatEx f1 = Filled(Mono8Bit8000Hz);
  EXPECT_EQ(MillisecondsToBufferBytes(&f1, 300000000u), 2400000000u);

  TWaveFormatEx f8 = Filled(Stereo16bit11025Hz);
  EXPECT_EQ(MillisecondsToAlignedBytes(&f8, 10), 440u);  // 441 cleared to a multiple of 4
  EXPECT_EQ(MillisecondsToAlignedBytes(&f5, 100), 1103u);
  EXPECT_EQ(MillisecondsToAlignedBytes(&f3, 100), 1600u);
  // The mask, not the block align: 3 channels of 16 bits clear 3 bits (multiple of 8).
  TWaveFormatEx three = f3;
  three.nChannels = 3;
  three.nBlockAlign = 6;
  three.nAvgBytesPerSec = 48000;
  EXPECT_EQ(MillisecondsToAlignedBytes(&three, 1), 48u);
  EXPECT_EQ(MillisecondsToAlignedBytes(&three, 7), 336u);  // 336 = 42 * 8
  EXPECT_EQ(MillisecondsToAlignedBytes(&three, 9), 432u);
  // A mask wider than the value clears it instead of shifting past 32 bits.
  TWaveFormatEx wide = f3;
  wide.nChannels = 64;
  wide.wBitsPerSample = 16;
  EXPECT_EQ(MillisecondsToAlignedBytes(&wide, 1000), 0u);
}

TEST(PeakLevel, EightBitMeasuresThePositiveSwingAboveTheZeroLine) {
  std::vector<uint8_t> b(64, 128);
  EXPECT_EQ(PeakLevelPercent(b.data(), 0, 8), 0);
  EXPECT_EQ(PeakLevelPercent(b.data(), 0, 16), 0);
  EXPECT_EQ(PeakLevelPercent(b.data(), 64, 8), 0);
  std::vector<uint8_t> zero(64, 0);
  EXPECT_EQ(PeakLevelPercent(zero.data(), 64, 8), 0);
  b[40] = 255;
  EXPECT_EQ(PeakLevelPercent(b.data(), 64, 8), 100);
  EXPECT_EQ(PeakLevelPercent(b.data(), 40, 8), 0);  // the count bounds the search
  b[40] = 191;
  EXPECT_EQ(PeakLevelPercent(b.data(), 64, 8), 49);
}

TEST(PeakLevel, SixteenBitCountsOnlyPositiveSamples) {
  std::vector<int16_t> s(32, -32768);
  EXPECT_EQ(PeakLevelPercent(s.data(), 64, 16), 0);
  s[7] = 32767;
  EXPECT_EQ(PeakLevelPercent(s.data(), 64, 16), 100);
  s[7] = 16384;
  EXPECT_EQ(PeakLevelPercent(s.data(), 64, 16), 50);
  s[7] = 327;  // 327 * 100 / 32767 = 0.998 truncates
  EXPECT_EQ(PeakLevelPercent(s.data(), 64, 16), 0);
  // Little-endian bytes regardless of alignment.
  uint8_t raw[5] = {0xAA, 0x00, 0x40, 0x00, 0x00};  // sample 0x4000 at an odd address
  EXPECT_EQ(PeakLevelPercent(raw + 1, 4, 16), 50);
  EXPECT_EQ(PeakLevelPercent(s.data(), 64, 24), -1);
  EXPECT_EQ(PeakLevelPercent(s.data(), 64, 0), -1);
}

TEST(FillSilence, EightBitIs7FSixteenBitZeroOthersUntouched) {
  std::vector<uint8_t> b(10, 0x11);
  FillSilence(b.data(), 9, 8);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(b[i], 0x7F);
  EXPECT_EQ(b[9], 0x11);
  FillSilence(b.data(), 10, 16);
  for (uint8_t v : b) EXPECT_EQ(v, 0);
  std::fill(b.begin(), b.end(), 0x22);
  FillSilence(b.data(), 10, 24);
  for (uint8_t v : b) EXPECT_EQ(v, 0x22);
}

TEST(FormatDuration, StylesWithPointAndColon) {
  SeparatorsScope s('.', ':');
  const uint32_t t = 3723450;
  EXPECT_EQ(FormatDuration(t, 0), "1:02:03.45");
  EXPECT_EQ(FormatDuration(t, 1), "1:02:03");
  EXPECT_EQ(FormatDuration(t, 2), "62:03.45");
  EXPECT_EQ(FormatDuration(t, 3), "62:03");
  EXPECT_EQ(FormatDuration(t, 4), "3723.45");
  EXPECT_EQ(FormatDuration(t, 5), "3723");
  EXPECT_EQ(FormatDuration(t, 8), "3723450");
  EXPECT_EQ(FormatDuration(t, 255), "3723450");
  EXPECT_EQ(FormatDuration(0, 6), "0.00");
  EXPECT_EQ(FormatDuration(59999, 7), "59");
  EXPECT_EQ(FormatDuration(3600000, 6), "1:00:00.00");
  EXPECT_EQ(FormatDuration(5, 9), "5");
  EXPECT_EQ(FormatDuration(61230, 6), "1:01.23");
  EXPECT_EQ(FormatDuration(61230, 7), "1:01");
  EXPECT_EQ(FormatDuration(3600000, 7), "1:00:00");
  EXPECT_EQ(FormatDuration(999, 6), "0.99");
  EXPECT_EQ(FormatDuration(4294967295u, 6), "1193:02:47.29");
}

TEST(FormatDuration, UsesTheLocaleSeparators) {
  SeparatorsScope s(',', '.');
  EXPECT_EQ(FormatDuration(3723450, 0), "1.02.03,45");
  EXPECT_EQ(FormatDuration(61230, 6), "1.01,23");
  EXPECT_EQ(FormatDuration(1230, 6), "1,23");
  EXPECT_EQ(FormatDuration(3723450, 8), "3723450");
}

TEST(WaitWithMessagePump, TimesOutOnAnUnsignalledHandleAndLeavesNoDuplicate) {
  HANDLE ev = CreateEvent(TRUE_, FALSE_);
  EXPECT_EQ(WaitWithMessagePump(ev, 0), WAIT_TIMEOUT);
  const int before = OpenHandleCount();
  EXPECT_EQ(WaitWithMessagePump(GetCurrentThread(), 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitWithMessagePump(GetCurrentProcess(), 5), WAIT_TIMEOUT);
  EXPECT_EQ(OpenHandleCount(), before);
  SetEvent(ev);
  EXPECT_EQ(WaitWithMessagePump(ev, INFINITE), WAIT_OBJECT_0);
  CloseHandle(ev);
  EXPECT_EQ(WaitWithMessagePump(ev, 0), WAIT_FAILED);
}

TEST(WaitWithMessagePump, DispatchesPostsWhileWaitingAndDropsInput) {
  std::vector<UINT> seen;
  HWND wnd = AllocateHWnd([&](TMessage& m) { seen.push_back(m.Msg); });
  // Pending before the wait: a pump with time-out 0 dispatches them once.
  PostMessage(wnd, WM_USER, 0, 0);
  PostMessage(wnd, 0x0100, 0, 0);  // a key press
  PostMessage(wnd, 0x0201, 0, 0);  // a mouse click
  PostMessage(wnd, WM_USER + 1, 0, 0);
  EXPECT_EQ(WaitWithMessagePump(GetCurrentThread(), 0), WAIT_TIMEOUT);
  EXPECT_EQ(seen, (std::vector<UINT>{WM_USER, WM_USER + 1}));

  // Posted by a worker that then ends: the notifications run here before the wait returns.
  seen.clear();
  HANDLE worker = CreateThread(
      [wnd] {
        for (UINT i = 0; i < 5; ++i) {
          PostMessage(wnd, WM_USER + i, 0, 0);
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
      },
      nullptr);
  EXPECT_EQ(WaitWithMessagePump(worker, INFINITE), WAIT_OBJECT_0);
  CloseHandle(worker);
  // What arrived after the last wake is still queued; one more pump takes it.
  WaitWithMessagePump(GetCurrentThread(), 0);
  ASSERT_EQ(seen.size(), 5u);
  for (UINT i = 0; i < 5; ++i) EXPECT_EQ(seen[i], WM_USER + i);
  DeallocateHWnd(wnd);
}

TEST(WaitWithMessagePump, ReturnsAtOnceForAQuitMessage) {
  HANDLE ev = CreateEvent(TRUE_, FALSE_);
  EnsureMessageQueue();
  ASSERT_TRUE(PostThreadMessage(GetCurrentThreadId(), WM_QUIT, 0, 0));
  const int before = OpenHandleCount();
  EXPECT_EQ(WaitWithMessagePump(GetCurrentThread(), INFINITE), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(OpenHandleCount(), before);
  ASSERT_TRUE(PostThreadMessage(GetCurrentThreadId(), WM_QUIT, 0, 0));
  EXPECT_EQ(WaitWithMessagePump(ev, 1000), WAIT_OBJECT_0 + 1);
  CloseHandle(ev);
}

TEST(WaveAudioTypes, OptionsSetIsOneBitPerOption) {
  TWaveOutOptions o;
  EXPECT_TRUE(o.Empty());
  o.Include(woSetPitch);
  EXPECT_TRUE(o.Contains(woSetPitch));
  EXPECT_FALSE(o.Contains(woSetVolume));
  EXPECT_EQ(o.Bits(), 0x02);
  EXPECT_EQ((TWaveOutOptions{woSetVolume, woSetPlaybackRate}).Bits(), 0x05);
  o.Exclude(woSetPitch);
  EXPECT_EQ(o, TWaveOutOptions{});
}
