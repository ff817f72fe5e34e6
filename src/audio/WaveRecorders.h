// The ready-to-use recorder: a wave input device that writes everything it captures, as a
// RIFF WAVE file, into a stream it holds for one recording. The stream is a new file named by
// the caller or an item of a wave storage chosen by index. When the device has closed, the
// recorder writes the chunk sizes and releases the stream before OnDeactivate fires, so a
// deactivation handler finds the finished file.
//
// One recording cycle: StartRecordingTo… stops a running recording, creates the stream and
// opens the device; the header is written while the device asks for its format; every filled
// buffer is appended in arrival order (also those returned partly filled when the recording
// stops); the closed notification finishes and releases the stream.
//
// Each stream belongs to exactly one device cycle. A recording started while the previous one
// is still closing keeps its stream aside until its own device open begins (by then the
// previous device has closed and finished its own file), so neither cycle ever finishes or
// frees the other's stream, and each stream is finished and released exactly once.
#pragma once

#include <cstdint>
#include <string>

#include "audio/WaveIn.h"
#include "audio/WaveStorage.h"

class TStockAudioRecorder : public TWaveAudioIn {
 public:
  explicit TStockAudioRecorder(TComponent* owner = nullptr);
  ~TStockAudioRecorder() override;

  // --- published ---
  TCustomWaveStorage* GetStock() const { return FStock; }
  // Registers for the new storage's free notification and drops the old one's.
  void SetStock(TCustomWaveStorage* Value);

  // --- operations ---
  // Creates (or replaces) the file and records into it. Raises "Cannot create file %s" when
  // the file cannot be made; the device is not touched then. True when the device opened.
  bool StartRecordingToFile(const std::string& FileName);
  // Records into the storage's item. Raises EWaveAudioInvalidOperation "Stock property is
  // not assigned" without a storage.
  bool StartRecordingToStockItem(int32_t Index);
  // Stops the recording; the file is finished when the device has closed.
  bool StopRecording();

  // Active := True records into storage item 0, Active := False stops.
  void SetActive(bool Value) override;

 protected:
  void Notification(TComponent* component, TOperation operation) override;
  void WimClose() override;
  void GetWaveFormat(PWaveFormatEx& pWaveFormat, bool& FreeIt) override;
  // Without a device the recording cannot go on: the file is finished first.
  void DoError() override;
  // Appends the bytes to the file. A short write (or no file at all) is reported as error
  // code 1 through Success; when that report raises (no OnError handler), the error goes to
  // the application's exception handler and the buffer still returns to the device, so the
  // recording goes on.
  void DataReady(void* Buffer, uint32_t BytesRecorded, bool& FreeIt) override;

  // --- added here, in slot order ---
  // Stops a running recording, then opens the device for a new one into Stream (Owns: the
  // recorder frees it when the recording ends). On failure the stream is released before
  // the result (False) or the error reaches the caller; an already written header is
  // finished as an empty recording.
  virtual bool BeginWithStream(TStream* Stream, bool Owns);
  // Finishes the file (chunk sizes) and lets go of the stream, freeing it when owned. Safe
  // to call again: later runs find nothing to do. Writes of the sizes that fail raise the
  // runtime's file error ("Disk full"), once the stream has been let go.
  virtual void ReleaseStream();

  // The current cycle's file. WaveFileHandle is set only while WaveStream is.
  HMMIO WaveFileHandle = nullptr;
  MMCKINFO RiffChunk{};
  MMCKINFO DataChunk{};
  TStream* WaveStream = nullptr;
  bool OwnsStream = false;

 private:
  // The stream of the open in progress, from the pending ones; a stream still attached
  // belongs to a device that was abandoned, and is finished first.
  void TakePendingStream();

  TCustomWaveStorage* FStock = nullptr;
  TPendingStreams FPending;
  // The storage took this recording's stream away: what the device still hands back has
  // nowhere to go and is dropped without a report (there is no write to fail).
  bool FStreamGone = false;
};
