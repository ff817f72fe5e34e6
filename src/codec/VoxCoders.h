// The two encoders a folder can choose between, behind one streaming interface: both write
// the same ".vox" layout (two codes a byte, the earlier in the low nibble, an odd last
// sample left out) for the same fixed decoder, and differ only in which codes they choose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "rtl/Shell.h"

class TVoxStreamEncoder {
 public:
  virtual ~TVoxStreamEncoder() = default;
  // Takes count more samples and appends to out the bytes decided by now; the optimal
  // encoder holds up to a window of samples back until it has decided them.
  virtual void Encode(const uint8_t* samples, size_t count, std::vector<uint8_t>& out) = 0;
  // Appends the bytes still held back. N samples in all give N / 2 bytes (rounded down).
  virtual void Finish(std::vector<uint8_t>& out) = 0;
};

std::unique_ptr<TVoxStreamEncoder> MakeVoxEncoder(TCoder coder);

// A whole sound coded at once.
std::vector<uint8_t> EncodeVox(TCoder coder, const uint8_t* samples, size_t count);

// "standard" and "optimal": the names of the INI's Coder= and of --coder.
const char* CoderName(TCoder coder);
// The coder of a name (any letter case, blanks around it ignored); nothing for another.
std::optional<TCoder> CoderByName(const std::string& name);
