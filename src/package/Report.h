// The review page of a package: one self-contained HTML file (inline CSS and SVG, the sounds
// as data URIs, nothing fetched from elsewhere) that shows every present slot as the
// instrument will play it, so a maker can check 128 prompts at a glance and send the page to
// someone without the program.
//
// How a page is made, and what it touches:
// - the package is read slot by slot through TPackageReader; each present record is decoded
//   three times in blocks (findings and waveform, comparison with its source, the sound for
//   the page), so memory stays the same whatever the counts claim;
// - "ZelvorSound.ini" of the program's folder, when there is one, gives each slot's name and
//   source; a source found in the folder is reduced in memory as the build would reduce it
//   now and compared sample by sample with the decoded sound. Nothing else is written: no
//   "out.dat", no ".vox", no "testvox.wav";
// - the page is written under a temporary name beside its place and put there by rename once
//   complete; a page that fails midway leaves the older one as it was.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "codec/VoxCodec.h"
#include "package/Package.h"
#include "rtl/SysUtils.h"

// Columns of a slot's waveform, one pixel each.
inline constexpr int kWaveColumns = 480;
// A sound shorter than this (0.1 s) is flagged.
inline constexpr int64_t kShortSoundSamples = kTestWavRate / 10;
// This many samples or more in a row at 0, or at 255, are a clipped stretch (1 ms): a held
// peak of real speech lasts a sample or two at 8 kHz.
inline constexpr int64_t kClippedRunSamples = 8;
// A decoded sound further than this from its source is flagged: the codec cannot follow it
// (too steep or too loud for its steps).
inline constexpr double kLowSignalToErrorDb = 10.0;

// What decoding one sound shows.
struct TSoundFindings {
  int64_t Samples = 0;
  int64_t Wraps = 0;          // codes that stepped the decoder past 0 or 255
  int64_t FirstWrap = -1;     // index of the sample the first such step made
  int64_t ClipStretches = 0;  // runs of kClippedRunSamples or more at 0 or at 255
  int64_t ClipSamples = 0;    // samples in those runs
  int64_t FirstClip = -1;     // index where the first such run starts
  bool Loud = false;          // some sample leaves the quiet band
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
  // Ends the last run and gives every column without a sample of its own its neighbour's.
  const TSoundFindings& Finish();

 private:
  void Step(uint8_t code, uint8_t sample);
  void EndRun();
  int64_t ColumnStart(int column) const;

  TSoundFindings F;
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

 private:
  TByteFile& FPackage;
  int64_t FLeft;
  size_t FCount = 0;
  TVoxDecoder FDecoder;
  std::vector<uint8_t> FCodes, FSamples;
};

// Decodes a whole record and returns what it shows.
TSoundFindings AnalyseRecord(TByteFile& package, const TSoundRecord& record);

// How a decoded sound compares with the slot's source as the build would code it now.
enum class TSourceState {
  Missing,     // the source is not in the folder
  Rejected,    // the conversion rejects it (Text: the problem); the slot holds an older ".vox"
  Unreadable,  // reading it failed (Text: the runtime's text)
  Differs,     // the build would keep KeptSamples samples, not the ones in the package
  Compared,    // same length: SignalToErrorDb says how far the decoded sound is from it
};

struct TSourceComparison {
  TSourceState State = TSourceState::Missing;
  std::string Text;
  int64_t KeptSamples = 0;
  double SignalToErrorDb = 0;  // signal energy over error energy, around 128
  bool Exact = false;          // no sample differs
  bool Silent = false;         // the kept samples are all 128: no ratio to give
};

// Reduces the source at sourcePath in memory, as the build converts it (checks, 16-bit
// normalising and filtering, silence trimming), and compares the samples with the record's
// decoded ones.
TSourceComparison CompareWithSource(TByteFile& package, const TSoundRecord& record,
                                    const std::string& sourcePath);

// A file error of the review, naming the file it concerns: "PATH: File not found".
class EReviewFileError : public Exception {
 public:
  EReviewFileError(const std::string& file, const std::string& reason)
      : Exception(file + ": " + reason) {}
};

struct TReviewSummary {
  int Filled = 0;        // present slots
  int WithWarnings = 0;  // present slots with at least one warning
  int64_t PageBytes = 0;
};

// Writes the review page of the package at packagePath to pagePath. Names and sources come
// from "ZelvorSound.ini" in folder (ending with '/') when it is there, and sources are looked
// for in folder. A read-only page is refused as the runtime refuses it ("File access
// denied"). Every file error raises EReviewFileError naming the package or the page.
TReviewSummary WriteReviewPage(const std::string& packagePath, const std::string& folder,
                               const std::string& pagePath);

// True when path holds a page that WriteReviewPage wrote, which a new one may replace.
bool IsReviewPage(const std::string& path);

// Slot numbers in ascending order as ranges: "0–2, 4, 6–127" (en dashes).
std::string SlotRanges(const std::vector<int>& slots);

// Text for an HTML element or a quoted attribute: markup characters as entities, a byte that
// is not part of UTF-8 as a numeric reference to that code, which browsers read as the
// Windows code page the INI files made there are written in; control characters as U+FFFD.
std::string HtmlText(const std::string& text);
