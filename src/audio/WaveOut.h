// Plays through one wave output device: keeps up to BufferCount buffers of BufferLength
// milliseconds queued, refills each returning buffer from the data source the descendant
// supplies (GetWaveData fills component buffers; GetWaveDataPtr hands over blocks or asks
// for silence), and when the source runs dry lets the queue play out and closes the device
// by itself. Volume, Pitch and PlaybackRate go to the device as Options chooses; Seek
// restarts the queue at another position.
#pragma once

#include "audio/WaveIO.h"

// What an output device can do, from its capability record.
enum TWaveOutSupport {
  dsVolume,
  dsLeftRightVolume,
  dsPitch,
  dsPlaybackRate,
  dsSampleAccurate,
  dsAsynchronous,
};

class TWaveOutSupports {
 public:
  void Include(TWaveOutSupport s) { FBits |= static_cast<uint8_t>(1u << s); }
  bool Contains(TWaveOutSupport s) const { return (FBits & (1u << s)) != 0; }
  bool Empty() const { return FBits == 0; }
  uint8_t Bits() const { return FBits; }
  bool operator==(const TWaveOutSupports&) const = default;

 private:
  uint8_t FBits = 0;
};

// The device's 16.16 fixed-point words for pitch and playback rate: the integer part in the
// high word, the fraction in 1/65536 steps in the low word.
DWORD FloatToFixedPoint(double value);
double FixedPointToFloat(DWORD value);
// The device's volume word for a percentage: both channels at value × 0xFFFF ÷ 100.
DWORD VolumePercentToWord(uint16_t percent);

class TWaveAudioOut : public TWaveAudioIO {
 public:
  explicit TWaveAudioOut(TComponent* owner = nullptr);
  ~TWaveAudioOut() override;

  // --- properties ---
  // The device's own setting while open on a device with volume support, else the stored
  // value (also when the device refuses the query).
  uint16_t GetVolume();
  void SetVolume(uint16_t value);  // above 100 is stored as 100
  double GetPitch();
  void SetPitch(double value);
  double GetPlaybackRate();
  void SetPlaybackRate(double value);
  TWaveOutOptions GetOptions() const { return FOptions; }
  void SetOptions(TWaveOutOptions value);
  TWaveOutSupports DeviceSupport();
  bool GetFillBuffers() const { return FFillBuffers; }
  void SetFillBuffers(bool value) { FFillBuffers = value; }
  uint32_t GetPositionBase() const { return FPositionBase; }

  // --- operations of the base ---
 protected:
  void WomOpen() override;
  void WomDone(PWAVEHDR Header) override;

 public:
  // The device's position plus the base that Seek set.
  uint32_t GetPosition() override;

 protected:
  void PrimeBuffers() override;

  // --- operations added here, in slot order ---
 public:
  // Drops the queued audio and counts the position from Position again; the returning
  // buffers are refilled from the source's current position.
  virtual void Seek(uint32_t Position);

 protected:
  // Prepares (when needed), shows the samples to OnBufferData and OnLevel, and queues a
  // filled buffer at the device.
  virtual bool WriteBuffer(PWAVEHDR Header);

 public:
  // Plays a caller's block (Loops times when not 0); with FreeIt the component frees it
  // (std::malloc'ed). A nil Buffer plays BufferSize bytes of silence.
  virtual bool AddBuffer(void* Buffer, uint32_t BufferSize, uint32_t Loops, bool FreeIt);

 protected:
  // Fills Buffer with up to BufferSize bytes; 0 means the data has ended. NumLoops other
  // than 0 plays the buffer that many times.
  virtual uint32_t GetWaveData(void* Buffer, uint32_t BufferSize, uint32_t& NumLoops);
  // Supplies a block (std::malloc'ed when FreeIt stays True) and returns its size, or with
  // Buffer left nil returns a duration of silence in milliseconds; 0 means the end.
  virtual uint32_t GetWaveDataPtr(void*& Buffer, uint32_t& NumLoops, bool& FreeIt);

  void ApplyDeviceSettings();

 private:
  // The two refill modes of a returning (or, nil, a requested) header. Each leaves Header
  // holding the next samples, or nil with nothing to queue now; the result says whether
  // the data has ended. A refill whose memory cannot be had ends the playback as at the
  // end of the data (the failure went through Success as code 7).
  bool RefillFromWaveData(PWAVEHDR& Header, uint32_t& NumLoops);     // FillBuffers
  bool RefillFromWaveDataPtr(PWAVEHDR& Header, uint32_t& NumLoops);  // not FillBuffers
  // Refills the header in the chosen mode and hands it to the device, asking for the next
  // one while the queue is short; at the end of the data the cycle turns to closing.
  void RefillAndWrite(PWAVEHDR& Header);
  // A buffer that could not be refilled or handed to the device is not at the device: it
  // is released, and the playback ends as at the end of the data, so the deferred close
  // still comes.
  void EndPlaybackAfterFailure(PWAVEHDR& Header);
  bool HasOption(TWaveOutOption option) const;

  uint16_t FVolume = 75;
  double FPitch = 1.0;
  double FPlaybackRate = 1.0;
  TWaveOutOptions FOptions{};
  bool FFillBuffers = true;
  uint32_t FPositionBase = 0;
};
