#include "package/TakeOrigin.h"

#include <charconv>
#include <filesystem>
#include <vector>

#include "platform/profile.h"
#include "rtl/ByteFile.h"
#include "rtl/SysUtils.h"

namespace {

std::string SlotKey(int slot) { return "Name" + std::to_string(slot); }

template <class T>
bool ParseNumber(const std::string& text, T& value, int base = 10) {
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, value, base);
  return ec == std::errc() && p == end && !text.empty();
}

// The hash of a take: 64-bit FNV-1a over its bytes.
uint64_t HashOf(TByteFile& file) {
  uint64_t hash = 14695981039346656037ull;
  std::vector<uint8_t> block(kCopyBlockBytes);
  file.Seek(0);
  while (size_t n = file.BlockReadCount(block.data(), block.size()))
    for (size_t i = 0; i < n; ++i) hash = (hash ^ block[i]) * 1099511628211ull;
  return hash;
}

}  // namespace

bool TTakeOrigin::SameSource(const TTakeOrigin& o) const {
  if (Kind != o.Kind) return false;
  if (Kind == TKind::Text) return Text == o.Text && Voice == o.Voice && Speed == o.Speed;
  return Path == o.Path && Size == o.Size && Time == o.Time;
}

TTakeOrigin TextOrigin(const std::string& text, const std::string& voice, int speed) {
  TTakeOrigin o;
  o.Text = text;
  o.Voice = voice;
  o.Speed = speed;
  return o;
}

bool FileOrigin(const std::string& path, TTakeOrigin& origin) {
  namespace fs = std::filesystem;
  std::error_code ec;
  origin.Kind = TTakeOrigin::TKind::File;
  origin.Path = fs::absolute(path, ec).lexically_normal().generic_string();
  const auto size = fs::file_size(path, ec);
  if (ec) return false;
  const auto time = fs::last_write_time(path, ec);
  if (ec) return false;
  origin.Size = static_cast<int64_t>(size);
  origin.Time = static_cast<int64_t>(time.time_since_epoch().count());
  return true;
}

std::string OriginValue(const TTakeOrigin& o) {
  const std::string take = std::to_string(o.TakeSize) + "|" +
                           Format("%016llx", static_cast<unsigned long long>(o.TakeHash)) + "|";
  if (o.Kind == TTakeOrigin::TKind::Text)
    return "text|" + o.Voice + "|" + std::to_string(o.Speed) + "|" + take + o.Text;
  return "file|" + std::to_string(o.Size) + "|" + std::to_string(o.Time) + "|" + take + o.Path;
}

std::optional<TTakeOrigin> ParseOrigin(const std::string& value) {
  std::vector<std::string> fields;
  size_t at = 0;
  for (int i = 0; i < 5; ++i) {
    const size_t bar = value.find('|', at);
    if (bar == std::string::npos) return std::nullopt;
    fields.push_back(value.substr(at, bar - at));
    at = bar + 1;
  }
  TTakeOrigin o;
  unsigned long long hash = 0;
  if (!ParseNumber(fields[3], o.TakeSize) || !ParseNumber(fields[4], hash, 16)) return std::nullopt;
  o.TakeHash = hash;
  const std::string last = value.substr(at);
  if (fields[0] == "text" && ParseNumber(fields[2], o.Speed)) {
    o.Voice = fields[1];
    o.Text = last;
    return o;
  }
  if (fields[0] == "file" && ParseNumber(fields[1], o.Size) && ParseNumber(fields[2], o.Time)) {
    o.Kind = TTakeOrigin::TKind::File;
    o.Path = last;
    return o;
  }
  return std::nullopt;
}

std::optional<TTakeOrigin> ReadTakeOrigin(const TIniFile& ini, int slot) {
  return ParseOrigin(ini.ReadString(kTakeOriginsSection, SlotKey(slot), ""));
}

void WriteTakeOrigin(TIniFile& ini, int slot, const TTakeOrigin& origin) {
  // A line break (in a folder's name) cannot stand in an INI line: such an origin is not
  // kept, and the slot's earlier one goes, as it no longer tells what made the take.
  std::string value = OriginValue(origin);
  if (value.find_first_of("\r\n") != std::string::npos) value.clear();
  ini.WriteString(kTakeOriginsSection, SlotKey(slot), value);
}

void MarkTake(TByteFile& take, TTakeOrigin& origin) {
  origin.TakeHash = HashOf(take);
  origin.TakeSize = take.Size();
}

bool IsTakeOf(const std::string& path, const TTakeOrigin& origin) {
  try {
    TByteFile take(path);
    take.Reset();
    return take.Size() == origin.TakeSize && HashOf(take) == origin.TakeHash;
  } catch (const Exception&) {
    return false;
  }
}
