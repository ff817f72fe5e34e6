#include "rtl/ByteFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "rtl/FileSystem.h"
#include "rtl/OsFiles.h"
#include "rtl/SysUtils.h"

namespace {
constexpr size_t kBufferSize = 64 * 1024;
}

TByteFile::~TByteFile() {
  if (FSafe.Active()) {
    FSafe.Discard();  // never finished: the file of its name stays as it was
  } else if (FFd >= 0) {
    try {
      Flush();
    } catch (...) {
    }
    osfiles::Close(FFd);
  }
}

void TByteFile::Assign(const std::string& path) {
  if (IsOpen()) Close();
  FPath = path;
}

void TByteFile::Fail(int err) const { throw EInOutError(IOErrorFromErrno(err)); }

void TByteFile::RequireOpen() const {
  // The runtime's code for an operation on a file that is not open.
  if (FFd < 0) throw EInOutError(103);
}

void TByteFile::Open(bool create, TWriteKind kind) {
  if (IsOpen()) Close();
  if (FPath.empty()) throw EInOutError(ioFileNotFound);
  int fd = -1;
  if (create) {
    FSafe.Begin(FPath, kind);
    fd = FSafe.Fd();
  } else {
    // Another part of the program may hold this file open for reading with writers denied
    // (a playback): the open fails with the sharing error then.
    if (const int err =
            osfiles::Open(ResolveFileName(FPath), osfiles::TAccess::ReadWrite, false, false, fd))
      Fail(err);
  }
  osfiles::TInfo st;
  int err = osfiles::StatOpen(fd, st);
  // A file nobody may write counts as read-only, whoever asks (root opens it all the same).
  if (err == 0 && !create && IsReadOnlyMode(st.Mode)) err = EACCES;
  if (err != 0) {
    if (create)
      FSafe.Discard();
    else
      osfiles::Close(fd);
    if (err == EACCES) throw EInOutError(ioAccessDenied);
    Fail(err);
  }
  FFd = fd;
  FPos = 0;
  FDiskSize = st.Kind == osfiles::TKind::Regular ? st.Size : 0;
  FBufLen = 0;
  FBufStart = 0;
  FDirty = false;
}

void TByteFile::Reset() { Open(false, TWriteKind::UserFile); }
void TByteFile::Rewrite(TWriteKind kind) { Open(true, kind); }

void TByteFile::GiveUpOnError(void (TByteFile::*step)()) {
  RequireOpen();
  try {
    (this->*step)();
  } catch (...) {
    // A file that cannot be finished is given up whole: its name keeps the old file.
    if (FSafe.Active()) {
      FSafe.Discard();
    } else {
      osfiles::Close(FFd);
    }
    FFd = -1;
    FBufLen = 0;
    throw;
  }
}

void TByteFile::FlushAndPrepare() {
  Flush();
  if (FSafe.Active()) FSafe.Prepare();
}

void TByteFile::FlushAndStartPrepare() {
  Flush();
  // A file on its way to its name is read no more, as a rule: its buffer goes meanwhile.
  FBuf.reset();
  FBufLen = 0;
  if (FSafe.Active()) FSafe.StartPrepare();
}

void TByteFile::Prepare() { GiveUpOnError(&TByteFile::FlushAndPrepare); }
void TByteFile::StartPrepare() { GiveUpOnError(&TByteFile::FlushAndStartPrepare); }

void TByteFile::Close() {
  Prepare();
  const int fd = FFd;
  FFd = -1;
  FBufLen = 0;
  if (FSafe.Active()) {
    FSafe.Commit();
  } else if (const int err = osfiles::Close(fd)) {
    Fail(err);
  }
}

void TByteFile::Flush() {
  if (!FDirty) return;
  FDirty = false;
  size_t done = 0;
  if (const int err = osfiles::WriteAt(FFd, FBuf.get() + (FDirtyLo - FBufStart),
                                       static_cast<size_t>(FDirtyHi - FDirtyLo), FDirtyLo, done)) {
    FBufLen = 0;  // what was not written is lost; the file stays as the disk has it
    Fail(err);
  }
  FDiskSize = std::max(FDiskSize, FDirtyHi);
}

int64_t TByteFile::Size() const {
  RequireOpen();
  return FDirty ? std::max(FDiskSize, BufEnd()) : FDiskSize;
}

void TByteFile::Seek(int64_t pos) {
  RequireOpen();
  // Past the end is allowed, as on disk: a read there fails, a write extends the file.
  if (pos < 0) throw EInOutError(131);
  FPos = pos;
}

void TByteFile::FillAt(int64_t pos) {
  Flush();
  if (!FBuf) FBuf.reset(new uint8_t[kBufferSize]);  // left uninitialised: only read bytes count
  FBufLen = 0;
  size_t got = 0;
  if (const int err = osfiles::ReadAt(FFd, FBuf.get(), kBufferSize, pos, got)) Fail(err);
  FBufLen = got;
  FBufStart = pos;
}

size_t TByteFile::ReadDirect(uint8_t* out, size_t count) {
  Flush();  // the disk holds every byte the caller may read
  size_t got = 0;
  if (const int err = osfiles::ReadAt(FFd, out, count, FPos, got)) Fail(err);
  FPos += static_cast<int64_t>(got);
  return got;
}

