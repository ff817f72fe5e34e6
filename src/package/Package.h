// The sound package "Sounds.zvd": a directory of 128 little-endian 32-bit offsets (slot i at
// byte 4·i; 0 for an empty slot) followed by one record per present sound, each a 32-bit
// code byte count L and the L bytes of the sound's ".vox" file. No signature, no checksum.
//
// The reader trusts nothing it reads: offsets and counts only ever bound block-wise
// streaming, never an allocation, and anything past the end of the file ends in the
// runtime's "Read beyond end of file".
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "codec/TakeFile.h"
#include "rtl/ByteFile.h"

inline constexpr int kSlotCount = 128;
inline constexpr int64_t kDirectoryBytes = 4 * kSlotCount;
inline constexpr uint32_t kTestWavRate = kTakeRate;
inline constexpr int64_t kTestWavHeaderBytes = kTakeSamplesPos;

// A slot number as a user typed it (on the command line, in a list): empty when it is one
// and slot holds it; else what is wrong, "not a slot number" or "slot 200 is not between 0
// and 127".
std::string ReadSlotNumber(const std::string& text, int& slot);

struct TSoundRecord {
  int Slot = 0;
  uint32_t Offset = 0;  // where the count lies
  int32_t CodeBytes = 0;
  int64_t Samples() const { return 2 * static_cast<int64_t>(CodeBytes); }
};

class TPackageReader {
 public:
  explicit TPackageReader(const std::string& path) : FFile(path) {}
  // Opens the package (for reading and writing, as every existing file is opened).
  void Open() { FFile.Reset(); }
  void Close() { FFile.Close(); }
  TByteFile& File() { return FFile; }

  // Directory entry of a slot, taken as an unsigned offset: a negative one points far past
  // the end rather than before the start.
  uint32_t Entry(int slot);
  // The slot's record when the slot is present: entry not 0 and count above 0. The file is
  // then positioned at the first code byte.
  std::optional<TSoundRecord> Record(int slot);

 private:
  TByteFile FFile;
};

// The most code bytes a decoded sound can come from: the 32-bit RIFF size of its WAV file
// counts 2·L + 38 bytes.
inline constexpr int64_t kMaxDecodableCodeBytes = (int64_t{UINT32_MAX} - 38) / 2;

// The text that refuses to decode what would exceed those sizes.
std::string TooLongToDecodeText(const std::string& what, int64_t codeBytes);

// The 46-byte header of a decoded sound of codeBytes code bytes: 8-bit mono PCM at 8000 Hz.
void WriteTestWavHeader(TByteFile& wav, uint32_t codeBytes);

// Decodes count code bytes from the file's position into 2·count samples appended to wav,
// in blocks, starting from the value 128.
void DecodeVoxBytes(TByteFile& from, int64_t count, TByteFile& wav);

// Writes the decoded sound of one record into a new WAV file at wavPath (a working file such
// as "testvox.wav", or the user's own file). The record must lie within the package: a count
// running past its end fails with "Read beyond end of file", one too long for a WAV file with
// Exception (TooLongToDecodeText), before wavPath is touched.
void DecodeRecordToWav(TPackageReader& package, const TSoundRecord& record,
                       const std::string& wavPath, TWriteKind kind);
