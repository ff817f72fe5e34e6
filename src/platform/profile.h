// Profile strings: named values in sections of a plain INI text file, the program's only
// configuration store.
//
// What callers may rely on:
// - section and key names match without regard to (ASCII) letter case;
// - a missing file, section or key reads as the given default;
// - blanks around section names, keys and values do not count; a value written in double
//   quotes is read without them; a value read ends at a NUL byte and is cut to 2047
//   characters;
// - a write replaces the key's line in place, or adds the key at the end of its section, or
//   adds the section at the end of the file, or creates the file; every other line of the
//   file (other sections and keys, comments, blank lines, the line ending style) stays
//   exactly as it was;
// - the file is opened only for the duration of one call and never held open;
// - the file is found whatever the letter case of its name (ResolveFileName).
#pragma once

#include <string>

// The longest value a read returns; longer values are cut.
constexpr size_t kMaxProfileValue = 2047;

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& def, const std::string& fileName);

// Returns false when the file cannot be written: a missing folder, a path that is a folder,
// a file without any write permission bit (read-only for everyone, root included), or
// names or a value that would break the file's line structure (a line break in any of
// them, a ']' in the section, a '=' in the key, an empty key).
bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& fileName);

// An INI file seen as an object. Holds only the file's name; every call reads or writes the
// file afresh.
class TIniFile {
 public:
  explicit TIniFile(std::string fileName) : FFileName(std::move(fileName)) {}

  const std::string& FileName() const { return FFileName; }
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& def) const;
  // Raises Exception "Unable to write to %s" with the file's path when the write fails.
  void WriteString(const std::string& section, const std::string& key, const std::string& value);

 private:
  std::string FFileName;
};
