#include "rtl/Classes.h"

#include <algorithm>
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
  osfiles::TInfo info;
  return writes && osfiles::Stat(path, true, info) == 0 && IsReadOnlyMode(info.Mode);
}

}  // namespace

TFileStream::TFileStream(const std::string& fileName, uint16_t mode) : FFileName(fileName) {
  // The file is found whatever the letter case of its name; FileName() stays as given.
  const std::string path = ResolveFileName(fileName);
  const bool create = mode == fmCreate;
  const int access = create ? fmOpenReadWrite : mode & 3;
  const osfiles::TAccess how = access == fmOpenWrite       ? osfiles::TAccess::Write
                               : access == fmOpenReadWrite ? osfiles::TAccess::ReadWrite
                                                           : osfiles::TAccess::Read;
  // Someone who reads the file with writers denied keeps every stream that writes out.
  int fd = -1;
  bool opened =
      !fileName.empty() && !WritesReadOnlyFile(path, access != fmOpenRead) &&
      osfiles::Open(path, how, !create && (mode & fmShareDenyWrite) != 0, create, fd) == 0;
  if (opened && create && osfiles::Truncate(fd, 0) != 0) {
    osfiles::Close(fd);
    opened = false;
  }
  if (!opened && create) throw EFCreateError(fileName);
  if (!opened) throw EFOpenError(fileName);
  FFd = fd;
}

TFileStream::~TFileStream() {
  if (FFd >= 0) osfiles::Close(FFd);  // closing also lets the writers in again
}

int32_t TFileStream::Read(void* buffer, int32_t count) {
  if (count <= 0) return 0;
  size_t got = 0;
  if (osfiles::ReadAt(FFd, buffer, static_cast<size_t>(count), FPosition, got) != 0) return -1;
  FPosition += static_cast<int64_t>(got);
  return static_cast<int32_t>(got);
}

int32_t TFileStream::Write(const void* buffer, int32_t count) {
  if (count <= 0) return 0;
  size_t done = 0;
  const int err = osfiles::WriteAt(FFd, buffer, static_cast<size_t>(count), FPosition, done);
  FPosition += static_cast<int64_t>(done);
  if (err != 0) {
    FWriteError = err;
    if (done == 0) return -1;
  }
  return static_cast<int32_t>(done);
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = FPosition;
  if (origin == soBeginning) {
    base = 0;
  } else if (origin == soEnd) {
    osfiles::TInfo info;
    if (osfiles::StatOpen(FFd, info) != 0) return -1;
    base = info.Size;
  }
  if (base + offset < 0) return -1;
  FPosition = base + offset;
  return FPosition;
}

void TFileStream::SetSize(int64_t newSize) {
  if (const int err = osfiles::Truncate(FFd, newSize)) throw EStreamError(std::strerror(err));
  if (FPosition > newSize) FPosition = newSize;
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
