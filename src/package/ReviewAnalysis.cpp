#include "package/ReviewAnalysis.h"

#include <algorithm>
#include <cmath>

#include "codec/Convert.h"
#include "codec/SilenceTrim.h"
#include "codec/VoxCoders.h"
#include "package/Builder.h"
#include "package/FolderCoder.h"
#include "platform/files.h"
#include "platform/profile.h"

namespace {

constexpr size_t kBlock = kCopyBlockBytes;

std::string Plural(int64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

double RatioDb(double signal, double error) { return 10.0 * std::log10(signal / error); }

// Signal energy (around 128) and error energy of decoded against samples, over the decoded.
struct TEnergies {
  double Signal = 0, Error = 0;
};
TEnergies Energies(const std::vector<uint8_t>& samples, const uint8_t* decoded, size_t count) {
  TEnergies e;
  for (size_t i = 0; i < count; ++i) {
    const double signal = samples[i] - 128.0, error = static_cast<double>(samples[i]) - decoded[i];
    e.Signal += signal * signal;
    e.Error += error * error;
  }
  return e;
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
  FMeter.Add(samples, 2 * codes.size());
  for (size_t i = 0; i < codes.size(); ++i) {
    Step(codes[i] & 15, samples[2 * i]);
    Step(codes[i] >> 4, samples[2 * i + 1]);
  }
}

void TSoundAnalyser::Step(uint8_t code, uint8_t sample) {
  const int step = kVoxSteps[code & 7];
  const int next = code & 8 ? FValue - step : FValue + step;
  // Sample i belongs to column i * columns / samples; the columns are walked, not divided.
  while (FIndex >= FNextColumnAt) FNextColumnAt = ColumnStart(++FColumn + 1);
  const int column = FColumn;
  if (next < 0 || next > 255) {
    if (F.Wraps++ == 0) F.FirstWrap = FIndex;
    F.ColumnMarked[column] = true;
  }
  FValue = sample;
  F.ColumnLo[column] = std::min(F.ColumnLo[column], sample);
  F.ColumnHi[column] = std::max(F.ColumnHi[column], sample);
  if (kWideQuietBand.IsLoud(sample)) F.Loud = true;
  if (sample == 0 || sample == 255) {
    if (FRunLength > 0 && sample != FRunValue) EndRun();
    if (FRunLength++ == 0) {
      FRunStart = FIndex;
      FRunValue = sample;
    }
  } else {
    EndRun();
  }
  ++FIndex;
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
    : FPackage(package), FLeft(record.CodeBytes), FCodes(kBlock), FSamples(2 * kBlock) {
  const int64_t first = static_cast<int64_t>(record.Offset) + 4;
  if (first + record.CodeBytes > package.Size()) throw EInOutError(ioReadBeyondEnd);
  package.Seek(first);
}

bool TRecordStream::Next() {
  FCount = static_cast<size_t>(std::min<int64_t>(FLeft, kBlock));
  if (FCount == 0) return false;
  FPackage.BlockRead(FCodes.data(), FCount);
  FDecoder.Decode(FCodes.data(), FCount, FSamples.data());
  FLeft -= static_cast<int64_t>(FCount);
  return true;
}

TSoundFindings AnalyseRecord(TByteFile& package, const TSoundRecord& record, int columns) {
  TSoundAnalyser analyser(record.Samples(), columns);
  TRecordStream stream(package, record);
  while (stream.Next()) analyser.Feed(stream.Codes(), stream.Samples().data());
  return analyser.Finish();
}

TSourceComparison CompareWithSource(TByteFile& package, const TSoundRecord& record,
                                    const std::string& sourcePath, bool optimalGain) {
  TSourceComparison result;
  if (!FileExists(sourcePath)) return result;
  // The decoded record first: a damaged package is the package's error, not the source's.
  std::vector<uint8_t> decoded(static_cast<size_t>(record.Samples()));
  size_t at = 0;
  for (TRecordStream stream(package, record); stream.Next(); at += stream.Samples().size())
    std::copy(stream.Samples().begin(), stream.Samples().end(), decoded.begin() + at);
  std::vector<uint8_t> kept;
  try {
    TByteFile in(sourcePath);
    in.Reset();
    result.Text = ConvertWaveFileInMemory(in, kept);
    in.Close();
  } catch (const Exception& e) {
    result.State = TSourceState::Unreadable;
    result.Text = e.Message();
    return result;
  }
  result.KeptSamples = static_cast<int64_t>(kept.size());
  if (!result.Text.empty()) {
    result.State = TSourceState::Rejected;
    return result;
  }
  if (result.KeptSamples / 2 != record.CodeBytes) {  // an odd last sample is not coded
    result.State = TSourceState::Differs;
    return result;
  }
  result.State = TSourceState::Compared;
  const TEnergies e = Energies(kept, decoded.data(), decoded.size());
  result.Exact = e.Error == 0;
  result.Silent = e.Signal == 0;
  if (result.Exact || result.Silent) return result;
  result.CodingNoiseDb = RatioDb(e.Signal, e.Error);
  if (optimalGain) {
    // Both coders over the same stretch from the start of the sound: all of a prompt, the
    // first seconds of a long one, so a package of long sounds is reviewed in good time.
    const size_t n = std::min(kept.size(), kGainStretchSamples) & ~size_t{1};
    const TEnergies standard = Energies(kept, decoded.data(), n);
    const std::vector<uint8_t> codes = EncodeVox(TCoder::Optimal, kept.data(), n);
    TVoxDecoder decoder;
    decoder.Decode(codes.data(), codes.size(), decoded.data());
    const TEnergies optimal = Energies(kept, decoded.data(), n);
    if (optimal.Error > 0 && standard.Error > 0 && standard.Signal > 0) {
      result.OptimalGainDb =
          RatioDb(optimal.Signal, optimal.Error) - RatioDb(standard.Signal, standard.Error);
      result.GainOverSamples = static_cast<int64_t>(n);
    }
  }
  return result;
}

bool TSlotReview::HasWarning() const {
  return std::any_of(Checks.begin(), Checks.end(), [](const TReviewCheck& c) { return c.Warning; });
}

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
      TSlotReview s;
      s.Record = *next++;
      if (r.HasIni) {
        s.Name = ini.ReadString("SoundFiles", key, "Sound " + std::to_string(slot + 1));
        s.Source = IsNoFile(source) ? std::string("no source") : source;
      }
      // One time scale for every waveform: the longest slot fills kWaveColumns.
      const int columns = static_cast<int>(std::max<int64_t>(
          1, (s.Record.Samples() * kWaveColumns + r.LongestSamples - 1) / r.LongestSamples));
      s.Findings = AnalyseRecord(reader.File(), s.Record, columns);
      if (!IsNoFile(source))
        s.Comparison =
            CompareWithSource(reader.File(), s.Record, folder + NormaliseConfiguredName(source),
                              r.Coder == TCoder::Standard);
      s.Checks = ChecksFor(s.Findings, s.Comparison, source);
      r.Slots.push_back(std::move(s));
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
