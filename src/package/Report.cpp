#include "package/Report.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string_view>

#include "codec/Convert.h"
#include "codec/PreFilter.h"
#include "codec/SilenceTrim.h"
#include "codec/TakeFile.h"
#include "codec/WavInput.h"
#include "package/Builder.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "rtl/SysUtils.h"

namespace {

constexpr size_t kBlock = kCopyBlockBytes;
constexpr int kWaveHeight = 64;  // pixels; a sample value v sits at (255 - v) / 4
constexpr const char* kGeneratorMark =
    "<meta name=\"generator\" content=\"zelvorsound-cli report\">";

int WaveY(uint8_t v) { return (255 - v) / 4; }

std::string Seconds(int64_t samples) {
  return Format("%.3f s", static_cast<double>(samples) / kTestWavRate);
}

std::string Plural(int64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Runs f; an error it raises is reported as one of file, unless it names its file already.
template <class F>
void AsErrorOf(const std::string& file, F f) {
  try {
    f();
  } catch (const EReviewFileError&) {
    throw;
  } catch (const Exception& e) {
    throw EReviewFileError(file, e.Message());
  }
}

// The page's file. Text is collected and written in large pieces; a failure names the page
// by the place it is meant for, not by the temporary name it is built under.
class TPageOut {
 public:
  TPageOut(std::string buildingPath, std::string pagePath)
      : FFile(std::move(buildingPath)), FPagePath(std::move(pagePath)) {}
  void Open() {
    Guard([&] { FFile.Rewrite(); });
  }
  TPageOut& operator<<(std::string_view s) {
    FBuf.append(s);
    if (FBuf.size() >= kBlock) Flush();
    return *this;
  }
  TPageOut& Text(const std::string& s) { return *this << HtmlText(s); }
  void Close() {
    Flush();
    Guard([&] { FFile.Close(); });
  }
  int64_t Written() const { return FWritten + static_cast<int64_t>(FBuf.size()); }

 private:
  void Flush() {
    Guard([&] { FFile.BlockWrite(FBuf.data(), FBuf.size()); });
    FWritten += static_cast<int64_t>(FBuf.size());
    FBuf.clear();
  }
  template <class F>
  void Guard(F f) {
    AsErrorOf(FPagePath, f);
  }

  TByteFile FFile;
  std::string FPagePath;
  std::string FBuf;
  int64_t FWritten = 0;
};

// Base64 of a byte stream given in pieces of any length, for a data URI.
class TBase64Writer {
 public:
  explicit TBase64Writer(TPageOut& out) : FOut(out) {}
  void Put(std::span<const uint8_t> bytes) {
    size_t i = 0;
    while (FHeld > 0 && FHeld < 3 && i < bytes.size()) FCarry[FHeld++] = bytes[i++];
    if (FHeld == 3) {
      Encode(FCarry, 3);
      FHeld = 0;
    }
    for (; i + 3 <= bytes.size(); i += 3) Encode(&bytes[i], 3);
    while (i < bytes.size()) FCarry[FHeld++] = bytes[i++];
    FOut << FChunk;
    FChunk.clear();
  }
  void End() {
    if (FHeld > 0) Encode(FCarry, FHeld);
    FHeld = 0;
    FOut << FChunk;
    FChunk.clear();
  }

 private:
  void Encode(const uint8_t* p, size_t n) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const uint32_t v =
        (uint32_t{p[0]} << 16) | (n > 1 ? uint32_t{p[1]} << 8 : 0) | (n > 2 ? uint32_t{p[2]} : 0);
    FChunk += kAlphabet[(v >> 18) & 63];
    FChunk += kAlphabet[(v >> 12) & 63];
    FChunk += n > 1 ? kAlphabet[(v >> 6) & 63] : '=';
    FChunk += n > 2 ? kAlphabet[v & 63] : '=';
  }

  TPageOut& FOut;
  uint8_t FCarry[3] = {};
  size_t FHeld = 0;
  std::string FChunk;
};

// Follows the samples the conversion keeps from a source and compares each with the decoded
// sample of the same index, which the record gives block by block as they are needed.
class TCompareSink : public TSampleSink {
 public:
  TCompareSink(TByteFile& package, const TSoundRecord& record)
      : FDecoded(package, record), FTrim(kNarrowQuietBand) {}
  void Put(const uint8_t* samples, size_t count) override {
    FTrim.Feed(samples, count);
    for (size_t i = 0; i < count;) {
      if (FPos == FAvailable.size()) {
        if (!FDecoded.Next()) return;  // the source is longer: told by the kept count
        FAvailable = FDecoded.Samples();
        FPos = 0;
      }
      const size_t n = std::min(count - i, FAvailable.size() - FPos);
      const uint8_t* decoded = &FAvailable[FPos];
      for (size_t k = 0; k < n; ++k) {
        const int64_t signal = samples[i + k] - 128, error = samples[i + k] - decoded[k];
        FSignal += signal * signal;
        FError += error * error;
      }
      i += n;
      FPos += n;
    }
  }
  int64_t Kept() const { return FTrim.KeptCount(); }
  int64_t Signal() const { return FSignal; }
  int64_t Error() const { return FError; }

