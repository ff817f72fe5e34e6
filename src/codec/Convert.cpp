#include "codec/Convert.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "codec/PreFilter.h"
#include "codec/SilenceTrim.h"
#include "codec/TakeFile.h"
#include "codec/VoxCodec.h"
#include "codec/WavInput.h"
#include "rtl/ByteFile.h"
#include "rtl/FileSystem.h"
#include "rtl/SysUtils.h"

namespace {

constexpr size_t kBlock = kCopyBlockBytes;
// A take's header up to its data size is carried over as one opaque block: the take keeps
// whatever format chunk the recorder wrote.
constexpr size_t kTakeHeadBytes = kTakeDataSizePos;

// Writes the kept samples into the working file and follows the trailing trim.
class TWorkFileSink : public TSampleSink {
 public:
  TWorkFileSink(TByteFile& file, TQuietBand band) : FFile(file), FTrim(band) {}
  void Put(const uint8_t* samples, size_t count) override {
    FFile.BlockWrite(samples, count);
    FTrim.Feed(samples, count);
  }
  // Cuts the working file after the samples the trailing trim keeps.
  void ApplyTrailingTrim() {
    int64_t kept = FTrim.KeptCount();
    if (kept < FTrim.Written()) {
      FFile.Seek(kept);
      FFile.Truncate();
    }
  }

