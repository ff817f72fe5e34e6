// The operating-system services of the file-system rules on Windows, through the wide
// (UTF-16) calls, so that every name the program forms in UTF-8 reaches its file:
// - a descriptor is the C library's number for a handle of the system, made binary, so the
//   rules above and every reader see the same int as on Linux;
// - every handle shares reading, writing and renaming with the program's other opens, but
//   for one that keeps writers out (a playback): its handle shares reading alone, and the
//   system itself then refuses every open that writes, and every rename over the file;
// - a file is put in place by MoveFileExW, replacing what its target named and written
//   through to the disk before it returns, so a folder needs no flush of its own;
// - a file's identity is its volume's serial number and its index on that volume;
// - a file whose read-only attribute is set has no write permission bit; a folder always
//   takes new files (its read-only attribute means nothing of the kind);
// - a file made without a name does not exist here: the rules make a named one instead.
// The system's other headers need windows.h before them.
// clang-format off
#include <windows.h>
#include <fcntl.h>
#include <io.h>
// clang-format on

#include <algorithm>
#include <cerrno>

#include "rtl/OsFiles.h"
#include "rtl/Win32.h"

namespace osfiles {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

int LastError() { return ErrnoFromWin32(GetLastError()); }

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

// A descriptor that owns h from now on (a failure closes it).
int Adopt(HANDLE h, int& fd) {
  fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
  if (fd >= 0) return 0;
  CloseHandle(h);
  return EMFILE;
}

// 100-nanosecond ticks since 1601 as seconds since 1970.
int64_t UnixSeconds(const FILETIME& t) {
  const int64_t ticks = (static_cast<int64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  return ticks / 10000000 - 11644473600LL;
}

void Fill(const BY_HANDLE_FILE_INFORMATION& f, bool follow, TInfo& info) {
  const DWORD a = f.dwFileAttributes;
  info.Kind = !follow && (a & FILE_ATTRIBUTE_REPARSE_POINT) ? TKind::Link
              : (a & FILE_ATTRIBUTE_DIRECTORY)              ? TKind::Folder
                                                            : TKind::Regular;
  info.Mode = info.Kind == TKind::Folder ? 0777 : (a & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
  info.Device = f.dwVolumeSerialNumber;
  info.Inode = (static_cast<uint64_t>(f.nFileIndexHigh) << 32) | f.nFileIndexLow;
  info.Size = static_cast<int64_t>((static_cast<uint64_t>(f.nFileSizeHigh) << 32) | f.nFileSizeLow);
  info.Modified = UnixSeconds(f.ftLastWriteTime);
}

// A handle that only asks about what is at path (a folder too); follow: a link is followed.
HANDLE Query(const std::string& path, bool follow) {
  return CreateFileW(WideOf(path.empty() ? "." : path).c_str(), FILE_READ_ATTRIBUTES, kShareAll,
                     nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
                     nullptr);
}

int SetReadOnly(HANDLE h, bool readOnly) {
  FILE_BASIC_INFO basic{};
  if (!GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic)) return LastError();
  const DWORD was = basic.FileAttributes;
  basic.FileAttributes = readOnly ? was | FILE_ATTRIBUTE_READONLY : was & ~FILE_ATTRIBUTE_READONLY;
  if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  if (basic.FileAttributes == was) return 0;
  return SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic) ? 0 : LastError();
}

// Where a positioned read or write starts: pos and what of it was done already. The system
// moves at most a DWORD at once: a gigabyte per call.
OVERLAPPED At(int64_t pos, size_t done) {
  OVERLAPPED at{};
  const uint64_t offset = static_cast<uint64_t>(pos) + done;
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return at;
}
DWORD Chunk(size_t left) { return static_cast<DWORD>(std::min<size_t>(left, 1u << 30)); }

}  // namespace

int Stat(const std::string& path, bool follow, TInfo& info) {
  info = TInfo{};
  HANDLE h = Query(path, follow);
  if (h == INVALID_HANDLE_VALUE) return LastError();
  BY_HANDLE_FILE_INFORMATION f{};
  const int err = GetFileInformationByHandle(h, &f) ? 0 : LastError();
  CloseHandle(h);
  if (err == 0) Fill(f, follow, info);
  return err;
}

int CreateUnnamed(const std::string&, bool, int&) { return EOPNOTSUPP; }

