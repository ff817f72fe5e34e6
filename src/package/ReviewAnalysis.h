// What a review of a package finds, as figures and warnings in plain words: every present
// slot as the instrument will play it, compared with its source where the folder has one.
// The review page (ReviewPage.h) draws these; so may any other front end. Nothing here
// makes HTML, and nothing here writes a file.
//
// How a review is made, and what it touches:
// - the package is read slot by slot through TPackageReader; each present record is decoded
//   once, in blocks, and each block goes to its findings (wraps, counted as it is decoded;
//   clipping, silence, the waveform's columns, its loudness) and to the comparison with its
//   source, so memory stays flat whatever the counts claim;
// - "ZelvorSound.ini" of the program's folder, when there is one, gives each slot's name and
//   source and the folder's coder; a source found in the folder is converted in memory by
//   the build's own conversion (ConvertWaveFileInMemory) and compared block by block with
//   the decoded record once the record is known to lie inside the package. Where the folder
//   codes with the standard coder, the first seconds are coded with the optimal one too, to
//   tell what it would gain.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "codec/Levelling.h"
#include "codec/VoxCodec.h"
#include "package/Package.h"
#include "rtl/Shell.h"
#include "rtl/SysUtils.h"

// Columns of the longest slot's waveform; every other slot has as many as its length gives
// on the same time scale (at least one).
inline constexpr int kWaveColumns = 480;
// A sound shorter than this (0.1 s) is flagged.
inline constexpr int64_t kShortSoundSamples = kTestWavRate / 10;
// This many samples or more in a row at 0, or at 255, are a clipped stretch (1 ms): a held
// peak of real speech lasts a sample or two at 8 kHz.
inline constexpr int64_t kClippedRunSamples = 8;
// Coding noise less than this far below the prompt is flagged: the codec cannot follow it
// (too steep or too loud for its steps).
inline constexpr double kNoisyCodingDb = 10.0;
// The optimal coder's gain is measured over at most this much of a sound (4 s), enough for a
// steady figure, so that the review of a package of long sounds stays quick.
inline constexpr size_t kGainStretchSamples = 4 * kTestWavRate;
// A slot further than this from the median loudness of the package's slots is flagged: it
// will sound louder or quieter than the prompts around it.
inline constexpr double kLoudnessSpreadLu = 3.0;

// What decoding one sound shows.
struct TSoundFindings {
  int64_t Samples = 0;
  int64_t Wraps = 0;          // codes that stepped the decoder past 0 or 255
  int64_t FirstWrap = -1;     // index of the sample the first such step made
  int64_t ClipStretches = 0;  // runs of kClippedRunSamples or more at 0 or at 255
  int64_t ClipSamples = 0;    // samples in those runs
  int64_t FirstClip = -1;     // index where the first such run starts
  bool Loud = false;          // some sample leaves the quiet band
  double LoudnessLufs = 0;    // TLoudnessMeter; -infinity when silent
  // The waveform: the lowest and highest sample of each column, and whether a wrap or a
  // clipped stretch falls into it.
  std::vector<uint8_t> ColumnLo, ColumnHi;
  std::vector<bool> ColumnMarked;
};

// Follows a decoded sound in pieces of any length. A wrap is read from the codes: the step a
// code asks for, applied to the value before it, passes 0 or 255 before the byte arithmetic
// folds it back — exactly where the instrument's decoder clicks.
class TSoundAnalyser {
 public:
  // samples: the sound's whole length, which fixes the columns.
  explicit TSoundAnalyser(int64_t samples, int columns = kWaveColumns);
  // codes and the 2 * codes.size() samples the decoder made of them, in stream order.
  void Feed(std::span<const uint8_t> codes, const uint8_t* samples);
  // The same, where the decoder has counted the block's wraps already (none is common:
  // then the codes are not looked at again).
  void Feed(std::span<const uint8_t> codes, const uint8_t* samples, size_t wraps);
  // Ends the last run and gives every column without a sample of its own its neighbour's.
  const TSoundFindings& Finish();

 private:
  // What the block of codes and samples shows, from sample index FIndex on.
  void FindWraps(std::span<const uint8_t> codes, const uint8_t* samples);
  void FollowColumns(const uint8_t* samples, size_t n);
  void FollowRuns(const uint8_t* samples, size_t n);
  void EndRun();
  int64_t ColumnStart(int column) const;
  int ColumnOf(int64_t index) const;

  TSoundFindings F;
  TLoudnessMeter FMeter;
  int FColumns;
  int64_t FIndex = 0;
  int FColumn = 0;                  // the column of sample FIndex
  int64_t FNextColumnAt = 0;        // the first sample of the next column
  uint8_t FValue = kVoxStartValue;  // the decoder's value before the next code
  int64_t FRunStart = 0, FRunLength = 0;
  uint8_t FRunValue = 0;  // 0 or 255 while a run at an extreme goes on
};

