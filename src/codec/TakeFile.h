// The take: the RIFF WAVE layout the stock recorder writes for the window's recording format
// (8000 Hz, 8-bit mono, an 18-byte format chunk), also the layout of every decoded sound the
// program writes ("testvox.wav", "out.wav", an extracted slot). The header is 46 bytes: the
// RIFF size at 4, the data chunk's size at 42, the samples from 46 on. The conversions read
// a take by these positions and carry its first 42 bytes over unchanged.
#pragma once

#include <array>
#include <cstdint>

#include "rtl/ByteFile.h"

inline constexpr int64_t kTakeRiffSizePos = 4;
inline constexpr int64_t kTakeDataSizePos = 42;
inline constexpr int64_t kTakeSamplesPos = 46;
inline constexpr uint32_t kTakeRate = 8000;

// The 46 header bytes of an 8000 Hz 8-bit mono take holding dataBytes samples.
std::array<uint8_t, kTakeSamplesPos> TakeHeader(uint32_t dataBytes);

// Writes that header at the start of the file (the file's position ends at 46).
void WriteTakeHeader(TByteFile& file, uint32_t dataBytes);