int CreateNew(const std::string& path, int& fd) {
  HANDLE h = CreateFileW(WideOf(path).c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                         CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastError();
  return Adopt(h, fd);
}

int LinkOpen(int, const std::string&) { return EOPNOTSUPP; }

int Rename(const std::string& from, const std::string& to) {
  return MoveFileExW(WideOf(from).c_str(), WideOf(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
             ? 0
             : LastError();
}

int Link(const std::string& from, const std::string& to) {
  return CreateHardLinkW(WideOf(to).c_str(), WideOf(from).c_str(), nullptr) ? 0 : LastError();
}

int Remove(const std::string& path) { return DeleteFileW(WideOf(path).c_str()) ? 0 : LastError(); }

int MakeFolder(const std::string& path) {
  return CreateDirectoryW(WideOf(path).c_str(), nullptr) ? 0 : LastError();
}

int Write(int fd, const void* data, size_t size) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
    DWORD n = 0;
    if (!WriteFile(HandleOf(fd), p, chunk, &n, nullptr)) return LastError();
    if (n == 0) return ENOSPC;
    p += n;
    size -= n;
  }
  return 0;
}

int Open(const std::string& path, TAccess access, bool denyWriters, bool create, int& fd) {
  fd = -1;
  const DWORD rights = access == TAccess::Read    ? GENERIC_READ
                       : access == TAccess::Write ? GENERIC_WRITE
                                                  : GENERIC_READ | GENERIC_WRITE;
  HANDLE h =
      CreateFileW(WideOf(path).c_str(), rights, denyWriters ? FILE_SHARE_READ : kShareAll, nullptr,
                  create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastError();
  return Adopt(h, fd);
}

int OpenToRead(const std::string& path, int& fd) {
  fd = -1;
  TInfo info;
  if (const int err = Stat(path, false, info)) return err;
  if (info.Kind == TKind::Link) return ELOOP;  // a reparse point leads elsewhere
  return Open(path, TAccess::Read, false, false, fd);
}

int StartSync(int) { return 0; }  // the system starts writing on its own

int ReadAt(int fd, void* data, size_t size, int64_t pos, size_t& got) {
  got = 0;
  while (got < size) {
    OVERLAPPED at = At(pos, got);
    DWORD n = 0;
    if (!ReadFile(HandleOf(fd), static_cast<char*>(data) + got, Chunk(size - got), &n, &at)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return LastError();
    }
    if (n == 0) break;
    got += n;
  }
  return 0;
}

int WriteAt(int fd, const void* data, size_t size, int64_t pos, size_t& done) {
  done = 0;
  while (done < size) {
    OVERLAPPED at = At(pos, done);
    DWORD n = 0;
    if (!WriteFile(HandleOf(fd), static_cast<const char*>(data) + done, Chunk(size - done), &n,
                   &at))
      return LastError();
    if (n == 0) return ENOSPC;
    done += n;
  }
  return 0;
}

int Truncate(int fd, int64_t size) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = size;
  return SetFileInformationByHandle(HandleOf(fd), FileEndOfFileInfo, &end, sizeof end)
             ? 0
             : LastError();
}

int StatOpen(int fd, TInfo& info) {
  info = TInfo{};
  BY_HANDLE_FILE_INFORMATION f{};
  if (!GetFileInformationByHandle(HandleOf(fd), &f)) return LastError();
  Fill(f, true, info);
  return 0;
}

int SyncData(int fd) { return SyncOpen(fd); }

int SyncOpen(int fd) { return FlushFileBuffers(HandleOf(fd)) ? 0 : LastError(); }

// MoveFileExW wrote the rename through (see above): nothing of the folder waits.
int SyncFolder(const std::string&) { return 0; }

int TakeAttributes(int fd, const TInfo& info) {
  return SetReadOnly(HandleOf(fd), (info.Mode & 0222) == 0);
}

int TakeAttributes(const std::string& path, const TInfo& info) {
  HANDLE h = CreateFileW(WideOf(path).c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                         kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastError();
  const int err = SetReadOnly(h, (info.Mode & 0222) == 0);
  CloseHandle(h);
  return err;
}

bool HeldWithWritersDenied(const std::string& path) {
  HANDLE h = CreateFileW(WideOf(path).c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
    return false;
  }
  return GetLastError() == ERROR_SHARING_VIOLATION;
}

int Close(int fd) { return _close(fd) == 0 ? 0 : errno; }

std::optional<std::string> RealPath(const std::string& path) {
  HANDLE h = Query(path, true);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  std::wstring wide(MAX_PATH, L'\0');
  DWORD n = GetFinalPathNameByHandleW(h, wide.data(), static_cast<DWORD>(wide.size()),
                                      FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (n >= wide.size()) {
    wide.resize(n + 1);
    n = GetFinalPathNameByHandleW(h, wide.data(), static_cast<DWORD>(wide.size()),
                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  }
  CloseHandle(h);
  if (n == 0 || n >= wide.size()) return std::nullopt;
  wide.resize(n);
  // The system's own long form: "\\?\C:\..." for a drive, "\\?\UNC\server\..." for a share.
  if (wide.rfind(L"\\\\?\\UNC\\", 0) == 0) {
    wide.replace(0, 8, L"\\\\");
  } else if (wide.rfind(L"\\\\?\\", 0) == 0) {
    wide.erase(0, 4);
  }
  std::string result = Utf8Of(wide);
  for (char& c : result)
    if (c == '\\') c = '/';
  return result;
}

int ListFolder(const std::string& folder, std::vector<TEntry>& entries) {
  entries.clear();
  const std::string pattern =
      folder + (folder.empty() || folder.back() == '/' || folder.back() == '\\' ? "*" : "/*");
  WIN32_FIND_DATAW found;
  HANDLE h = FindFirstFileExW(WideOf(pattern).c_str(), FindExInfoBasic, &found,
                              FindExSearchNameMatch, nullptr, 0);
  if (h == INVALID_HANDLE_VALUE) {
    // An empty folder has no entries; anything else is the folder's failure.
    return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : LastError();
  }
  do {
    const std::string name = Utf8Of(found.cFileName);
    if (name == "." || name == "..") continue;
    const DWORD a = found.dwFileAttributes;
    entries.push_back({name, (a & FILE_ATTRIBUTE_REPARSE_POINT) ? TKind::Link
                             : (a & FILE_ATTRIBUTE_DIRECTORY)   ? TKind::Folder
                                                                : TKind::Regular});
  } while (FindNextFileW(h, &found));
  FindClose(h);
  return 0;
}

int CurrentProcess() { return static_cast<int>(GetCurrentProcessId()); }

bool ProcessRuns(int pid) {
  if (pid <= 0) return false;
  HANDLE h =
      OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (h == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;  // there, but not ours
  const bool runs = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
  CloseHandle(h);
  return runs;
}

}  // namespace osfiles
