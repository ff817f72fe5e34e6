// "Create Zelvor sound file": converts the 128 configured sources and packs their ".vox"
// files into "Sounds.zvd" in the executable folder, one status line per slot.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "rtl/Shell.h"
#include "rtl/SysUtils.h"

class TIniFile;

// What "ZelvorSound.ini" names for one slot.
struct TSlotConfig {
  std::string SoundName;  // "SoundFiles"
  // "SourceFileNames", relative to the folder, '\' already made '/'; empty or NONE: none.
  // Only a source that lies inside the folder once links are followed is read.
  std::string Source;
  std::string SourceAsWritten;  // the same as the INI writes it
  // "DestinationFileNames" as written: the name of the copy in "WAV Export"; empty or NONE:
  // none. Only a plain name (IsPlainName) is copied to; any other is refused with a warning.
  std::string Destination;
};

// The 128 slots as the configuration file names them (a missing file: all empty).
std::vector<TSlotConfig> ReadBuildConfig(const TIniFile& ini);
std::vector<TSlotConfig> ReadBuildConfig(const std::string& iniPath);

// A file error while the source of a slot was converted: the runtime's error (its code and
// text), and the slot and source it concerns.
class ESourceFileError : public EInOutError {
 public:
  ESourceFileError(int slot, std::string source, int code)
      : EInOutError(code), Slot(slot), Source(std::move(source)) {}
  const int Slot;
  const std::string Source;  // as the INI names it, '\' made '/'
};

// A slot whose source the build could not use.
struct TSlotProblem {
  int Slot = 0;
  std::string Source;  // as the list of TBuildSummary says
  std::string Path;    // the path the build looked for it at (the folder and the name)
  std::string Reason;  // the conversion's message, or why the source was refused
};

// What a build did, for a front end that reports it.
struct TBuildSummary {
  bool ConfigFound = false;            // "ZelvorSound.ini" was there
  int Packed = 0;                      // slots that hold a sound in the new package
  std::vector<TSlotProblem> Rejected;  // sources a conversion refused, as named
  std::vector<TSlotProblem> Missing;   // sources named but not found, as named
  std::vector<TSlotProblem> Refused;   // sources outside the folder, as the INI writes them
  std::vector<int> Empty;              // slots left empty
};

// soundListRow(i) is the text of row i of the sound list, used in the warning lines. Every
// status line about a slot goes through shell.SlotStatusAdd with that slot.
// The package is written the safe way (rtl/FileSystem.h): it takes the place of "Sounds.zvd"
// only when complete, and a failed build leaves the previous package as it was and raises
// the error. The records are staged in "temp2.tmp", which stays on disk.
// A source that lies outside the folder (a ".." climbing out, a link to elsewhere) is refused
// before it is read: the line 'Warning: source "<value>" refused: it lies outside the
// program's folder' follows its processing line and the slot stays empty; so does one in
// "History" (an earlier take: 'it is an earlier take, kept in "History"'). A "WAV Export"
// that lies outside the folder receives no copy, said the same way.
// The builder keeps a current sound file name of its own for its conversions: the caller's
// (the slot the user chose for "Record" and "Play") is left as it was.
// Button2Click reads "ZelvorSound.ini" once; BuildPackage builds from a configuration
// already read.
//
// The slots are converted on `workers` threads at once (0: one for each core; 1: one slot
// after the other on the calling thread), never more than twice as many slots ahead of the
// one being packed, so memory stays bounded. Everything a slot says and writes is taken in
// slot order on the calling thread, where the shell is called: the status lines, the
// messages, the package, "temp2.tmp", every ".vox" and copy and the final "out.dat" are the
// same whatever the number of workers. A slot whose names meet those an earlier slot writes
// (the same name in any letter case, or a source that is a link) starts only once the
// earlier slots are in place, as it would after them one by one.
// With more than one worker, the ".vox" files and copies wait unclosed and go to the disk
// together, in one pass before they take their names (a batch of at most 64, at the end, and
// before such a slot); "out.dat" is written with them, holding the last slot converted so
// far. One worker puts each slot's files in place before the next slot begins. A disk that fails
// only when a batch goes to it is reported for the slot whose file failed, after the lines of the
// slots that followed it.
TBuildSummary Button2Click(const TAppContext& ctx, TShell& shell,
                           const std::function<std::string(int)>& soundListRow);
TBuildSummary BuildPackage(const TAppContext& ctx, TShell& shell,
                           const std::function<std::string(int)>& soundListRow,
                           const std::vector<TSlotConfig>& config, bool configFound,
                           int workers = 0);

// Why the build refuses a source (relative to folder, '\' made '/') it would otherwise read:
// kOutsideFolder for one that lies outside the folder once links are followed, kInHistory
// for an earlier take; nullptr for a source it reads.
inline constexpr const char* kOutsideFolder = "it lies outside the program's folder";
inline constexpr const char* kInHistory = "it is an earlier take, kept in \"History\"";
const char* SourceRefusal(const std::string& folder, const std::string& source);

// The configured name as a path of this system: '\' from INI files made on Windows
// separates folders like '/'.
std::string NormaliseConfiguredName(std::string name);

// True for a value that names no file: empty, or "NONE" in any letter case.
bool IsNoFile(const std::string& value);
