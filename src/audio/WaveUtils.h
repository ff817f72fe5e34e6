// What the audio library shares about sound: the wave format record, the twenty standard
// PCM formats, the output options, the wave audio errors and event signatures, the wave
// helpers (format filling and naming, buffer sizes, the level meter, silence, positions as
// text, the message-pumping wait) and the RIFF WAVE access over any stream.
//
// Format records travel by pointer. Every record this library hands over for somebody else
// to free (ReadWaveHeader's output, a record an OnFormat handler returns with FreeIt true)
// is obtained with std::malloc and released with std::free.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>

#include "platform/messages.h"
#include "platform/mmio.h"
#include "platform/mmsystem.h"
#include "rtl/Classes.h"
#include "rtl/SysUtils.h"

using TWaveFormatEx = WAVEFORMATEX;
using PWaveFormatEx = WAVEFORMATEX*;

// The standard PCM formats; nonePCM leaves the choice to the OnFormat handler. The rate
// changes every four values; inside a rate: 8-bit mono, 8-bit stereo, 16-bit mono, 16-bit
// stereo.
enum TPCMFormat : uint8_t {
  nonePCM,
  Mono8Bit8000Hz,
  Stereo8bit8000Hz,
  Mono16bit8000Hz,
  Stereo16bit8000Hz,
  Mono8bit11025Hz,
  Stereo8bit11025Hz,
  Mono16bit11025Hz,
  Stereo16bit11025Hz,
  Mono8bit22050Hz,
  Stereo8bit22050Hz,
  Mono16bit22050Hz,
  Stereo16bit22050Hz,
  Mono8bit44100Hz,
  Stereo8bit44100Hz,
  Mono16bit44100Hz,
  Stereo16bit44100Hz,
  Mono8bit48000Hz,
  Stereo8bit48000Hz,
  Mono16bit48000Hz,
  Stereo16bit48000Hz,
};

// What the output device may be asked to change on the sound card.
enum TWaveOutOption : uint8_t { woSetVolume, woSetPitch, woSetPlaybackRate };

// A set of output options, one byte with bit i standing for option i. Empty by default.
class TWaveOutOptions {
 public:
  constexpr TWaveOutOptions() = default;
  constexpr TWaveOutOptions(std::initializer_list<TWaveOutOption> options) {
    for (TWaveOutOption o : options) Include(o);
  }
  constexpr void Include(TWaveOutOption o) { FBits = static_cast<uint8_t>(FBits | Bit(o)); }
  constexpr void Exclude(TWaveOutOption o) { FBits = static_cast<uint8_t>(FBits & ~Bit(o)); }
  constexpr bool Contains(TWaveOutOption o) const { return (FBits & Bit(o)) != 0; }
  constexpr bool Empty() const { return FBits == 0; }
  constexpr uint8_t Bits() const { return FBits; }
  constexpr bool operator==(const TWaveOutOptions&) const = default;

 private:
  static constexpr uint8_t Bit(TWaveOutOption o) { return static_cast<uint8_t>(1u << o); }
  uint8_t FBits = 0;
};

// The common base of the wave audio errors; never raised itself.
class EWaveAudioError : public Exception {
 public:
  using Exception::Exception;
};
// An error code of the sound device, with the device's own text.
class EWaveAudioSysError : public EWaveAudioError {
 public:
  using EWaveAudioError::EWaveAudioError;
};
// An operation the component's state forbids.
class EWaveAudioInvalidOperation : public EWaveAudioError {
 public:
  using EWaveAudioError::EWaveAudioError;
};

using TWaveAudioEvent = std::function<void(TComponent* Sender)>;
// Level: the peak level in percent (0 to 100) of the buffer just handled, or -1 for a sample
// width the meter does not measure.
using TWaveAudioLevelEvent = std::function<void(TComponent* Sender, int32_t Level)>;
// The handler sets pWaveFormat to the record to use. FreeIt arrives true; when it is still
// true afterwards the caller frees the record (std::free) once it no longer needs it.
using TWaveAudioGetFormatEvent =
    std::function<void(TComponent* Sender, PWaveFormatEx& pWaveFormat, bool& FreeIt)>;

// --- format records ---

// Fills a PCM record: channels 0 mono / 1 stereo, rate 0..4 = 8000, 11025, 22050, 44100,
// 48000, bits 0 = 8 / 1 = 16. A selector out of range leaves its field as it was; block
// align, bytes per second and the extra size are always recomputed.
void FillPCMWaveFormat(PWaveFormatEx pWaveFormat, int Channels, int SamplesPerSec,
                       int BitsPerSample);
