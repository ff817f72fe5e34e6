// The operating-system services of the file-system rules on Linux: O_TMPFILE for files
// that have no name until they are complete, rename for the step that puts them in place,
// fsync for the disk.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>

#include "rtl/OsFiles.h"

namespace osfiles {
namespace {

TKind KindOf(mode_t mode) {
  if (S_ISREG(mode)) return TKind::Regular;
  if (S_ISDIR(mode)) return TKind::Folder;
  if (S_ISLNK(mode)) return TKind::Link;
  if (S_ISFIFO(mode)) return TKind::Fifo;
  if (S_ISCHR(mode)) return TKind::CharDevice;
  if (S_ISBLK(mode)) return TKind::BlockDevice;
  return TKind::Socket;
}

void Fill(const struct stat& st, TInfo& info) {
  info.Kind = KindOf(st.st_mode);
  info.Mode = st.st_mode & 07777;
  info.Owner = st.st_uid;
  info.Group = st.st_gid;
  info.Device = st.st_dev;
  info.Inode = st.st_ino;
  info.Size = st.st_size;
  info.Modified = st.st_mtime;
}

int Result(int rc) { return rc == 0 ? 0 : errno; }

// The name under which the kernel shows an open descriptor; linkat follows it to the file.
std::string DescriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

}  // namespace

int Stat(const std::string& path, bool follow, TInfo& info) {
  info = TInfo{};
  struct stat st;
  const int rc = follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
  if (rc != 0) return errno;
  Fill(st, info);
  return 0;
}

int CreateUnnamed(const std::string& folder, bool nameLater, int& fd) {
  // A name is given later through the /proc view of descriptors.
  static const bool canName = ::access("/proc/self/fd", X_OK) == 0;
  if (nameLater && !canName) return EOPNOTSUPP;
  fd = ::open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0644);
  if (fd >= 0) return 0;
  // The kernel or the file system does not make unnamed files.
  if (errno == EISDIR || errno == EINVAL || errno == EOPNOTSUPP) return EOPNOTSUPP;
  return errno;
}

int CreateNew(const std::string& path, int& fd) {
  fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  return fd >= 0 ? 0 : errno;
}

int LinkOpen(int fd, const std::string& path) {
  return Result(
      ::linkat(AT_FDCWD, DescriptorPath(fd).c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW));
}

int Rename(const std::string& from, const std::string& to) {
  return Result(::rename(from.c_str(), to.c_str()));
}

int Link(const std::string& from, const std::string& to) {
  return Result(::link(from.c_str(), to.c_str()));
}

int Remove(const std::string& path) { return Result(::unlink(path.c_str())); }

int MakeFolder(const std::string& path) { return Result(::mkdir(path.c_str(), 0755)); }

int OpenToRead(const std::string& path, int& fd) {
  fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  return fd >= 0 ? 0 : errno;
}

int Write(int fd, const void* data, size_t size) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return ENOSPC;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

// 0 when no one holds the open file with writers kept out, EWOULDBLOCK when someone does,
// else the error. Probes of the program's threads never see each other: they take turns, so
// two threads opening one file at once both find it free.
static int ProbeWritersDenied(int fd) {
  // The probe holds the exclusive lock for an instant, which another probe would take for a
  // reader's; one at a time, they cannot meet.
  static std::mutex turns;
  std::lock_guard<std::mutex> hold(turns);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return errno;
  ::flock(fd, LOCK_UN);
  return 0;
}

int Open(const std::string& path, TAccess access, bool denyWriters, bool create, int& fd) {
  const int flags = access == TAccess::Read    ? O_RDONLY
                    : access == TAccess::Write ? O_WRONLY
                                               : O_RDWR;
  fd = ::open(path.c_str(), flags | (create ? O_CREAT : 0) | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  // Advisory locks keep the sharing rule: a reader that keeps writers out holds a shared
  // lock for as long as it is open; an open that writes must get the exclusive one for a
  // moment (a probe: it is let go at once).
  int err = 0;
  if (denyWriters)
    err = ::flock(fd, LOCK_SH | LOCK_NB) == 0 ? 0 : errno;
  else if (access != TAccess::Read)
    err = ProbeWritersDenied(fd);
  if (err == 0) return 0;
  ::close(fd);
  fd = -1;
  return err;
}

int ReadAt(int fd, void* data, size_t size, int64_t pos, size_t& got) {
  got = 0;
  while (got < size) {
    const ssize_t n =
        ::pread(fd, static_cast<char*>(data) + got, size - got, pos + static_cast<int64_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return 0;
}

int WriteAt(int fd, const void* data, size_t size, int64_t pos, size_t& done) {
  done = 0;
  while (done < size) {
    const ssize_t n = ::pwrite(fd, static_cast<const char*>(data) + done, size - done,
                               pos + static_cast<int64_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return ENOSPC;
    done += static_cast<size_t>(n);
  }
  return 0;
}

int Truncate(int fd, int64_t size) { return Result(::ftruncate(fd, size)); }

int StatOpen(int fd, TInfo& info) {
  info = TInfo{};
  struct stat st;
  if (::fstat(fd, &st) != 0) return errno;
  Fill(st, info);
  return 0;
}

int SyncData(int fd) { return Result(::fdatasync(fd)); }

int StartSync(int fd) { return Result(::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE)); }

int SyncOpen(int fd) { return Result(::fsync(fd)); }

int SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int rc = Result(::fsync(fd));
  ::close(fd);
  return rc;
}

int TakeAttributes(int fd, const TInfo& info) {
  if (::fchmod(fd, info.Mode) != 0) return errno;
  // The file stays its owner's, also when root writes it; others cannot give a file away.
  if (info.Owner != ::geteuid() || info.Group != ::getegid())
    (void)!::fchown(fd, info.Owner, info.Group);
  return 0;
}

int TakeAttributes(const std::string& path, const TInfo& info) {
  if (::chmod(path.c_str(), info.Mode) != 0) return errno;
  if (info.Owner != ::geteuid() || info.Group != ::getegid())
    (void)!::chown(path.c_str(), info.Owner, info.Group);
  return 0;
}

bool HeldWithWritersDenied(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = ProbeWritersDenied(fd) == EWOULDBLOCK;
  ::close(fd);
  return held;
}

int Close(int fd) { return Result(::close(fd)); }

std::optional<std::string> RealPath(const std::string& path) {
  char* real = ::realpath(path.empty() ? "." : path.c_str(), nullptr);
  if (real == nullptr) return std::nullopt;
  std::string result = real;
  std::free(real);
  return result;
}

int ListFolder(const std::string& folder, std::vector<TEntry>& entries) {
  entries.clear();
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return errno;
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    TKind kind = KindOf(DTTOIF(e->d_type));
    if (e->d_type == DT_UNKNOWN) {  // a file system that does not say: asked of the entry
      TInfo info;
      if (Stat(folder + (folder.empty() || folder.back() == '/' ? "" : "/") + name, false, info) ==
          0)
        kind = info.Kind;
    }
    entries.push_back({name, kind});
  }
  ::closedir(dir);
  return 0;
}

int CurrentProcess() { return static_cast<int>(::getpid()); }

bool ProcessRuns(int pid) {
  if (pid <= 0) return false;
  return ::kill(pid, 0) == 0 || errno == EPERM;
}

}  // namespace osfiles
