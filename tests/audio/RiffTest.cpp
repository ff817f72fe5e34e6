#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "TempDir.h"
#include "audio/WaveUtils.h"

namespace {

std::string LE32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = char((v >> (8 * i)) & 0xFF);
  return s;
}
std::string LE16(uint16_t v) { return std::string{char(v & 0xFF), char(v >> 8)}; }
uint32_t At32(const std::vector<uint8_t>& s, size_t off) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= uint32_t(s[off + i]) << (8 * i);
  return v;
}
std::string Chunk(const std::string& id, const std::string& data) {
  std::string s = id + LE32(uint32_t(data.size())) + data;
  if (data.size() % 2) s += '\0';
  return s;
}
std::string Riff(const std::string& body) { return Chunk("RIFF", "WAVE" + body); }
// The first n bytes of a PCM format record: 8000 Hz 16-bit mono, extra size 0.
std::string FmtBody(size_t n) {
  std::string s = LE16(1) + LE16(1) + LE32(8000) + LE32(16000) + LE16(2) + LE16(16) + LE16(0);
  return s.substr(0, n);
}

void Load(TMemoryStream& m, const std::string& bytes) {
  m.SetSize(0);
  m.Write(bytes.data(), int32_t(bytes.size()));
}

HMMIO OpenForReading(TStream* s) {
  MMIOINFO info{};
  info.pIOProc = StreamIOProcedure;
  info.adwInfo[0] = reinterpret_cast<uintptr_t>(s);
  return mmioOpenA(nullptr, &info, MMIO_READ);
}

// Reads the header of bytes; the record is freed here.
struct ReadResult {
  bool Ok = false;
  bool FormatSet = false;
  TWaveFormatEx Format{};
  uint32_t DataSize = 0;
  int32_t DataOffset = 0;
  LONG PositionBefore = 0, PositionAfter = 0;
};
ReadResult ReadHeaderOf(const std::string& bytes, LONG startAt = 0) {
  TMemoryStream m;
  Load(m, bytes);
  HMMIO h = OpenForReading(&m);
  ReadResult r;
  if (h == nullptr) return r;
  r.PositionBefore = mmioSeek(h, startAt, SEEK_SET_);
  PWaveFormatEx fmt = nullptr;
  r.Ok = ReadWaveHeader(h, fmt, r.DataSize, r.DataOffset);
  r.PositionAfter = mmioSeek(h, 0, SEEK_CUR_);
  r.FormatSet = fmt != nullptr;
  if (fmt) {
    std::memcpy(&r.Format, fmt, sizeof r.Format);
    std::free(fmt);
  }
  mmioClose(h, 0);
  return r;
}

// A memory stream whose reads or writes fail the way a broken medium does.
class TBrokenStream : public TMemoryStream {
 public:
  bool ThrowOnRead = false, ThrowOnWrite = false;
  int32_t Read(void* b, int32_t n) override {
    if (ThrowOnRead) throw EReadError("medium gone");
    return TMemoryStream::Read(b, n);
  }
  int32_t Write(const void* b, int32_t n) override {
    if (ThrowOnWrite) throw EWriteError("medium gone");
    return TMemoryStream::Write(b, n);
  }
};

TWaveFormatEx Format(TPCMFormat f) {
  TWaveFormatEx w{};
  FillPCMWaveFormatByIndex(&w, f);
  return w;
}

}  // namespace

