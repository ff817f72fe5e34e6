#include "codec/Convert.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "codec/PreFilter.h"
#include "codec/SilenceTrim.h"
#include "codec/TakeFile.h"
#include "codec/VoxCodec.h"
#include "codec/VoxCoders.h"
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
  void Begin() override { FFile.Rewrite(); }
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

void EncodeSampleFile(const std::string& samplesPath, const std::string& voxPath, TCoder coder) {
  TByteFile vox(voxPath);
  vox.Rewrite();
  TByteFile samples(samplesPath);
  samples.Reset();
  int64_t left = samples.Size();
  std::vector<uint8_t> in(kBlock), out;
  std::unique_ptr<TVoxStreamEncoder> encoder = MakeVoxEncoder(coder);
  while (left > 0) {
    size_t n = static_cast<size_t>(std::min<int64_t>(left, kBlock));
    samples.BlockRead(in.data(), n);
    out.clear();
    encoder->Encode(in.data(), n, out);
    vox.BlockWrite(out.data(), out.size());
    left -= static_cast<int64_t>(n);
  }
  out.clear();
  encoder->Finish(out);
  vox.BlockWrite(out.data(), out.size());
  samples.Close();
  vox.Close();
}

void ReduceWaveData(TByteFile& in, const TWavInfo& info, TSampleSink& sink) {
  TPreFilter filter;
  ResetPreFilter(filter);
  const bool sixteen = info.BitsPerSample == 16;
  float gain = 1.0f;
  if (sixteen) gain = GainForPeak(MeasurePeak16(in, filter));

  ResetPreFilter(filter);
  const uint32_t dataSize = in.ReadU32();
  sink.Begin();
  int64_t first = 0;
  if (info.SampleRate != kReducibleRate16) {
    // Only 8-bit data get here: 16-bit data at another rate were rejected.
    const int64_t dataStart = in.Pos();
    first = FindLeadingStart(in, dataSize, kWideQuietBand);
    if (first < 0) return;  // quiet throughout: nothing is kept
    in.Seek(dataStart + first);
  }
  if (sixteen)
    Reduce16(in, dataSize, filter, gain, sink);
  else
    Reduce8(in, dataSize, first, sink);
}

std::string ConvertWaveFileInMemory(TByteFile& in, std::vector<uint8_t>& kept) {
  kept.clear();
  TWavInfo info;
  std::string problem = CheckWavHeader(in, info);
  if (!problem.empty()) return problem;
  struct TMemorySink : TSampleSink {
    std::vector<uint8_t>& Samples;
    TTrailingTrim Trim{kNarrowQuietBand};
    explicit TMemorySink(std::vector<uint8_t>& samples) : Samples(samples) {}
    void Put(const uint8_t* samples, size_t count) override {
      Samples.insert(Samples.end(), samples, samples + count);
      Trim.Feed(samples, count);
    }
  } sink(kept);
  ReduceWaveData(in, info, sink);
  kept.resize(static_cast<size_t>(sink.Trim.KeptCount()));
  return std::string();
}

void ConvertWaveFile(TAppContext& ctx, TShell& shell) {
  ctx.CurrentSoundFileName = ctx.ExeFolder + ctx.CurrentSoundFileName;
  const std::string source = ctx.CurrentSoundFileName;

  TByteFile in(source);
  in.Reset();
  TWavInfo info;
  std::string problem = CheckWavHeader(in, info);
  if (!problem.empty()) {
    in.Close();
    shell.ShowMessage(InvalidWavMessage(source, problem), msWarning);
    return;
  }
  TByteFile work(ctx.ExeFolder + "out.dat");
  TWorkFileSink sink(work, kNarrowQuietBand);
  ReduceWaveData(in, info, sink);
  sink.ApplyTrailingTrim();
  in.Close();
  work.Close();

  EncodeSampleFile(ctx.ExeFolder + "out.dat", ChangeFileExt(source, ".vox"), ctx.Coder);
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

  EncodeSampleFile(workPath, ChangeFileExt(takePath, ".vox"), ctx.Coder);

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
  std::vector<uint8_t> samples(kBlock), codes, decoded;
  std::unique_ptr<TVoxStreamEncoder> encoder = MakeVoxEncoder(ctx.Coder);
  TVoxDecoder decoder;
  // Every byte the encoder has decided is written and decoded at once; the optimal one
  // hands its last bytes over only at the end.
  auto put = [&] {
    vox.BlockWrite(codes.data(), codes.size());
    decoded.resize(2 * codes.size());
    decoder.Decode(codes.data(), codes.size(), decoded.data());
    wav.BlockWrite(decoded.data(), decoded.size());
    codes.clear();
  };
  while (left > 0) {
    size_t n = static_cast<size_t>(std::min<int64_t>(left, kBlock));
    in.BlockRead(samples.data(), n);
    encoder->Encode(samples.data(), n, codes);
    put();
    left -= static_cast<int64_t>(n);
  }
  encoder->Finish(codes);
  put();
  in.Close();
  vox.Close();
  wav.Close();
}
