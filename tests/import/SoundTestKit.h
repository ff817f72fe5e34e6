// Sound files made at test time with libsndfile (no recorded files from elsewhere), and the
// measures the tests take of a take: its samples, their level and their zero crossings; and
// what a folder holds, to show that a refused import changed nothing.
#pragma once

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "TempDir.h"

inline constexpr double kTestPi = 3.14159265358979323846;

// Writes seconds of fn(t, channel) in the format (SF_FORMAT_…); false when this libsndfile
// cannot write it.
inline bool WriteSound(const std::string& path, int format, int rate, int channels, double seconds,
                       const std::function<double(double, int)>& fn) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = format;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!f) return false;
  const sf_count_t frames = static_cast<sf_count_t>(std::llround(seconds * rate));
  std::vector<float> block;
  for (sf_count_t i = 0; i < frames; ++i) {
    for (int c = 0; c < channels; ++c)
      block.push_back(static_cast<float>(fn(static_cast<double>(i) / rate, c)));
    if (block.size() >= 8192 || i + 1 == frames) {
      sf_writef_float(f, block.data(), static_cast<sf_count_t>(block.size()) / channels);
      block.clear();
    }
  }
  return sf_close(f) == 0;
}

inline std::function<double(double, int)> Tone(double hz, double amplitude) {
  return [=](double t, int) { return amplitude * std::cos(2 * kTestPi * hz * t); };
}

// Speech-like syllables (a voiced buzz through two resonances, 0.25 s each with pauses
// between) peaking near amplitude, after clickSeconds of a full-scale click when asked.
inline std::function<double(double, int)> Syllables(double amplitude, double clickSeconds = 0) {
  return [=](double t, int) {
    if (t < clickSeconds) return std::fmod(t, 0.01) < 0.005 ? 1.0 : -1.0;
    const double s = std::fmod(t - clickSeconds, 0.35);
    const double envelope = s < 0.25 ? std::sin(kTestPi * s / 0.25) : 0.0;
    const double v = 0.6 * std::sin(2 * kTestPi * 700 * t) + 0.4 * std::sin(2 * kTestPi * 1500 * t);
    return amplitude * envelope * v;
  };
}

// The samples of a take file's bytes, after its 46-byte header.
inline std::vector<uint8_t> TakeSamples(const std::string& file) {
  if (file.size() < 46) return {};
  return std::vector<uint8_t>(file.begin() + 46, file.end());
}

// The largest distance from silence (128).
inline int Level(const std::vector<uint8_t>& s) {
  int level = 0;
  for (uint8_t v : s) level = std::max(level, std::abs(v - 128));
  return level;
}

// How often the sound changes sides around 128 (samples at 128 side with neither).
inline int Crossings(const std::vector<uint8_t>& s) {
  int crossings = 0, side = 0;
  for (uint8_t v : s) {
    int now = v > 128 ? 1 : v < 128 ? -1 : 0;
    if (now != 0 && side != 0 && now != side) ++crossings;
    if (now != 0) side = now;
  }
  return crossings;
}

// Every entry of the folder with its bytes ("<folder>" for a folder).
inline std::map<std::string, std::string> FolderFiles(const TempDir& dir) {
  std::map<std::string, std::string> files;
  for (auto& e : std::filesystem::directory_iterator(dir.Folder())) {
    const std::string name = e.path().filename().string();
    files[name] = e.is_directory() ? std::string("<folder>") : dir.Read(name);
  }
  return files;
}
