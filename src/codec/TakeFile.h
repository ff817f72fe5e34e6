// The take: the RIFF WAVE layout the stock recorder writes for the window's recording format
// (8000 Hz, 8-bit mono, an 18-byte format chunk), also the layout of every decoded sound the
// program writes ("testvox.wav", "out.wav", an extracted slot). The header is 46 bytes: the
// RIFF size at 4, the data chunk's size at 42, the samples from 46 on. The conversions read
// a take by these positions and carry its first 42 bytes over unchanged.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "rtl/ByteFile.h"

inline constexpr int64_t kTakeRiffSizePos = 4;
inline constexpr int64_t kTakeDataSizePos = 42;
inline constexpr int64_t kTakeSamplesPos = 46;
inline constexpr uint32_t kTakeRate = 8000;

// The 46 header bytes of an 8000 Hz 8-bit mono take holding dataBytes samples.
std::array<uint8_t, kTakeSamplesPos> TakeHeader(uint32_t dataBytes);

// Writes that header at the start of the file (the file's position ends at 46).
void WriteTakeHeader(TByteFile& file, uint32_t dataBytes);

// Where the samples of a take lie, and the header bytes a rewritten take carries over.
struct TTakeLayout {
  std::array<uint8_t, kTakeDataSizePos> Head{};  // the first 42 bytes of the new take
  int64_t SamplesPos = kTakeSamplesPos;
  uint32_t DataSize = 0;
};

// Reads the file as the recorder wrote it, trusting every field: its first 42 bytes, the data
// size at 42, the samples from 46. A file too short for that raises "Read beyond end of
// file".
TTakeLayout ReadTakeLayout(TByteFile& f);

// Reads the RIFF chunks of any WAV file that is to be taken as a take. Returns an empty text
// for PCM of 8000 Hz, 8 bits, mono, whatever its header holds besides (its samples then lie
// where layout says; a file in the take layout keeps its own 42 header bytes, any other gets
// those of TakeHeader, and a wrong RIFF size is never carried over). Otherwise it returns
// what the file holds ("PCM 44100 Hz 16-bit mono", "IEEE float ...", "no RIFF WAVE file").
// A file whose header or data run past its end raises "Read beyond end of file".
std::string ReadAnyTake(TByteFile& f, TTakeLayout& layout);
