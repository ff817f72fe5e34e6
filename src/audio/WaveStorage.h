// The abstract home of numbered wave sounds. The stock recorder and player link to a
// storage through their Stock property and then record into, or play from, one of its items
// chosen by index instead of a file name.
//
// Ownership: a stream handed out by ProvideStream stays the storage's. A stock component only
// reads, writes, seeks and resizes it while one recording or playback lasts and then drops
// its reference; it never frees it.
//
// Linking: the stock components register for the storage's free notification, so a storage
// that goes away clears their Stock link by itself. A component still recording into or
// playing from one of its streams at that moment lets go of the stream without touching it
// again (the stream is already gone) and stops its device. With Async components the device
// thread may be writing at the moment the storage frees its streams: stop them first.
#pragma once

#include <cstdint>

#include "rtl/Classes.h"

class TCustomWaveStorage : public TComponent {
 public:
  explicit TCustomWaveStorage(TComponent* owner = nullptr);
  ~TCustomWaveStorage() override;

  // The stream of the item with this index, positioned anywhere: the recorder empties it and
  // writes a complete RIFF WAVE file from position 0; the player reads one from position 0.
  // It must support read, write, seek (from the beginning and the current position) and set
  // size. What happens for an index the storage does not hold is the storage's choice
  // (raise, or hand out a new empty stream); nullptr makes the component's open fail.
  virtual TStream* ProvideStream(int32_t Index) = 0;
  // How many items the storage holds. Nothing in the program depends on it; it lets a
  // front end list what a storage offers.
  virtual int32_t Count() = 0;
};

// Moves a component's Stock link from what stock holds to value: unregisters from the old
// storage's free notification and registers for the new one's. Both stock components link
// through this, so they follow the same rule.
void LinkStock(TComponent* self, TCustomWaveStorage*& stock, TCustomWaveStorage* value);
