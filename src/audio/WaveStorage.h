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
#include <functional>

#include "audio/WaveIO.h"
#include "platform/mmio.h"
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

// --- what the stock recorder and player share about their streams ---

// The stream of one stock recording or playback on its way to its device cycle.
struct TCycleStream {
  TStream* Stream = nullptr;
  HMMIO Handle = nullptr;  // the player's read handle; the recorder opens its writer later
  bool Owns = false;       // the component frees the stream when the cycle ends
};

// How the stock recorder and player begin a cycle; they differ only in these.
struct TStockStart {
  // The player gives up its time slice once after stopping a running playback, as its
  // contract says; the recorder goes straight on. The new open waits for the previous
  // cycle's close either way, so this is a courtesy to the device's threads, not what
  // keeps the two cycles apart.
  bool YieldAfterStop;
  // The player opens its read handle on the stream before the device (the header is read
  // while the device asks for the format); the recorder can write its header only once it
  // knows the format, so it opens its writer then.
  bool OpenReadHandle;
};

// The streams handed to BeginWithStream whose device open has not begun yet. Each stream
// belongs to exactly one device cycle: it waits here until its own open takes it (by then
// the previous device has closed and released its own stream), so neither cycle ever
// finishes, closes or frees the other's. Starts nest (a handler may start another cycle
// while one is being opened), so each start keeps its own record on its stack and the
// innermost one is the one the open takes.
class TPendingStreams {
 public:
  // Stops a running cycle of Device, then opens Device with the stream waiting here. When
  // the open fails or raises, the stream is let go before the result or the error reaches
  // the caller: through Release when the open had taken it already (it is that cycle's
  // own, to be finished), else closed and freed unused.
  bool Begin(TWaveAudioIO& Device, TStream* Stream, bool Owns, TStockStart How,
             const std::function<void(TStream*)>& Release);
  // The innermost waiting stream, handed over once; false when there is none.
  bool Take(TCycleStream& Taken);

 private:
  struct TRecord {
    TCycleStream Cycle;
    bool Taken;
    TRecord* Outer;
  };
  TRecord* FInnermost = nullptr;
};

// The storage that lent Stream to a running cycle is going away and has freed its streams:
// the cycle lets go of it without touching it again (its handle is closed without writing)
// and the device is stopped. False (nothing done) when the stream is not a storage's.
bool DetachFromVanishingStock(TWaveAudioIO& Device, TStream*& Stream, HMMIO& Handle, bool Owns);
