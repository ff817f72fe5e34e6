// Trimming the silence around a prompt. A sample inside the quiet band around 128 (bounds
// included) is quiet, any other is loud. Up to 899 quiet samples are kept before the first
// loud one and up to 500 after the last.
#pragma once

#include <cstdint>

#include "rtl/ByteFile.h"

inline constexpr int64_t kLeadIn = 899;
inline constexpr int64_t kTail = 500;

struct TQuietBand {
  uint8_t Lo, Hi;
  bool IsLoud(uint8_t s) const { return s < Lo || s > Hi; }
};

inline constexpr TQuietBand kWideQuietBand{112, 144};   // leading trims, and takes' tails
inline constexpr TQuietBand kNarrowQuietBand{120, 136};  // tails of converted WAV files

// Scans count samples from the file's current position for the first loud one and returns
// the index the kept samples start at (up to 899 before it), or -1 when none is loud.
int64_t FindLeadingStart(TByteFile& f, int64_t count, TQuietBand band);

// Follows the samples as they are written and tells how many to keep at the end.
class TTrailingTrim {
 public:
  explicit TTrailingTrim(TQuietBand band) : FBand(band) {}
  void Feed(const uint8_t* samples, size_t count);
  int64_t Written() const { return FWritten; }
  int64_t LastLoud() const { return FLastLoud; }
  // The count of samples to keep: cut to 500 after the last loud one when more follow it.
  int64_t KeptCount() const;

 private:
  TQuietBand FBand;
  int64_t FWritten = 0;   // W
  int64_t FLastLoud = 0;  // W just after the last loud sample was written; 0 while none was
};
