#include "codec/Convert.h"

#include <algorithm>
#include <functional>
#include <optional>
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

// Writes the kept samples into the working file and follows the trailing trim.
class TWorkFileSink : public TSampleSink {
 public:
  TWorkFileSink(TByteFile& file, TQuietBand band) : FFile(file), FTrim(band) {}
  void Begin() override { FFile.Rewrite(TWriteKind::WorkingFile); }
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

// Keeps the samples in memory and follows the trailing trim; begin runs where a file would
// be made.
class TMemorySink : public TSampleSink {
 public:
  TMemorySink(std::vector<uint8_t>& samples, std::function<void()> begin = nullptr)
      : FSamples(samples), FBegin(std::move(begin)) {}
  void Begin() override {
    if (FBegin) FBegin();
  }
  void Put(const uint8_t* samples, size_t count) override {
    FSamples.insert(FSamples.end(), samples, samples + count);
    FTrim.Feed(samples, count);
  }
  void ApplyTrailingTrim() { FSamples.resize(static_cast<size_t>(FTrim.KeptCount())); }

 private:
  std::vector<uint8_t>& FSamples;
  std::function<void()> FBegin;
  TTrailingTrim FTrim{kNarrowQuietBand};
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

}  // namespace

std::string ChangeFileExt(const std::string& name, const std::string& ext) {
  auto dot = name.rfind('.');
  auto slash = name.rfind('/');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
    return name.substr(0, dot) + ext;
  return name + ext;
}

void EncodeSamples(TByteFile& samples, TByteFile& vox, TCoder coder) {
  samples.Seek(0);
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
  const uint32_t dataSize = in.ReadU32();
  in.Seek(info.DataSizePos);
  // At most as many samples as data bytes are kept, but a size field may claim anything.
  kept.reserve(std::min<uint32_t>(dataSize, kMaxDataInMemory));
  TMemorySink sink(kept);
  ReduceWaveData(in, info, sink);
  sink.ApplyTrailingTrim();
  return std::string();
}

namespace {

// Opens the source ctx names (made a full path) and checks its header; false with the
// message shown when it is rejected.
bool OpenWaveSource(TAppContext& ctx, TShell& shell, TByteFile& in, TWavInfo& info) {
  ctx.CurrentSoundFileName = ctx.ExeFolder + ctx.CurrentSoundFileName;
  in.Assign(ctx.CurrentSoundFileName);
  in.Reset();
  std::string problem = CheckWavHeader(in, info);
  if (problem.empty()) return true;
  in.Close();
  shell.ShowMessage(InvalidWavMessage(ctx.CurrentSoundFileName, problem), msWarning);
  return false;
}

// Reduces the source into "out.dat" (work, made and written here) and codes the ".vox" (vox,
// made and written here); neither is closed.
void ReduceIntoWorkFile(TAppContext& ctx, TByteFile& in, const TWavInfo& info, TByteFile& work,
                        TByteFile& vox) {
  work.Assign(ctx.ExeFolder + "out.dat");
  TWorkFileSink sink(work, kNarrowQuietBand);
  ReduceWaveData(in, info, sink);
  sink.ApplyTrailingTrim();
  in.Close();
  vox.Assign(ChangeFileExt(ctx.CurrentSoundFileName, ".vox"));
  vox.Rewrite();
  EncodeSamples(work, vox, ctx.Coder);
}

}  // namespace

void ConvertWaveFile(TAppContext& ctx, TShell& shell) {
  TByteFile in, work, vox;
  TWavInfo info;
  if (!OpenWaveSource(ctx, shell, in, info)) return;
  ReduceIntoWorkFile(ctx, in, info, work, vox);
  // The working file and the ".vox" take their names together, once both are complete.
  CloseTogether({&vox, &work});
}

bool ConvertWaveFileForBuild(TAppContext& ctx, TShell& shell,
                             const std::function<void()>& checkWork, std::vector<uint8_t>& kept,
                             std::vector<uint8_t>& codes, TByteFile& work, TByteFile& vox) {
  kept.clear();
  codes.clear();
  TByteFile in;
  TWavInfo info;
  if (!OpenWaveSource(ctx, shell, in, info)) return false;
  const uint32_t dataSize = in.ReadU32();
  in.Seek(info.DataSizePos);
  if (dataSize > kMaxDataInMemory) {
    ReduceIntoWorkFile(ctx, in, info, work, vox);
    return true;
  }
  kept.reserve(dataSize);
  TMemorySink sink(kept, checkWork);
  ReduceWaveData(in, info, sink);
  sink.ApplyTrailingTrim();
  in.Close();
  const std::string voxName = ChangeFileExt(ctx.CurrentSoundFileName, ".vox");
  vox.Assign(voxName);
  // A rebuild finds most ".vox" files as they would be written: those stay as they are. The
  // standard coder's codes are checked against the samples without coding them again.
  std::vector<uint8_t> old;
  bool same = ReadIfSized(voxName, kept.size() / 2, old);
  if (same && ctx.Coder == TCoder::Standard &&
      IsStandardCoding(kept.data(), kept.size(), old.data(), old.size())) {
    codes = std::move(old);
  } else {
    codes = EncodeVox(ctx.Coder, kept.data(), kept.size());
    same = same && old == codes;
  }
  if (same) {
    TSafeFile::Check(voxName, TWriteKind::UserFile);
    return true;
  }
  vox.Rewrite();
  vox.BlockWrite(codes.data(), codes.size());
  return true;
}

int64_t TrimAndCodeTake(TByteFile& take, const TTakeLayout& layout, TByteFile& work, TByteFile& vox,
                        TByteFile& fresh, TCoder coder) {
  take.Seek(layout.SamplesPos);
  const uint32_t dataSize = layout.DataSize;
  const int64_t first = FindLeadingStart(take, dataSize, kWideQuietBand);
  TWorkFileSink sink(work, kWideQuietBand);
  if (first >= 0) {
    take.Seek(layout.SamplesPos + first);
    CopySamples(take, static_cast<int64_t>(dataSize) - first, sink);
  }
  sink.ApplyTrailingTrim();
  EncodeSamples(work, vox, coder);

  // The take again, with the kept samples.
  const int64_t kept = work.Size();
  fresh.BlockWrite(layout.Head.data(), layout.Head.size());
  fresh.WriteU32(static_cast<uint32_t>(kept));
  work.Seek(0);
  CopyToEnd(work, fresh);
  fresh.Seek(kTakeRiffSizePos);
  fresh.WriteU32(static_cast<uint32_t>(kTakeSamplesPos + kept - 8));
  return kept;
}

namespace {

// The take conversion of the open take: the working file, the ".vox" and the rewritten take
// take their names together once all three are complete, so a failure leaves every one of
// them as it was.
void ConvertOpenTake(TAppContext& ctx, TByteFile& take, const TTakeLayout& layout) {
  const std::string& takePath = ctx.CurrentSoundFileName;
  TByteFile work(ctx.ExeFolder + "out.dat");
  work.Rewrite(TWriteKind::WorkingFile);
  TByteFile vox(ChangeFileExt(takePath, ".vox"));
  vox.Rewrite();
  TByteFile fresh(takePath);
  fresh.Rewrite();
  TrimAndCodeTake(take, layout, work, vox, fresh, ctx.Coder);
  take.Close();
  // The take keeps its permissions; one made read-only meanwhile is not replaced.
  CloseTogether({&vox, &fresh, &work});
}

// Opens the chosen file as a take of any header; false, with the message shown and nothing
// written, when it holds another format.
bool OpenAnyTake(TByteFile& take, TTakeLayout& layout, TShell& shell) {
  take.Reset();
  const std::string format = ReadAnyTake(take, layout);
  if (format.empty()) return true;
  take.Close();
  shell.ShowMessage(NotATakeMessage(take.Path(), format), msWarning);
  return false;
}

}  // namespace

std::string NotATakeMessage(const std::string& path, const std::string& format) {
  return "\"" + path + "\" is no take: it holds " + format +
         ", where a take holds PCM 8000 Hz 8-bit mono. Any sound file becomes a take through "
         "an import.";
}

void ConvertRecordedTake(TAppContext& ctx, TShell& /*shell*/) {
  TByteFile take(ctx.CurrentSoundFileName);
  take.Reset();
  ConvertOpenTake(ctx, take, ReadTakeLayout(take));
}

bool ConvertTakeFile(TAppContext& ctx, TShell& shell) {
  TByteFile take(ctx.CurrentSoundFileName);
  TTakeLayout layout;
  if (!OpenAnyTake(take, layout, shell)) return false;
  ConvertOpenTake(ctx, take, layout);
  return true;
}

void Button1Click(TAppContext& ctx, TShell& shell) {
  std::optional<std::string> chosen = shell.PickVoxFile();
  if (!chosen) return;
  TByteFile in(*chosen);
  TTakeLayout layout;
  if (!OpenAnyTake(in, layout, shell)) return;
  TByteFile vox(ctx.ExeFolder + "out.vox");
  vox.Rewrite(TWriteKind::WorkingFile);
  TByteFile wav(ctx.ExeFolder + "out.wav");
  wav.Rewrite(TWriteKind::WorkingFile);

  wav.BlockWrite(layout.Head.data(), layout.Head.size());
  const uint32_t dataSize = layout.DataSize;
  wav.WriteU32(dataSize);
  in.Seek(layout.SamplesPos);

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
  CloseTogether({&vox, &wav});
}