 private:
  TRecordStream FDecoded;
  std::span<const uint8_t> FAvailable;
  size_t FPos = 0;
  TTrailingTrim FTrim;
  int64_t FSignal = 0, FError = 0;
};

// The samples the build keeps from a source: the same steps as ConvertWaveFile, into a sink
// instead of "out.dat". An empty text when accepted, else the conversion's problem text.
std::string ReduceSource(TByteFile& in, TSampleSink& sink) {
  TPreFilter filter;
  ResetPreFilter(filter);
  TWavInfo info;
  std::string problem = CheckWavHeader(in, info);
  if (!problem.empty()) return problem;
  const bool sixteen = info.BitsPerSample == 16;
  float gain = 1.0f;
  if (sixteen) gain = GainForPeak(MeasurePeak16(in, filter));
  ResetPreFilter(filter);
  const uint32_t dataSize = in.ReadU32();
  int64_t first = 0;
  if (info.SampleRate != kReducibleRate16) {
    const int64_t dataStart = in.Pos();
    first = FindLeadingStart(in, dataSize, kWideQuietBand);
    if (first < 0) return "";  // quiet throughout: nothing kept
    in.Seek(dataStart + first);
  }
  if (sixteen)
    Reduce16(in, dataSize, filter, gain, sink);
  else
    Reduce8(in, dataSize, first, sink);
  return "";
}

// One line in a slot's checks.
struct TCheck {
  const char* Kind;  // wrap, clip, short, silent, ser, source
  bool Warning;
  std::string Text;
};

std::vector<TCheck> ChecksFor(const TSoundFindings& f, const std::optional<TSourceComparison>& c,
                              const std::string& source) {
  std::vector<TCheck> checks;
  if (f.Wraps > 0)
    checks.push_back({"wrap", true,
                      "Wraps around " + Plural(f.Wraps, "time", "times") + ", first at " +
                          Seconds(f.FirstWrap) +
                          ": the decoder steps past 0 or 255, a click on the instrument"});
  if (f.ClipStretches > 0)
    checks.push_back({"clip", true,
                      "Clipped: " + Plural(f.ClipStretches, "stretch", "stretches") +
                          " at 0 or 255 (" + Seconds(f.ClipSamples) + " in all), first at " +
                          Seconds(f.FirstClip)});
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
                            Seconds(c->KeptSamples) + ", the package holds " + Seconds(f.Samples) +
                            "; build again"});
      break;
    case TSourceState::Compared:
      if (c->Exact)
        checks.push_back({"ser", false, "Identical to the samples coded from " + source});
      else if (c->Silent)
        checks.push_back({"ser", false, source + " is silent after trimming"});
      else
        checks.push_back({"ser", c->SignalToErrorDb < kLowSignalToErrorDb,
                          Format("Signal-to-error %.1f dB against ", c->SignalToErrorDb) + source +
                              (c->SignalToErrorDb < kLowSignalToErrorDb
                                   ? ": too steep or too loud for the codec's steps"
                                   : "")});
      break;
  }
  return checks;
}

