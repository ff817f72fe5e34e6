#include "package/Tester.h"

#include <vector>

#include "codec/Convert.h"
#include "codec/TakeFile.h"
#include "codec/VoxCodec.h"
#include "codec/VoxCoders.h"
#include "rtl/SysUtils.h"

std::string TestWavPath(const TAppContext& ctx) { return ctx.ExeFolder + "testvox.wav"; }

void Button1XClick(TAppContext& ctx, TShell& shell) {
  std::optional<std::string> chosen = shell.PickVoxFile();
  if (!chosen) return;
  TByteFile vox(*chosen);
  vox.Reset();
  const int64_t codeBytes = vox.Size();
  if (codeBytes > kMaxDecodableCodeBytes) {
    vox.Close();
    shell.ShowMessage(TooLongToDecodeText("\"" + *chosen + "\"", codeBytes), msWarning);
    return;
  }
  TByteFile wav(TestWavPath(ctx));
  wav.Rewrite(TWriteKind::WorkingFile);
  WriteTestWavHeader(wav, static_cast<uint32_t>(codeBytes));
  DecodeVoxBytes(vox, codeBytes, wav);
  vox.Close();
  wav.Close();
}

bool DecodeSlotToTestWav(const TAppContext& ctx, TPackageReader& package, int slot) {
  std::optional<TSoundRecord> record = package.Record(slot);
  if (!record) return false;
  DecodeRecordToWav(package, *record, TestWavPath(ctx), TWriteKind::WorkingFile);
  return true;
}

std::string DecodedWave(const uint8_t* codes, size_t count) {
  const auto head = TakeHeader(static_cast<uint32_t>(2 * count));
  std::string wave(head.begin(), head.end());
  wave.resize(head.size() + 2 * count);
  TVoxDecoder decoder;
  decoder.Decode(codes, count, reinterpret_cast<uint8_t*>(wave.data() + head.size()));
  return wave;
}

std::string DecodeVoxFileToWave(const std::string& voxPath) {
  TByteFile vox(voxPath);
  vox.Reset();
  std::vector<uint8_t> codes(static_cast<size_t>(vox.Size()));
  vox.BlockRead(codes.data(), codes.size());
  vox.Close();
  return DecodedWave(codes.data(), codes.size());
}

std::optional<std::string> DecodeSlotToWave(TPackageReader& package, int slot) {
  std::optional<TSoundRecord> record = package.Record(slot);
  if (!record) return std::nullopt;
  TByteFile& file = package.File();
  // The count is checked against the file before anything the size of it is made.
  if (static_cast<int64_t>(record->Offset) + 4 + record->CodeBytes > file.Size())
    throw EInOutError(ioReadBeyondEnd);
  std::vector<uint8_t> codes(static_cast<size_t>(record->CodeBytes));
  file.BlockRead(codes.data(), codes.size());
  return DecodedWave(codes.data(), codes.size());
}

std::optional<std::string> CodedWave(const std::string& path, TCoder coder, std::string& problem) {
  TByteFile in(path);
  in.Reset();
  std::vector<uint8_t> kept;
  problem = ConvertWaveFileInMemory(in, kept);
  in.Close();
  if (!problem.empty()) {
    problem = InvalidWavMessage(path, problem);
    return std::nullopt;
  }
  const std::vector<uint8_t> codes = EncodeVox(coder, kept.data(), kept.size());
  return DecodedWave(codes.data(), codes.size());
}
