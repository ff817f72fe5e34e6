#include "platform/profile.h"

#include <algorithm>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "rtl/ByteFile.h"
#include "rtl/Classes.h"
#include "rtl/FileSystem.h"
#include "rtl/OsFiles.h"
#include "rtl/SysUtils.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

std::string Unquote(const std::string& v) {
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') return v.substr(1, v.size() - 2);
  return v;
}

// Quotes a value whose surrounding blanks or quotes a later read would strip, so that every
// value read back is the value written.
std::string QuoteIfNeeded(const std::string& v) {
  if (v.empty()) return v;
  bool blanks = IsBlank(v.front()) || IsBlank(v.back());
  bool quoted = v.size() >= 2 && v.front() == '"' && v.back() == '"';
  return (blanks || quoted) ? '"' + v + '"' : v;
}

bool BreaksLine(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

// --- UTF-16 ---
// Bytes that are no UTF-8 travel through UTF-16 as the lone surrogates U+DC80 to U+DCFF and
// come back as the same bytes, so a name survives whatever it holds.

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

uint16_t UnitAt(const std::string& bytes, size_t at, bool bigEndian) {
  const auto b0 = static_cast<uint8_t>(bytes[at]), b1 = static_cast<uint8_t>(bytes[at + 1]);
  return static_cast<uint16_t>(bigEndian ? (b0 << 8) | b1 : (b1 << 8) | b0);
}

// UTF-16 code units (an even number of bytes) as UTF-8.
std::string FromUtf16(const std::string& bytes, bool bigEndian) {
  std::string out;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    char32_t c = UnitAt(bytes, i, bigEndian);
    if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes.size()) {
      const uint16_t low = UnitAt(bytes, i + 2, bigEndian);
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    if (c >= 0xDC80 && c <= 0xDCFF)
      out += static_cast<char>(c - 0xDC00);
    else if (c >= 0xD800 && c < 0xE000)
      AppendUtf8(out, 0xFFFD);
    else
      AppendUtf8(out, c);
  }
  return out;
}

void PutUnit(std::string& out, uint16_t u, bool bigEndian) {
  const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
  out += bigEndian ? hi : lo;
  out += bigEndian ? lo : hi;
}

std::string ToUtf16(const std::string& text, bool bigEndian) {
  std::string out;
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    // The length of a well-formed UTF-8 sequence starting here, or 0.
    const uint8_t c = s[i];
    size_t len = c < 0x80                 ? 1
                 : c >= 0xC2 && c < 0xE0  ? 2
                 : c >= 0xE0 && c < 0xF0  ? 3
                 : c >= 0xF0 && c <= 0xF4 ? 4
                                          : 0;
    char32_t cp = len == 1 ? c : len == 2 ? c & 0x1F : len == 3 ? c & 0x0F : c & 0x07;
    for (size_t k = 1; k < len; ++k) {
      if (i + k >= n || (s[i + k] & 0xC0) != 0x80) {
        len = 0;
        break;
      }
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    const bool overlong = (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
    if (len == 0 || overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) {
      PutUnit(out, static_cast<uint16_t>(0xDC00 + c), bigEndian);  // a byte of no character
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      PutUnit(out, static_cast<uint16_t>(0xD800 + ((cp - 0x10000) >> 10)), bigEndian);
      PutUnit(out, static_cast<uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)), bigEndian);
    } else {
      PutUnit(out, static_cast<uint16_t>(cp), bigEndian);
    }
    i += len;
  }
  return out;
}

}  // namespace

// The file as lines. Each line keeps its bytes as the file has them (a CR of a CRLF ending
// stays on its line), so that a write changes nothing but the lines it means, and its text
// in UTF-8 for looking at.
struct TIniFile::TText {
  enum class Kind { Other, Section, Key };
  struct TLine {
    std::string Raw;   // as in the file, without its line break
    std::string Text;  // in UTF-8
    Kind K = Kind::Other;
    std::string Name;   // section or key name, trimmed
    std::string Value;  // the key's value, trimmed, quotes still on
  };
  struct TChange {
    std::string Section, Key, Value;
  };

  TIniEncoding Encoding = TIniEncoding::Utf8;
  bool Existed = false;
  bool Unreadable = false;  // something is there that cannot be read as a file
  bool NotText = false;     // a NUL byte in a file that is not UTF-16
  std::string Bom;   // the byte-order mark the file starts with
  std::string Tail;  // an odd byte a UTF-16 file ends with, kept at its end
  std::vector<TLine> Lines;
  bool FinalNewline = false;  // the file's last line was terminated
  bool Crlf = false;          // new lines follow the file's own ending style
  std::vector<TChange> Changes;

  // Where each section first stands and each key of it first stands, by their lower-case
  // names; made again when lines came or went.
  mutable bool Indexed = false;
  mutable std::unordered_map<std::string, size_t> SectionAt, KeyAt;

