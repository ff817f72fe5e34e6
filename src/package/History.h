// Earlier takes: every take that leaves its slot (a recording, an import, a spoken text or a
// prompt list replaces it; the slot is given a take of another name; an earlier take is
// brought back) is kept in "History/<slot name>/" inside the program's folder, so that any
// replacement can be undone. This module is the one place of that rule.
//
// An entry is the take "<slot name> YYYY-MM-DD HH-MM-SS.WAV" and, when the take had one, its
// ".vox" under the same name; the stamp is the local time the take left the slot, or the
// first second after it that the folder has free, so the names order the entries. An entry
// is a second name of the take's own file (a hard link; a copy where the file system makes
// none): every write of the program replaces a file by a rename, never in place, so the
// entry keeps the bytes the take had. The newest kKeptTakes entries of a slot are kept, older
// ones removed.
//
// One replacement, in this order (TKeptTake):
//  1. the entry is made while the take still has its own name;
//  2. the finished new take is renamed over the take;
//  3. Keep(): the entry stays and the slot's oldest entries beyond kKeptTakes go.
// A replacement that fails between 1 and 3 takes its entry away again (the destructor): a
// take that was not replaced leaves no entry.
//
// Only a take that lies directly in the program's folder under a plain name has a history
// (HistoryNameOf); a "History" that is a link leading out of the folder is refused, as every
// write that would land outside it is. Everything here runs under the folder's lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

inline constexpr const char* kHistoryFolderName = "History";
inline constexpr int kKeptTakes = 5;

// "<folder>History/<slotName>/" (folder ends with '/').
std::string HistoryFolder(const std::string& folder, const std::string& slotName);

// The slot name a take is kept under: its name without the extension when it lies directly
// in folder and that is a plain name; empty when the take has no history.
std::string HistoryNameOf(const std::string& folder, const std::string& take);

// True for a source (relative to the folder, as the INI names it) inside "History": the
// builder packs no earlier take.
bool IsInHistory(const std::string& relative);

struct THistoryEntry {
  std::string Take;           // the entry's ".WAV", full path
  std::string Vox;            // its ".vox", full path; empty when none was kept
  std::string Stamp;          // "YYYY-MM-DD HH-MM-SS": when it left the slot
  int64_t Milliseconds = -1;  // its sound; -1 when it cannot be read as a WAV file
  // The stamp as a time is written: "2026-12-09 11:50:02".
  std::string Date() const;
};

// The slot's entries, newest first; none when it has no history.
std::vector<THistoryEntry> ListHistory(const std::string& folder, const std::string& slotName);

// The entry of one replacement, steps 1 and 3 above.
class TKeptTake {
 public:
  // Makes the entry for take (a full path) and its ".vox" in slotName's history; nothing when
  // the take is not there or slotName is empty. Raises Exception when "History" lies outside
  // the folder, EFCreateError naming the entry when it cannot be made.
  TKeptTake(const std::string& folder, const std::string& slotName, const std::string& take);
  ~TKeptTake();  // removes an entry that was not kept
  TKeptTake(const TKeptTake&) = delete;
  TKeptTake& operator=(const TKeptTake&) = delete;

  // The take has been replaced: the entry stays, and the slot keeps its newest kKeptTakes.
  void Keep();
  // The entry's ".WAV", empty when none was made.
  const std::string& Entry() const { return FEntry.Take; }

 private:
  std::string FFolder, FSlotName;
  THistoryEntry FEntry;
  bool FKept = false;
};

// A take that its slot no longer names (it got a take of another name): take and its ".vox"
// move into slotName's history. Returns the entry's ".WAV" (empty when there was no take).
std::string MoveIntoHistory(const std::string& folder, const std::string& slotName,
                            const std::string& take);

// Brings the entry back as take and its ".vox" (the take's own ".vox" goes when the entry has
// none), the current take going into the history in turn; the entry leaves the history.
// Returns the current take's new entry (empty when there was no current take). Raises the
// runtime's error when the take cannot be replaced; the folder then stays as it was.
std::string RestoreTake(const std::string& folder, const std::string& slotName,
                        const std::string& take, const std::string& entry);

// A slot renamed: its history goes with it (entries already under the new name stay, and
// the newest kKeptTakes of both are kept).
void RenameHistory(const std::string& folder, const std::string& oldName,
                   const std::string& newName);
