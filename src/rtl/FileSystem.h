// The rules every access to the file system follows, whichever layer makes it: how names
// are formed and checked, how a name the program formed finds its file, what counts as
// read-only, and the one way a file is written. platform/files.h offers the platform's file
// calls on top of these; the byte file and the streams of this layer use them directly. What
// the rules need of the operating system lies behind rtl/OsFiles.h.
//
// Every write is safe:
// - A file is written to a temporary file in its own folder and put in place of its name by
//   a rename once it is complete; on any failure the temporary file goes and the file under
//   the name is the old one, byte for byte (or absent, if it was). A user's file (a take, a
//   ".vox", the package, the INI, a copy, an output named on the command line) is handed to
//   the disk before the rename; a working file ("out.dat", "temp2.tmp", ...) is not.
// - The rename replaces the name itself: a link of that name is replaced, never written
//   through.
// - The temporary file has no name where the system allows it, so a killed run leaves
//   nothing; otherwise (and for an instant before the rename) it is named
//   ".zelvor-<process>-<n>.tmp", which the next run that holds the folder's lock removes
//   (RemoveStrayTemporaries) once that process has gone.
// - The folders that received files are handed to the disk once, at the end of a command
//   (SyncChangedFolders).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace osfiles {
struct TInfo;
}

// --- naming ---

// The folder part of a path, up to and including its last '/'; empty when it has none.
std::string FolderOf(const std::string& path);
// The part after the last '/'.
std::string NameOf(const std::string& path);

// A path of the program (UTF-8) as the standard library's path, and such a path as the
// program writes paths: UTF-8, '/' between the parts, on every system (Windows' own paths
// are UTF-16 with '\').
std::filesystem::path FsPath(const std::string& path);
std::string PathText(const std::filesystem::path& path);
// True for a path that does not depend on the current folder ("/..." on Linux; "C:/..." or
// "//server/share/..." on Windows).
bool IsAbsolutePath(const std::string& path);
// The path from the current folder, "." and ".." parts taken away by their names; path
// itself when the current folder cannot be known.
std::string AbsolutePath(const std::string& path);

// True for a name that stays in the folder it is joined to: not empty, no folder separator
// ('/', or '\' from files made on Windows) and neither "." nor "..". Names the program writes
// that come from a configuration file or the command line must be such plain names.
bool IsPlainName(const std::string& name);

// True for a name, relative to a folder, that keeps what it names inside that folder by its
// spelling: not empty, not absolute ('/' or '\' first, or a drive such as "C:") and without a
// ".." component, '/' and '\' both separating. Sub-folders are allowed ("sub/Hello"). Where
// it lands on disk (links) is LiesInside's question.
bool StaysInFolder(const std::string& relative);

// True when two names are equal under Unicode simple case folding. Bytes that are not valid
// UTF-8 match only themselves.
bool SameNameIgnoringCase(const std::string& a, const std::string& b);

// --- resolving ---

// The name under which the file the program means lies on disk. The program's files come from
// a system whose names ignore letter case, so a configuration file may say "Hello.WAV" for
// "hello.wav" on disk:
// - the name as formed, when an entry of that name exists (exact names always win, and then
//   the call costs one lstat);
// - otherwise, from the first component on, each component that is missing as written is
//   replaced by the entry of its folder whose name differs only in letter case (Unicode simple
//   case folding; the first in byte order when several match);
// - a component nothing matches ends the search: it and the rest stay as formed, so a new file
//   is created under the name the program gave it.
// Only accesses resolve; names are kept, compared and shown as formed. "." and ".." are kept.
std::string ResolveFileName(const std::string& path);

// True when path (found whatever its letter case) lands inside folder or a folder below it
// once every link and ".." is followed. The part of it that does not exist yet (a new file,
// a folder still to be made) is judged by its spelling after the part that does.
bool LiesInside(const std::string& folder, const std::string& path);

// True for the permission bits of a file without any write permission bit. Such a file is
// read-only for everyone, root included: writing, replacing or copying over it fails ("File
// access denied"), although root could write it.
bool IsReadOnlyMode(uint32_t mode);

// Reads into data the file at path (resolved) when it is a regular file, no link, that holds
// exactly size bytes: what a file that may be written again byte for byte holds now. False,
// and data empty, for any other.
bool ReadIfSized(const std::string& path, size_t size, std::vector<uint8_t>& data);

