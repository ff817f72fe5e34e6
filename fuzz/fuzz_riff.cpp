// Feeds arbitrary bytes to the RIFF WAVE reader over a memory stream, walks every chunk the
// chunk layer can find, and checks that what the writer writes reads back the same.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "audio/WaveUtils.h"

namespace {

HMMIO OpenOn(TStream* s, DWORD access) {
  MMIOINFO info{};
  info.pIOProc = StreamIOProcedure;
  info.adwInfo[0] = reinterpret_cast<uintptr_t>(s);
  return mmioOpenA(nullptr, &info, access);
}

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  TMemoryStream m;
  m.Write(data, static_cast<int32_t>(size));
  HMMIO h = OpenOn(&m, MMIO_READ);
  Check(h != nullptr);

  const LONG start = static_cast<LONG>(size / 3);
  mmioSeek(h, start, SEEK_SET_);
  PWaveFormatEx fmt = nullptr;
  uint32_t dataSize = 0;
  int32_t dataOffset = 0;
  const bool ok = ReadWaveHeader(h, fmt, dataSize, dataOffset);
  Check(mmioSeek(h, 0, SEEK_CUR_) == start);  // the position is kept on every way out
  Check(ok == (fmt != nullptr));
  Check(m.Data().size() == size);  // reading never writes
  if (ok) {
    Check(dataOffset >= 0 && static_cast<size_t>(dataOffset) <= size);
    // The record is whole: its extra bytes lie inside the allocation (ASan checks the copy).
    TMemoryStream out;
    MMCKINFO ckRiff, ckData;
    HMMIO w = CreateStreamWaveWriter(&out, fmt, ckRiff, ckData);
    Check(w != nullptr);
    const size_t avail = size - static_cast<size_t>(dataOffset);
    const uint32_t n = static_cast<uint32_t>(dataSize < avail ? dataSize : avail);
    Check(mmioWrite(w, reinterpret_cast<const char*>(data) + dataOffset, static_cast<LONG>(n)) ==
          static_cast<LONG>(n));
    FinishWaveWriter(w, ckRiff, ckData);
    Check(out.Data().size() == 46u + fmt->cbSize + (fmt->cbSize & 1u) + n + (n & 1));

    HMMIO r = OpenOn(&out, MMIO_READ);
    PWaveFormatEx back = nullptr;
    uint32_t backSize = 0;
    int32_t backOffset = 0;
    Check(ReadWaveHeader(r, back, backSize, backOffset));
    Check(std::memcmp(back, fmt, 18u + fmt->cbSize) == 0);
    Check(backSize == n);
    Check(std::memcmp(out.Data().data() + backOffset, data + dataOffset, n) == 0);
    std::free(back);
    mmioClose(r, 0);
    std::free(fmt);
  }

  // Every top-level chunk and the chunks of RIFF and LIST forms one level down.
  mmioSeek(h, 0, SEEK_SET_);
  for (int i = 0; i < 64; ++i) {
    MMCKINFO ck{};
    if (mmioDescend(h, &ck, nullptr, 0) != 0) break;
    if (ck.ckid == FOURCC_RIFF || ck.ckid == FOURCC_LIST) {
      for (int j = 0; j < 64; ++j) {
        MMCKINFO sub{};
        if (mmioDescend(h, &sub, &ck, 0) != 0) break;
        if (mmioAscend(h, &sub, 0) != 0) break;
      }
    }
    if (mmioAscend(h, &ck, 0) != 0) break;
  }
  Check(m.Data().size() == size);
  mmioClose(h, 0);
  return 0;
}
