#include "rtl/Classes.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "rtl/FileSystem.h"
#include "rtl/OsFiles.h"
#include "rtl/SysUtils.h"

int64_t TStream::GetSize() {
  int64_t pos = Seek(0, soCurrent);
  int64_t size = Seek(0, soEnd);
  Seek(pos, soBeginning);
  return size;
}

void TStream::ReadBuffer(void* buffer, int32_t count) {
  if (count != 0 && Read(buffer, count) != count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int32_t count) {
  if (count != 0 && Write(buffer, count) != count) throw EWriteError("Stream write error");
}

// --- TFileStream ---

namespace {

// A file nobody may write is read-only for every stream that would write it, root included.
bool WritesReadOnlyFile(const std::string& path, bool writes) {
  struct stat st;
  return writes && ::stat(path.c_str(), &st) == 0 && IsReadOnlyMode(st.st_mode);
}

}  // namespace

TFileStream::TFileStream(const std::string& fileName, uint16_t mode) : FFileName(fileName) {
  // The file is found whatever the letter case of its name; FileName() stays as given.
  const std::string path = ResolveFileName(fileName);
  if (mode == fmCreate) {
    int fd = fileName.empty() || WritesReadOnlyFile(path, true)
                 ? -1
                 : ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0 && osfiles::ProbeWritersDenied(fd) != 0) {
      ::close(fd);  // someone reads it with writers denied
      fd = -1;
    }
    if (fd >= 0 && ::ftruncate(fd, 0) != 0) {
      ::close(fd);
      fd = -1;
    }
    if (fd < 0) throw EFCreateError(fileName);
    FFd = fd;
    return;
  }
  int access = mode & 3;
  int flags = access == fmOpenWrite ? O_WRONLY : access == fmOpenReadWrite ? O_RDWR : O_RDONLY;
  int fd = fileName.empty() || WritesReadOnlyFile(path, access != fmOpenRead)
               ? -1
               : ::open(path.c_str(), flags | O_CLOEXEC);
  if (fd >= 0 && (mode & fmShareDenyWrite) != 0 && ::flock(fd, LOCK_SH | LOCK_NB) != 0) {
    ::close(fd);
    fd = -1;
  }
  if (fd < 0) throw EFOpenError(fileName);
  FFd = fd;
}

TFileStream::~TFileStream() {
  if (FFd >= 0) ::close(FFd);  // closing also drops the share lock
}

int32_t TFileStream::Read(void* buffer, int32_t count) {
  if (count <= 0) return 0;
  ssize_t n;
  do n = ::read(FFd, buffer, static_cast<size_t>(count));
  while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : static_cast<int32_t>(n);
}

int32_t TFileStream::Write(const void* buffer, int32_t count) {
  if (count <= 0) return 0;
  const auto* p = static_cast<const uint8_t*>(buffer);
  int32_t done = 0;
  while (done < count) {
    ssize_t n = ::write(FFd, p + done, static_cast<size_t>(count - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      FWriteError = errno;
      return done > 0 ? done : -1;
    }
    if (n == 0) {
      FWriteError = ENOSPC;
      break;
    }
    done += static_cast<int32_t>(n);
  }
  return done;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  int whence = origin == soBeginning ? SEEK_SET : origin == soCurrent ? SEEK_CUR : SEEK_END;
  off_t r = ::lseek(FFd, offset, whence);
  return r < 0 ? -1 : static_cast<int64_t>(r);
}

void TFileStream::SetSize(int64_t newSize) {
  int64_t pos = Seek(0, soCurrent);
  if (::ftruncate(FFd, newSize) != 0) throw EStreamError(std::strerror(errno));
  if (pos > newSize) Seek(newSize, soBeginning);
}

// --- TMemoryStream ---

int32_t TMemoryStream::Read(void* buffer, int32_t count) {
  if (count <= 0 || FPosition >= static_cast<int64_t>(FData.size())) return 0;
  size_t n = std::min(static_cast<size_t>(count), FData.size() - static_cast<size_t>(FPosition));
  std::memcpy(buffer, FData.data() + FPosition, n);
  FPosition += static_cast<int64_t>(n);
  return static_cast<int32_t>(n);
}

int32_t TMemoryStream::Write(const void* buffer, int32_t count) {
  if (count <= 0) return 0;
  size_t end = static_cast<size_t>(FPosition) + static_cast<size_t>(count);
  if (end > FData.size()) FData.resize(end);
  std::memcpy(FData.data() + FPosition, buffer, static_cast<size_t>(count));
  FPosition = static_cast<int64_t>(end);
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = origin == soBeginning ? 0
                 : origin == soCurrent ? FPosition
                                       : static_cast<int64_t>(FData.size());
  int64_t pos = base + offset;
  if (pos < 0) return -1;
  FPosition = pos;
  return pos;
}

void TMemoryStream::SetSize(int64_t newSize) {
  if (newSize < 0) throw EStreamError("Invalid stream size");
  FData.resize(static_cast<size_t>(newSize));
  if (FPosition > newSize) FPosition = newSize;
}

// --- TComponent ---

TComponent::TComponent(TComponent* owner) {
  if (owner) owner->InsertComponent(this);
}

TComponent::~TComponent() {
  Destroying();
  // Tell everyone who linked to us, then free what we own, then leave our owner.
  while (!FFreeNotifies.empty()) {
    TComponent* c = FFreeNotifies.back();
    FFreeNotifies.pop_back();
    auto& theirs = c->FFreeNotifies;
    theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
    c->Notification(this, opRemove);
  }
  while (!FComponents.empty()) {
    TComponent* c = FComponents.back();
    delete c;  // its destructor removes it from our list
  }
  if (FOwner) FOwner->RemoveComponent(this);
}

void TComponent::InsertComponent(TComponent* c) {
  c->FOwner = this;
  FComponents.push_back(c);
}

void TComponent::RemoveComponent(TComponent* c) {
  FComponents.erase(std::remove(FComponents.begin(), FComponents.end(), c), FComponents.end());
  c->FOwner = nullptr;
  Notification(c, opRemove);
}

void TComponent::FreeNotification(TComponent* component) {
  if (!component || component == this) return;
  if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), component) == FFreeNotifies.end())
    FFreeNotifies.push_back(component);
  auto& theirs = component->FFreeNotifies;
  if (std::find(theirs.begin(), theirs.end(), this) == theirs.end()) theirs.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* component) {
  if (!component) return;
  FFreeNotifies.erase(std::remove(FFreeNotifies.begin(), FFreeNotifies.end(), component),
                      FFreeNotifies.end());
  auto& theirs = component->FFreeNotifies;
  theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
}

void TComponent::Notification(TComponent*, TOperation) {}
