// A wave storage held in memory: numbered streams that the stock recorder records into and
// the stock player plays from without a file on disk. A sound decoded only to be heard
// (a ".vox" file, a package slot, a take coded as the instrument will play it) is put here
// as a whole RIFF WAVE file and played as item 0, so nothing is written for it.
//
// An index not yet held gets a new empty stream. The storage owns its streams; a stock
// component only borrows one for a cycle (WaveStorage.h).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "audio/WaveStorage.h"
#include "rtl/Classes.h"

class TMemoryWaveStorage : public TCustomWaveStorage {
 public:
  using TCustomWaveStorage::TCustomWaveStorage;

  TStream* ProvideStream(int32_t Index) override;
  int32_t Count() override { return static_cast<int32_t>(FItems.size()); }

  // Puts a stream of the caller's under the index, replacing what was there.
  void Put(int32_t Index, std::unique_ptr<TStream> Stream);
  // Puts a memory stream holding these bytes under the index.
  void PutBytes(int32_t Index, std::string_view Bytes);
  // The stream under the index; nothing when none is held.
  TStream* Item(int32_t Index);
  // The bytes of a memory stream under the index; empty for none.
  std::string Bytes(int32_t Index);
  // How many streams ProvideStream has handed out.
  int ProvidedCount() const { return FProvided; }

 private:
  std::map<int32_t, std::unique_ptr<TStream>> FItems;
  int FProvided = 0;
};
