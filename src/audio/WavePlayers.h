// The ready-to-use player: a wave output device that plays the sample data of a RIFF WAVE
// file read from a stream it holds for one playback. The stream is a file opened by name
// (shared with readers, closed to writers) or an item of a wave storage chosen by index. The
// file's own format record decides how the device opens, so any format the sound card takes
// plays. When the data chunk is used up the device closes by itself, and the player releases
// the stream before OnDeactivate fires.
//
// One playback cycle: StartPlaying… stops a running playback, opens the stream and a read
// handle on it, opens the device; the header is parsed while the device asks for its format;
// the data chunk is delivered in file order (bytes after it are never played); the closed
// notification closes the handle and releases the stream.
//
// Each stream and read handle belongs to exactly one device cycle. A playback started while
// the previous one is still closing keeps its stream and handle aside until its own device
// open begins (by then the previous device has closed and released its own), so neither
// cycle ever closes or frees the other's.
#pragma once

#include <cstdint>
#include <string>

#include "audio/WaveOut.h"
#include "audio/WaveStorage.h"

class TStockAudioPlayer : public TWaveAudioOut {
 public:
  explicit TStockAudioPlayer(TComponent* owner = nullptr);
  ~TStockAudioPlayer() override;

  // --- published ---
  TCustomWaveStorage* GetStock() const { return FStock; }
  void SetStock(TCustomWaveStorage* Value);

  // --- operations ---
  // Opens the file for reading (writers are kept out while it plays) and plays it. Raises
  // "Cannot open file %s" when it cannot be opened. True when the device opened.
  bool StartPlayingFile(const std::string& FileName);
  // Plays the storage's item. Raises EWaveAudioInvalidOperation "Stock property is not
  // assigned" without a storage.
  bool StartPlayingStockItem(int32_t Index);
  bool StopPlaying();

  // Active := True plays storage item 0, Active := False stops.
  void SetActive(bool Value) override;
  // Moves the read position to the time (rounded down to whole sample frames; beyond the
  // end: the end of the data), then restarts the queue there.
  void Seek(uint32_t Position) override;

  // The data chunk of the file being played: its size and the offset of its first byte.
  // Valid once the device has opened for the current file.
  uint32_t GetDataSize() const { return DataSize; }
  int32_t GetDataOffset() const { return DataOffset; }

 protected:
  void Notification(TComponent* component, TOperation operation) override;
  void WomClose() override;
  void GetWaveFormat(PWaveFormatEx& pWaveFormat, bool& FreeIt) override;
  void DoError() override;
  // The next bytes of the data chunk, at most BufferSize; 0 at its end. A failed read ends
  // the playback too (0), instead of handing an unfilled buffer to the device.
  uint32_t GetWaveData(void* Buffer, uint32_t BufferSize, uint32_t& NumLoops) override;

  // --- added here, in slot order ---
  // Stops a running playback (yielding once), opens a read handle on Stream and opens the
  // device with the file's format. On failure the handle and stream are released before the
  // result (False) or the error reaches the caller.
  virtual bool BeginWithStream(TStream* Stream, bool Owns);
  // Closes the read handle (nothing is written) and lets go of the stream, freeing it when
  // owned. Safe to call again.
  virtual void ReleaseStream();

  HMMIO WaveFileHandle = nullptr;
  uint32_t DataSize = 0;
  int32_t DataOffset = 0;
  TStream* WaveStream = nullptr;
  bool OwnsStream = false;

 private:
  // The stream and read handle of the open in progress, from the pending ones.
  void TakePendingStream();

  TCustomWaveStorage* FStock = nullptr;
  TPendingStreams FPending;
};
