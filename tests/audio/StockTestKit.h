// For the tests of the stock recorder and player: the memory wave storage, streams that
// misbehave on purpose and small helpers that build and take apart RIFF WAVE files.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "audio/MemoryWaveStorage.h"
#include "audio/WaveStorage.h"
#include "rtl/Classes.h"
#include "rtl/SysUtils.h"

namespace stocktest {

// A memory stream that counts its frees into a counter the test keeps, and leaves its last
// contents behind when asked to.
class TTrackedStream : public TMemoryStream {
 public:
  explicit TTrackedStream(int& frees, std::string* lastBytes = nullptr)
      : FFrees(frees), FLastBytes(lastBytes) {}
  ~TTrackedStream() override {
    ++FFrees;
    if (FLastBytes != nullptr) *FLastBytes = Bytes();
  }
  std::string Bytes() const { return std::string(Data().begin(), Data().end()); }

 private:
  int& FFrees;
  std::string* FLastBytes;
};

// A memory stream whose writes stop at a byte limit (a full disk): a write that reaches past
// it moves only what fits.
class TShortWriteStream : public TMemoryStream {
 public:
  explicit TShortWriteStream(int64_t limit) : FLimit(limit) {}
  int32_t Write(const void* buffer, int32_t count) override {
    const int64_t room = FLimit - GetPosition();
    if (room <= 0) return 0;
    return TMemoryStream::Write(buffer, static_cast<int32_t>(std::min<int64_t>(count, room)));
  }

 private:
  int64_t FLimit;
};

// A memory stream whose reads fail (raise) from a byte offset on: a medium gone bad.
class TFailingReadStream : public TMemoryStream {
 public:
  TFailingReadStream(const std::string& bytes, int64_t failFrom) : FFailFrom(failFrom) {
    Data().assign(bytes.begin(), bytes.end());
  }
  int32_t Read(void* buffer, int32_t count) override {
    if (GetPosition() >= FFailFrom) throw EReadError("Read error");
    return TMemoryStream::Read(buffer, count);
  }

 private:
  int64_t FFailFrom;
};

inline void PutLE(std::string& s, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}
inline uint32_t GetLE(const std::string& s, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = 0; i < bytes; ++i)
    v |= static_cast<uint32_t>(static_cast<uint8_t>(s.at(at + i))) << (8 * i);
  return v;
}

// A RIFF WAVE file: "fmt " of fmtSize bytes (16 or 18), the data chunk (declaring
// declaredSize bytes, or the real size when 0), then whatever extra chunks follow.
inline std::string MakeWav(uint32_t rate, uint16_t channels, uint16_t bits,
                           const std::string& data, uint32_t fmtSize = 16,
                           const std::string& after = "", uint32_t declaredSize = 0) {
  std::string body = "WAVE";
  body += "fmt ";
  PutLE(body, fmtSize, 4);
  PutLE(body, 1, 2);  // PCM
  PutLE(body, channels, 2);
  PutLE(body, rate, 4);
  const uint16_t align = static_cast<uint16_t>(channels * bits / 8);
  PutLE(body, rate * align, 4);
  PutLE(body, align, 2);
  PutLE(body, bits, 2);
  if (fmtSize >= 18) PutLE(body, 0, 2);
  body += "data";
  PutLE(body, declaredSize != 0 ? declaredSize : static_cast<uint32_t>(data.size()), 4);
  body += data;
  if (data.size() % 2 == 1) body += '\0';
  body += after;
  std::string file = "RIFF";
  PutLE(file, static_cast<uint32_t>(body.size()), 4);
  return file + body;
}

// The parts of a file the recorder wrote: a 46-byte header with an 18-byte "fmt " chunk.
struct TWavParts {
  bool Valid = false;
  uint32_t RiffSize = 0, FmtSize = 0, DataSize = 0;
  uint16_t Tag = 0, Channels = 0, Bits = 0, Align = 0;
  uint32_t Rate = 0, ByteRate = 0;
  size_t DataOffset = 0;
  std::string Data;
};

inline TWavParts ParseWav(const std::string& f) {
  TWavParts p;
  if (f.size() < 12 || f.compare(0, 4, "RIFF") != 0 || f.compare(8, 4, "WAVE") != 0) return p;
  p.RiffSize = GetLE(f, 4, 4);
  size_t at = 12;
  bool haveFmt = false;
  while (at + 8 <= f.size()) {
    const std::string id = f.substr(at, 4);
    const uint32_t size = GetLE(f, at + 4, 4);
    if (id == "fmt " && at + 8 + size <= f.size()) {
      haveFmt = true;
      p.FmtSize = size;
      p.Tag = static_cast<uint16_t>(GetLE(f, at + 8, 2));
      p.Channels = static_cast<uint16_t>(GetLE(f, at + 10, 2));
      p.Rate = GetLE(f, at + 12, 4);
      p.ByteRate = GetLE(f, at + 16, 4);
      p.Align = static_cast<uint16_t>(GetLE(f, at + 20, 2));
      p.Bits = static_cast<uint16_t>(GetLE(f, at + 22, 2));
    } else if (id == "data") {
      p.DataSize = size;
      p.DataOffset = at + 8;
      p.Data = f.substr(at + 8, size);
      p.Valid = haveFmt;
      return p;
    }
    at += 8 + size + (size & 1);
  }
  return p;
}

}  // namespace stocktest