TEST(RiffWriter, SixteenThousandBytesOfFormat3MakeA16046ByteFile) {
  TMemoryStream m;
  TWaveFormatEx f = Format(Mono16bit8000Hz);
  MMCKINFO ckRiff, ckData;
  HMMIO h = CreateStreamWaveWriter(&m, &f, ckRiff, ckData);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(mmioSeek(h, 0, SEEK_CUR_), 46);
  // Before the writer is finished the sizes declare nothing.
  EXPECT_EQ(At32(m.Data(), 4), 0u);
  EXPECT_EQ(At32(m.Data(), 42), 0u);
  std::vector<char> buffer(1600);
  for (int i = 0; i < 10; ++i) {
    std::fill(buffer.begin(), buffer.end(), char(i));
    ASSERT_EQ(mmioWrite(h, buffer.data(), 1600), 1600);
  }
  FinishWaveWriter(h, ckRiff, ckData);

  const auto& d = m.Data();
  ASSERT_EQ(d.size(), 16046u);
  EXPECT_EQ(std::string(d.begin(), d.begin() + 4), "RIFF");
  EXPECT_EQ(At32(d, 4), 16038u);
  EXPECT_EQ(std::string(d.begin() + 8, d.begin() + 16), "WAVEfmt ");
  EXPECT_EQ(At32(d, 16), 18u);
  EXPECT_EQ(std::memcmp(&d[20], &f, 18), 0);
  EXPECT_EQ(std::string(d.begin() + 38, d.begin() + 42), "data");
  EXPECT_EQ(At32(d, 42), 16000u);
  EXPECT_EQ(d[46], 0);
  EXPECT_EQ(d[16045], 9);
}

TEST(RiffWriter, OddDataGetsAZeroPadByteThatTheRiffSizeCounts) {
  TMemoryStream m;
  TWaveFormatEx f = Format(Mono8Bit8000Hz);
  MMCKINFO ckRiff, ckData;
  HMMIO h = CreateStreamWaveWriter(&m, &f, ckRiff, ckData);
  ASSERT_NE(h, nullptr);
  std::vector<char> samples(801, char(0x90));
  ASSERT_EQ(mmioWrite(h, samples.data(), 801), 801);
  FinishWaveWriter(h, ckRiff, ckData);
  const auto& d = m.Data();
  ASSERT_EQ(d.size(), 46u + 801 + 1);
  EXPECT_EQ(At32(d, 42), 801u);
  EXPECT_EQ(At32(d, 4), d.size() - 8);
  EXPECT_EQ(d.back(), 0);
}

TEST(RiffWriter, ExtraFormatBytesAreWrittenAndMoveTheData) {
  std::vector<uint8_t> rec(22, 0);
  TWaveFormatEx f = Format(Mono16bit8000Hz);
  f.cbSize = 4;
  std::memcpy(rec.data(), &f, 18);
  rec[18] = 0xDE, rec[19] = 0xAD, rec[20] = 0xBE, rec[21] = 0xEF;
  TMemoryStream m;
  MMCKINFO ckRiff, ckData;
  HMMIO h = CreateStreamWaveWriter(&m, reinterpret_cast<PWaveFormatEx>(rec.data()), ckRiff, ckData);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(ckData.dwDataOffset, 50u);
  mmioWrite(h, "ab", 2);
  FinishWaveWriter(h, ckRiff, ckData);
  EXPECT_EQ(At32(m.Data(), 16), 22u);
  EXPECT_EQ(m.Data()[41], 0xEF);
  EXPECT_EQ(At32(m.Data(), 46), 2u);
  // And it reads back with its extra bytes.
  std::string bytes(m.Data().begin(), m.Data().end());
  ReadResult r = ReadHeaderOf(bytes);
  ASSERT_TRUE(r.Ok);
  EXPECT_EQ(+r.Format.cbSize, 4);
  EXPECT_EQ(r.DataOffset, 50);
  EXPECT_EQ(r.DataSize, 2u);
}

