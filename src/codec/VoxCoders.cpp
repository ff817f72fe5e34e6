#include "codec/VoxCoders.h"

#include <cctype>

#include "codec/OptimalCoder.h"
#include "codec/VoxCodec.h"

namespace {

class TStandardStream : public TVoxStreamEncoder {
 public:
  void Encode(const uint8_t* samples, size_t count, std::vector<uint8_t>& out) override {
    const size_t at = out.size();
    out.resize(at + (count + 1) / 2);
    out.resize(at + FEncoder.Encode(samples, count, out.data() + at));
  }
  void Finish(std::vector<uint8_t>&) override { FEncoder = TVoxEncoder(); }

 private:
  TVoxEncoder FEncoder;
};

class TOptimalStream : public TVoxStreamEncoder {
 public:
  void Encode(const uint8_t* samples, size_t count, std::vector<uint8_t>& out) override {
    FEncoder.Encode(samples, count, out);
  }
  void Finish(std::vector<uint8_t>& out) override { FEncoder.Finish(out); }

 private:
  TOptimalVoxEncoder FEncoder;
};

}  // namespace

std::unique_ptr<TVoxStreamEncoder> MakeVoxEncoder(TCoder coder) {
  if (coder == TCoder::Optimal) return std::make_unique<TOptimalStream>();
  return std::make_unique<TStandardStream>();
}

std::vector<uint8_t> EncodeVox(TCoder coder, const uint8_t* samples, size_t count) {
  std::vector<uint8_t> out;
  out.reserve(count / 2);
  auto encoder = MakeVoxEncoder(coder);
  encoder->Encode(samples, count, out);
  encoder->Finish(out);
  return out;
}

const char* CoderName(TCoder coder) { return coder == TCoder::Optimal ? "optimal" : "standard"; }

std::optional<TCoder> CoderByName(const std::string& name) {
  size_t from = 0, to = name.size();
  while (from < to && std::isspace(static_cast<unsigned char>(name[from]))) ++from;
  while (to > from && std::isspace(static_cast<unsigned char>(name[to - 1]))) --to;
  std::string word;
  for (size_t i = from; i < to; ++i)
    word += static_cast<char>(std::tolower(static_cast<unsigned char>(name[i])));
  for (TCoder c : {TCoder::Standard, TCoder::Optimal})
    if (word == CoderName(c)) return c;
  return std::nullopt;
}
