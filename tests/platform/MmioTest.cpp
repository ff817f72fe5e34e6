#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/mmio.h"
#include "platform/mmsystem.h"

namespace {

// A file in memory behind a test I/O procedure that logs what the layer asks of it.
struct TFakeFile {
  std::string Bytes;
  std::vector<UINT> Log;
  bool FailOpen = false;
  bool ThrowOnRead = false;
  LPARAM OpenName = -1;
  LPARAM CloseFlags = -1;
};

LRESULT FakeProc(LPMMIOINFO info, UINT msg, LPARAM p1, LPARAM p2) {
  auto* f = reinterpret_cast<TFakeFile*>(info->adwInfo[0]);
  f->Log.push_back(msg);
  LONG& pos = info->lDiskOffset;
  switch (msg) {
    case MMIOM_OPEN:
      f->OpenName = p1;
      return f->FailOpen ? -1 : 0;
    case MMIOM_CLOSE:
      f->CloseFlags = p1;
      return 0;
    case MMIOM_READ: {
      if (f->ThrowOnRead) throw std::runtime_error("medium gone");
      LONG n = std::max<LONG>(
          0, std::min<LONG>(static_cast<LONG>(p2), static_cast<LONG>(f->Bytes.size()) - pos));
      std::memcpy(reinterpret_cast<char*>(p1), f->Bytes.data() + pos, n);
      pos += n;
      return n;
    }
    case MMIOM_WRITE:
    case MMIOM_WRITEFLUSH: {
      if (f->Bytes.size() < size_t(pos) + p2) f->Bytes.resize(pos + p2);
      std::memcpy(f->Bytes.data() + pos, reinterpret_cast<const char*>(p1), p2);
      pos += static_cast<LONG>(p2);
      return p2;
    }
    case MMIOM_SEEK: {
      int64_t base = p2 == SEEK_SET_ ? 0 : p2 == SEEK_CUR_ ? pos : int64_t(f->Bytes.size());
      int64_t to = base + p1;
      if (to < 0) return -1;
      pos = static_cast<LONG>(to);
      return pos;
    }
  }
  return 0;
}

HMMIO Open(TFakeFile& f, DWORD flags = MMIO_READ) {
  MMIOINFO info{};
  info.pIOProc = FakeProc;
  info.adwInfo[0] = reinterpret_cast<uintptr_t>(&f);
  return mmioOpenA(nullptr, &info, flags);
}

std::string LE32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = char((v >> (8 * i)) & 0xFF);
  return s;
}
std::string Chunk(const std::string& id, const std::string& data) {
  std::string s = id + LE32(uint32_t(data.size())) + data;
  if (data.size() % 2) s += '\0';
  return s;
}
uint32_t At32(const std::string& s, size_t off) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= uint32_t(uint8_t(s[off + i])) << (8 * i);
  return v;
}

const FOURCC kWave = mmioFOURCC('W', 'A', 'V', 'E');
const FOURCC kFmt = mmioFOURCC('f', 'm', 't', ' ');
const FOURCC kData = mmioFOURCC('d', 'a', 't', 'a');

}  // namespace

TEST(Mmio, StringToCodePadsWithBlanksAndUpperCasesOnRequest) {
  EXPECT_EQ(mmioStringToFOURCCA("fmt", 0), kFmt);
  EXPECT_EQ(mmioStringToFOURCCA("data", 0), kData);
  EXPECT_EQ(mmioStringToFOURCCA("WAVEFORM", 0), kWave);  // only four characters count
  EXPECT_EQ(mmioStringToFOURCCA("", 0), mmioFOURCC(' ', ' ', ' ', ' '));
  EXPECT_EQ(mmioStringToFOURCCA("wave", MMIO_TOUPPER), kWave);
  EXPECT_EQ(mmioStringToFOURCCA("wave", 0), mmioFOURCC('w', 'a', 'v', 'e'));
}