 private:
  TByteFile& FFile;
  TTrailingTrim FTrim;
};

// Copies count samples from the file's position into the sink, in blocks.
void CopySamples(TByteFile& from, int64_t count, TSampleSink& sink) {
  std::vector<uint8_t> block(kBlock);
  while (count > 0) {
    size_t n = static_cast<size_t>(std::min<int64_t>(count, kBlock));
    from.BlockRead(block.data(), n);
    sink.Put(block.data(), n);
    count -= static_cast<int64_t>(n);
  }
}

std::string FolderOf(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

std::string ChangeFileExt(const std::string& name, const std::string& ext) {
  auto dot = name.rfind('.');
  auto slash = name.rfind('/');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
    return name.substr(0, dot) + ext;
  return name + ext;
}

void EncodeSampleFile(const std::string& samplesPath, const std::string& voxPath) {
  TByteFile vox(voxPath);
  vox.Rewrite();
  TByteFile samples(samplesPath);
  samples.Reset();
  int64_t left = samples.Size();
  std::vector<uint8_t> in(kBlock), out(kBlock / 2 + 1);
  TVoxEncoder encoder;
  while (left > 0) {
    size_t n = static_cast<size_t>(std::min<int64_t>(left, kBlock));
    samples.BlockRead(in.data(), n);
    size_t bytes = encoder.Encode(in.data(), n, out.data());
    vox.BlockWrite(out.data(), bytes);
    left -= static_cast<int64_t>(n);
  }
  samples.Close();
  vox.Close();
}

void ConvertWaveFile(TAppContext& ctx, TShell& shell) {
  ctx.CurrentSoundFileName = ctx.ExeFolder + ctx.CurrentSoundFileName;
  const std::string source = ctx.CurrentSoundFileName;

  TPreFilter filter;
  ResetPreFilter(filter);
  TByteFile in(source);
  in.Reset();
  TWavInfo info;
  std::string problem = CheckWavHeader(in, info);
  if (!problem.empty()) {
    in.Close();
    shell.ShowMessage(InvalidWavMessage(source, problem), msWarning);
    return;
  }
  const bool sixteen = info.BitsPerSample == 16;
  float gain = 1.0f;
  if (sixteen) gain = GainForPeak(MeasurePeak16(in, filter));

  ResetPreFilter(filter);
  const uint32_t dataSize = in.ReadU32();
  TByteFile work(ctx.ExeFolder + "out.dat");
  work.Rewrite();
  TWorkFileSink sink(work, kNarrowQuietBand);
  bool keepAny = true;
  int64_t first = 0;
  if (info.SampleRate != kReducibleRate16) {
    // Only 8-bit data get here: 16-bit data at another rate were rejected.
    const int64_t dataStart = in.Pos();
    first = FindLeadingStart(in, dataSize, kWideQuietBand);
    keepAny = first >= 0;
    in.Seek(dataStart + std::max<int64_t>(first, 0));
  }
  if (keepAny) {
    if (sixteen)
      Reduce16(in, dataSize, filter, gain, sink);
    else
      Reduce8(in, dataSize, first, sink);
  }
  sink.ApplyTrailingTrim();
  in.Close();
  work.Close();

  EncodeSampleFile(ctx.ExeFolder + "out.dat", ChangeFileExt(source, ".vox"));
}

void ConvertRecordedTake(TAppContext& ctx, TShell& /*shell*/) {
  const std::string takePath = ctx.CurrentSoundFileName;
  const std::string workPath = ctx.ExeFolder + "out.dat";

  TByteFile take(takePath);
  take.Reset();
  TByteFile work(workPath);
  work.Rewrite();
  uint8_t head[kTakeHeadBytes];
  take.BlockRead(head, sizeof head);
  const uint32_t dataSize = take.ReadU32();
  const int64_t first = FindLeadingStart(take, dataSize, kWideQuietBand);
  TWorkFileSink sink(work, kWideQuietBand);
  if (first >= 0) {
    take.Seek(kTakeSamplesPos + first);
    CopySamples(take, static_cast<int64_t>(dataSize) - first, sink);
  }
  sink.ApplyTrailingTrim();
  take.Close();
  work.Close();

  EncodeSampleFile(workPath, ChangeFileExt(takePath, ".vox"));

  // Rewrite the take with the kept samples. The new take is built beside the old one and
  // put in its place only when complete, so a failure midway never leaves half a take.
  // It is built in the take's folder as that lies on disk, whatever the letter case.
  const std::string building =
      ResolveFileName(FolderOf(takePath)) + ".take-" + std::to_string(::getpid()) + ".tmp";
  try {
    TByteFile samples(workPath);
    samples.Reset();
    const int64_t kept = samples.Size();
    TByteFile fresh(building);
    fresh.Rewrite();
    fresh.BlockWrite(head, sizeof head);
    fresh.WriteU32(static_cast<uint32_t>(kept));
    CopyToEnd(samples, fresh);
    fresh.Seek(4);
    fresh.WriteU32(static_cast<uint32_t>(kTakeSamplesPos + kept - 8));
    samples.Close();
    fresh.Close();
    // The take keeps its permissions; one made read-only meanwhile is not replaced.
    ReplaceByRename(building, takePath);
  } catch (...) {
    std::remove(building.c_str());
    throw;
  }
}

void Button1Click(TAppContext& ctx, TShell& shell) {
  std::optional<std::string> chosen = shell.PickVoxFile();
  if (!chosen) return;
  TByteFile vox(ctx.ExeFolder + "out.vox");
  vox.Rewrite();
  TByteFile wav(ctx.ExeFolder + "out.wav");
  wav.Rewrite();
  TByteFile in(*chosen);
  in.Reset();

  uint8_t head[kTakeHeadBytes];
  in.BlockRead(head, sizeof head);
  wav.BlockWrite(head, sizeof head);
  const uint32_t dataSize = in.ReadU32();
  wav.WriteU32(dataSize);

  // An odd last sample has no partner and is left out.
  int64_t left = static_cast<int64_t>(dataSize & ~1u);
  std::vector<uint8_t> samples(kBlock), codes(kBlock / 2), decoded(kBlock);
  TVoxEncoder encoder;
  TVoxDecoder decoder;
  while (left > 0) {
    size_t n = static_cast<size_t>(std::min<int64_t>(left, kBlock));
    in.BlockRead(samples.data(), n);
    size_t bytes = encoder.Encode(samples.data(), n, codes.data());
    vox.BlockWrite(codes.data(), bytes);
    decoder.Decode(codes.data(), bytes, decoded.data());
    wav.BlockWrite(decoded.data(), 2 * bytes);
    left -= static_cast<int64_t>(n);
  }
  in.Close();
  vox.Close();
  wav.Close();
}