bool HasWarning(const std::vector<TCheck>& checks) {
  return std::any_of(checks.begin(), checks.end(), [](const TCheck& c) { return c.Warning; });
}

// The waveform: the quiet band shaded, the middle line, one bar per column from its lowest
// to its highest sample, and red marks where the decoder wraps or the sound is clipped.
void WriteWaveform(TPageOut& out, const TSoundFindings& f, int slot) {
  const int columns = static_cast<int>(f.ColumnLo.size());
  const int bandTop = WaveY(kWideQuietBand.Hi), bandBottom = WaveY(kWideQuietBand.Lo);
  out << Format(
      "<svg class=\"wave\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\" "
      "shape-rendering=\"crispEdges\" role=\"img\" aria-label=\"waveform of slot %d\">"
      "<rect class=\"band\" x=\"0\" y=\"%d\" width=\"%d\" height=\"%d\"/>"
      "<path class=\"mid\" d=\"M0 %d.5h%d\"/><path class=\"env\" d=\"",
      columns, kWaveHeight, columns, kWaveHeight, slot, bandTop, columns, bandBottom - bandTop + 1,
      WaveY(128), columns);
  // Relative moves keep the path short: after "v h" the pen stands at the bar's foot.
  std::string d;
  int foot = 0;
  for (int c = 0; c < columns; ++c) {
    const int top = WaveY(f.ColumnHi[c]), height = WaveY(f.ColumnLo[c]) - top + 1;
    // A minus sign separates numbers by itself.
    d += c == 0 ? Format("M0.5 %dv%d", top, height)
                : Format(top < foot ? "m1%dv%d" : "m1 %dv%d", top - foot, height);
    foot = top + height;
  }
  out << d << "\"/>";
  d.clear();
  for (int c = 0; c < columns; ++c)
    if (f.ColumnMarked[c]) d += Format("M%d.5 0v%d", c, kWaveHeight);
  if (!d.empty()) out << "<path class=\"mark\" d=\"" << d << "\"/>";
  out << "</svg>";
}

// The decoded sound as the instrument plays it: the bytes `extract` writes, as a data URI.
void WriteAudio(TPageOut& out, TByteFile& package, const TSoundRecord& record) {
  out << "<audio controls preload=\"none\" src=\"data:audio/wav;base64,";
  TBase64Writer b64(out);
  const auto head = TakeHeader(static_cast<uint32_t>(record.Samples()));
  b64.Put(head);
  TRecordStream stream(package, record);
  while (stream.Next()) b64.Put(stream.Samples());
  b64.End();
  out << "\"></audio>";
}

struct TSlotReview {
  TSoundRecord Record;
  std::string Name, Source;  // from the INI; Source as written there
  TSoundFindings Findings;
  std::optional<TSourceComparison> Comparison;  // only when the INI names a source
  std::vector<TCheck> Checks;
};

constexpr const char* kStyle =
    "body{font:14px/1.4 'Liberation Sans',Arial,sans-serif;margin:16px;color:#222;"
    "background:#fff}"
    "h1{font-size:20px;margin:0 0 8px}"
    "dl.summary{display:grid;grid-template-columns:max-content auto;gap:2px 12px;"
    "margin:0 0 16px}"
    "dt{font-weight:bold}dd{margin:0}"
    "table{border-collapse:collapse}"
    "th,td{border-bottom:1px solid #ddd;padding:4px 8px;text-align:left;vertical-align:middle}"
    "th{background:#eee}tr.warn{background:#fff4e5}"
    "td.num{text-align:right;white-space:nowrap}"
    ".sub{color:#666;font-size:12px}"
    "svg.wave{display:block;background:#f7f7f7}"
    ".band{fill:#dce6f0}.mid{stroke:#9aabbc}.env{stroke:#1f4e79}.mark{stroke:#c62828}"
    "audio{width:200px}ul.checks{margin:0;padding-left:16px;min-width:200px;max-width:360px}"
    "li.warning{color:#b3261e}li.info{color:#555}"
    "p.empty,p.unfilled,footer{margin:12px 0;max-width:900px}"
    "footer{color:#555;font-size:12px}";

