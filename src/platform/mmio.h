// The multimedia-file chunk layer: a handle on a file reached through a custom I/O
// procedure, with the RIFF chunk operations on top (find a chunk, create one, close it
// again writing its real size). The layer keeps no buffer: every read, write and seek goes
// to the I/O procedure at once, and the handle's position is the disk offset the procedure
// keeps in the handle's information record.
//
// Offsets and sizes are the platform's 32-bit values: files up to 2 GiB.
#pragma once

#include <cstdint>

#include "platform/messages.h"

using FOURCC = uint32_t;
using LONG = int32_t;
using MMRESULT = UINT;
struct HMMIO__;
using HMMIO = HMMIO__*;

struct MMIOINFO;
using LPMMIOINFO = MMIOINFO*;
// The I/O procedure: the handle's information record, the message, two parameters. The
// result depends on the message (bytes moved, the new position, 0, or -1 for failure).
using LPMMIOPROC = LRESULT (*)(LPMMIOINFO lpmmioinfo, UINT uMsg, LPARAM lParam1, LPARAM lParam2);

// The open-information record. A caller zeroes it and sets pIOProc and adwInfo[0] (the user
// words are pointer-sized: the first one carries a stream); the handle keeps its own copy,
// and it is that copy the I/O procedure receives and whose lDiskOffset it keeps.
struct MMIOINFO {
  DWORD dwFlags;
  FOURCC fccIOProc;
  LPMMIOPROC pIOProc;
  UINT wErrorRet;
  HANDLE htask;
  LONG cchBuffer;
  char* pchBuffer;
  char* pchNext;
  char* pchEndRead;
  char* pchEndWrite;
  LONG lBufOffset;
  LONG lDiskOffset;
  uintptr_t adwInfo[3];
  DWORD dwReserved1;
  DWORD dwReserved2;
  HMMIO hmmio;
};

// A chunk: id, size of its data (without header and pad byte), form type (RIFF and LIST),
// absolute offset of its first data byte, flags.
struct MMCKINFO {
  FOURCC ckid;
  DWORD cksize;
  FOURCC fccType;
  DWORD dwDataOffset;
  DWORD dwFlags;
};
using LPMMCKINFO = MMCKINFO*;

constexpr FOURCC mmioFOURCC(char a, char b, char c, char d) {
  return static_cast<FOURCC>(static_cast<uint8_t>(a)) |
         static_cast<FOURCC>(static_cast<uint8_t>(b)) << 8 |
         static_cast<FOURCC>(static_cast<uint8_t>(c)) << 16 |
         static_cast<FOURCC>(static_cast<uint8_t>(d)) << 24;
}
constexpr FOURCC FOURCC_RIFF = mmioFOURCC('R', 'I', 'F', 'F');
constexpr FOURCC FOURCC_LIST = mmioFOURCC('L', 'I', 'S', 'T');

// Open access.
constexpr DWORD MMIO_READ = 0x0000;
constexpr DWORD MMIO_WRITE = 0x0001;
constexpr DWORD MMIO_READWRITE = 0x0002;
// Descend: find a chunk by id, a RIFF or a LIST chunk by form type.
constexpr UINT MMIO_FINDCHUNK = 0x0010;
constexpr UINT MMIO_FINDRIFF = 0x0020;
constexpr UINT MMIO_FINDLIST = 0x0040;
// Create: a RIFF or LIST chunk (the id is set by the flag).
constexpr UINT MMIO_CREATERIFF = 0x0020;
constexpr UINT MMIO_CREATELIST = 0x0040;
// Close: leave the file itself open (the I/O procedure still gets the close message).
constexpr UINT MMIO_FHOPEN = 0x0010;
// String-to-code: upper-case the text first.
constexpr UINT MMIO_TOUPPER = 0x0010;
// Chunk flag: created here, its size is written on ascend.
constexpr DWORD MMIO_DIRTY = 0x10000000;