TEST(RiffWriter, AnOddExtraSizeIsPaddedAndReadsBack) {
  std::vector<uint8_t> rec(19, 0);
  TWaveFormatEx f = Format(Mono8Bit8000Hz);
  f.cbSize = 1;
  std::memcpy(rec.data(), &f, 18);
  rec[18] = 0x55;
  TMemoryStream m;
  MMCKINFO ckRiff, ckData;
  HMMIO h = CreateStreamWaveWriter(&m, reinterpret_cast<PWaveFormatEx>(rec.data()), ckRiff, ckData);
  ASSERT_NE(h, nullptr);
  mmioWrite(h, "ab", 2);
  FinishWaveWriter(h, ckRiff, ckData);
  EXPECT_EQ(At32(m.Data(), 16), 19u);
  EXPECT_EQ(m.Data()[39], 0);  // the format chunk's pad byte
  EXPECT_EQ(std::string(m.Data().begin() + 40, m.Data().begin() + 44), "data");
  ReadResult r = ReadHeaderOf(std::string(m.Data().begin(), m.Data().end()));
  ASSERT_TRUE(r.Ok);
  EXPECT_EQ(r.DataOffset, 48);
  EXPECT_EQ(r.DataSize, 2u);
  // A file written without that pad byte is read as well.
  std::string body = FmtBody(16) + LE16(1) + "X";
  std::string unpadded =
      "RIFF" + LE32(4 + 8 + 19 + 10) + "WAVE" + "fmt " + LE32(19) + body + Chunk("data", "ab");
  ReadResult u = ReadHeaderOf(unpadded);
  ASSERT_TRUE(u.Ok);
  EXPECT_EQ(u.DataOffset, 47);
}

TEST(RiffWriter, AnExistingLongerFileKeepsNoTraceOfItsOldContents) {
  TempDir dir;
  const std::string path = dir.Write("take.wav", std::string(100000, 'X'));
  {
    TFileStream s(path, fmOpenReadWrite);
    TWaveFormatEx f = Format(Mono8Bit8000Hz);
    MMCKINFO ckRiff, ckData;
    HMMIO h = CreateStreamWaveWriter(&s, &f, ckRiff, ckData);
    ASSERT_NE(h, nullptr);
    mmioWrite(h, "1234", 4);
    FinishWaveWriter(h, ckRiff, ckData);
    EXPECT_EQ(s.GetSize(), 50);  // the stream stays open: it is the caller's
  }
  TFileStream check(path, fmOpenRead);
  std::string all(size_t(check.GetSize()), '\0');
  check.ReadBuffer(all.data(), int32_t(all.size()));
  EXPECT_EQ(all.size(), 50u);
  EXPECT_EQ(all.find('X'), std::string::npos);
  EXPECT_EQ(all.substr(46), "1234");
}

TEST(RiffWriter, AFailingStreamGivesNoHandle) {
  TBrokenStream s;
  s.ThrowOnWrite = true;
  TWaveFormatEx f = Format(Mono8Bit8000Hz);
  MMCKINFO ckRiff, ckData;
  EXPECT_EQ(CreateStreamWaveWriter(&s, &f, ckRiff, ckData), nullptr);
  EXPECT_EQ(CreateStreamWaveWriter(nullptr, &f, ckRiff, ckData), nullptr);
}

TEST(RiffWriter, TheHandlesPositionHoldsWhenSomebodyElseMovesTheStream) {
  TMemoryStream m;
  TWaveFormatEx f = Format(Mono8Bit8000Hz);
  MMCKINFO ckRiff, ckData;
  HMMIO h = CreateStreamWaveWriter(&m, &f, ckRiff, ckData);
  ASSERT_NE(h, nullptr);
  mmioWrite(h, "ab", 2);
  m.Seek(3, soBeginning);  // somebody else moves the stream
  mmioWrite(h, "cd", 2);
  FinishWaveWriter(h, ckRiff, ckData);
  EXPECT_EQ(std::string(m.Data().begin() + 46, m.Data().end()), "abcd");
  EXPECT_EQ(std::string(m.Data().begin(), m.Data().begin() + 4), "RIFF");
}