// Fills the record of a standard format (the low seven bits of the value count); nonePCM
// and values above the table leave it untouched.
void FillPCMWaveFormatByIndex(PWaveFormatEx pWaveFormat, TPCMFormat PCMFormat);
// "PCM 8.000 kHz, 16 Bit, Mono" and the like, with the locale's decimal separator.
std::string DescribeWaveFormat(const TWaveFormatEx* pWaveFormat);

// --- sizes and levels ---

// The bytes of a duration, rounded up to whole sample frames (unless block align is 0).
uint32_t MillisecondsToBufferBytes(const TWaveFormatEx* pWaveFormat, uint32_t Milliseconds);
// The bytes of a duration, rounded down by clearing (channels × bits) div 16 low bits.
uint32_t MillisecondsToAlignedBytes(const TWaveFormatEx* pWaveFormat, uint32_t Milliseconds);
// The peak of the positive half-wave in percent: 0..100, or -1 for widths other than 8
// and 16 bits. Count is a whole number of samples.
int32_t PeakLevelPercent(const void* Data, uint32_t Count, int BitsPerSample);
// Silence: 0x7F in every byte for 8 bits, 0 for 16; other widths are left alone. The
// component library has always filled 8-bit silence with 0x7F, one step below the middle
// of the unsigned range, and callers rely on its bytes; the sound drivers' own silence is
// the true middle, winmm::kDriverSilence8 (0x80).
void FillSilence(void* Data, uint32_t Count, int BitsPerSample);
// A position as text. Styles: 0 h:mm:ss.cc, 1 h:mm:ss, 2 m:ss.cc, 3 m:ss, 4 s.cc, 5 s,
// 6 the shortest of 0/2/4 that shows the hours or minutes, 7 the same of 1/3/5, 8 and above
// the plain milliseconds. Separators come from FormatSettings().
std::string FormatDuration(uint32_t Milliseconds, uint8_t Style);

// Waits for the handle or the time-out (INFINITE: none) while the calling thread's posted
// messages keep being dispatched; keyboard and mouse messages are dropped. A pseudo-handle
// of the calling thread or process is waited on through a duplicate that is always closed.
// Returns WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_FAILED, or WAIT_OBJECT_0 + 1 when a dispatched
// message was WM_QUIT.
DWORD WaitWithMessagePump(HANDLE Handle, DWORD Timeout);

// --- RIFF WAVE files over a stream ---

// The I/O procedure that routes the chunk layer to a TStream (in the record's first user
// word). Every read and write first moves the stream to the record's disk offset, so the
// handle's position holds even when somebody else moved the stream. -1 on any failure.
LRESULT StreamIOProcedure(LPMMIOINFO lpmmioinfo, UINT uMsg, LPARAM lParam1, LPARAM lParam2);
// A handle for writing on the stream (which stays the caller's), or nullptr.
HMMIO OpenStreamForWaveWriting(TStream* Stream);
// Empties the stream and writes the RIFF header, the "fmt " chunk and an open "data" chunk;
// the handle is positioned on the first sample byte. nullptr on failure (the handle is
// closed, the emptied stream stays with its owner).
HMMIO CreateStreamWaveWriter(TStream* Stream, const TWaveFormatEx* pWaveFormat, MMCKINFO& ckRIFF,
                             MMCKINFO& ckData);
// Writes the header at the start of the handle's file; true when every chunk was created
// and the whole format record written.
bool WriteWaveHeader(HMMIO mmIO, const TWaveFormatEx* pWaveFormat, MMCKINFO& ckRIFF,
                     MMCKINFO& ckData);
// Closes the data and RIFF chunks (writing their sizes and a pad byte after odd data) and
// the handle, which is closed in any case. False when one of those writes failed: the file's
// sizes may then not be what it holds.
bool FinishWaveWriter(HMMIO mmIO, MMCKINFO& ckRIFF, MMCKINFO& ckData);
// Finds the format and the data of a RIFF WAVE file. On success pWaveFormat is a
// std::malloc'ed record (at least 18 bytes; the caller frees it), DataSize the size of the
// "data" chunk and DataOffset the absolute offset of its first byte. On failure nothing stays
// allocated and pWaveFormat is nullptr (or untouched when the file is no RIFF WAVE at all).
// The handle's position is the same afterwards. Reason, when given, receives on failure
// what is wrong with the file, in a few words ("not a RIFF WAVE file", "no format chunk").
bool ReadWaveHeader(HMMIO mmIO, PWaveFormatEx& pWaveFormat, uint32_t& DataSize, int32_t& DataOffset,
                    const char** Reason = nullptr);
