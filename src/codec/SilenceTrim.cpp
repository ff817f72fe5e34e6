#include "codec/SilenceTrim.h"

#include <algorithm>
#include <vector>

int64_t FindLeadingStart(TByteFile& f, int64_t count, TQuietBand band) {
  std::vector<uint8_t> block(kCopyBlockBytes);
  int64_t index = 0;
  while (index < count) {
    size_t n = static_cast<size_t>(std::min<int64_t>(count - index, block.size()));
    f.BlockRead(block.data(), n);
    for (size_t i = 0; i < n; ++i)
      if (band.IsLoud(block[i])) {
        int64_t loud = index + static_cast<int64_t>(i);
        return loud >= kLeadIn + 1 ? loud - kLeadIn : 0;
      }
    index += static_cast<int64_t>(n);
  }
  return -1;
}

void TTrailingTrim::Feed(const uint8_t* samples, size_t count) {
  // Only the last loud sample of the block matters.
  for (size_t i = count; i > 0; --i)
    if (FBand.IsLoud(samples[i - 1])) {
      FLastLoud = FWritten + static_cast<int64_t>(i);
      break;
    }
  FWritten += static_cast<int64_t>(count);
}

int64_t TTrailingTrim::KeptCount() const {
  if (FWritten > kTail && FWritten - kTail > FLastLoud) return FLastLoud + kTail;
  return FWritten;
}
