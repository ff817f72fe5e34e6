// Helpers for the codec and package tests: a shell that records what it was asked to show,
// and builders for the WAV files and takes the conversions read.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ErrorOf.h"
#include "rtl/Shell.h"
#include "rtl/SysUtils.h"

class TRecordingShell : public TShell {
 public:
  void ShowMessage(const std::string& text, TMessageSeverity severity) override {
    Messages.push_back(text);
    Severities.push_back(severity);
  }
  void StatusClear() override {
    Status.clear();
    ++Clears;
  }
  void StatusShow() override { ++Shows; }
  void StatusAdd(const std::string& line) override { Status.push_back(line); }
  void SlotStatusAdd(int slot, const std::string& line) override {
    StatusSlots.push_back(slot);
    StatusAdd(line);
  }
  std::optional<std::string> PickVoxFile() override { return Pick; }
  void ProcessMessages() override {}
  void WaitForEvents() override {}

  std::vector<std::string> Messages;
  std::vector<TMessageSeverity> Severities;  // one for each message
  std::vector<std::string> Status;
  std::vector<int> StatusSlots;  // the slot of each line said about one
  int Clears = 0, Shows = 0;
  std::optional<std::string> Pick;
};

inline void PutU16(std::string& s, uint16_t v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>(v >> 8);
}
inline void PutU32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}
inline uint32_t GetU32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[at + i]);
  return v;
}

struct TWavSpec {
  uint16_t Tag = 1, Channels = 1, Bits = 8;
  uint32_t Rate = 8000;
  uint32_t FormatSize = 16;
  std::string ChunksBeforeData;           // whole chunks, head included
  std::optional<uint32_t> DataSizeField;  // overrides the true size
};

// A WAV file with the format chunk first and the given samples (raw data bytes).
inline std::string MakeWav(const TWavSpec& w, const std::string& data) {
  std::string s = "RIFF";
  PutU32(s, 0);  // the size is not read
  s += "WAVEfmt ";
  PutU32(s, w.FormatSize);
  std::string body;
  PutU16(body, w.Tag);
  PutU16(body, w.Channels);
  PutU32(body, w.Rate);
  PutU32(body, w.Rate * w.Channels * w.Bits / 8);
  PutU16(body, static_cast<uint16_t>(w.Channels * w.Bits / 8));
  PutU16(body, w.Bits);
  body.resize(w.FormatSize, '\0');
  s += body;
  if (w.FormatSize & 1) s += '\0';
  s += w.ChunksBeforeData;
  s += "data";
  PutU32(s, w.DataSizeField.value_or(static_cast<uint32_t>(data.size())));
  s += data;
  return s;
}

inline std::string Samples16(const std::vector<int16_t>& v) {
  std::string s;
  for (int16_t x : v) PutU16(s, static_cast<uint16_t>(x));
  return s;
}

inline std::string Bytes(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

// A take as the recorder writes it: 18-byte format chunk, samples at 46.
inline std::string MakeTake(const std::string& samples) {
  TWavSpec w;
  w.FormatSize = 18;
  std::string s = MakeWav(w, samples);
  uint32_t riff = static_cast<uint32_t>(s.size() - 8);
  for (int i = 0; i < 4; ++i) s[4 + i] = static_cast<char>((riff >> (8 * i)) & 0xFF);
  return s;
}
