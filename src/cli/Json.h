// The one JSON document a command prints with --json: written as it goes, each value where
// it stands, the commas and the escaping taken care of. Strings are UTF-8 with every control
// character escaped; bytes that are not UTF-8 (a name from an INI made on Windows) become
// U+FFFD, so the document stays valid JSON. A number that is not finite is null.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace cli {

class TJsonWriter {
 public:
  explicit TJsonWriter(std::ostream& out) : FOut(out) {}
  // An object or an array: a member of the enclosing object under key, or an element of the
  // enclosing array (key nullptr), or the document itself.
  TJsonWriter& Object(const char* key = nullptr);
  TJsonWriter& Array(const char* key = nullptr);
  // Ends the innermost object or array; the document ends with a line break.
  TJsonWriter& End();

  TJsonWriter& Field(const char* key, const std::string& value);
  TJsonWriter& Field(const char* key, const char* value) { return Field(key, std::string(value)); }
  TJsonWriter& Field(const char* key, int64_t value);
  TJsonWriter& Field(const char* key, int value) { return Field(key, int64_t{value}); }
  TJsonWriter& Field(const char* key, double value);
  TJsonWriter& Field(const char* key, bool value);
  TJsonWriter& Null(const char* key);
  // An array of numbers or strings under key.
  TJsonWriter& List(const char* key, const std::vector<int>& values);
  TJsonWriter& List(const char* key, const std::vector<std::string>& values);

 private:
  void Start(const char* key);  // the comma and the key before a value
  struct TOpen {
    char Closer;        // '}' or ']'
    bool Empty = true;  // nothing written in it yet
  };
  std::ostream& FOut;
  std::vector<TOpen> FOpen;
};

// text as a JSON string, with its quotes.
std::string JsonString(const std::string& text);

}  // namespace cli