TEST(Mmio, OpenAndCloseTalkToTheProcedure) {
  TFakeFile f;
  MMIOINFO info{};
  info.pIOProc = FakeProc;
  info.adwInfo[0] = reinterpret_cast<uintptr_t>(&f);
  char name[] = "take.wav";
  HMMIO h = mmioOpenA(name, &info, MMIO_WRITE);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(f.OpenName, reinterpret_cast<LPARAM>(name));
  MMIOINFO copy{};
  ASSERT_EQ(mmioGetInfo(h, &copy, 0), 0u);
  EXPECT_EQ(copy.dwFlags, MMIO_WRITE);
  EXPECT_EQ(copy.hmmio, h);
  EXPECT_EQ(mmioClose(h, MMIO_FHOPEN), 0u);
  EXPECT_EQ(f.CloseFlags, LPARAM(MMIO_FHOPEN));
  EXPECT_EQ(f.Log, (std::vector<UINT>{MMIOM_OPEN, MMIOM_CLOSE}));
  // The handle is gone: every operation refuses it.
  EXPECT_NE(mmioClose(h, 0), 0u);
  char b[4];
  EXPECT_EQ(mmioRead(h, b, 4), -1);
  EXPECT_EQ(mmioSeek(h, 0, SEEK_SET_), -1);

  TFakeFile failing;
  failing.FailOpen = true;
  MMIOINFO info2{};
  info2.pIOProc = FakeProc;
  info2.adwInfo[0] = reinterpret_cast<uintptr_t>(&failing);
  EXPECT_EQ(mmioOpenA(nullptr, &info2, MMIO_READ), nullptr);
  EXPECT_NE(info2.wErrorRet, 0u);
  MMIOINFO noProc{};
  EXPECT_EQ(mmioOpenA(nullptr, &noProc, MMIO_READ), nullptr);
}

TEST(Mmio, CreateAndAscendWriteRealSizesAndAPadByteAfterOddData) {
  TFakeFile f;
  HMMIO h = Open(f, MMIO_WRITE);
  MMCKINFO riff{};
  riff.fccType = kWave;
  ASSERT_EQ(mmioCreateChunk(h, &riff, MMIO_CREATERIFF), 0u);
  EXPECT_EQ(riff.ckid, FOURCC_RIFF);
  EXPECT_EQ(riff.dwDataOffset, 8u);
  EXPECT_TRUE(riff.dwFlags & MMIO_DIRTY);
  MMCKINFO a{};
  a.ckid = kData;
  ASSERT_EQ(mmioCreateChunk(h, &a, 0), 0u);
  EXPECT_EQ(a.dwDataOffset, 20u);
  ASSERT_EQ(mmioWrite(h, "abc", 3), 3);
  ASSERT_EQ(mmioAscend(h, &a, 0), 0u);
  EXPECT_EQ(a.cksize, 3u);
  EXPECT_EQ(mmioSeek(h, 0, SEEK_CUR_), 24);  // after the pad byte
  ASSERT_EQ(mmioAscend(h, &riff, 0), 0u);
  mmioClose(h, 0);

  ASSERT_EQ(f.Bytes.size(), 24u);
  EXPECT_EQ(f.Bytes.substr(0, 4), "RIFF");
  EXPECT_EQ(At32(f.Bytes, 4), 16u);  // "WAVE" + 8-byte header + 3 data + pad
  EXPECT_EQ(f.Bytes.substr(8, 8), "WAVEdata");
  EXPECT_EQ(At32(f.Bytes, 16), 3u);
  EXPECT_EQ(f.Bytes.substr(20, 3), "abc");
  EXPECT_EQ(f.Bytes[23], '\0');
}

