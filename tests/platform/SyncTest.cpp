#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <thread>

#include "platform/sync.h"

TEST(MulDiv, RoundsToNearestWithHalvesAwayFromZero) {
  EXPECT_EQ(MulDiv(100, 11025, 1000), 1103);  // 1102.5
  EXPECT_EQ(MulDiv(100, 22050, 1000), 2205);
  EXPECT_EQ(MulDiv(5, 1, 2), 3);    // 2.5
  EXPECT_EQ(MulDiv(-5, 1, 2), -3);  // -2.5
  EXPECT_EQ(MulDiv(5, -1, 2), -3);
  EXPECT_EQ(MulDiv(5, 1, -2), -3);
  EXPECT_EQ(MulDiv(-5, -1, -2), -3);
  EXPECT_EQ(MulDiv(-5, 1, -2), 3);
  EXPECT_EQ(MulDiv(7, 1, 3), 2);  // 2.33
  EXPECT_EQ(MulDiv(8, 1, 3), 3);  // 2.67
  EXPECT_EQ(MulDiv(-8, 1, 3), -3);
  EXPECT_EQ(MulDiv(1, 1, 3), 0);
  EXPECT_EQ(MulDiv(0, 5, 7), 0);
}

TEST(MulDiv, UsesA64BitProduct) {
  EXPECT_EQ(MulDiv(100000, 100000, 100000), 100000);
  EXPECT_EQ(MulDiv(INT_MAX, INT_MAX, INT_MAX), INT_MAX);
  EXPECT_EQ(MulDiv(INT_MIN, 2, 2), INT_MIN);
  // Volume conversions of the output device.
  EXPECT_EQ(MulDiv(0xFFFF, 100, 0xFFFF), 100);
  EXPECT_EQ(MulDiv(50, 0xFFFF, 100), 32768);  // 32767.5
}

TEST(MulDiv, FailsWithMinusOneOnZeroDivisorOrOverflow) {
  EXPECT_EQ(MulDiv(10, 10, 0), -1);
  EXPECT_EQ(MulDiv(0, 0, 0), -1);
  EXPECT_EQ(MulDiv(INT_MAX, INT_MAX, 1), -1);
  EXPECT_EQ(MulDiv(INT_MIN, 1, -1), -1);  // 2^31 does not fit
}

TEST(CriticalSection, IsReentrantForItsOwnerExcludesOthersAndKnowsItsHolder) {
  TCriticalSection cs;
  EXPECT_FALSE(cs.HeldByCurrentThread());
  cs.Enter();
  cs.Enter();  // the owner enters again without blocking
  std::atomic<bool> otherGotIn{false}, otherHolds{true};
  std::thread t([&] {
    otherHolds = cs.HeldByCurrentThread();
    otherGotIn = cs.TryEnter();
  });
  t.join();
  EXPECT_FALSE(otherGotIn);
  EXPECT_FALSE(otherHolds);
  cs.Leave();
  EXPECT_TRUE(cs.HeldByCurrentThread());  // still held once
  std::thread t2([&] { otherGotIn = cs.TryEnter(); });
  t2.join();
  EXPECT_FALSE(otherGotIn);
  cs.Leave();
  EXPECT_FALSE(cs.HeldByCurrentThread());
  std::thread t3([&] {
    otherGotIn = cs.TryEnter();
    otherHolds = cs.HeldByCurrentThread();
    if (otherGotIn) cs.Leave();
  });
  t3.join();
  EXPECT_TRUE(otherGotIn);
  EXPECT_TRUE(otherHolds);
  EXPECT_FALSE(cs.HeldByCurrentThread());
}

TEST(CriticalSection, SerialisesConcurrentUpdates) {
  TCriticalSection cs;
  long counter = 0;
  auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      cs.Enter();
      long v = counter;
      cs.Enter();
      counter = v + 1;
      cs.Leave();
      cs.Leave();
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 40000);
}

TEST(SleepAndTicks, SleepWaitsAtLeastItsTimeAndTheTickCountFollows) {
  const DWORD t0 = GetTickCount();
  const auto c0 = std::chrono::steady_clock::now();
  Sleep(30);
  EXPECT_GE(std::chrono::steady_clock::now() - c0, std::chrono::milliseconds(30));
  const DWORD elapsed = GetTickCount() - t0;
  EXPECT_GE(elapsed, 29u);  // millisecond ticks may cut a partial millisecond
  EXPECT_LT(elapsed, 5000u);
  Sleep(0);  // gives up the time slice and returns
}
