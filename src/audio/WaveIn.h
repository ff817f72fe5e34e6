// Records from one wave input device: keeps up to BufferCount empty buffers of BufferLength
// milliseconds queued at the device and, for every buffer the device fills, reports the
// level (OnLevel), shows the samples to OnBufferData and hands them on through DataReady,
// which descendants override (the stock recorder writes them to a file). The protocol and
// the device queries are the base's, over the waveIn calls.
#pragma once

#include "audio/WaveIO.h"

class TWaveAudioIn : public TWaveAudioIO {
 public:
  explicit TWaveAudioIn(TComponent* owner = nullptr);
  ~TWaveAudioIn() override;

  TPCMFormat GetPCMFormat() const { return FPCMFormat; }
  // Raises "Audio format cannot be changed while device is open" while a device is open.
  void SetPCMFormat(TPCMFormat value);
  // Supplies the format when PCMFormat is nonePCM; without it such an open fails with
  // EWaveAudioInvalidOperation.
  TWaveAudioGetFormatEvent OnFormat;

  // --- operations of the base ---
 protected:
  void WimOpen() override;
  void WimData(PWAVEHDR Header) override;
  void GetWaveFormat(PWaveFormatEx& pWaveFormat, bool& FreeIt) override;
  void PrimeBuffers() override;

  // --- operations added here, in slot order ---
  // Prepares (when needed) and queues an empty buffer at the device.
  virtual bool QueueBuffer(PWAVEHDR Header);

 public:
  // Queues a caller's block (or, with Buffer nil, a component block) as a recording
  // buffer; with FreeIt the component frees it (it must come from std::malloc).
  virtual bool AddBuffer(void* Buffer, uint32_t BufferSize, bool FreeIt);

 protected:
  // Receives each filled buffer. Setting FreeIt to False keeps the block (it was
  // std::malloc'ed; the receiver frees it); the header then gets a fresh block.
  virtual void DataReady(void* Buffer, uint32_t BytesRecorded, bool& FreeIt);

 private:
  TPCMFormat FPCMFormat = Mono16bit8000Hz;
};