// Decodes one record of a package block by block; each block gives its codes and samples.
class TRecordStream {
 public:
  // Positions the package at the record's codes. A record that runs past the end of the
  // file fails here with "Read beyond end of file", before anything is decoded.
  TRecordStream(TByteFile& package, const TSoundRecord& record);
  // Reads and decodes the next block; false at the end of the record.
  bool Next();
  std::span<const uint8_t> Codes() const { return {FCodes.data(), FCount}; }
  std::span<const uint8_t> Samples() const { return {FSamples.data(), 2 * FCount}; }
  // How many of the block's codes stepped the decoder past 0 or 255.
  size_t Wraps() const { return FWraps; }

 private:
  TByteFile& FPackage;
  int64_t FLeft;
  size_t FCount = 0, FWraps = 0;
  TVoxDecoder FDecoder;
  std::vector<uint8_t> FCodes, FSamples;
};

// How a decoded sound compares with the slot's source as the build would code it now.
enum class TSourceState {
  Missing,     // the source is not in the folder
  Rejected,    // the conversion rejects it (Text: the problem); the slot holds an older ".vox"
  Unreadable,  // reading it failed (Text: the runtime's text)
  Differs,     // the build would keep KeptSamples samples, not the ones in the package
  Compared,    // same length: CodingNoiseDb says how far the decoded sound is from it
};

struct TSourceComparison {
  TSourceState State = TSourceState::Missing;
  std::string Text;
  int64_t KeptSamples = 0;
  // How far the coding noise (decoded minus source) lies below the source's signal (around
  // 128), in dB: signal energy over error energy.
  double CodingNoiseDb = 0;
  bool Exact = false;   // no sample differs
  bool Silent = false;  // the kept samples are all 128: no ratio to give
  // When asked: how much further below the noise would lie with the optimal coder, over the
  // first GainOverSamples samples (all of a sound up to kGainStretchSamples).
  std::optional<double> OptimalGainDb;
  int64_t GainOverSamples = 0;
};

// Compares a record's decoded sound, block by block as it is decoded, with the slot's source
// as the build would convert it now.
class TSourceComparer {
 public:
  // Converts the source at sourcePath in memory, as the build converts it (a missing source,
  // a rejected or unreadable one is settled here); with optimalGain the comparison also
  // tells what the optimal coder would gain.
  TSourceComparer(const TSoundRecord& record, const std::string& sourcePath, bool optimalGain);
  // The next decoded samples of the record, in order.
  void Feed(std::span<const uint8_t> decoded);
  TSourceComparison Finish();

 private:
  TSourceComparison FResult;
  bool FComparing = false, FOptimalGain = false;
  std::vector<uint8_t> FKept;
  size_t FAt = 0, FGainSamples = 0;
  int64_t FSignal = 0, FError = 0;          // over the whole sound
  int64_t FGainSignal = 0, FGainError = 0;  // over the stretch the gain is measured on
};

// Converts the source at sourcePath in memory, as the build converts it, and compares the
// samples with the record's decoded ones; with optimalGain, also codes them with the optimal
// coder to tell its gain. The record is checked first: one that runs past the end of the
// package fails before the source is read.
TSourceComparison CompareWithSource(TByteFile& package, const TSoundRecord& record,
                                    const std::string& sourcePath, bool optimalGain);

// One finding about a slot, in plain words.
struct TReviewCheck {
  const char* Kind;  // wrap, clip, short, silent, noise, loudness, coder, source
  bool Warning;      // needs attention; otherwise it informs
  std::string Text;
};

struct TSlotReview {
  TSoundRecord Record;
  std::string Name, Source;  // from the INI; Source as written there
  TSoundFindings Findings;
  std::optional<TSourceComparison> Comparison;  // only when the INI names a source
  std::vector<TReviewCheck> Checks;
  bool HasWarning() const;
};

// Everything a review finds, in slot order.
struct TReview {
  std::string PackagePath, IniPath;
  bool HasIni = false;
  int64_t PackageBytes = 0;
  TCoder Coder = TCoder::Standard;  // the folder's
  std::vector<TSlotReview> Slots;
  std::vector<int> Empty;
  std::vector<std::string> EmptyButNamed;     // "5 (Hello.WAV)"
  int64_t LongestSamples = 0;                 // the time scale of every waveform
  std::optional<double> MedianLoudnessLufs;   // over the slots that are not silent
  std::optional<double> MedianOptimalGainDb;  // over the slots compared, standard coder only
};

// A file error of the review, naming the file it concerns: "PATH: File not found".
class EReviewFileError : public Exception {
 public:
  EReviewFileError(const std::string& file, const std::string& reason)
      : Exception(file + ": " + reason) {}
};

// Reviews the package at packagePath; names, sources and the coder come from
// "ZelvorSound.ini" in folder (ending with '/') when it is there. Every file error of the
// package raises EReviewFileError naming it.
TReview ReviewPackage(const std::string& packagePath, const std::string& folder);

// Runs f; an error it raises is reported as one of file, unless it names its file already.
template <class F>
void AsErrorOf(const std::string& file, F f) {
  try {
    f();
  } catch (const EReviewFileError&) {
    throw;
  } catch (const Exception& e) {
    throw EReviewFileError(file, e.Message());
  }
}

// "0.840 s" for a count of samples at 8000 Hz.
std::string SecondsText(int64_t samples);