  bool Utf16() const {
    return Encoding == TIniEncoding::Utf16Le || Encoding == TIniEncoding::Utf16Be;
  }
  bool BigEndian() const { return Encoding == TIniEncoding::Utf16Be; }

  std::string Encode(const std::string& text) const {
    return Utf16() ? ToUtf16(text, BigEndian()) : text;
  }

  static TLine Parsed(std::string raw, std::string text) {
    TLine l;
    l.Raw = std::move(raw);
    l.Text = std::move(text);
    std::string s = l.Text;
    if (!s.empty() && s.back() == '\r') s.pop_back();
    s = Trim(s);
    if (s.empty() || s[0] == ';' || s[0] == '#') return l;
    if (s[0] == '[') {
      const size_t close = s.find(']');
      l.K = Kind::Section;
      l.Name = Trim(s.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      return l;
    }
    const size_t eq = s.find('=');
    if (eq == std::string::npos) return l;
    l.K = Kind::Key;
    l.Name = Trim(s.substr(0, eq));
    l.Value = Trim(s.substr(eq + 1));
    return l;
  }

  static TText FromBytes(const std::string& bytes) {
    TText t;
    size_t start = 0;
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
      t.Encoding = TIniEncoding::Utf8Bom;
      start = 3;
    } else if (bytes.compare(0, 2, "\xFF\xFE") == 0) {
      t.Encoding = TIniEncoding::Utf16Le;
      start = 2;
    } else if (bytes.compare(0, 2, "\xFE\xFF") == 0) {
      t.Encoding = TIniEncoding::Utf16Be;
      start = 2;
    }
    t.Bom = bytes.substr(0, start);
    const size_t unit = t.Utf16() ? 2 : 1;
    const size_t end = bytes.size() - (bytes.size() - start) % unit;
    t.Tail = bytes.substr(end);
    t.NotText = !t.Utf16() && bytes.find('\0') != std::string::npos;
    const std::string newline = t.Encode("\n");
    size_t lineStart = start;
    size_t i = start;
    for (; i + unit <= end; i += unit) {
      if (bytes.compare(i, unit, newline) != 0) continue;
      t.AddRaw(bytes.substr(lineStart, i - lineStart));
      lineStart = i + unit;
    }
    t.FinalNewline = lineStart == end && lineStart > start;
    if (lineStart < end) t.AddRaw(bytes.substr(lineStart, end - lineStart));
    t.Crlf = !t.Lines.empty() && !t.Lines[0].Text.empty() && t.Lines[0].Text.back() == '\r' &&
             (t.Lines.size() > 1 || t.FinalNewline);
    return t;
  }

  void AddRaw(std::string raw) {
    std::string text = raw;
    if (Utf16()) text = FromUtf16(raw, BigEndian());
    Lines.push_back(Parsed(std::move(raw), std::move(text)));
  }

  std::string ToBytes() const {
    const std::string newline = Encode("\n");
    std::string out = Bom;
    for (size_t i = 0; i < Lines.size(); ++i) {
      out += Lines[i].Raw;
      if (i + 1 < Lines.size() || FinalNewline) out += newline;
    }
    return out + Tail;
  }

  TLine NewLine(const std::string& text) const {
    const std::string t = Crlf ? text + '\r' : text;
    return Parsed(Encode(t), t);
  }

  void Index() const {
    if (Indexed) return;
    SectionAt.clear();
    KeyAt.clear();
    bool first = false;  // inside the first section of its name
    std::string section;
    for (size_t i = 0; i < Lines.size(); ++i) {
      const TLine& l = Lines[i];
      if (l.K == Kind::Section) {
        section = Lower(l.Name);
        first = SectionAt.emplace(section, i).second;
      } else if (l.K == Kind::Key && first) {
        KeyAt.emplace(section + '\0' + Lower(l.Name), i);
      }
    }
    Indexed = true;
  }

  const TLine* Find(const std::string& section, const std::string& key) const {
    Index();
    auto it = KeyAt.find(Lower(Trim(section)) + '\0' + Lower(Trim(key)));
    return it == KeyAt.end() ? nullptr : &Lines[it->second];
  }