TEST(RiffReader, ReadsWhatTheWriterWrote) {
  TMemoryStream m;
  TWaveFormatEx f = Format(Stereo16bit44100Hz);
  MMCKINFO ckRiff, ckData;
  HMMIO h = CreateStreamWaveWriter(&m, &f, ckRiff, ckData);
  mmioWrite(h, "12345678", 8);
  FinishWaveWriter(h, ckRiff, ckData);
  ReadResult r = ReadHeaderOf(std::string(m.Data().begin(), m.Data().end()), 5);
  ASSERT_TRUE(r.Ok);
  EXPECT_EQ(std::memcmp(&r.Format, &f, 18), 0);
  EXPECT_EQ(r.DataSize, 8u);
  EXPECT_EQ(r.DataOffset, 46);
  EXPECT_EQ(r.PositionBefore, 5);
  EXPECT_EQ(r.PositionAfter, 5);
}

TEST(RiffReader, ShortFormatChunksAreReadIntoAWholeRecord) {
  ReadResult r16 = ReadHeaderOf(Riff(Chunk("fmt ", FmtBody(16)) + Chunk("data", "ab")));
  ASSERT_TRUE(r16.Ok);
  EXPECT_EQ(+r16.Format.wBitsPerSample, 16);
  EXPECT_EQ(+r16.Format.cbSize, 0);
  EXPECT_EQ(r16.DataOffset, 44);
  EXPECT_EQ(r16.DataSize, 2u);

  ReadResult r14 = ReadHeaderOf(Riff(Chunk("fmt ", FmtBody(14)) + Chunk("data", "ab")));
  ASSERT_TRUE(r14.Ok);
  EXPECT_EQ(+r14.Format.nBlockAlign, 2);
  EXPECT_EQ(+r14.Format.wBitsPerSample, 0);
  EXPECT_EQ(+r14.Format.cbSize, 0);

  ReadResult r12 = ReadHeaderOf(Riff(Chunk("fmt ", FmtBody(12)) + Chunk("data", "ab")));
  EXPECT_FALSE(r12.Ok);
  EXPECT_FALSE(r12.FormatSet);
}

TEST(RiffReader, SkipsOtherChunksButNeedsTheFormatBeforeTheData) {
  ReadResult list =
      ReadHeaderOf(Chunk("JUNK", "x") + Riff(Chunk("fact", "abcd") + Chunk("fmt ", FmtBody(18)) +
                                             Chunk("LIST", "INFOxyz") + Chunk("data", "samples")));
  ASSERT_TRUE(list.Ok);
  EXPECT_EQ(list.DataSize, 7u);
  EXPECT_EQ(+list.Format.nSamplesPerSec, 8000u);

  ReadResult swapped = ReadHeaderOf(Riff(Chunk("data", "samples") + Chunk("fmt ", FmtBody(18))));
  EXPECT_FALSE(swapped.Ok);
  EXPECT_FALSE(swapped.FormatSet);  // the record read before the failure was freed

  ReadResult noData = ReadHeaderOf(Riff(Chunk("fmt ", FmtBody(18))));
  EXPECT_FALSE(noData.Ok);
  EXPECT_FALSE(noData.FormatSet);
}

TEST(RiffReader, RejectsWhatIsNoRiffWaveAndLeavesTheOutputAndPositionAlone) {
  for (const std::string& bytes :
       {std::string(), std::string("RIFF"), Chunk("RIFX", "WAVE"),
        Chunk("RIFF", "AVI " + Chunk("fmt ", FmtBody(18))), std::string(64, '\0')}) {
    TMemoryStream m;
    Load(m, bytes);
    HMMIO h = OpenForReading(&m);
    ASSERT_NE(h, nullptr);
    mmioSeek(h, 2, SEEK_SET_);
    TWaveFormatEx untouched{};
    PWaveFormatEx fmt = &untouched;  // a caller that did not pass none sees it kept
    uint32_t size = 77;
    int32_t offset = 77;
    EXPECT_FALSE(ReadWaveHeader(h, fmt, size, offset));
    EXPECT_EQ(fmt, &untouched);
    EXPECT_EQ(size, 77u);
    EXPECT_EQ(mmioSeek(h, 0, SEEK_CUR_), 2);
    mmioClose(h, 0);
  }
}