// True when the entry at path (resolved) is a symbolic link itself.
bool IsLink(const std::string& path);

// What is at path (resolved, links followed) when it is there but no regular file: "a
// FIFO", "a folder", "a character device", ...; empty for a regular file or nothing.
std::string NonRegularKind(const std::string& path);

// --- safe writing ---

enum class TWriteKind {
  UserFile,     // handed to the disk before it takes its name
  WorkingFile,  // a working file of the program: renamed without that
  Scratch,      // never takes a name: gone when closed, also when the program dies
};

// One file being written under a temporary name. Begin checks the target and makes the
// temporary file; Commit puts it in place; anything else (Discard, the destructor, a failed
// Commit) removes it and leaves the target as it was.
class TSafeFile {
 public:
  TSafeFile() = default;
  ~TSafeFile() { Discard(); }
  TSafeFile(const TSafeFile&) = delete;
  TSafeFile& operator=(const TSafeFile&) = delete;

  // target is found whatever its letter case. A target that is read-only (no write
  // permission bit), a folder or anything but a regular file or a link, or that the program
  // itself reads with writers denied (a playback), is refused with the runtime's error
  // before anything is made; so is a folder that takes no new file.
  void Begin(const std::string& target, TWriteKind kind);
  // Raises what Begin would raise for target, and makes nothing.
  static void Check(const std::string& target, TWriteKind kind);
  bool Active() const { return FFd >= 0; }
  int Fd() const { return FFd; }
  TWriteKind Kind() const { return FKind; }
  const std::string& Target() const { return FTarget; }  // as resolved
  // Appends bytes to the file (the byte file writes through Fd() itself).
  void Write(const void* data, size_t size);

  // Starts handing a user's file to the disk and returns without waiting; Prepare waits.
  // Files that are put in place together start first, so the disk takes them in one pass
  // instead of one commit each.
  void StartPrepare();
  // Hands a user's file to the disk and gives it the permission bits and owner of the file
  // it replaces. Commit does this itself when it was not done; callers that put several
  // files in place together prepare them all first, so a full disk stops all of them.
  void Prepare();
  // Puts the file in place of its target in one step and closes it (a scratch file is only
  // closed). Refuses a target that became read-only meanwhile. Raises the runtime's error.
  void Commit();
  // Closes and removes the temporary file; the target stays as it was.
  void Discard() noexcept;

 private:
  void Fail(int err);  // discards, then raises
  // Begin's checks: the target as resolved; replaced is what it replaces (Missing when none).
  static std::string CheckTarget(const std::string& target, TWriteKind kind,
                                 osfiles::TInfo& replaced);

  std::string FTarget;
  std::string FTempName;  // empty while the file has no name
  int FFd = -1;
  TWriteKind FKind = TWriteKind::UserFile;
  bool FPrepared = false;
  bool FHadTarget = false;
  uint32_t FMode = 0, FOwner = 0, FGroup = 0;
};

// Puts the finished file (named as it lies on disk, in the folder of target) in the place of
// target (resolved) in one step, keeping target's permission bits and owner when it exists.
// Refuses a read-only target. On any failure the finished file is removed and the runtime's
// input/output error raised; target stays as it was.
void ReplaceByRename(const std::string& finished, const std::string& target);

// A fresh name for a temporary file in folder (ending with '/'), of the kind
// RemoveStrayTemporaries removes once this process has gone.
std::string TemporaryNameIn(const std::string& folder);

// Notes a folder whose entries changed other than through TSafeFile (a second name given, a
// rename, a removal), for the next SyncChangedFolders.
void NoteFolderChanged(const std::string& folder);
// Hands every folder that received a file since the last call to the disk, once each.
void SyncChangedFolders();

// True for the name of a temporary file a write of this program makes, or made in earlier
// versions; pid is the process that made it (0 where the name does not say).
bool IsTemporaryName(const std::string& name, int& pid);

// Removes the temporary files that runs killed before they finished left in folder and the
// folders below it (links are not followed), when the run that made them has ended. Called
// by the run that holds the folder's lock. Returns how many it removed.
int RemoveStrayTemporaries(const std::string& folder);
