#include "package/Tester.h"

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