TEST(Mmio, DescendFindsChunksForwardInsideTheParent) {
  TFakeFile f;
  std::string body = "WAVE" + Chunk("junk", "xyz") + Chunk("LIST", "INFOab") +
                     Chunk("fmt ", std::string(16, 'F')) + Chunk("data", "12345");
  f.Bytes = Chunk("RIFF", "ABCD") + Chunk("RIFF", body) + Chunk("data", "outside");
  HMMIO h = Open(f);

  MMCKINFO riff{};
  riff.fccType = kWave;
  ASSERT_EQ(mmioDescend(h, &riff, nullptr, MMIO_FINDRIFF), 0u);  // skips the "ABCD" form
  EXPECT_EQ(riff.dwDataOffset, 20u);
  EXPECT_EQ(riff.cksize, body.size());
  EXPECT_EQ(mmioSeek(h, 0, SEEK_CUR_), 24);  // after the form type

  MMCKINFO fmt{};
  fmt.ckid = kFmt;
  ASSERT_EQ(mmioDescend(h, &fmt, &riff, MMIO_FINDCHUNK), 0u);
  EXPECT_EQ(fmt.cksize, 16u);
  EXPECT_EQ(fmt.dwDataOffset, 24u + 12 + 14 + 8);  // the odd "junk" chunk was padded
  EXPECT_EQ(mmioSeek(h, 0, SEEK_CUR_), LONG(fmt.dwDataOffset));
  char b[16];
  ASSERT_EQ(mmioRead(h, b, 16), 16);
  EXPECT_EQ(b[0], 'F');

  MMCKINFO data{};
  data.ckid = kData;
  ASSERT_EQ(mmioDescend(h, &data, &riff, MMIO_FINDCHUNK), 0u);
  EXPECT_EQ(data.cksize, 5u);
  ASSERT_EQ(mmioRead(h, b, 5), 5);
  EXPECT_EQ(std::string(b, 5), "12345");
  // Ascending a read chunk moves past its pad byte; nothing is written.
  const std::string before = f.Bytes;
  ASSERT_EQ(mmioAscend(h, &data, 0), 0u);
  EXPECT_EQ(mmioSeek(h, 0, SEEK_CUR_), LONG(data.dwDataOffset + 6));
  EXPECT_EQ(f.Bytes, before);

  // A second "data" lies after the parent's end: the search inside the parent misses it.
  MMCKINFO again{};
  again.ckid = kData;
  EXPECT_EQ(mmioDescend(h, &again, &riff, MMIO_FINDCHUNK), MMIOERR_CHUNKNOTFOUND);
  // Without a parent, the search goes on to the end of the file and finds it.
  mmioSeek(h, LONG(riff.dwDataOffset + riff.cksize), SEEK_SET_);
  ASSERT_EQ(mmioDescend(h, &again, nullptr, MMIO_FINDCHUNK), 0u);
  EXPECT_EQ(again.cksize, 7u);

  // The search starts at the current position: "fmt " lies behind it now.
  mmioSeek(h, LONG(data.dwDataOffset), SEEK_SET_);
  EXPECT_EQ(mmioDescend(h, &fmt, &riff, MMIO_FINDCHUNK), MMIOERR_CHUNKNOTFOUND);

  // A plain descend enters whatever chunk is at the position; LIST finds by form type.
  mmioSeek(h, 24, SEEK_SET_);
  MMCKINFO any{};
  ASSERT_EQ(mmioDescend(h, &any, &riff, 0), 0u);
  EXPECT_EQ(any.ckid, mmioFOURCC('j', 'u', 'n', 'k'));
  MMCKINFO list{};
  list.fccType = mmioFOURCC('I', 'N', 'F', 'O');
  mmioSeek(h, 24, SEEK_SET_);
  ASSERT_EQ(mmioDescend(h, &list, &riff, MMIO_FINDLIST), 0u);
  EXPECT_EQ(list.cksize, 6u);
  EXPECT_EQ(mmioSeek(h, 0, SEEK_CUR_), LONG(list.dwDataOffset + 4));
  mmioClose(h, 0);
}

TEST(Mmio, DescendSurvivesSizesBeyondTheFileAndTruncatedHeaders) {
  TFakeFile f;
  f.Bytes = "RIFF" + LE32(0xFFFFFFF0u) + "WAVE" + "junk" + LE32(0x7FFFFFFFu) + "fm";
  HMMIO h = Open(f);
  MMCKINFO riff{};
  riff.fccType = kWave;
  ASSERT_EQ(mmioDescend(h, &riff, nullptr, MMIO_FINDRIFF), 0u);
  MMCKINFO fmt{};
  fmt.ckid = kFmt;
  EXPECT_EQ(mmioDescend(h, &fmt, &riff, MMIO_FINDCHUNK), MMIOERR_CHUNKNOTFOUND);
  // A header cut short at the end of the file is no chunk.
  f.Bytes = "RIFF" + LE32(100) + "WA";
  mmioSeek(h, 0, SEEK_SET_);
  EXPECT_EQ(mmioDescend(h, &riff, nullptr, MMIO_FINDRIFF), MMIOERR_CHUNKNOTFOUND);
  f.Bytes = "RIF";
  mmioSeek(h, 0, SEEK_SET_);
  EXPECT_EQ(mmioDescend(h, &riff, nullptr, MMIO_FINDRIFF), MMIOERR_CHUNKNOTFOUND);
  mmioClose(h, 0);
}

TEST(Mmio, AProcedureThatRaisesFailsTheOperation) {
  TFakeFile f;
  f.Bytes = Chunk("RIFF", "WAVE");
  f.ThrowOnRead = true;
  HMMIO h = Open(f);
  char b[4];
  EXPECT_EQ(mmioRead(h, b, 4), -1);
  MMCKINFO riff{};
  riff.fccType = kWave;
  EXPECT_NE(mmioDescend(h, &riff, nullptr, MMIO_FINDRIFF), 0u);
  EXPECT_EQ(mmioClose(h, 0), 0u);
}