size_t TByteFile::BlockReadCount(void* buffer, size_t count) {
  RequireOpen();
  auto* out = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < count) {
    if (FPos < FBufStart || FPos >= BufEnd()) {
      if (FPos >= Size()) break;
      // A read of a streaming block or more goes straight into the caller's memory.
      if (count - done >= kCopyBlockBytes) return done + ReadDirect(out + done, count - done);
      FillAt(FPos);
      if (FPos >= BufEnd()) break;
    }
    size_t avail = static_cast<size_t>(BufEnd() - FPos);
    size_t n = std::min(avail, count - done);
    std::memcpy(out + done, FBuf.get() + (FPos - FBufStart), n);
    done += n;
    FPos += static_cast<int64_t>(n);
  }
  return done;
}

void TByteFile::BlockRead(void* buffer, size_t count) {
  if (BlockReadCount(buffer, count) != count) throw EInOutError(ioReadBeyondEnd);
}

void TByteFile::WriteDirect(const uint8_t* in, size_t count) {
  Flush();
  // A buffer that mirrors any of these bytes would hold them stale.
  if (FBufLen > 0 && FPos < BufEnd() && FPos + static_cast<int64_t>(count) > FBufStart) FBufLen = 0;
  size_t done = 0;
  if (const int err = osfiles::WriteAt(FFd, in, count, FPos, done)) Fail(err);
  const int64_t at = FPos + static_cast<int64_t>(done);
  FPos = at;
  FDiskSize = std::max(FDiskSize, at);
}

void TByteFile::BlockWrite(const void* buffer, size_t count) {
  RequireOpen();
  const auto* in = static_cast<const uint8_t*>(buffer);
  size_t done = 0;
  while (done < count) {
    // Writes extend the buffer only where they join what it already mirrors.
    if (FPos < FBufStart || FPos > BufEnd() ||
        FPos - FBufStart >= static_cast<int64_t>(kBufferSize)) {
      Flush();
      // A write as large as the buffer goes straight from the caller's memory.
      if (count - done >= kBufferSize) {
        WriteDirect(in + done, count - done);
        return;
      }
      FBufLen = 0;
      FBufStart = FPos;
    }
    if (!FBuf) FBuf.reset(new uint8_t[kBufferSize]);
    size_t room = kBufferSize - static_cast<size_t>(FPos - FBufStart);
    size_t n = std::min(room, count - done);
    size_t off = static_cast<size_t>(FPos - FBufStart);
    FBufLen = std::max(FBufLen, off + n);
    std::memcpy(FBuf.get() + off, in + done, n);
    if (!FDirty) {
      FDirty = true;
      FDirtyLo = FPos;
      FDirtyHi = FPos + static_cast<int64_t>(n);
    } else {
      FDirtyLo = std::min(FDirtyLo, FPos);
      FDirtyHi = std::max(FDirtyHi, FPos + static_cast<int64_t>(n));
    }
    done += n;
    FPos += static_cast<int64_t>(n);
  }
}

void TByteFile::Truncate() {
  RequireOpen();
  if (FDiskSize <= FPos && FPos <= Size()) {
    // Only buffered bytes lie past the cut: they are dropped, and the disk needs no call.
    if (BufEnd() > FPos) FBufLen = static_cast<size_t>(std::max<int64_t>(0, FPos - FBufStart));
    if (FDirty) {
      FDirtyHi = std::min(FDirtyHi, FPos);
      if (FDirtyHi <= FDirtyLo) FDirty = false;
    }
    return;
  }
  Flush();
  if (const int err = osfiles::Truncate(FFd, FPos)) Fail(err);
  FDiskSize = FPos;
  if (BufEnd() > FPos) FBufLen = static_cast<size_t>(std::max<int64_t>(0, FPos - FBufStart));
}

uint8_t TByteFile::ReadU8() {
  uint8_t v;
  BlockRead(&v, 1);
  return v;
}

uint16_t TByteFile::ReadU16() {
  uint8_t b[2];
  BlockRead(b, 2);
  return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

uint32_t TByteFile::ReadU32() {
  uint8_t b[4];
  BlockRead(b, 4);
  return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
         (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

void TByteFile::WriteU32(uint32_t v) {
  uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                  static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
  BlockWrite(b, 4);
}

void CloseTogether(std::span<TByteFile* const> files) {
  for (TByteFile* f : files) f->StartPrepare();
  for (TByteFile* f : files) f->Prepare();
  for (TByteFile* f : files) f->Close();
}

void CloseTogether(std::initializer_list<TByteFile*> files) {
  CloseTogether(std::span<TByteFile* const>(files.begin(), files.size()));
}

void CopyToEnd(TByteFile& from, TByteFile& to) {
  std::vector<uint8_t> block(kCopyBlockBytes);
  for (;;) {
    size_t n = from.BlockReadCount(block.data(), block.size());
    if (n > 0) to.BlockWrite(block.data(), n);
    if (n < block.size()) break;
  }
}
