#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

#include "ErrorOf.h"
#include "TempDir.h"
#include "rtl/ByteFile.h"
#include "rtl/SysUtils.h"

namespace {

TEST(ByteFile, ErrorTextsFollowTheCode) {
  EXPECT_EQ(EInOutError(2).Message(), "File not found");
  EXPECT_EQ(EInOutError(3).Message(), "Invalid filename");
  EXPECT_EQ(EInOutError(4).Message(), "Too many open files");
  EXPECT_EQ(EInOutError(5).Message(), "File access denied");
  EXPECT_EQ(EInOutError(100).Message(), "Read beyond end of file");
  EXPECT_EQ(EInOutError(101).Message(), "Disk full");
  EXPECT_EQ(EInOutError(106).Message(), "Invalid numeric input");
  EXPECT_EQ(EInOutError(17).Message(), "I/O error 17");
}

TEST(ByteFile, OpenFailuresRaiseTheirCodes) {
  TempDir dir;
  TByteFile missing(dir.Path("nothing.wav"));
  EXPECT_EQ(ErrorOf([&] { missing.Reset(); }), "File not found");

  std::string ro = dir.Write("ro.wav", "RIFF");
  ::chmod(ro.c_str(), 0444);  // no write bit: read-only even for root
  TByteFile readOnly(ro);
  EXPECT_EQ(ErrorOf([&] { readOnly.Reset(); }), "File access denied");

  TByteFile inMissingFolder(dir.Path("no/such/folder/x.vox"));
  EXPECT_EQ(ErrorOf([&] { inMissingFolder.Rewrite(); }), "File not found");
}

TEST(ByteFile, ShortFixedReadFailsWhileCountedReadReturnsWhatIsThere) {
  TempDir dir;
  std::string p = dir.Write("five.bin", "ABCDE");
  TByteFile f(p);
  f.Reset();
  char buf[8] = {};
  EXPECT_EQ(f.BlockReadCount(buf, 8), 5u);
  f.Seek(3);
  EXPECT_EQ(ErrorOf([&] { f.BlockRead(buf, 4); }), "Read beyond end of file");
  f.Seek(1000);  // past the end is allowed; only the read fails
  EXPECT_EQ(ErrorOf([&] { f.ReadU8(); }), "Read beyond end of file");
  f.Close();
}

TEST(ByteFile, FullDiskIsReportedAsDiskFull) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  TByteFile f("/dev/full");
  f.Reset();
  std::vector<uint8_t> block(200000, 7);  // larger than the internal buffer
  EXPECT_EQ(ErrorOf([&] {
              f.BlockWrite(block.data(), block.size());
              f.Close();
            }),
            "Disk full");
}

TEST(ByteFile, RewriteEmptiesAndPositionsAreAbsolute) {
  TempDir dir;
  std::string p = dir.Write("f.bin", std::string(1000, 'x'));
  TByteFile f(p);
  f.Rewrite();
  EXPECT_EQ(f.Size(), 0);
  for (uint32_t i = 0; i < 50000; ++i) f.WriteU32(i);  // spans several internal buffers
  EXPECT_EQ(f.Size(), 200000);
  f.Seek(4 * 12345);
  EXPECT_EQ(f.ReadU32(), 12345u);
  f.Seek(8);
  f.WriteU32(0xDEADBEEF);
  f.Seek(100000);
  f.Truncate();
  EXPECT_EQ(f.Size(), 100000);
  f.Seek(8);
  EXPECT_EQ(f.ReadU32(), 0xDEADBEEFu);
  f.Close();
  EXPECT_EQ(std::filesystem::file_size(p), 100000u);

  TByteFile g(p);
  g.Reset();
  g.Seek(4 * 9);
  EXPECT_EQ(g.ReadU32(), 9u);
  EXPECT_EQ(g.Size(), 100000);
  g.Close();
}

TEST(ByteFile, WriteAfterReadInSameRegionIsSeenByLaterReads) {
  TempDir dir;
  std::string p = dir.Write("f.bin", "0123456789");
  TByteFile f(p);
  f.Reset();
  char c[3];
  f.BlockRead(c, 3);
  f.Seek(5);
  f.BlockWrite("AB", 2);
  f.Seek(0);
  char all[10];
  f.BlockRead(all, 10);
  EXPECT_EQ(std::string(all, 10), "01234AB789");
  f.Seek(12);  // a write past the end leaves a zero gap, as on disk
  f.BlockWrite("Z", 1);
  EXPECT_EQ(f.Size(), 13);
  f.Close();
  std::ifstream in(p, std::ios::binary);
  std::string s((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(s, std::string("01234AB789") + '\0' + '\0' + "Z");
}

}  // namespace
