#include "platform/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "rtl/SysUtils.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// The file as lines, each kept byte for byte (a CR of a CRLF ending stays on its line), so
// that a write touches nothing but the one line it means.
struct TIniText {
  std::vector<std::string> Lines;
  bool FinalNewline = false;  // the file's last line was terminated
  bool Crlf = false;          // new lines follow the file's own ending style

  enum class Kind { Other, Section, Key };
  struct TParsed {
    Kind K = Kind::Other;
    std::string Name;   // section or key name, trimmed
    std::string Value;  // the key's value, trimmed, quotes still on
  };

  // Every line parsed once, right after reading; a write changes the lines only after its
  // last look-up.
  std::vector<TParsed> Parsed;

  static TIniText FromBytes(const std::string& bytes) {
    TIniText t;
    size_t start = 0;
    while (start < bytes.size()) {
      size_t nl = bytes.find('\n', start);
      if (nl == std::string::npos) {
        t.Lines.push_back(bytes.substr(start));
        break;
      }
      t.Lines.push_back(bytes.substr(start, nl - start));
      start = nl + 1;
    }
    t.FinalNewline = !bytes.empty() && bytes.back() == '\n';
    t.Crlf = !t.Lines.empty() && !t.Lines[0].empty() && t.Lines[0].back() == '\r' &&
             (t.Lines.size() > 1 || t.FinalNewline);
    t.Parsed.reserve(t.Lines.size());
    for (size_t i = 0; i < t.Lines.size(); ++i) t.Parsed.push_back(t.ParseLine(i));
    return t;
  }

  std::string ToBytes() const {
    std::string out;
    for (size_t i = 0; i < Lines.size(); ++i) {
      out += Lines[i];
      if (i + 1 < Lines.size() || FinalNewline) out += '\n';
    }
    return out;
  }

