#include "codec/TakeFile.h"

#include <cstring>

std::array<uint8_t, kTakeSamplesPos> TakeHeader(uint32_t dataBytes) {
  static const uint8_t kHead[kTakeSamplesPos] = {
      'R', 'I', 'F', 'F', 0, 0, 0,   0,   'W',  'A',  'V', 'E', 'f',  'm',  't', ' ',
      18,  0,   0,   0,   1, 0, 1,   0,   0x40, 0x1F, 0,   0,   0x40, 0x1F, 0,   0,
      1,   0,   8,   0,   0, 0, 'd', 'a', 't',  'a',  0,   0,   0,    0};
  std::array<uint8_t, kTakeSamplesPos> head;
  std::memcpy(head.data(), kHead, sizeof kHead);
  auto put32 = [&](int64_t pos, uint32_t v) {
    for (int i = 0; i < 4; ++i)
      head[static_cast<size_t>(pos) + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  put32(kTakeRiffSizePos, dataBytes + static_cast<uint32_t>(kTakeSamplesPos - 8));
  put32(kTakeDataSizePos, dataBytes);
  return head;
}

void WriteTakeHeader(TByteFile& file, uint32_t dataBytes) {
  const auto head = TakeHeader(dataBytes);
  file.Seek(0);
  file.BlockWrite(head.data(), head.size());
}
