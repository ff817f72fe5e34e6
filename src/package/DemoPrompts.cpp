#include "package/DemoPrompts.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>

#include "package/FolderCoder.h"
#include "rtl/ByteFile.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

struct TDemoSound {
  const char* ListName;
  const char* File;
  const char* IniSource;  // as written into the INI; one uses a Windows separator
  const char* Export;     // "WAV Export" copy name, or NONE
};

void WriteWav(const std::string& path, uint32_t rate, uint16_t bits,
              const std::vector<uint8_t>& data) {
  TByteFile f(path);
  f.Rewrite();
  const uint16_t align = bits / 8;
  f.BlockWrite("RIFF", 4);
  f.WriteU32(static_cast<uint32_t>(36 + data.size()));
  f.BlockWrite("WAVEfmt ", 8);
  f.WriteU32(16);
  uint8_t fmt[16] = {1, 0, 1, 0};
  auto put32 = [&](int at, uint32_t v) {
    for (int i = 0; i < 4; ++i) fmt[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  put32(4, rate);
  put32(8, rate * align);
  fmt[12] = static_cast<uint8_t>(align);
  fmt[14] = static_cast<uint8_t>(bits);
  f.BlockWrite(fmt, sizeof fmt);
  f.BlockWrite("data", 4);
  f.WriteU32(static_cast<uint32_t>(data.size()));
  f.BlockWrite(data.data(), data.size());
  f.Close();
}

// A sound of the given length with silence before and after it. shape(t) gives the signal
// in -1..1 at time t seconds from the start of the sound.
template <class Shape>
std::vector<double> WithSilence(uint32_t rate, double before, double length, double after,
                                Shape shape) {
  std::vector<double> v;
  size_t lead = static_cast<size_t>(before * rate), body = static_cast<size_t>(length * rate),
         tail = static_cast<size_t>(after * rate);
  v.assign(lead, 0.0);
  for (size_t i = 0; i < body; ++i) {
    double t = static_cast<double>(i) / rate;
    double env = std::min({1.0, t / 0.02, (length - t) / 0.05});  // soft edges
    v.push_back(shape(t) * env);
  }
  v.insert(v.end(), tail, 0.0);
  return v;
}

std::vector<uint8_t> As8Bit(const std::vector<double>& v, double amplitude) {
  std::vector<uint8_t> out;
  for (double x : v) out.push_back(static_cast<uint8_t>(std::lround(128 + x * amplitude)));
  return out;
}

std::vector<uint8_t> As16Bit(const std::vector<double>& v, double amplitude) {
  std::vector<uint8_t> out;
  for (double x : v) {
    auto s = static_cast<int16_t>(std::lround(x * amplitude));
    out.push_back(static_cast<uint8_t>(s & 0xFF));
    out.push_back(static_cast<uint8_t>((s >> 8) & 0xFF));
  }
  return out;
}

}  // namespace

std::vector<std::string> WriteDemoPrompts(const std::string& folder) {
  const std::string ini = folder + "ZelvorSound.ini";
  std::error_code ec;
  std::filesystem::create_directories(folder + "demo", ec);
  std::filesystem::create_directories(folder + "WAV Export", ec);
  const TDemoSound sounds[] = {
      {"Beep", "demo/beep-8k.wav", "demo/beep-8k.wav", "Beep"},
      {"Sweep", "demo/sweep-44k.wav", "demo\\sweep-44k.wav", "NONE"},
      {"Two tones", "demo/twotone-8k.wav", "demo/twotone-8k.wav", "NONE"},
      {"Pulses", "demo/pulses-44k.wav", "demo/pulses-44k.wav", "Pulses"},
  };
  // 8-bit 8 kHz: a 440 Hz beep between a third of a second of silence on each side.
  WriteWav(
      folder + sounds[0].File, 8000, 8,
      As8Bit(WithSilence(8000, 0.3, 0.5, 0.3, [](double t) { return std::sin(2 * kPi * 440 * t); }),
             90));
  // 16-bit 44.1 kHz: a rising sweep from 300 Hz to 2500 Hz.
  WriteWav(folder + sounds[1].File, 44100, 16,
           As16Bit(WithSilence(44100, 0.25, 0.7, 0.3,
                               [](double t) {
                                 return std::sin(2 * kPi * (300 * t + 0.5 * 3142.9 * t * t));
                               }),
                   12000));
  // 8-bit 8 kHz: two tones one after the other, like an alert.
  WriteWav(
      folder + sounds[2].File, 8000, 8,
      As8Bit(WithSilence(8000, 0.2, 0.6, 0.2,
                         [](double t) { return std::sin(2 * kPi * (t < 0.3 ? 660 : 880) * t); }),
             80));
  // 16-bit 44.1 kHz, quiet: three short pulses of 1 kHz; the conversion normalises them.
  WriteWav(folder + sounds[3].File, 44100, 16,
           As16Bit(WithSilence(44100, 0.3, 0.9, 0.3,
                               [](double t) {
                                 return std::fmod(t, 0.3) < 0.15 ? std::sin(2 * kPi * 1000 * t)
                                                                 : 0.0;
                               }),
                   2500));

  std::string text = "[SoundFiles]\n";
  for (int i = 0; i < 4; ++i) text += "Name" + std::to_string(i) + "=" + sounds[i].ListName + "\n";
  text += "\n[SourceFileNames]\n";
  for (int i = 0; i < 4; ++i) text += "Name" + std::to_string(i) + "=" + sounds[i].IniSource + "\n";
  text += "Name4=NONE\n\n[DestinationFileNames]\n";
  for (int i = 0; i < 4; ++i) text += "Name" + std::to_string(i) + "=" + sounds[i].Export + "\n";
  text += std::string("\n[") + kOptionsSection + "]\n" +
          "; optimal: every sound is coded so that what the instrument plays lies closest to\n"
          "; the original (about 6 dB less coding noise); standard: the coder of earlier "
          "versions\n" +
          kCoderKey + "=optimal\n";
  TByteFile f(ini);
  f.Rewrite();
  f.BlockWrite(text.data(), text.size());
  f.Close();
  std::vector<std::string> written;
  for (const TDemoSound& s : sounds) written.push_back(folder + s.File);
  written.push_back(ini);
  return written;
}
