#include "package/ReviewPage.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string_view>

#include "codec/SilenceTrim.h"
#include "codec/TakeFile.h"
#include "codec/VoxCoders.h"
#include "platform/files.h"
#include "rtl/OsFiles.h"
#include "rtl/SysUtils.h"

namespace {

constexpr size_t kBlock = kCopyBlockBytes;
constexpr int kWaveHeight = 64;  // pixels; a sample value v sits at (255 - v) / 4
constexpr const char* kGeneratorMark =
    "<meta name=\"generator\" content=\"zelvorsound-cli report\">";

int WaveY(uint8_t v) { return (255 - v) / 4; }

std::string Plural(int64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The page's file, written the safe way: it takes its name when complete. Text is collected
// and written in large pieces; a failure names the page.
class TPageOut {
 public:
  explicit TPageOut(std::string pagePath) : FFile(pagePath), FPagePath(std::move(pagePath)) {}
  void Open() {
    Guard([&] { FFile.Rewrite(); });
  }
  TPageOut& operator<<(std::string_view s) {
    std::memcpy(Room(s.size()), s.data(), s.size());
    return *this;
  }
  TPageOut& Text(const std::string& s) { return *this << HtmlText(s); }
  // Room for n more characters, to be filled by the caller at once.
  char* Room(size_t n) {
    if (FLength + n > kPageBlock && FLength > 0) Flush();
    if (FLength + n > FCapacity) {
      // Only an empty buffer grows: nothing is kept.
      FCapacity = std::max(kPageBlock, n);
      FBuf = std::make_unique_for_overwrite<char[]>(FCapacity);
    }
    char* at = FBuf.get() + FLength;
    FLength += n;
    return at;
  }
  void Close() {
    Flush();
    Guard([&] { FFile.Close(); });
  }
  int64_t Written() const { return FWritten + static_cast<int64_t>(FLength); }

 private:
  // Text is written in pieces of about this size.
  static constexpr size_t kPageBlock = 256 * 1024;

  void Flush() {
    Guard([&] { FFile.BlockWrite(FBuf.get(), FLength); });
    FWritten += static_cast<int64_t>(FLength);
    FLength = 0;
  }
  template <class F>
  void Guard(F f) {
    AsErrorOf(FPagePath, f);
  }

  TByteFile FFile;
  std::string FPagePath;
  std::unique_ptr<char[]> FBuf;
  size_t FLength = 0, FCapacity = 0;
  int64_t FWritten = 0;
};

// Base64 of a byte stream given in pieces of any length, for a data URI. Three bytes give
// four characters, two at a time from a table of every 12-bit value's pair.
class TBase64Writer {
 public:
  explicit TBase64Writer(TPageOut& out) : FOut(out) {}
  void Put(std::span<const uint8_t> bytes) {
    size_t i = 0;
    while (FHeld > 0 && FHeld < 3 && i < bytes.size()) FCarry[FHeld++] = bytes[i++];
    if (FHeld == 3) {
      char* at = FOut.Room(4);
      Encode(Pairs(), FCarry, at);
      FHeld = 0;
    }
    const size_t groups = (bytes.size() - i) / 3;
    char* at = FOut.Room(4 * groups);
    const auto& pairs = Pairs();
    for (size_t g = 0; g < groups; ++g, i += 3, at += 4) Encode(pairs, &bytes[i], at);
    while (i < bytes.size()) FCarry[FHeld++] = bytes[i++];
  }
  void End() {
    if (FHeld == 0) return;
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const uint32_t v = (uint32_t{FCarry[0]} << 16) | (FHeld > 1 ? uint32_t{FCarry[1]} << 8 : 0);
    char* at = FOut.Room(4);
    at[0] = kAlphabet[(v >> 18) & 63];
    at[1] = kAlphabet[(v >> 12) & 63];
    at[2] = FHeld > 1 ? kAlphabet[(v >> 6) & 63] : '=';
    at[3] = '=';
    FHeld = 0;
  }

 private:
  using TPairs = std::array<std::array<char, 2>, 4096>;
  static void Encode(const TPairs& pairs, const uint8_t* p, char* at) {
    const uint32_t v = (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
    std::memcpy(at, pairs[v >> 12].data(), 2);
    std::memcpy(at + 2, pairs[v & 4095].data(), 2);
  }
  static const TPairs& Pairs() {
    static const auto pairs = [] {
      static const char kAlphabet[] =
          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
      TPairs t{};
      for (int v = 0; v < 4096; ++v) t[v] = {kAlphabet[v >> 6], kAlphabet[v & 63]};
      return t;
    }();
    return pairs;
  }

  TPageOut& FOut;
  uint8_t FCarry[3] = {};
  size_t FHeld = 0;
};

// The text of an SVG path, its numbers written without the printf family.
class TPathText {
 public:
  TPathText& operator<<(const char* s) {
    FText += s;
    return *this;
  }
  TPathText& operator<<(int v) {
    char text[16];
    FText.append(text, std::to_chars(text, text + sizeof text, v).ptr);
    return *this;
  }
  const std::string& Text() const { return FText; }

 private:
  std::string FText;
};

// The waveform on the page's time scale: the quiet band shaded, the middle line, one bar per
// column from its lowest to its highest sample, and red marks where the decoder wraps or the
// sound is clipped. It spans the share of the width its length has of the longest slot's.
void WriteWaveform(TPageOut& out, const TSoundFindings& f, int slot, int64_t longest) {
  const int columns = static_cast<int>(f.ColumnLo.size());
  const int bandTop = WaveY(kWideQuietBand.Hi), bandBottom = WaveY(kWideQuietBand.Lo);
  const double share =
      100.0 * static_cast<double>(f.Samples) / static_cast<double>(std::max<int64_t>(longest, 1));
  out << Format(
      "<svg class=\"wave\" viewBox=\"0 0 %d %d\" preserveAspectRatio=\"none\" "
      "style=\"width:%.3f%%\" data-seconds=\"%.3f\" shape-rendering=\"crispEdges\" role=\"img\" "
      "aria-label=\"waveform of slot %d\">"
      "<rect class=\"band\" x=\"0\" y=\"%d\" width=\"%d\" height=\"%d\"/>"
      "<path class=\"mid\" d=\"M0 %d.5h%d\"/><path class=\"env\" d=\"",
      columns, kWaveHeight, share, static_cast<double>(f.Samples) / kTestWavRate, slot, bandTop,
      columns, bandBottom - bandTop + 1, WaveY(128), columns);
  // Relative moves keep the path short: after "v h" the pen stands at the bar's foot.
  TPathText d;
  int foot = 0;
  for (int c = 0; c < columns; ++c) {
    const int top = WaveY(f.ColumnHi[c]), height = WaveY(f.ColumnLo[c]) - top + 1;
    // A minus sign separates numbers by itself.
    if (c == 0)
      d << "M0.5 " << top;
    else
      d << (top < foot ? "m1" : "m1 ") << top - foot;
    d << "v" << height;
    foot = top + height;
  }
  out << d.Text() << "\"/>";
  TPathText marks;
  for (int c = 0; c < columns; ++c)
    if (f.ColumnMarked[c]) marks << "M" << c << ".5 0v" << kWaveHeight;
  if (!marks.Text().empty()) out << "<path class=\"mark\" d=\"" << marks.Text() << "\"/>";
  out << "</svg>";
}

// The sounds of the package for the players, decoded again block by block as the page
// takes them: reading the codes again costs less than keeping the decoded sounds meanwhile.
class TDecodedSounds {
 public:
  explicit TDecodedSounds(std::string packagePath) : FPackagePath(std::move(packagePath)) {}
  // The sound of the record, block by block, into put.
  template <class F>
  void Get(const TSoundRecord& record, F put) {
    AsErrorOf(FPackagePath, [&] {
      if (!FPackage.IsOpen()) {
        FPackage.Assign(FPackagePath);
        FPackage.Reset();
      }
      TRecordStream stream(FPackage, record);
      while (stream.Next()) put(stream.Samples());
    });
  }

 private:
  std::string FPackagePath;
  TByteFile FPackage;
};

// The decoded sound as the instrument plays it: the bytes `extract` writes, as a data URI.
void WriteAudio(TPageOut& out, TDecodedSounds& sounds, const TSoundRecord& record) {
  out << "<audio controls preload=\"none\" src=\"data:audio/wav;base64,";
  TBase64Writer b64(out);
  const auto head = TakeHeader(static_cast<uint32_t>(record.Samples()));
  b64.Put(head);
  sounds.Get(record, [&](std::span<const uint8_t> samples) { b64.Put(samples); });
  b64.End();
  out << "\"></audio>";
}

// One card per slot: its number, then name, figures, waveform and player, then its checks.
// Wide screens set the three side by side; narrow ones put the checks below.
constexpr const char* kStyle =
    "body{font:14px/1.4 'Liberation Sans',Arial,sans-serif;margin:0 auto;max-width:1180px;"
    "padding:12px;color:#222;background:#fff}"
    "h1{font-size:20px;margin:0 0 8px;overflow-wrap:anywhere}"
    "dl.summary{display:grid;grid-template-columns:max-content minmax(0,1fr);gap:2px 12px;"
    "margin:0 0 16px}"
    "dt{font-weight:bold}dd{margin:0;overflow-wrap:anywhere}"
    ".slot{display:grid;grid-template-columns:3em minmax(0,1fr) minmax(0,22em);gap:4px 16px;"
    "padding:8px 4px;border-bottom:1px solid #ddd}"
    ".slot.warn{background:#fff4e5}"
    ".num{font-weight:bold;text-align:right}"
    ".name,.source{overflow-wrap:anywhere}"
    ".sub{color:#666;font-size:12px}.figures{margin:2px 0 4px}"
    ".scale{background:#f7f7f7;margin:0 0 4px}"
    "svg.wave{display:block;height:64px;min-width:2px;background:#eef1f4}"
    ".band{fill:#dce6f0}.mid{stroke:#9aabbc}.env{stroke:#1f4e79}.mark{stroke:#c62828}"
    "audio{display:block;width:100%;max-width:320px;height:32px}"
    "ul.checks{margin:0;padding-left:16px}"
    "li{overflow-wrap:anywhere}li.warning{color:#b3261e}li.info{color:#555}"
    "p.empty,p.unfilled,footer{margin:12px 0;overflow-wrap:anywhere}"
    "footer{color:#555;font-size:12px}"
    "@media (max-width:760px){body{padding:8px}"
    ".slot{grid-template-columns:2.2em minmax(0,1fr);gap:4px 8px}"
    ".slot ul.checks{grid-column:1/-1}}";

std::string FiguresOf(const TSlotReview& s) {
  std::string text = SecondsText(s.Findings.Samples) + " · " +
                     Plural(s.Record.CodeBytes, "code byte", "code bytes") + " · ";
  text += std::isfinite(s.Findings.LoudnessLufs) ? Format("%.1f LUFS", s.Findings.LoudnessLufs)
                                                 : std::string("silent");
  return text;
}

std::string FileTime(const std::string& path) {
  osfiles::TInfo info;
  if (osfiles::Stat(ResolveFileName(path), true, info) != 0) return "unknown";
  const std::tm local = LocalTime(static_cast<std::time_t>(info.Modified));
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::string DisplayPath(const std::string& path) { return AbsolutePath(path); }

void WritePage(TPageOut& out, const TReview& r, TDecodedSounds& sounds) {
  const std::string& packagePath = r.PackagePath;
  const std::vector<TSlotReview>& slots = r.Slots;
  int64_t codeBytes = 0;
  std::vector<int> warned;
  int longestSlot = -1;
  for (const TSlotReview& s : slots) {
    codeBytes += s.Record.CodeBytes;
    if (s.HasWarning()) warned.push_back(s.Record.Slot);
    if (longestSlot < 0 && s.Record.Samples() == r.LongestSamples) longestSlot = s.Record.Slot;
  }
  const std::string title = PathText(FsPath(packagePath).filename());
  out << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
      << kGeneratorMark << "<title>";
  out.Text(title) << " — review</title><style>" << kStyle << "</style></head><body>\n<h1>";
  out.Text(title) << "</h1>\n<dl class=\"summary\"><dt>Package</dt><dd class=\"path\">";
  out.Text(DisplayPath(packagePath))
      << ", " << Plural(r.PackageBytes, "byte", "bytes") << "</dd><dt>Built</dt><dd>"
      << FileTime(packagePath) << " (the package file's time)</dd><dt>Slots filled</dt>"
      << "<dd class=\"filled\">" << std::to_string(slots.size()) << " of "
      << std::to_string(kSlotCount) << "</dd>"
      << "<dt>Sound</dt><dd>" << SecondsText(2 * codeBytes) << " in all, "
      << Plural(codeBytes, "code byte", "code bytes") << "</dd>";
  if (longestSlot >= 0)
    out << "<dt>Time scale</dt><dd class=\"scale-text\">the full width of a waveform is "
        << SecondsText(r.LongestSamples) << ", the length of slot " << std::to_string(longestSlot)
        << "</dd>";
  out << "<dt>Loudness</dt><dd class=\"loudness\">";
  if (r.MedianLoudnessLufs)
    out << Format(
        "the middle of the slots is %.1f LUFS; a slot more than %g LU from it is "
        "flagged",
        *r.MedianLoudnessLufs, kLoudnessSpreadLu);
  else
    out << "no slot sounds";
  out << "</dd><dt>Coder</dt><dd class=\"coder\">" << CoderName(r.Coder);
  if (r.Coder == TCoder::Standard && r.MedianOptimalGainDb)
    out << Format(
        ": the optimal coder would put the coding noise a median %.1f dB further "
        "below (Coder=optimal in [Options] of \"ZelvorSound.ini\")",
        *r.MedianOptimalGainDb);
  out << "</dd><dt>Names</dt><dd>";
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

  for (const TSlotReview& s : slots) {
    const int slot = s.Record.Slot;
    out << Format(
        "<section class=\"slot%s\" id=\"slot-%d\" data-slot=\"%d\">"
        "<div class=\"num\">%d</div><div class=\"main\"><div class=\"name\">",
        s.HasWarning() ? " warn" : "", slot, slot, slot);
    out.Text(s.Name) << "</div><div class=\"sub source\">";
    out.Text(s.Source) << "</div><div class=\"figures\">" << FiguresOf(s)
                       << "</div><div class=\"scale\">";
    WriteWaveform(out, s.Findings, slot, r.LongestSamples);
    out << "</div>";
    WriteAudio(out, sounds, s.Record);
    out << "</div><ul class=\"checks\">";
    for (const TReviewCheck& c : s.Checks) {
      out << "<li class=\"" << (c.Warning ? "warning" : "info") << "\" data-kind=\"" << c.Kind
          << "\">";
      out.Text(c.Text) << "</li>";
    }
    if (!s.HasWarning()) out << "<li class=\"info\" data-kind=\"ok\">No warnings</li>";
    out << "</ul></section>\n";
  }

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
         "second, 8 bits. Every waveform is drawn to the same time scale and shows the lowest "
         "and highest decoded sample of each column; the shaded band is the quiet band (112 to "
         "144) of the silence trimming; red marks show where the decoder wraps around or the "
         "sound is clipped. Loudness is measured as ITU-R BS.1770 defines it (LUFS). A source "
         "named in \"ZelvorSound.ini\" is converted as the build would convert it now and "
         "compared with the decoded sound: the coding noise is how far their difference lies "
         "below the prompt.</footer>\n</body></html>\n";
}

}  // namespace

TReviewSummary WriteReviewPage(const std::string& packagePath, const std::string& folder,
                               const std::string& pagePath) {
  // The package is decoded once: the review keeps each sound for the players.
  const TReview review = ReviewPackage(packagePath, folder);
  TDecodedSounds sounds(packagePath);
  TPageOut out(pagePath);
  // The page is replaced in one step; a read-only one refuses as the runtime refuses it.
  out.Open();
  WritePage(out, review, sounds);
  out.Close();
  TReviewSummary summary;
  summary.Filled = static_cast<int>(review.Slots.size());
  for (const TSlotReview& s : review.Slots) summary.WithWarnings += s.HasWarning() ? 1 : 0;
  summary.PageBytes = out.Written();
  return summary;
}

bool IsReviewPage(const std::string& path) {
  std::ifstream in(FsPath(path), std::ios::binary);
  char head[256];
  in.read(head, sizeof head);
  return std::string_view(head, static_cast<size_t>(in.gcount())).find(kGeneratorMark) !=
         std::string_view::npos;
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
