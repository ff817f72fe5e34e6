#include "cli/Json.h"

#include <cmath>
#include <cstdio>

namespace cli {

namespace {

// The length of the UTF-8 sequence at text[i], or 0 when the bytes there are not one (a
// stray continuation byte, a cut or overlong sequence, a surrogate, beyond U+10FFFF).
size_t Utf8Length(const std::string& text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  const size_t n = lead < 0x80                   ? 1
                   : lead >= 0xC2 && lead < 0xE0 ? 2
                   : lead >= 0xE0 && lead < 0xF0 ? 3
                   : lead >= 0xF0 && lead < 0xF5 ? 4
                                                 : 0;
  if (n == 0 || i + n > text.size()) return 0;
  for (size_t k = 1; k < n; ++k)
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  const unsigned char second = n > 1 ? byte(i + 1) : 0;
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0) ||
      (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second >= 0x90))
    return 0;
  return n;
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t n = Utf8Length(text, i);
    if (n == 0) {
      out += "\\ufffd";
      ++i;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out.append(text, i, n);
    }
    i += n;
  }
  return out + "\"";
}

void TJsonWriter::Start(const char* key) {
  if (!FOpen.empty()) {
    if (!FOpen.back().Empty) FOut << ',';
    FOpen.back().Empty = false;
  }
  if (key != nullptr) FOut << JsonString(key) << ':';
}

TJsonWriter& TJsonWriter::Object(const char* key) {
  Start(key);
  FOut << '{';
  FOpen.push_back({'}'});
  return *this;
}

TJsonWriter& TJsonWriter::Array(const char* key) {
  Start(key);
  FOut << '[';
  FOpen.push_back({']'});
  return *this;
}

TJsonWriter& TJsonWriter::End() {
  FOut << FOpen.back().Closer;
  FOpen.pop_back();
  if (FOpen.empty()) FOut << '\n';
  return *this;
}

TJsonWriter& TJsonWriter::Field(const char* key, const std::string& value) {
  Start(key);
  FOut << JsonString(value);
  return *this;
}

TJsonWriter& TJsonWriter::Field(const char* key, int64_t value) {
  Start(key);
  FOut << value;
  return *this;
}

TJsonWriter& TJsonWriter::Field(const char* key, double value) {
  if (!std::isfinite(value)) return Null(key);
  Start(key);
  char text[32];
  std::snprintf(text, sizeof text, "%.10g", value);
  FOut << text;
  return *this;
}

TJsonWriter& TJsonWriter::Field(const char* key, bool value) {
  Start(key);
  FOut << (value ? "true" : "false");
  return *this;
}

TJsonWriter& TJsonWriter::Null(const char* key) {
  Start(key);
  FOut << "null";
  return *this;
}

TJsonWriter& TJsonWriter::List(const char* key, const std::vector<int>& values) {
  Array(key);
  for (int v : values) Field(nullptr, v);
  return End();
}

TJsonWriter& TJsonWriter::List(const char* key, const std::vector<std::string>& values) {
  Array(key);
  for (const std::string& v : values) Field(nullptr, v);
  return End();
}

}  // namespace cli