TEST(RiffReader, SizesThatDisagreeWithTheFileAreRejectedWithoutAllocating) {
  // A format chunk that claims more than the file holds.
  std::string huge = "RIFF" + LE32(0xFFFFFFF0u) + "WAVE" + "fmt " + LE32(0x7FFFFFF0u) + FmtBody(18);
  ReadResult r = ReadHeaderOf(huge);
  EXPECT_FALSE(r.Ok);
  EXPECT_FALSE(r.FormatSet);
  // A format record whose extra size claims bytes the chunk does not have.
  std::string body = FmtBody(16) + LE16(40);
  ReadResult extra = ReadHeaderOf(Riff(Chunk("fmt ", body) + Chunk("data", "ab")));
  EXPECT_FALSE(extra.Ok);
  EXPECT_FALSE(extra.FormatSet);
  // A RIFF size that ends before the format chunk: the search stays inside it.
  std::string shortRiff =
      "RIFF" + LE32(4) + "WAVE" + Chunk("fmt ", FmtBody(18)) + Chunk("data", "ab");
  EXPECT_FALSE(ReadHeaderOf(shortRiff).Ok);
  // A data chunk whose size runs past the end still reads: playback stops at the end.
  std::string truncated = Riff(Chunk("fmt ", FmtBody(18)) + "data" + LE32(1000) + "ab");
  ReadResult t = ReadHeaderOf(truncated);
  EXPECT_TRUE(t.Ok);
  EXPECT_EQ(t.DataSize, 1000u);
}

TEST(StreamIOProcedure, FailsWithoutAStreamAndWhenTheStreamRaises) {
  MMIOINFO info{};
  EXPECT_EQ(StreamIOProcedure(nullptr, MMIOM_OPEN, 0, 0), -1);
  EXPECT_EQ(StreamIOProcedure(&info, MMIOM_OPEN, 0, 0), -1);
  EXPECT_EQ(mmioOpenA(nullptr, &info, MMIO_READ), nullptr);

  TBrokenStream s;
  Load(s, Riff(Chunk("fmt ", FmtBody(18)) + Chunk("data", "ab")));
  HMMIO h = OpenForReading(&s);
  ASSERT_NE(h, nullptr);
  s.ThrowOnRead = true;
  char b[4];
  EXPECT_EQ(mmioRead(h, b, 4), -1);
  PWaveFormatEx fmt = nullptr;
  uint32_t size = 0;
  int32_t offset = 0;
  EXPECT_FALSE(ReadWaveHeader(h, fmt, size, offset));
  EXPECT_EQ(fmt, nullptr);
  s.ThrowOnRead = false;
  EXPECT_TRUE(ReadWaveHeader(h, fmt, size, offset));
  std::free(fmt);
  mmioClose(h, 0);

  // Seek, close and unknown messages.
  MMIOINFO direct{};
  direct.adwInfo[0] = reinterpret_cast<uintptr_t>(&s);
  EXPECT_EQ(StreamIOProcedure(&direct, MMIOM_SEEK, 10, SEEK_SET_), 10);
  EXPECT_EQ(direct.lDiskOffset, 10);
  s.Seek(0, soBeginning);
  EXPECT_EQ(StreamIOProcedure(&direct, MMIOM_SEEK, 5, SEEK_CUR_), 15);  // from the disk offset
  EXPECT_EQ(StreamIOProcedure(&direct, MMIOM_SEEK, -100, SEEK_SET_), -1);
  EXPECT_EQ(StreamIOProcedure(&direct, MMIOM_CLOSE, 0, 0), 0);
  EXPECT_EQ(StreamIOProcedure(&direct, 99, 0, 0), 0);
  EXPECT_EQ(s.GetSize(), 48);  // nothing above changed the stream
}
