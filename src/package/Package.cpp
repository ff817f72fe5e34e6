#include "package/Package.h"

#include <algorithm>
#include <vector>

#include "codec/TakeFile.h"
#include "codec/VoxCodec.h"
#include "rtl/SysUtils.h"

namespace {
constexpr size_t kBlock = kCopyBlockBytes;
}

uint32_t TPackageReader::Entry(int slot) {
  FFile.Seek(4 * static_cast<int64_t>(slot));
  return FFile.ReadU32();
}

std::optional<TSoundRecord> TPackageReader::Record(int slot) {
  uint32_t offset = Entry(slot);
  if (offset == 0) return std::nullopt;
  FFile.Seek(offset);
  int32_t count = FFile.ReadI32();
  if (count <= 0) return std::nullopt;
  return TSoundRecord{slot, offset, count};
}

std::string ReadSlotNumber(const std::string& text, int& slot) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
    return "not a slot number";
  slot = text.size() > 3 ? kSlotCount : std::stoi(text);
  if (slot < kSlotCount) return "";
  return "slot " + text + " is not between 0 and " + std::to_string(kSlotCount - 1);
}

std::string TooLongToDecodeText(const std::string& what, int64_t codeBytes) {
  return Format(
      "%s is too long to decode: its %lld code bytes would make a WAV file beyond the "
      "4 GB its sizes can count (%lld code bytes at most)",
      what.c_str(), static_cast<long long>(codeBytes),
      static_cast<long long>(kMaxDecodableCodeBytes));
}

void WriteTestWavHeader(TByteFile& wav, uint32_t codeBytes) { WriteTakeHeader(wav, 2 * codeBytes); }

void DecodeVoxBytes(TByteFile& from, int64_t count, TByteFile& wav) {
  std::vector<uint8_t> codes(kBlock), samples(2 * kBlock);
  TVoxDecoder decoder;
  while (count > 0) {
    size_t n = static_cast<size_t>(std::min<int64_t>(count, kBlock));
    from.BlockRead(codes.data(), n);
    decoder.Decode(codes.data(), n, samples.data());
    wav.BlockWrite(samples.data(), 2 * n);
    count -= static_cast<int64_t>(n);
  }
}

void DecodeRecordToWav(TPackageReader& package, const TSoundRecord& record,
                       const std::string& wavPath, TWriteKind kind) {
  TByteFile& pkg = package.File();
  const int64_t first = static_cast<int64_t>(record.Offset) + 4;
  // Refuse a record that runs past the end before the test file is replaced: a truncated
  // package must not clobber the last good "testvox.wav" with half a sound.
  if (first + record.CodeBytes > pkg.Size()) throw EInOutError(ioReadBeyondEnd);
  if (record.CodeBytes > kMaxDecodableCodeBytes)
    throw Exception(
        TooLongToDecodeText(Format("The sound of slot %d", record.Slot), record.CodeBytes));
  pkg.Seek(first);
  TByteFile wav(wavPath);
  wav.Rewrite(kind);
  WriteTestWavHeader(wav, static_cast<uint32_t>(record.CodeBytes));
  DecodeVoxBytes(pkg, record.CodeBytes, wav);
  wav.Close();
}
