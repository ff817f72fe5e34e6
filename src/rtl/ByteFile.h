// The untyped byte file all file work goes through: absolute byte positions, exact and
// counted block reads, and every failure raised as the runtime's input/output error.
//
// A file made with Rewrite is written safely (rtl/FileSystem.h): under a temporary name until
// Close puts it in place of its name; a file that is not closed (an error on the way) leaves
// the file of that name as it was.
//
// Reads and writes go through an internal buffer, so the small logical units the codec
// works in (2-byte samples, 100-byte copy blocks) do not become system calls. Positions,
// sizes and errors behave as if every call went straight to the disk; a write error that
// only shows when the buffer is flushed is raised by the call that flushes (at the latest
// by Close).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "rtl/FileSystem.h"

// The block in which the program streams file contents (copies, conversions, decoding):
// large enough that a long take costs few calls, small enough to stay in the cache.
inline constexpr size_t kCopyBlockBytes = 32 * 1024;

class TByteFile {
 public:
  TByteFile() = default;
  explicit TByteFile(std::string path) : FPath(std::move(path)) {}
  TByteFile(const TByteFile&) = delete;
  TByteFile& operator=(const TByteFile&) = delete;
  // Closes silently: a destructor must not raise. A file made with Rewrite and not closed is
  // thrown away; the file of its name stays as it was.
  ~TByteFile();

  void Assign(const std::string& path);
  const std::string& Path() const { return FPath; }
  bool IsOpen() const { return FFd >= 0; }

  // The name is resolved on each open (ResolveFileName): an existing file whose name differs
  // only in letter case is the one opened or emptied. Path() stays the name as given.
  //
  // Opens an existing file for reading and writing. A file without any write permission
  // bit fails with "File access denied", also for a user that could write it anyway.
  void Reset();
  // Starts the file afresh, for reading and writing: an empty temporary file that takes the
  // place of the name at Close (kind says whether it is handed to the disk first, or never
  // takes a name). An existing file without any write permission bit, or one the program
  // plays, is left alone and fails with "File access denied" or the sharing error.
  void Rewrite(TWriteKind kind = TWriteKind::UserFile);
  // Writes what is buffered; a file made with Rewrite then takes its name.
  void Close();
  // Writes what is buffered and makes a file made with Rewrite ready to take its name, so
  // that several files can be put in place together (CloseTogether).
  void Prepare();
  // Writes what is buffered and starts handing a user's file to the disk without waiting
  // for it; Prepare then waits. Files put in place together start all before any waits, so
  // the disk takes them in one go.
  void StartPrepare();

  int64_t Size() const;
  int64_t Pos() const { return FPos; }
  bool Eof() const { return FPos >= Size(); }
  void Seek(int64_t pos);

  // Reads exactly count bytes; fewer raise "Read beyond end of file".
  void BlockRead(void* buffer, size_t count);
  // Reads up to count bytes and returns how many were there.
  size_t BlockReadCount(void* buffer, size_t count);
  void BlockWrite(const void* buffer, size_t count);
  // Cuts the file at the current position.
  void Truncate();

  // Little-endian helpers for the fixed-width fields of the file formats.
  uint8_t ReadU8();
  uint16_t ReadU16();
  int16_t ReadI16() { return static_cast<int16_t>(ReadU16()); }
  uint32_t ReadU32();
  int32_t ReadI32() { return static_cast<int32_t>(ReadU32()); }
  void WriteU8(uint8_t v) { BlockWrite(&v, 1); }
  void WriteU32(uint32_t v);
  void WriteI32(int32_t v) { WriteU32(static_cast<uint32_t>(v)); }

 private:
  void RequireOpen() const;
  void Open(bool create, TWriteKind kind);
  void Flush();
  // Runs a step of finishing the file; when it fails the file is given up (a file made with
  // Rewrite goes, its name keeps the old file) and the error passes on.
  void GiveUpOnError(void (TByteFile::*step)());
  void FlushAndPrepare();
  void FlushAndStartPrepare();
  void Fail(int err) const;  // raises EInOutError for an errno value
  void FillAt(int64_t pos);
  // Reads or writes straight between the disk and the caller's memory, past the buffer.
  size_t ReadDirect(uint8_t* out, size_t count);
  void WriteDirect(const uint8_t* in, size_t count);
  int64_t BufEnd() const { return FBufStart + static_cast<int64_t>(FBufLen); }

  std::string FPath;
  int FFd = -1;
  TSafeFile FSafe;        // the file Rewrite made, until Close puts it in place
  int64_t FPos = 0;       // logical position
  int64_t FDiskSize = 0;  // size of the file on disk, not counting unflushed data
  // The buffer mirrors the file bytes [FBufStart, FBufStart + FBufLen). Its memory is
  // allocated once and never cleared: only the bytes it mirrors are ever read from it.
  std::unique_ptr<uint8_t[]> FBuf;
  size_t FBufLen = 0;
  int64_t FBufStart = 0;
  bool FDirty = false;
  int64_t FDirtyLo = 0, FDirtyHi = 0;  // file range of unflushed bytes
};

// Prepares every file first, then closes them in order: a file that cannot be written stops
// all of them before any has taken its name. The user's files among them go to the disk in
// one pass (StartPrepare for all, then Prepare for all).
void CloseTogether(std::span<TByteFile* const> files);
void CloseTogether(std::initializer_list<TByteFile*> files);

// Appends everything from from's position to its end at to's position, in blocks.
void CopyToEnd(TByteFile& from, TByteFile& to);
