#include "codec/TakeFile.h"

#include <cstring>

#include "rtl/SysUtils.h"

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

TTakeLayout ReadTakeLayout(TByteFile& f) {
  TTakeLayout layout;
  f.Seek(0);
  f.BlockRead(layout.Head.data(), layout.Head.size());
  layout.DataSize = f.ReadU32();
  layout.SamplesPos = kTakeSamplesPos;
  return layout;
}

namespace {

std::string FormatName(uint16_t tag) {
  static const struct {
    uint16_t Tag;
    const char* Name;
  } kNames[] = {
      {1, "PCM"}, {3, "IEEE float"}, {6, "A-law"}, {7, "\u00B5-law"}, {0xFFFE, "extensible"}};
  for (const auto& n : kNames)
    if (n.Tag == tag) return n.Name;
  return Format("format 0x%04X", unsigned{tag});
}

}  // namespace

std::string ReadAnyTake(TByteFile& f, TTakeLayout& layout) {
  f.Seek(0);
  char id[4];
  f.BlockRead(id, 4);
  if (std::memcmp(id, "RIFF", 4) != 0) return "no RIFF WAVE file";
  f.Seek(8);
  f.BlockRead(id, 4);
  if (std::memcmp(id, "WAVE", 4) != 0) return "a RIFF file but no WAVE file";
  // The chunks up to "data"; the format must come before it. Each step moves on by at least
  // the 8 bytes of a chunk head, so a hostile chain ends at the end of the file.
  const int64_t size = f.Size();
  uint16_t tag = 0, channels = 0, bits = 0;
  uint32_t rate = 0;
  int64_t formatAt = -1, formatSize = 0;
  for (int64_t at = 12;;) {
    f.Seek(at);
    f.BlockRead(id, 4);
    const uint32_t chunk = f.ReadU32();
    if (std::memcmp(id, "fmt ", 4) == 0 && formatAt < 0) {
      if (chunk < 16) return "a WAV file with a format chunk too short to read";
      formatAt = at;
      formatSize = chunk;
      tag = f.ReadU16();
      channels = f.ReadU16();
      rate = f.ReadU32();
      f.Seek(f.Pos() + 6);  // average bytes per second and block align
      bits = f.ReadU16();
    } else if (std::memcmp(id, "data", 4) == 0) {
      if (formatAt < 0) return "a WAV file without a format before its data";
      const std::string format =
          Format("%s %u Hz %u-bit %s", FormatName(tag).c_str(), rate, unsigned{bits},
                 channels == 1   ? "mono"
                 : channels == 2 ? "stereo"
                                 : Format("%u channels", unsigned{channels}).c_str());
      if (tag != 1 || channels != 1 || rate != kTakeRate || bits != 8) return format;
      layout.SamplesPos = at + 8;
      layout.DataSize = chunk;
      if (layout.SamplesPos + chunk > size) throw EInOutError(ioReadBeyondEnd);
      // The recorder's own layout keeps its header; any other is given the take's.
      const bool own = formatAt == 12 && formatSize == 18 && at == kTakeDataSizePos - 4;
      const auto standard = TakeHeader(chunk);
      f.Seek(0);
      if (own)
        f.BlockRead(layout.Head.data(), layout.Head.size());
      else
        std::memcpy(layout.Head.data(), standard.data(), layout.Head.size());
      return std::string();
    }
    at += 8 + static_cast<int64_t>(chunk) + (chunk & 1);
  }
}
