// The optimal coder: of all the code sequences the instrument's decoder can play, the one
// whose decoding lies closest to the samples in squared error. The decoder is fixed, but
// any sequence of codes is a valid ".vox"; the standard encoder rounds every difference
// down to a step and so falls short on every slope, where a search over the decoder's
// values finds the codes that follow the sound.
//
// The search (Viterbi over the 256 decoder values): after each sample, every value v keeps
// the least error of any code sequence whose decoding ends at v. A value is reached from
// v - m for the fifteen moves m (0, ±1, ±2, … ±64; code 8, a second "no move", is never
// used), and a move that would leave 0..255 is never taken, so the decoding never wraps.
//
// Memory stays bounded: the samples are searched in windows of DecisionBlock + LookAhead.
// The best sequence through a window is traced back from its end, its first DecisionBlock
// codes are kept for good, and the next window starts from the value they end on. The
// look-ahead lets the paths meet before a decision is made; with a block of 256 and a
// look-ahead of 16 the result matches a search over the whole sound.
//
// A pure object: all its state is its own, so any number can code at once on any threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class TOptimalVoxEncoder {
 public:
  static constexpr size_t kDecisionBlock = 256;
  static constexpr size_t kLookAhead = 16;

  // decisionBlock must be even (whole bytes are kept at each decision) and above 0.
  explicit TOptimalVoxEncoder(size_t decisionBlock = kDecisionBlock, size_t lookAhead = kLookAhead);

  // Takes count more samples and appends to out the bytes of the codes decided by now.
  void Encode(const uint8_t* samples, size_t count, std::vector<uint8_t>& out);
  // Decides the rest and appends its bytes; an odd last sample is left out, as the
  // standard encoder leaves it. The encoder then starts a new stream.
  void Finish(std::vector<uint8_t>& out);

 private:
  // Searches the first n pending samples from the start value and returns the decoder
  // value after each of them, into FPath.
  void Search(size_t n);
  // Appends the codes of the first n path values (n even) and drops them from the pending
  // samples; the start value becomes the value they end on.
  void Keep(size_t n, std::vector<uint8_t>& out);

  size_t FBlock, FLookAhead;
  uint8_t FStart = 128;
  std::vector<uint8_t> FPending;
  // One row of errors per searched sample and one for the start, each with 64 unreachable
  // values on either side so every move reads inside its row.
  std::vector<float> FRows;
  std::vector<uint8_t> FPath;
};
