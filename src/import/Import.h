// Prompts from anywhere: a sound file of any format libsndfile reads, or a line of text
// spoken by espeak-ng, made into the take of one slot as if it had just been recorded.
//
// One import, in this order, all in the folder of ctx.ExeFolder:
//  1. the name is checked: it must stay in the folder, hold no line break, and (unless
//     Force) its take "<name>.WAV" must belong to no other slot and must not be a file no
//     slot names, nor the source itself;
//  2. the source (a regular file; anything else is rejected at once, before it is opened) is
//     decoded (or the text spoken), mixed to mono, resampled to 8000 Hz and followed into a
//     scratch file without a name (see PromptWriter.h); a source that cannot be decoded, or
//     that runs longer than any take, is rejected as soon as that shows;
//  3. the take is made, levelled (by default to a loudness of -16 LUFS, its peaks held under
//     -1 dBFS by a limiter; or its peak brought to PeakDb; or left as it is). A take whose
//     silence trimming would keep less than half of its sounding part (or nothing) is
//     refused here with a message that says how much would be kept and why, and the folder
//     stays as it was; on any other the take conversion runs as after a recording: trimmed,
//     "<name>.vox" coded with ctx.Coder, the take holding the kept samples, "out.dat" the
//     working file;
//  4. "ZelvorSound.ini" names it for the slot: [SoundFiles] NameN=<name> and
//     [SourceFileNames] NameN=<name>.WAV, and keeps what made it (package/TakeOrigin.h: the
//     text and voice, or the source's path, size and time), every other line of the file
//     kept;
//  5. the take, its ".vox", "out.dat" and the INI, each complete under a temporary name,
//     take their names together at the end.
// On success ctx.CurrentSoundFileName is the take's full path, as after double-clicking its
// row. A rejected source or a refused name shows one message through the shell and returns
// with the folder as it was; a file error raises EImportFileError (an EInOutError) naming
// the file, and an import told to stop (Stop) raises EPromptStopped; both leave the folder as
// it was too: nothing the import made is left. Each call is one whole operation on the
// folder, so one lock can hold it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "import/PromptWriter.h"
#include "codec/Levelling.h"
#include "import/Speech.h"
#include "rtl/Shell.h"

enum class TLevelling {
  Loudness,  // to LoudnessLufs, the peaks held under -1 dBFS by a limiter
  Peak,      // the whole sound scaled so its peak sits at PeakDb
  None,      // as it comes (beyond full scale held at the ends)
};

struct TImportOptions {
  std::string Name;  // the slot's name; empty: the source's base name, or the text made safe
  TLevelling Levelling = TLevelling::Loudness;
  double LoudnessLufs = kDefaultLoudnessLufs;  // kLowestLoudnessLufs to kHighestLoudnessLufs
  double PeakDb = -1.0;  // the peak's level below full scale, in dB (kLowestPeakDb to 0)
  bool Force = false;    // take the name even where its take belongs elsewhere
  // Asked now and then while the sound streams in; true stops the import (EPromptStopped),
  // as an interrupted command must.
  std::function<bool()> Stop;
  // The longest take to make, in samples; a longer sound is rejected as soon as it passes
  // that. The default is all the 32-bit sizes of a take's header can count.
  int64_t MaxSamples = kMaxTakeSamples;
  // Only the checks of step 1, and whether the source opens as a sound file (or the voice
  // speaks): nothing is decoded, spoken or written. Done then says what would be made.
  bool DryRun = false;
};

enum class TImportStatus {
  Done,
  Rejected,   // the content: libsndfile cannot decode it, it holds no sound, or its take
              // would lose its speech to the trimming
  Refused,    // the request: the slot, the name, the level, the voice or the speed
  NameTaken,  // refused because the name's take belongs elsewhere; Force takes it anyway
};

struct TImportResult {
  TImportStatus Status = TImportStatus::Refused;
  std::string Name;         // the name used
  int64_t KeptSamples = 0;  // samples in the take after trimming (Done only)
};

inline constexpr double kLowestPeakDb = -40.0;

TImportResult ImportSoundFile(TAppContext& ctx, TShell& shell, int slot, const std::string& source,
                              const TImportOptions& options);

TImportResult SpeakText(TAppContext& ctx, TShell& shell, int slot, const std::string& text,
                        const TImportOptions& options, const TSpeechOptions& speech);

// The name a slot gets by default: the file's base name without its extension, or the
// text with everything but letters, digits, blanks, '-' and '_' taken out, cut to 100
// characters at most, between words ("Speech" when nothing is left). Where another slot's
// take (or a file no slot names) has that name already, the import adds " (2)", " (3)", ...
// to it.
std::string NameForSource(const std::string& path);
std::string NameForText(const std::string& text);
