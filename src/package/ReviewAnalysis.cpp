#include "package/ReviewAnalysis.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <exception>
#include <optional>

#include "codec/Convert.h"
#include "codec/SilenceTrim.h"
#include "codec/Vectorise.h"
#include "codec/VoxCoders.h"
#include "package/Builder.h"
#include "package/FolderCoder.h"
#include "package/SlotActions.h"
#include "package/SlotQueue.h"
#include "platform/files.h"
#include "platform/profile.h"

namespace {

constexpr size_t kBlock = kCopyBlockBytes;

std::string Plural(int64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

double RatioDb(double signal, double error) { return 10.0 * std::log10(signal / error); }

// Signal energy (around 128) and error energy of decoded against samples, over count samples.
// Exact in integers, whatever the length.
struct TEnergies {
  int64_t Signal = 0, Error = 0;
};
ZS_VECTORISE TEnergies Energies(const uint8_t* samples, const uint8_t* decoded, size_t count) {
  // Summed in pieces a 32-bit sum holds (255 squared, 32768 times), which vectorise well.
  constexpr size_t kPiece = 32768;
  TEnergies e;
  for (size_t at = 0; at < count; at += kPiece) {
    const size_t end = std::min(count, at + kPiece);
    int32_t signalSum = 0, errorSum = 0;
    for (size_t i = at; i < end; ++i) {
      // 16-bit differences: the products' pairs are summed by one instruction.
      const auto signal = static_cast<int16_t>(samples[i] - 128),
                 error = static_cast<int16_t>(samples[i] - decoded[i]);
      signalSum += int32_t{signal} * signal;
      errorSum += int32_t{error} * error;
    }
    e.Signal += signalSum;
    e.Error += errorSum;
  }
  return e;
}

double RatioDb(int64_t signal, int64_t error) {
  return RatioDb(static_cast<double>(signal), static_cast<double>(error));
}

// For every code and the decoder's value before it: 1 when the code's step passes 0 or 255.
constexpr std::array<std::array<uint8_t, 256>, 16> MakeWrapTable() {
  std::array<std::array<uint8_t, 256>, 16> t{};
  for (int code = 0; code < 16; ++code)
    for (int value = 0; value < 256; ++value) {
      const int step = kVoxSteps[code & 7], next = code & 8 ? value - step : value + step;
      t[code][value] = next < 0 || next > 255;
    }
  return t;
}
constexpr auto kWraps = MakeWrapTable();

// Calls f(i, wrap) for every sample i the codes made: wrap is 1 where its code's step passed
// 0 or 255 from the value before (before: the decoder's value ahead of the codes).
template <class F>
void EachStep(std::span<const uint8_t> codes, const uint8_t* samples, uint8_t before, F f) {
  for (size_t j = 0; j < codes.size(); ++j) {
    f(2 * j, kWraps[codes[j] & 15][before]);
    f(2 * j + 1, kWraps[codes[j] >> 4][samples[2 * j]]);
    before = samples[2 * j + 1];
  }
}

std::optional<double> Median(std::vector<double> values) {
  if (values.empty()) return std::nullopt;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The checks of one slot; those that need the other slots (loudness against the median, the
// coder's gain) are added by ReviewPackage.
std::vector<TReviewCheck> ChecksFor(const TSoundFindings& f,
                                    const std::optional<TSourceComparison>& c,
                                    const std::string& source) {
  std::vector<TReviewCheck> checks;
  if (f.Wraps > 0)
    checks.push_back({"wrap", true,
                      "Wraps around " + Plural(f.Wraps, "time", "times") + ", first at " +
                          SecondsText(f.FirstWrap) +
                          ": the decoder steps past 0 or 255, a click on the instrument"});
  if (f.ClipStretches > 0)
    checks.push_back({"clip", true,
                      "Clipped: " + Plural(f.ClipStretches, "stretch", "stretches") +
                          " at 0 or 255 (" + SecondsText(f.ClipSamples) + " in all), first at " +
                          SecondsText(f.FirstClip)});
  if (f.Samples < kShortSoundSamples) checks.push_back({"short", true, "Shorter than 0.1 s"});
  if (!f.Loud) checks.push_back({"silent", true, "Silent: never leaves the quiet band"});
  if (!c) return checks;
  switch (c->State) {
    case TSourceState::Missing:
      checks.push_back({"source", false, source + " is not in the folder: nothing to compare"});
      break;
    case TSourceState::Rejected:
      checks.push_back({"source", true,
                        source + " is rejected by the conversion (" + c->Text +
                            "): the slot holds a \".vox\" from an earlier build"});
      break;
    case TSourceState::Unreadable:
      checks.push_back({"source", true, source + " could not be read: " + c->Text});
      break;
    case TSourceState::Differs:
      checks.push_back({"source", true,
                        source + " has changed since the build: it gives " +
                            SecondsText(c->KeptSamples) + ", the package holds " +
                            SecondsText(f.Samples) + "; build again"});
      break;
    case TSourceState::Compared:
      if (c->Exact)
        checks.push_back({"noise", false, "No coding noise: identical to " + source});
      else if (c->Silent)
        checks.push_back({"noise", false, source + " is silent after trimming"});
      else
        checks.push_back(
            {"noise", c->CodingNoiseDb < kNoisyCodingDb,
             Format("Coding noise: %.1f dB below the prompt (against ", c->CodingNoiseDb) + source +
                 ")" +
                 (c->CodingNoiseDb < kNoisyCodingDb
                      ? ": too steep or too loud for the codec's steps"
                      : "")});
      break;
  }
  return checks;
}

}  // namespace

std::string SecondsText(int64_t samples) {
  return Format("%.3f s", static_cast<double>(samples) / kTestWavRate);
}

TSoundAnalyser::TSoundAnalyser(int64_t samples, int columns)
    : FMeter(kTestWavRate), FColumns(columns) {
  F.Samples = samples;
  FNextColumnAt = ColumnStart(1);
  F.ColumnLo.assign(columns, 255);
  F.ColumnHi.assign(columns, 0);
  F.ColumnMarked.assign(columns, false);
}

void TSoundAnalyser::Feed(std::span<const uint8_t> codes, const uint8_t* samples) {
  size_t wraps = 0;
  EachStep(codes, samples, FValue, [&](size_t, uint8_t wrap) { wraps += wrap; });
  Feed(codes, samples, wraps);
}

void TSoundAnalyser::Feed(std::span<const uint8_t> codes, const uint8_t* samples, size_t wraps) {
  const size_t n = 2 * codes.size();
  if (n == 0) return;
  FMeter.Add(samples, n);
  if (wraps > 0) FindWraps(codes, samples);
  FollowColumns(samples, n);
  if (!F.Loud)
    F.Loud = std::any_of(samples, samples + n, [](uint8_t v) { return kWideQuietBand.IsLoud(v); });
  FollowRuns(samples, n);
  FValue = samples[n - 1];
  FIndex += static_cast<int64_t>(n);
}

void TSoundAnalyser::FindWraps(std::span<const uint8_t> codes, const uint8_t* samples) {
  EachStep(codes, samples, FValue, [&](size_t i, uint8_t wrap) {
    if (!wrap) return;
    const int64_t index = FIndex + static_cast<int64_t>(i);
    if (F.Wraps++ == 0) F.FirstWrap = index;
    F.ColumnMarked[ColumnOf(index)] = true;
  });
}

namespace {

ZS_VECTORISE void Widen(const uint8_t* samples, size_t n, uint8_t& lo, uint8_t& hi) {
  uint8_t l = lo, h = hi;
  for (size_t i = 0; i < n; ++i) {
    l = std::min(l, samples[i]);
    h = std::max(h, samples[i]);
  }
  lo = l, hi = h;
}

}  // namespace

void TSoundAnalyser::FollowColumns(const uint8_t* samples, size_t n) {
  // Sample i belongs to column i * columns / samples; the columns are walked, not divided.
  const int64_t end = FIndex + static_cast<int64_t>(n);
  for (int64_t at = FIndex; at < end;) {
    while (at >= FNextColumnAt && FColumn + 1 < FColumns)
      FNextColumnAt = ColumnStart(++FColumn + 1);
    const int64_t to = FColumn + 1 < FColumns ? std::min(end, FNextColumnAt) : end;
    Widen(samples + (at - FIndex), static_cast<size_t>(to - at), F.ColumnLo[FColumn],
          F.ColumnHi[FColumn]);
    at = to;
  }
}

void TSoundAnalyser::FollowRuns(const uint8_t* samples, size_t n) {
  // Runs at 0 or 255 are rare: a block without either ends any run at its first sample.
  if (!std::memchr(samples, 0, n) && !std::memchr(samples, 255, n)) {
    EndRun();
    return;
  }
  for (size_t i = 0; i < n; ++i) {
    const uint8_t v = samples[i];
    if (v == 0 || v == 255) {
      if (FRunLength > 0 && v != FRunValue) EndRun();
      if (FRunLength++ == 0) {
        FRunStart = FIndex + static_cast<int64_t>(i);
        FRunValue = v;
      }
    } else {
      EndRun();
    }
  }
}

int TSoundAnalyser::ColumnOf(int64_t index) const {
  const int64_t samples = std::max<int64_t>(F.Samples, 1);
  return static_cast<int>(std::min<int64_t>(index * FColumns / samples, FColumns - 1));
}

int64_t TSoundAnalyser::ColumnStart(int column) const {
  // The first sample whose column is this one; past the end for the column after the last.
  const int64_t samples = std::max<int64_t>(F.Samples, 1);
  return column >= FColumns ? samples : (column * samples + FColumns - 1) / FColumns;
}

void TSoundAnalyser::EndRun() {
  if (FRunLength >= kClippedRunSamples) {
    if (F.ClipStretches++ == 0) F.FirstClip = FRunStart;
    F.ClipSamples += FRunLength;
    const int64_t samples = std::max<int64_t>(F.Samples, 1);
    for (int64_t c = FRunStart * FColumns / samples;
         c <= (FRunStart + FRunLength - 1) * FColumns / samples; ++c)
      F.ColumnMarked[c] = true;
  }
  FRunLength = 0;
}

const TSoundFindings& TSoundAnalyser::Finish() {
  EndRun();
  F.LoudnessLufs = FMeter.Loudness();
  // A sound shorter than the columns leaves some without a sample: they repeat the last.
  uint8_t lo = 128, hi = 128;
  for (int c = 0; c < FColumns; ++c) {
    if (F.ColumnLo[c] > F.ColumnHi[c]) {
      F.ColumnLo[c] = lo;
      F.ColumnHi[c] = hi;
    }
    lo = F.ColumnLo[c];
    hi = F.ColumnHi[c];
  }
  return F;
}

TRecordStream::TRecordStream(TByteFile& package, const TSoundRecord& record)
    : FPackage(package), FLeft(record.CodeBytes) {
  // No larger than the record: a short one takes little memory.
  const size_t block = static_cast<size_t>(std::min<int64_t>(kBlock, record.CodeBytes));
  FCodes.resize(block);
  FSamples.resize(2 * block);
  const int64_t first = static_cast<int64_t>(record.Offset) + 4;
  if (first + record.CodeBytes > package.Size()) throw EInOutError(ioReadBeyondEnd);
  package.Seek(first);
}

bool TRecordStream::Next() {
  FCount = static_cast<size_t>(std::min<int64_t>(FLeft, kBlock));
  if (FCount == 0) return false;
  FPackage.BlockRead(FCodes.data(), FCount);
  FWraps = FDecoder.DecodeCountingWraps(FCodes.data(), FCount, FSamples.data());
  FLeft -= static_cast<int64_t>(FCount);
  return true;
}

TSourceComparer::TSourceComparer(const TSoundRecord& record, const std::string& sourcePath,
                                 bool optimalGain) {
  if (!FileExists(sourcePath)) return;
  try {
    TByteFile in(sourcePath);
    in.Reset();
    FResult.Text = ConvertWaveFileInMemory(in, FKept);
    in.Close();
  } catch (const Exception& e) {
    FResult.State = TSourceState::Unreadable;
    FResult.Text = e.Message();
    return;
  }
  FResult.KeptSamples = static_cast<int64_t>(FKept.size());
  if (!FResult.Text.empty()) {
    FResult.State = TSourceState::Rejected;
    return;
  }
  if (FResult.KeptSamples / 2 != record.CodeBytes) {  // an odd last sample is not coded
    FResult.State = TSourceState::Differs;
    return;
  }
  FResult.State = TSourceState::Compared;
  FComparing = true;
  FOptimalGain = optimalGain;
  // Both coders over the same stretch from the start of the sound: all of a prompt, the
  // first seconds of a long one, so a package of long sounds is reviewed in good time.
  FGainSamples = optimalGain ? std::min(FKept.size(), kGainStretchSamples) & ~size_t{1} : 0;
}

void TSourceComparer::Feed(std::span<const uint8_t> decoded) {
  if (!FComparing) return;
  const size_t n = std::min(decoded.size(), FKept.size() - FAt);
  const TEnergies e = Energies(FKept.data() + FAt, decoded.data(), n);
  FSignal += e.Signal;
  FError += e.Error;
  if (FAt < FGainSamples) {
    const TEnergies g =
        Energies(FKept.data() + FAt, decoded.data(), std::min(n, FGainSamples - FAt));
    FGainSignal += g.Signal;
    FGainError += g.Error;
  }
  FAt += n;
}

TSourceComparison TSourceComparer::Finish() {
  TSourceComparison& result = FResult;
  if (!FComparing) return result;
  result.Exact = FError == 0;
  result.Silent = FSignal == 0;
  if (result.Exact || result.Silent) return result;
  result.CodingNoiseDb = RatioDb(FSignal, FError);
  if (FOptimalGain) {
    const size_t n = FGainSamples;
    const std::vector<uint8_t> codes = EncodeVox(TCoder::Optimal, FKept.data(), n);
    std::vector<uint8_t> decoded(2 * codes.size());
    TVoxDecoder decoder;
    decoder.Decode(codes.data(), codes.size(), decoded.data());
    const TEnergies optimal = Energies(FKept.data(), decoded.data(), n);
    if (optimal.Error > 0 && FGainError > 0 && FGainSignal > 0) {
      result.OptimalGainDb =
          RatioDb(optimal.Signal, optimal.Error) - RatioDb(FGainSignal, FGainError);
      result.GainOverSamples = static_cast<int64_t>(n);
    }
  }
  return result;
}

TSourceComparison CompareWithSource(TByteFile& package, const TSoundRecord& record,
                                    const std::string& sourcePath, bool optimalGain) {
  // The record first: a damaged package is the package's error, not the source's.
  TRecordStream stream(package, record);
  TSourceComparer comparer(record, sourcePath, optimalGain);
  while (stream.Next()) comparer.Feed(stream.Samples());
  return comparer.Finish();
}

bool TSlotReview::HasWarning() const {
  return std::any_of(Checks.begin(), Checks.end(), [](const TReviewCheck& c) { return c.Warning; });
}

namespace {

// A slot's review, worked on by any worker.
struct TSlotJob {
  TSlotReview Review;
  std::string Source;  // as the INI names it
  int Columns = 1;
  std::exception_ptr Error;
};

// One pass over the record: each decoded block goes to every reader of it. The record is
// checked before the source is read: a damaged package is the package's error.
void ReviewSlot(TByteFile& package, const std::string& folder, TCoder coder, TSlotJob& j) {
  TSlotReview& s = j.Review;
  TRecordStream stream(package, s.Record);
  std::optional<TSourceComparer> comparer;
  if (!IsNoFile(j.Source))
    comparer.emplace(s.Record, folder + NormaliseConfiguredName(j.Source),
                     coder == TCoder::Standard);
  TSoundAnalyser analyser(s.Record.Samples(), j.Columns);
  while (stream.Next()) {
    analyser.Feed(stream.Codes(), stream.Samples().data(), stream.Wraps());
    if (comparer) comparer->Feed(stream.Samples());
  }
  s.Findings = analyser.Finish();
  if (comparer) s.Comparison = comparer->Finish();
  s.Checks = ChecksFor(s.Findings, s.Comparison, j.Source);
}

}  // namespace

TReview ReviewPackage(const std::string& packagePath, const std::string& folder) {
  TReview r;
  r.PackagePath = packagePath;
  r.IniPath = folder + "ZelvorSound.ini";
  r.HasIni = FileExists(r.IniPath);
  r.Coder = FolderCoder(folder).Coder;
  TPackageReader reader(packagePath);
  AsErrorOf(packagePath, [&] {
    reader.Open();
    r.PackageBytes = reader.File().Size();
    std::vector<TSoundRecord> records;
    for (int slot = 0; slot < kSlotCount; ++slot)
      if (std::optional<TSoundRecord> record = reader.Record(slot)) {
        records.push_back(*record);
        r.LongestSamples = std::max(r.LongestSamples, record->Samples());
      }
    TIniFile ini(r.IniPath);
    std::vector<std::optional<TSlotJob>> jobs(kSlotCount);
    auto next = records.begin();
    for (int slot = 0; slot < kSlotCount; ++slot) {
      const std::string key = "Name" + std::to_string(slot);
      const std::string source = r.HasIni ? ini.ReadString("SourceFileNames", key, "") : "";
      if (next == records.end() || next->Slot != slot) {
        r.Empty.push_back(slot);
        if (!IsNoFile(source))
          r.EmptyButNamed.push_back(std::to_string(slot) + " (" + source + ")");
        continue;
      }
      TSlotJob& j = jobs[slot].emplace();
      TSlotReview& s = j.Review;
      s.Record = *next++;
      if (r.HasIni) {
        s.Name = SlotName(ini, slot);
        s.Source = IsNoFile(source) ? std::string("no source") : source;
      }
      j.Source = source;
      // One time scale for every waveform: the longest slot fills kWaveColumns.
      j.Columns = static_cast<int>(std::max<int64_t>(
          1, (s.Record.Samples() * kWaveColumns + r.LongestSamples - 1) / r.LongestSamples));
    }

    // The slots are reviewed on one worker per core, each with a handle of its own on the
    // package, a few slots ahead of the one taken.
    const int workers = WorkersPerCore();
    TSlotQueue queue(workers, [&](int slot) {
      if (!jobs[slot]) return;
      TSlotJob& j = *jobs[slot];
      try {
        TByteFile package(packagePath);
        package.Reset();
        ReviewSlot(package, folder, r.Coder, j);
      } catch (...) {
        j.Error = std::current_exception();
      }
    });
    for (int slot = 0; slot < kSlotCount; ++slot) {
      queue.Allow(std::min(kSlotCount, slot + 2 * workers));
      queue.WaitFor(slot);
      if (!jobs[slot]) continue;
      TSlotJob& j = *jobs[slot];
      if (j.Error) std::rethrow_exception(j.Error);
      r.Slots.push_back(std::move(j.Review));
    }
    reader.Close();
  });

  // What only the whole package tells: loudness against the others, the coder's gain.
  std::vector<double> loudness, gains;
  for (const TSlotReview& s : r.Slots) {
    if (std::isfinite(s.Findings.LoudnessLufs)) loudness.push_back(s.Findings.LoudnessLufs);
    if (s.Comparison && s.Comparison->OptimalGainDb) gains.push_back(*s.Comparison->OptimalGainDb);
  }
  r.MedianLoudnessLufs = Median(loudness);
  r.MedianOptimalGainDb = Median(gains);
  for (TSlotReview& s : r.Slots) {
    const double lufs = s.Findings.LoudnessLufs;
    if (r.MedianLoudnessLufs && std::isfinite(lufs) &&
        std::fabs(lufs - *r.MedianLoudnessLufs) > kLoudnessSpreadLu)
      s.Checks.push_back(
          {"loudness", true,
           Format("%.1f LU %s than the middle of the package (%.1f LUFS): it will "
                  "sound %s than the prompts around it",
                  std::fabs(lufs - *r.MedianLoudnessLufs),
                  lufs > *r.MedianLoudnessLufs ? "louder" : "quieter", *r.MedianLoudnessLufs,
                  lufs > *r.MedianLoudnessLufs ? "louder" : "quieter")});
    if (s.Comparison && s.Comparison->OptimalGainDb && *s.Comparison->OptimalGainDb >= 0.5)
      s.Checks.push_back(
          {"coder", false,
           Format("The optimal coder would lower the coding noise by %.1f dB",
                  *s.Comparison->OptimalGainDb) +
               (s.Comparison->GainOverSamples < s.Comparison->KeptSamples / 2 * 2
                    ? " (over its first " + SecondsText(s.Comparison->GainOverSamples) + ")"
                    : std::string())});
  }
  return r;
}