// Messages to the I/O procedure.
constexpr UINT MMIOM_READ = 0;        // lParam1 buffer, lParam2 count → bytes read
constexpr UINT MMIOM_WRITE = 1;       // lParam1 buffer, lParam2 count → bytes written
constexpr UINT MMIOM_SEEK = 2;        // lParam1 offset, lParam2 origin → new position
constexpr UINT MMIOM_OPEN = 3;        // lParam1 file name (or nullptr) → 0 on success
constexpr UINT MMIOM_CLOSE = 4;       // lParam1 close flags → 0
constexpr UINT MMIOM_WRITEFLUSH = 5;  // as MMIOM_WRITE

// Seek origins.
constexpr int SEEK_SET_ = 0;
constexpr int SEEK_CUR_ = 1;
constexpr int SEEK_END_ = 2;

// Results.
constexpr MMRESULT MMIOERR_BASE = 256;
constexpr MMRESULT MMIOERR_FILENOTFOUND = MMIOERR_BASE + 1;
constexpr MMRESULT MMIOERR_OUTOFMEMORY = MMIOERR_BASE + 2;
constexpr MMRESULT MMIOERR_CANNOTOPEN = MMIOERR_BASE + 3;
constexpr MMRESULT MMIOERR_CANNOTCLOSE = MMIOERR_BASE + 4;
constexpr MMRESULT MMIOERR_CANNOTREAD = MMIOERR_BASE + 5;
constexpr MMRESULT MMIOERR_CANNOTWRITE = MMIOERR_BASE + 6;
constexpr MMRESULT MMIOERR_CANNOTSEEK = MMIOERR_BASE + 7;
constexpr MMRESULT MMIOERR_CANNOTEXPAND = MMIOERR_BASE + 8;
constexpr MMRESULT MMIOERR_CHUNKNOTFOUND = MMIOERR_BASE + 9;
constexpr MMRESULT MMIOERR_INVALIDFILE = MMIOERR_BASE + 16;

// Opens a handle. Only the custom-procedure form exists here: info->pIOProc must be set;
// fileName (may be nullptr) is handed to the procedure's open message. The caller's record
// is copied; on failure info->wErrorRet says why and the result is nullptr.
HMMIO mmioOpenA(char* fileName, LPMMIOINFO info, DWORD flags);
// Sends the close message and frees the handle. The file behind it is the procedure's.
MMRESULT mmioClose(HMMIO mmio, UINT flags);
// Bytes moved, or -1.
LONG mmioRead(HMMIO mmio, char* buffer, LONG count);
LONG mmioWrite(HMMIO mmio, const char* buffer, LONG count);
// The new position, or -1.
LONG mmioSeek(HMMIO mmio, LONG offset, int origin);
// A copy of the handle's information record (the one the procedure sees).
MMRESULT mmioGetInfo(HMMIO mmio, LPMMIOINFO info, UINT flags);

// Enters a chunk at the current position, or searches forward for one (MMIO_FINDCHUNK by
// ckid, MMIO_FINDRIFF / MMIO_FINDLIST by fccType) without leaving parent (when given). On
// success fills ck and leaves the position on the chunk's first data byte (after the form
// type for RIFF and LIST). MMIOERR_CHUNKNOTFOUND when the file or the parent ends first.
MMRESULT mmioDescend(HMMIO mmio, LPMMCKINFO ck, const MMCKINFO* parent, UINT flags);
// Writes a chunk header at the current position with ck's id (RIFF/LIST by flag) and size,
// plus the form type for RIFF and LIST; marks the chunk dirty so ascend writes its size.
MMRESULT mmioCreateChunk(HMMIO mmio, LPMMCKINFO ck, UINT flags);
// Leaves a chunk: a dirty chunk gets its real size (from its data offset to the current
// position) written into its header and a zero pad byte after odd data; the position ends
// after the chunk's data and pad byte.
MMRESULT mmioAscend(HMMIO mmio, LPMMCKINFO ck, UINT flags);
// Four characters of text as a code, padded with blanks (MMIO_TOUPPER: upper-cased).
FOURCC mmioStringToFOURCCA(const char* text, UINT flags);
// Sends a message to the handle's I/O procedure.
LRESULT mmioSendMessage(HMMIO mmio, UINT msg, LPARAM lParam1, LPARAM lParam2);