  TParsed ParseLine(size_t i) const {
    std::string s = Lines[i];
    if (!s.empty() && s.back() == '\r') s.pop_back();
    // A byte-order mark written by an editor must not hide the first section.
    if (i == 0 && s.compare(0, 3, "\xEF\xBB\xBF") == 0) s.erase(0, 3);
    s = Trim(s);
    TParsed p;
    if (s.empty() || s[0] == ';' || s[0] == '#') return p;
    if (s[0] == '[') {
      size_t close = s.find(']');
      p.K = Kind::Section;
      p.Name = Trim(s.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      return p;
    }
    size_t eq = s.find('=');
    if (eq == std::string::npos) return p;
    p.K = Kind::Key;
    p.Name = Trim(s.substr(0, eq));
    p.Value = Trim(s.substr(eq + 1));
    return p;
  }

  // The index of the first header of the section, if there is one.
  std::optional<size_t> FindSection(const std::string& section) const {
    for (size_t i = 0; i < Lines.size(); ++i) {
      const TParsed& p = Parsed[i];
      if (p.K == Kind::Section && SameText(p.Name, section)) return i;
    }
    return std::nullopt;
  }

  // The end of the section whose header is at index header: the next header or the end.
  size_t SectionEnd(size_t header) const {
    size_t i = header + 1;
    while (i < Parsed.size() && Parsed[i].K != Kind::Section) ++i;
    return i;
  }

  std::string NewLine(const std::string& text) const { return Crlf ? text + '\r' : text; }
};

std::optional<std::string> ReadFileBytes(const std::string& fileName) {
  struct stat st;
  if (::stat(fileName.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  std::ifstream in(fileName, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), {});
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

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Replaces the file's content. A new copy is written beside it and renamed over it, so a
// full disk or a crash never leaves a half-written configuration behind; where the folder
// does not allow a new file, the file is rewritten in place.
bool StoreFileBytes(const std::string& fileName, const std::string& bytes, bool exists, mode_t mode,
                    std::pair<uid_t, gid_t> owner) {
  std::string target = fileName;
  if (exists) {
    // Write through a link to the file it names, not over the link.
    if (char* real = ::realpath(fileName.c_str(), nullptr)) {
      target = real;
      ::free(real);
    }
  }
  std::string tmpl = target + ".XXXXXX";
  int fd = ::mkstemp(tmpl.data());
  if (fd >= 0) {
    bool ok = ::fchmod(fd, exists ? (mode & 07777) : 0644) == 0 && WriteAll(fd, bytes);
    // The file stays its owner's, also when root rewrites it.
    if (ok && exists && (owner.first != ::geteuid() || owner.second != ::getegid()))
      (void)!::fchown(fd, owner.first, owner.second);
    ok = (::close(fd) == 0) && ok;
    if (ok && ::rename(tmpl.c_str(), target.c_str()) == 0) return true;
    ::unlink(tmpl.c_str());
    if (!ok) return false;
  }
  fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, bytes);
  return (::close(fd) == 0) && ok;
}

bool BreaksLine(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

}  // namespace

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& def, const std::string& fileName) {
  std::optional<std::string> bytes = ReadFileBytes(ResolveFileName(fileName));
  std::string result = def;
  if (bytes) {
    TIniText t = TIniText::FromBytes(*bytes);
    if (std::optional<size_t> header = t.FindSection(section)) {
      size_t end = t.SectionEnd(*header);
      for (size_t i = *header + 1; i < end; ++i) {
        const TIniText::TParsed& p = t.Parsed[i];
        if (p.K == TIniText::Kind::Key && SameText(p.Name, key)) {
          result = Unquote(p.Value);
          break;
        }
      }
    }
  }
  // Values are texts without a NUL, as every caller takes them: a NUL byte in the file ends
  // the value, so no name can hide a second one behind it.
  result.resize(std::min(result.find('\0'), result.size()));
  if (result.size() > kMaxProfileValue) result.resize(kMaxProfileValue);
  return result;
}

bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& formedName) {
  // The file as it lies on disk, whatever the letter case of its name.
  const std::string fileName = ResolveFileName(formedName);
  std::string k = Trim(key), s = Trim(section);
  if (k.empty() || BreaksLine(section) || BreaksLine(key) || BreaksLine(value) ||
      s.find(']') != std::string::npos || k.find('=') != std::string::npos)
    return false;

  struct stat st;
  bool exists = ::stat(fileName.c_str(), &st) == 0;
  if (exists) {
    if (!S_ISREG(st.st_mode)) return false;
    // A file nobody may write is read-only, whoever asks (root included).
    if (IsReadOnlyMode(st.st_mode)) return false;
  } else if (errno != ENOENT) {
    return false;
  }
  std::optional<std::string> bytes;
  if (exists) {
    bytes = ReadFileBytes(fileName);
    if (!bytes) return false;  // never replace a file we could not read
  }
  TIniText t = TIniText::FromBytes(bytes.value_or(std::string()));
  std::string line = t.NewLine(k + "=" + QuoteIfNeeded(value));

  if (std::optional<size_t> header = t.FindSection(s)) {
    size_t end = t.SectionEnd(*header);
    size_t insertAt = *header + 1;
    bool replaced = false;
    for (size_t i = *header + 1; i < end; ++i) {
      const TIniText::TParsed& p = t.Parsed[i];
      if (p.K != TIniText::Kind::Key) continue;
      if (SameText(p.Name, k)) {
        t.Lines[i] = line;
        replaced = true;
        break;
      }
      insertAt = i + 1;
    }
    if (!replaced) {
      t.Lines.insert(t.Lines.begin() + static_cast<std::ptrdiff_t>(insertAt), line);
      if (insertAt == t.Lines.size() - 1) t.FinalNewline = true;
    }
  } else {
    // Keep one blank line between the last section and the new one.
    if (!t.Lines.empty()) {
      std::string last = t.Lines.back();
      if (!last.empty() && last.back() == '\r') last.pop_back();
      if (!Trim(last).empty()) t.Lines.push_back(t.NewLine(""));
    }
    t.Lines.push_back(t.NewLine("[" + s + "]"));
    t.Lines.push_back(line);
    t.FinalNewline = true;
  }
  return StoreFileBytes(fileName, t.ToBytes(), exists, exists ? st.st_mode : 0644,
                        {exists ? st.st_uid : 0, exists ? st.st_gid : 0});
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& def) const {
  return GetPrivateProfileString(section, key, def, FFileName);
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
  if (!WritePrivateProfileString(section, key, value, FFileName))
    throw Exception(Format("Unable to write to %s", FFileName.c_str()));
}
