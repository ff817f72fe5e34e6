// The few services the file-system rules (rtl/FileSystem.h) ask of the operating system,
// behind one narrow interface. This header is the same on every system; OsFiles_posix.cpp
// gives it with POSIX and Linux calls, and a twin for another system replaces that one file.
//
// Paths use '/'. Every call reports a failure by the system's error number (errno values:
// ENOENT, EACCES, ENOSPC, EWOULDBLOCK for a file another open keeps writers from, ...; 0 for
// success) and never raises: the rules above decide what a
// failure means to the program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace osfiles {

enum class TKind { Missing, Regular, Folder, Link, Fifo, CharDevice, BlockDevice, Socket };

struct TInfo {
  TKind Kind = TKind::Missing;
  uint32_t Mode = 0;  // the permission bits (07777)
  uint32_t Owner = 0, Group = 0;
  uint64_t Device = 0, Inode = 0;  // together: the file's identity, whatever its names
  int64_t Size = 0;
  int64_t Modified = 0;  // the last change of its contents, in seconds since 1970 (UTC)
};

// What lies at path: the entry itself (a link is a Link), or with follow what it leads to.
int Stat(const std::string& path, bool follow, TInfo& info);

// A new file in folder ("" is the current folder) that has no name, open for reading and
// writing with the permission bits a new file gets: nothing is left behind if the program
// dies. nameLater: it must be possible to give it a name afterwards (LinkOpen). EOPNOTSUPP
// where the system or its file system cannot make such a file.
int CreateUnnamed(const std::string& folder, bool nameLater, int& fd);
// A new file of that name (which must not exist yet), open for reading and writing.
int CreateNew(const std::string& path, int& fd);
// Gives a file made without a name the name path (which must not exist yet).
int LinkOpen(int fd, const std::string& path);
// Puts from in the place of to in one step, replacing what to named (a link itself, never
// the file it points to).
int Rename(const std::string& from, const std::string& to);
// Gives the file at from (a link itself, not followed) a second name to, which must not exist
// yet: both names then reach the same file. EXDEV, EPERM or EOPNOTSUPP where the file
// system gives files no second name.
int Link(const std::string& from, const std::string& to);
int Remove(const std::string& path);
int MakeFolder(const std::string& path);

// Opens an existing file for reading only, never through a link at path itself (ELOOP).
int OpenToRead(const std::string& path, int& fd);
// Writes all of size bytes at the file's position (a full disk: ENOSPC).
int Write(int fd, const void* data, size_t size);

// What an open of an existing file is for.
enum class TAccess { Read, Write, ReadWrite };
// Opens the file at path (with create, makes it when it is missing; it is never emptied).
// The program's opens of one file keep to one sharing rule on every system: an open with
// denyWriters keeps every open that writes out for as long as it lasts, and an open that
// writes fails with EWOULDBLOCK while such an open lasts.
int Open(const std::string& path, TAccess access, bool denyWriters, bool create, int& fd);
// Reads up to size bytes at pos; got is how many came, fewer only at the end of the file.
int ReadAt(int fd, void* data, size_t size, int64_t pos, size_t& got);
// Writes size bytes at pos; done is how many were written, also when it fails (a full disk:
// ENOSPC).
int WriteAt(int fd, const void* data, size_t size, int64_t pos, size_t& done);
// Cuts or extends the open file to size bytes.
int Truncate(int fd, int64_t size);
// What the open file is (its kind, size and identity).
int StatOpen(int fd, TInfo& info);
// Hands the file's data to the disk, and of what describes it only what finding the data
// needs, where the system tells the two apart: a recording's file while it grows.
int SyncData(int fd);
// Starts writing the file's data to the disk and returns without waiting for it; SyncOpen
// then waits. Where the system has no such call, it does nothing.
int StartSync(int fd);
// Hands the file's data (and its size) to the disk.
int SyncOpen(int fd);
// Hands a folder's entries (names made, renamed or removed in it) to the disk.
int SyncFolder(const std::string& folder);
// Gives the open file (or the file at path) the permission bits and, where allowed, the
// owner of info.
int TakeAttributes(int fd, const TInfo& info);
int TakeAttributes(const std::string& path, const TInfo& info);
// True when another part of the program holds path open with writers kept out (a playback
// reads it): a probe for an exclusive lock on it that does not wait.
bool HeldWithWritersDenied(const std::string& path);
int Close(int fd);

// The path with every link, "." and ".." resolved; nothing when a part of it is missing.
std::optional<std::string> RealPath(const std::string& path);

struct TEntry {
  std::string Name;
  TKind Kind = TKind::Missing;  // as the entry itself is (a link is a Link)
};
// The entries of a folder, without "." and "..".
int ListFolder(const std::string& folder, std::vector<TEntry>& entries);

int CurrentProcess();
// False only when no process of that number runs.
bool ProcessRuns(int pid);

}  // namespace osfiles
