// Profile strings: named values in sections of a plain INI text file, the program's only
// configuration store.
//
// What callers may rely on:
// - section and key names match without regard to (ASCII) letter case; a section named twice
//   counts where it first stands, a key named twice in it where it first stands;
// - a missing file, section or key reads as the given default;
// - blanks around section names, keys and values do not count; a value written in double
//   quotes is read without them; a value read ends at a NUL byte and is cut to 2047
//   characters;
// - the file may be UTF-8 (with or without a byte-order mark) or UTF-16, little- or
//   big-endian, with its byte-order mark; values are read as UTF-8 and a write keeps the
//   file's encoding;
// - a write replaces the key's line in place, or adds the key at the end of its section, or
//   adds the section at the end of the file, or creates the file (UTF-8); every other line of
//   the file (other sections and keys, comments, blank lines, the line ending style) stays
//   exactly as it was, byte for byte;
// - the file is written the safe way (rtl/FileSystem.h): a failed write leaves it as it was,
//   and a link of its name is replaced, never written through;
// - the file is found whatever the letter case of its name (ResolveFileName).
#pragma once

#include <memory>
#include <string>

class TSafeFile;

// The longest value a read returns; longer values are cut.
constexpr size_t kMaxProfileValue = 2047;

enum class TIniEncoding { Utf8, Utf8Bom, Utf16Le, Utf16Be };

// An INI file held in memory: read and parsed once when the object is made, looked up there
// (a section and a key are found through an index, whatever the size of the file), changed
// there, and written back by UpdateFile, which changes in the file only the keys this object
// changed. A run that reads many keys therefore reads the file once.
class TIniFile {
 public:
  // Reads the file; a missing file, or something that is not a file, reads as empty.
  explicit TIniFile(std::string fileName);
  ~TIniFile();
  TIniFile(TIniFile&&) noexcept;
  TIniFile& operator=(TIniFile&&) noexcept;

  const std::string& FileName() const { return FFileName; }
  // The file was there when it was read.
  bool Exists() const;
  // Something is there under the file's name that could not be read as a file (no right to
  // read it, a folder in its place); it reads as empty.
  bool Unreadable() const;
  // The file holds a NUL byte without being UTF-16: not a text an editor meant to write (a
  // UTF-16 file that lost its byte-order mark, a binary file); its keys read as they parse.
  bool NotText() const;
  TIniEncoding Encoding() const;

  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& def) const;
  // True when the key is in the section (with any value, the empty one too).
  bool ValueExists(const std::string& section, const std::string& key) const;

  // Sets the value here and remembers the key for UpdateFile. Raises Exception "Unable to
  // write to %s" with the file's path for what the file cannot hold: a line break in a name
  // or the value, a ']' in the section, a '=' in the key, an empty key.
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  // Keys written since the file was read or last updated.
  bool Modified() const;

  // Writes the keys this object changed into the file: the file is read again (another run
  // may have changed other keys meanwhile), each changed key is set in it, and the result is
  // written in the file's own encoding; this object then holds that file. Raises Exception
  // "Unable to write to %s" when the file cannot be written (read-only, a folder in its
  // place, its folder missing, a full disk); the file then stays as it was.
  void UpdateFile();
  // As UpdateFile, but the new content waits in out for the caller to put in place
  // (out.Commit) together with other files; this object holds it from now on.
  void PrepareUpdate(TSafeFile& out);

 private:
  struct TText;
  std::string FFileName;
  std::unique_ptr<TText> FText;
};

// One read or one write of one key, each reading the file afresh: for a single value. Code
// that reads or writes several keys keeps a TIniFile instead.
std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& def, const std::string& fileName);
// Returns false when the file cannot be written (see TIniFile::WriteString, UpdateFile).
bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& fileName);