  // Sets the key's line, keeping the index up to date (a line replaced keeps its place, one
  // inserted moves those after it by one), so a run of writes never parses the file again.
  void Set(const std::string& section, const std::string& key, const std::string& value) {
    const std::string s = Trim(section), k = Trim(key);
    const std::string keyAt = Lower(s) + '\0' + Lower(k);
    TLine line = NewLine(k + "=" + QuoteIfNeeded(value));
    Index();
    auto header = SectionAt.find(Lower(s));
    if (header != SectionAt.end()) {
      if (auto found = KeyAt.find(keyAt); found != KeyAt.end()) {
        Lines[found->second] = std::move(line);
        return;
      }
      size_t insertAt = header->second + 1;
      for (size_t i = header->second + 1; i < Lines.size() && Lines[i].K != Kind::Section; ++i)
        if (Lines[i].K == Kind::Key) insertAt = i + 1;
      Lines.insert(Lines.begin() + static_cast<std::ptrdiff_t>(insertAt), std::move(line));
      if (insertAt == Lines.size() - 1) FinalNewline = true;
      for (auto* index : {&SectionAt, &KeyAt})
        for (auto& [name, at] : *index)
          if (at >= insertAt) ++at;
      KeyAt.emplace(keyAt, insertAt);
      return;
    }
    // Keep one blank line between the last section and the new one.
    if (!Lines.empty()) {
      std::string last = Lines.back().Text;
      if (!last.empty() && last.back() == '\r') last.pop_back();
      if (!Trim(last).empty()) Lines.push_back(NewLine(""));
    }
    SectionAt.emplace(Lower(s), Lines.size());
    Lines.push_back(NewLine("[" + s + "]"));
    KeyAt.emplace(keyAt, Lines.size());
    Lines.push_back(std::move(line));
    FinalNewline = true;
  }

  // The file as it lies on disk now. read: false when it is there but cannot be read.
  static TText Load(const std::string& fileName, bool& read) {
    read = true;
    const std::string path = ResolveFileName(fileName);
    osfiles::TInfo info;
    if (osfiles::Stat(path, true, info) != 0) return TText();
    if (info.Kind != osfiles::TKind::Regular) {
      TText t;
      t.Unreadable = true;
      return t;
    }
    std::string bytes;
    try {
      TFileStream in(path, fmOpenRead);
      std::vector<char> block(kCopyBlockBytes);
      for (int32_t n; (n = in.Read(block.data(), static_cast<int32_t>(block.size()))) > 0;)
        bytes.append(block.data(), static_cast<size_t>(n));
    } catch (const Exception&) {
      read = false;
      TText t;
      t.Unreadable = true;
      return t;
    }
    TText t = FromBytes(bytes);
    t.Existed = true;
    return t;
  }
};

TIniFile::TIniFile(std::string fileName) : FFileName(std::move(fileName)) {
  bool read = true;
  FText = std::make_unique<TText>(TText::Load(FFileName, read));
}

TIniFile::~TIniFile() = default;
TIniFile::TIniFile(TIniFile&&) noexcept = default;
TIniFile& TIniFile::operator=(TIniFile&&) noexcept = default;

bool TIniFile::Exists() const { return FText->Existed; }
bool TIniFile::Unreadable() const { return FText->Unreadable; }
bool TIniFile::NotText() const { return FText->NotText; }
TIniEncoding TIniFile::Encoding() const { return FText->Encoding; }
bool TIniFile::Modified() const { return !FText->Changes.empty(); }

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& def) const {
  const TText::TLine* line = FText->Find(section, key);
  std::string result = line ? Unquote(line->Value) : def;
  // Values are texts without a NUL, as every caller takes them: a NUL byte in the file ends
  // the value, so no name can hide a second one behind it.
  result.resize(std::min(result.find('\0'), result.size()));
  if (result.size() > kMaxProfileValue) result.resize(kMaxProfileValue);
  return result;
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
  return FText->Find(section, key) != nullptr;
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
  const std::string k = Trim(key);
  if (k.empty() || BreaksLine(section) || BreaksLine(key) || BreaksLine(value) ||
      Trim(section).find(']') != std::string::npos || k.find('=') != std::string::npos)
    throw Exception(Format("Unable to write to %s", FFileName.c_str()));
  FText->Set(section, key, value);
  FText->Changes.push_back({section, key, value});
}

void TIniFile::PrepareUpdate(TSafeFile& out) {
  bool read = true;
  TText fresh = TText::Load(FFileName, read);
  // A file that is there but could not be read is never replaced.
  if (!read) throw EInOutError(ioAccessDenied);
  for (const TText::TChange& c : FText->Changes) fresh.Set(c.Section, c.Key, c.Value);
  const std::string bytes = fresh.ToBytes();
  out.Begin(FFileName, TWriteKind::UserFile);
  out.Write(bytes.data(), bytes.size());
  fresh.Existed = true;
  *FText = std::move(fresh);
}

void TIniFile::UpdateFile() {
  if (!Modified()) return;
  try {
    TSafeFile out;
    PrepareUpdate(out);
    out.Commit();
  } catch (const Exception&) {
    throw Exception(Format("Unable to write to %s", FFileName.c_str()));
  }
}

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& def, const std::string& fileName) {
  return TIniFile(fileName).ReadString(section, key, def);
}

bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& fileName) {
  try {
    TIniFile ini(fileName);
    ini.WriteString(section, key, value);
    ini.UpdateFile();
    return true;
  } catch (const Exception&) {
    return false;
  }
}