std::string FileTime(const std::string& path) {
  struct stat st;
  if (::stat(ResolveFileName(path).c_str(), &st) != 0) return "unknown";
  const std::tm local = LocalTime(st.st_mtime);
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::string DisplayPath(const std::string& path) {
  std::error_code ec;
  auto abs = std::filesystem::absolute(path, ec);
  return ec ? path : abs.lexically_normal().string();
}

std::string FolderOf(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Everything the page shows, gathered before the first byte of it is written.
struct TReview {
  std::string PackagePath, IniPath;
  bool HasIni = false;
  int64_t PackageBytes = 0;
  std::vector<TSlotReview> Slots;
  std::vector<int> Empty;
  std::vector<std::string> EmptyButNamed;  // "5 (Hello.WAV)"
};

TReview ReviewPackage(TPackageReader& reader, const std::string& packagePath,
                      const std::string& folder) {
  TReview r;
  r.PackagePath = packagePath;
  r.IniPath = folder + "ZelvorSound.ini";
  r.HasIni = FileExists(r.IniPath);
  r.PackageBytes = reader.File().Size();
  TIniFile ini(r.IniPath);
  for (int slot = 0; slot < kSlotCount; ++slot) {
    const std::string key = "Name" + std::to_string(slot);
    const std::string source = r.HasIni ? ini.ReadString("SourceFileNames", key, "") : "";
    std::optional<TSoundRecord> record = reader.Record(slot);
    if (!record) {
      r.Empty.push_back(slot);
      if (!IsNoFile(source)) r.EmptyButNamed.push_back(std::to_string(slot) + " (" + source + ")");
      continue;
    }
    TSlotReview s;
    s.Record = *record;
    if (r.HasIni) {
      s.Name = ini.ReadString("SoundFiles", key, "Sound " + std::to_string(slot + 1));
      s.Source = IsNoFile(source) ? std::string("no source") : source;
    }
    s.Findings = AnalyseRecord(reader.File(), s.Record);
    if (!IsNoFile(source))
      s.Comparison =
          CompareWithSource(reader.File(), s.Record, folder + NormaliseConfiguredName(source));
    s.Checks = ChecksFor(s.Findings, s.Comparison, source);
    r.Slots.push_back(std::move(s));
  }
  return r;
}

void WritePage(TPageOut& out, const TReview& r, TByteFile& package) {
  const std::string& packagePath = r.PackagePath;
  const std::vector<TSlotReview>& slots = r.Slots;
  int64_t codeBytes = 0;
  std::vector<int> warned;
  for (const TSlotReview& s : slots) {
    codeBytes += s.Record.CodeBytes;
    if (HasWarning(s.Checks)) warned.push_back(s.Record.Slot);
  }
  const std::string title = std::filesystem::path(packagePath).filename().string();
  out << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">" << kGeneratorMark
      << "<title>";
  out.Text(title) << " — review</title><style>" << kStyle << "</style></head><body>\n<h1>";
  out.Text(title) << "</h1>\n<dl class=\"summary\"><dt>Package</dt><dd class=\"path\">";
  out.Text(DisplayPath(packagePath))
      << ", " << Plural(r.PackageBytes, "byte", "bytes") << "</dd><dt>Built</dt><dd>"
      << FileTime(packagePath) << " (the package file's time)</dd><dt>Slots filled</dt>"
      << "<dd class=\"filled\">" << std::to_string(slots.size()) << " of "
      << std::to_string(kSlotCount) << "</dd>"
      << "<dt>Sound</dt><dd>" << Seconds(2 * codeBytes) << " in all, "
      << Plural(codeBytes, "code byte", "code bytes") << "</dd><dt>Names</dt><dd>";
  if (r.HasIni) {
    out << "from ";
    out.Text(DisplayPath(r.IniPath));
  } else {
    out << "no \"ZelvorSound.ini\" in ";
    out.Text(DisplayPath(FolderOf(r.IniPath))) << ": slots shown by number only";
  }
  out << "</dd><dt>Warnings</dt><dd class=\"warned\">";
  if (warned.empty()) out << "none";
  for (size_t i = 0; i < warned.size(); ++i)
    out << (i ? ", " : "slot ") << Format("<a href=\"#slot-%d\">%d</a>", warned[i], warned[i]);
  out << "</dd></dl>\n";

  if (!slots.empty())
    out << "<table class=\"slots\"><thead><tr><th>Slot</th><th>Name and source</th>"
           "<th>Length</th><th>Waveform</th><th>Listen</th><th>Checks</th></tr></thead>"
           "<tbody>\n";
  for (const TSlotReview& s : slots) {
    const int slot = s.Record.Slot;
    out << Format("<tr class=\"slot%s\" id=\"slot-%d\" data-slot=\"%d\"><td class=\"num\">%d</td>",
                  HasWarning(s.Checks) ? " warn" : "", slot, slot, slot)
        << "<td><div class=\"name\">";
    out.Text(s.Name) << "</div><div class=\"sub source\">";
    out.Text(s.Source) << "</div></td><td class=\"num\">" << Seconds(s.Findings.Samples)
                       << "<div class=\"sub\">"
                       << Plural(s.Record.CodeBytes, "code byte", "code bytes")
                       << "</div></td><td>";
    WriteWaveform(out, s.Findings, slot);
    out << "</td><td>";
    WriteAudio(out, package, s.Record);
    out << "</td><td><ul class=\"checks\">";
    for (const TCheck& c : s.Checks) {
      out << "<li class=\"" << (c.Warning ? "warning" : "info") << "\" data-kind=\"" << c.Kind
          << "\">";
      out.Text(c.Text) << "</li>";
    }
    if (!HasWarning(s.Checks)) out << "<li class=\"info\" data-kind=\"ok\">No warnings</li>";
    out << "</ul></td></tr>\n";
  }
  if (!slots.empty()) out << "</tbody></table>\n";

  out << "<p class=\"empty\">";
  if (r.Empty.empty())
    out << "No empty slots.";
  else
    out << "Empty slots (" << std::to_string(r.Empty.size()) << "): " << SlotRanges(r.Empty);
  out << "</p>\n";
  if (!r.EmptyButNamed.empty()) {
    out << "<p class=\"unfilled\">Named in \"ZelvorSound.ini\" but empty in the package: ";
    for (size_t i = 0; i < r.EmptyButNamed.size(); ++i) {
      if (i) out << ", ";
      out.Text(r.EmptyButNamed[i]);
    }
    out << "</p>\n";
  }
  out << "<footer>Each player plays the sound as the instrument decodes it: 8000 samples a "
         "second, 8 bits. The waveform shows the lowest and highest decoded sample of each "
         "column; the shaded band is the quiet band (112 to 144) of the silence trimming; red "
         "marks show where the decoder wraps around or the sound is clipped. A source named in "
         "\"ZelvorSound.ini\" is compared with the decoded sound as the build would convert it "
         "now.</footer>\n</body></html>\n";
}

}  // namespace

TSoundAnalyser::TSoundAnalyser(int64_t samples, int columns) : FColumns(columns) {
  F.Samples = samples;
  FNextColumnAt = ColumnStart(1);
  F.ColumnLo.assign(columns, 255);
  F.ColumnHi.assign(columns, 0);
  F.ColumnMarked.assign(columns, false);
}

void TSoundAnalyser::Feed(std::span<const uint8_t> codes, const uint8_t* samples) {
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

TSoundFindings AnalyseRecord(TByteFile& package, const TSoundRecord& record) {
  TSoundAnalyser analyser(record.Samples());
  TRecordStream stream(package, record);
  while (stream.Next()) analyser.Feed(stream.Codes(), stream.Samples().data());
  return analyser.Finish();
}

TSourceComparison CompareWithSource(TByteFile& package, const TSoundRecord& record,
                                    const std::string& sourcePath) {
  TSourceComparison result;
  if (!FileExists(sourcePath)) return result;
  TCompareSink sink(package, record);  // a damaged package is the package's error
  try {
    TByteFile in(sourcePath);
    in.Reset();
    result.Text = ReduceSource(in, sink);
    in.Close();
  } catch (const Exception& e) {
    result.State = TSourceState::Unreadable;
    result.Text = e.Message();
    return result;
  }
  result.KeptSamples = sink.Kept();
  if (!result.Text.empty())
    result.State = TSourceState::Rejected;
  else if (result.KeptSamples / 2 != record.CodeBytes)  // an odd last sample is not coded
    result.State = TSourceState::Differs;
  else {
    result.State = TSourceState::Compared;
    result.Exact = sink.Error() == 0;
    result.Silent = sink.Signal() == 0;
    if (!result.Exact && !result.Silent)
      result.SignalToErrorDb =
          10.0 * std::log10(static_cast<double>(sink.Signal()) / static_cast<double>(sink.Error()));
  }
  return result;
}

TReviewSummary WriteReviewPage(const std::string& packagePath, const std::string& folder,
                               const std::string& pagePath) {
  TPackageReader reader(packagePath);
  TReview review;
  AsErrorOf(packagePath, [&] {
    reader.Open();
    review = ReviewPackage(reader, packagePath, folder);
  });
  const std::string building =
      FolderOf(pagePath) + ".report-" + std::to_string(::getpid()) + ".part";
  TPageOut out(building, pagePath);
  try {
    out.Open();
    AsErrorOf(packagePath, [&] { WritePage(out, review, reader.File()); });
    out.Close();
    // The page is replaced in one step; a read-only one refuses as the runtime refuses it.
    AsErrorOf(pagePath, [&] { ReplaceByRename(building, pagePath); });
  } catch (...) {
    std::remove(building.c_str());
    throw;
  }
  reader.Close();
  TReviewSummary summary;
  summary.Filled = static_cast<int>(review.Slots.size());
  for (const TSlotReview& s : review.Slots) summary.WithWarnings += HasWarning(s.Checks) ? 1 : 0;
  summary.PageBytes = out.Written();
  return summary;
}

bool IsReviewPage(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  char head[256];
  const size_t n = std::fread(head, 1, sizeof head, f);
  std::fclose(f);
  return std::string_view(head, n).find(kGeneratorMark) != std::string_view::npos;
}

std::string SlotRanges(const std::vector<int>& slots) {
  std::string text;
  for (size_t i = 0; i < slots.size();) {
    size_t j = i;
    while (j + 1 < slots.size() && slots[j + 1] == slots[j] + 1) ++j;
    if (!text.empty()) text += ", ";
    text += std::to_string(slots[i]);
    if (j > i) text += "\u2013" + std::to_string(slots[j]);
    i = j + 1;
  }
  return text;
}

std::string HtmlText(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    // The length of a well-formed UTF-8 sequence starting here, or 0.
    size_t len = c < 0x80                          ? 1
                 : (c & 0xE0) == 0xC0 && c >= 0xC2 ? 2
                 : (c & 0xF0) == 0xE0              ? 3
                 : (c & 0xF8) == 0xF0 && c <= 0xF4 ? 4
                                                   : 0;
    for (size_t k = 1; k < len; ++k)
      if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) len = 0;
    if (len == 0) {
      out += Format("&#%u;", static_cast<unsigned>(c));  // Latin-1
      ++i;
      continue;
    }
    if (len > 1) {
      out.append(text, i, len);
      i += len;
      continue;
    }
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        if (c < 0x20 && c != '\t')
          out += "\uFFFD";
        else if (c == 0x7F)
          out += "\uFFFD";
        else
          out += static_cast<char>(c);
    }
    ++i;
  }
  return out;
}
