#include "package/Tester.h"

std::string TestWavPath(const TAppContext& ctx) { return ctx.ExeFolder + "testvox.wav"; }

void Button1XClick(TAppContext& ctx, TShell& shell) {
  std::optional<std::string> chosen = shell.PickVoxFile();
  if (!chosen) return;
  TByteFile vox(*chosen);
  vox.Reset();
  const int64_t codeBytes = vox.Size();
  TByteFile wav(TestWavPath(ctx));
  wav.Rewrite();
  WriteTestWavHeader(wav, static_cast<uint32_t>(codeBytes));
  DecodeVoxBytes(vox, codeBytes, wav);
  vox.Close();
  wav.Close();
}

bool DecodeSlotToTestWav(const TAppContext& ctx, TPackageReader& package, int slot) {
  std::optional<TSoundRecord> record = package.Record(slot);
  if (!record) return false;
  DecodeRecordToWav(package, *record, TestWavPath(ctx));
  return true;
}
