// The chunk layer. Unbuffered: every operation goes to the I/O procedure at once, so the
// procedure's disk offset is the handle's position. Chunk headers are little-endian on
// disk whatever the machine.
#include "platform/mmio.h"

#include <cctype>
#include <cstring>
#include <limits>
#include <mutex>
#include <set>

#include "platform/mmsystem.h"

struct HMMIO__ {
  MMIOINFO Info;
};

namespace {

// Live handles, so that a stale or foreign handle is refused instead of followed.
std::mutex GHandlesLock;
std::set<const HMMIO__*>& Handles() {
  static std::set<const HMMIO__*>* handles = new std::set<const HMMIO__*>;
  return *handles;
}

bool Valid(HMMIO h) {
  std::lock_guard<std::mutex> guard(GHandlesLock);
  return h != nullptr && Handles().count(h) != 0;
}

constexpr int64_t kMaxOffset = std::numeric_limits<LONG>::max();

// Calls the procedure; a procedure that raises counts as failing.
LRESULT Send(HMMIO h, UINT msg, LPARAM p1, LPARAM p2) {
  try {
    return h->Info.pIOProc(&h->Info, msg, p1, p2);
  } catch (...) {
    return -1;
  }
}

void PutLE32(char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
uint32_t GetLE32(const char* p) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<uint8_t>(p[i])) << (8 * i);
  return v;
}

bool IsList(FOURCC id) { return id == FOURCC_RIFF || id == FOURCC_LIST; }

bool ReadExact(HMMIO h, char* buf, LONG n) { return mmioRead(h, buf, n) == n; }
bool WriteExact(HMMIO h, const char* buf, LONG n) { return mmioWrite(h, buf, n) == n; }
bool SeekTo(HMMIO h, int64_t pos) {
  return pos >= 0 && pos <= kMaxOffset && mmioSeek(h, static_cast<LONG>(pos), SEEK_SET_) == pos;
}

}  // namespace

HMMIO mmioOpenA(char* fileName, LPMMIOINFO info, DWORD flags) {
  if (info == nullptr) return nullptr;
  if (info->pIOProc == nullptr) {
    info->wErrorRet = MMIOERR_CANNOTOPEN;
    return nullptr;
  }
  auto* h = new HMMIO__{*info};
  h->Info.dwFlags = flags;
  h->Info.lDiskOffset = 0;
  h->Info.wErrorRet = 0;
  h->Info.hmmio = h;
  if (Send(h, MMIOM_OPEN, reinterpret_cast<LPARAM>(fileName), 0) != 0) {
    info->wErrorRet = MMIOERR_CANNOTOPEN;
    delete h;
    return nullptr;
  }
  {
    std::lock_guard<std::mutex> guard(GHandlesLock);
    Handles().insert(h);
  }
  info->wErrorRet = 0;
  return h;
}

MMRESULT mmioClose(HMMIO mmio, UINT flags) {
  {
    std::lock_guard<std::mutex> guard(GHandlesLock);
    if (mmio == nullptr || Handles().erase(mmio) == 0) return MMSYSERR_INVALHANDLE;
  }
  LRESULT r = Send(mmio, MMIOM_CLOSE, static_cast<LPARAM>(flags), 0);
  delete mmio;
  return r == 0 ? 0 : MMIOERR_CANNOTCLOSE;
}

LONG mmioRead(HMMIO mmio, char* buffer, LONG count) {
  if (!Valid(mmio) || count < 0 || (buffer == nullptr && count > 0)) return -1;
  LRESULT r = Send(mmio, MMIOM_READ, reinterpret_cast<LPARAM>(buffer), count);
  return r < -1 || r > count ? -1 : static_cast<LONG>(r);
}

LONG mmioWrite(HMMIO mmio, const char* buffer, LONG count) {
  if (!Valid(mmio) || count < 0 || (buffer == nullptr && count > 0)) return -1;
  LRESULT r = Send(mmio, MMIOM_WRITE, reinterpret_cast<LPARAM>(buffer), count);
  return r < -1 || r > count ? -1 : static_cast<LONG>(r);
}

LONG mmioSeek(HMMIO mmio, LONG offset, int origin) {
  if (!Valid(mmio)) return -1;
  LRESULT r = Send(mmio, MMIOM_SEEK, offset, origin);
  return r < 0 || r > kMaxOffset ? -1 : static_cast<LONG>(r);
}

MMRESULT mmioGetInfo(HMMIO mmio, LPMMIOINFO info, UINT) {
  if (!Valid(mmio) || info == nullptr) return MMSYSERR_INVALHANDLE;
  *info = mmio->Info;
  return 0;
}

LRESULT mmioSendMessage(HMMIO mmio, UINT msg, LPARAM lParam1, LPARAM lParam2) {
  if (!Valid(mmio)) return -1;
  return Send(mmio, msg, lParam1, lParam2);
}

MMRESULT mmioDescend(HMMIO mmio, LPMMCKINFO ck, const MMCKINFO* parent, UINT flags) {
  if (!Valid(mmio) || ck == nullptr) return MMSYSERR_INVALHANDLE;
  int64_t pos = mmioSeek(mmio, 0, SEEK_CUR_);
  if (pos < 0) return MMIOERR_CANNOTSEEK;
  const int64_t parentEnd =
      parent ? int64_t{parent->dwDataOffset} + parent->cksize : std::numeric_limits<int64_t>::max();
  const bool findChunk = flags & MMIO_FINDCHUNK;
  const bool findRiff = flags & MMIO_FINDRIFF;
  const bool findList = flags & MMIO_FINDLIST;
  const FOURCC wantId = ck->ckid, wantType = ck->fccType;

  for (;;) {
    // The header must lie inside the parent; the search never looks beyond it.
    if (pos + 8 > parentEnd) return MMIOERR_CHUNKNOTFOUND;
    if (!SeekTo(mmio, pos)) return MMIOERR_CHUNKNOTFOUND;
    char head[8];
    if (!ReadExact(mmio, head, 8)) return MMIOERR_CHUNKNOTFOUND;
    MMCKINFO found{GetLE32(head), GetLE32(head + 4), 0, static_cast<DWORD>(pos + 8), 0};
    if (IsList(found.ckid)) {
      char type[4];
      if (pos + 12 > parentEnd || !ReadExact(mmio, type, 4)) return MMIOERR_CHUNKNOTFOUND;
      found.fccType = GetLE32(type);
    }
    bool match;
    if (findChunk)
      match = found.ckid == wantId;
    else if (findRiff)
      match = found.ckid == FOURCC_RIFF && found.fccType == wantType;
    else if (findList)
      match = found.ckid == FOURCC_LIST && found.fccType == wantType;
    else
      match = true;
    if (match) {
      *ck = found;
      return 0;  // positioned on the data (after the form type of RIFF and LIST)
    }
    // Skip the chunk and its pad byte; sizes come from the file, so stay within offsets.
    const int64_t next = pos + 8 + int64_t{found.cksize} + (found.cksize & 1);
    if (next > kMaxOffset) return MMIOERR_CHUNKNOTFOUND;
    pos = next;
  }
}

MMRESULT mmioCreateChunk(HMMIO mmio, LPMMCKINFO ck, UINT flags) {
  if (!Valid(mmio) || ck == nullptr) return MMSYSERR_INVALHANDLE;
  const LONG pos = mmioSeek(mmio, 0, SEEK_CUR_);
  if (pos < 0) return MMIOERR_CANNOTSEEK;
  if (flags & MMIO_CREATERIFF) ck->ckid = FOURCC_RIFF;
  if (flags & MMIO_CREATELIST) ck->ckid = FOURCC_LIST;
  char head[12];
  PutLE32(head, ck->ckid);
  PutLE32(head + 4, ck->cksize);
  PutLE32(head + 8, ck->fccType);
  const LONG n = IsList(ck->ckid) ? 12 : 8;
  if (!WriteExact(mmio, head, n)) return MMIOERR_CANNOTWRITE;
  ck->dwDataOffset = static_cast<DWORD>(pos) + 8;
  ck->dwFlags = MMIO_DIRTY;
  return 0;
}

MMRESULT mmioAscend(HMMIO mmio, LPMMCKINFO ck, UINT) {
  if (!Valid(mmio) || ck == nullptr) return MMSYSERR_INVALHANDLE;
  if (ck->dwFlags & MMIO_DIRTY) {
    const int64_t cur = mmioSeek(mmio, 0, SEEK_CUR_);
    if (cur < 0 || cur < int64_t{ck->dwDataOffset}) return MMIOERR_CANNOTSEEK;
    const DWORD size = static_cast<DWORD>(cur - ck->dwDataOffset);
    if (size & 1) {
      const char pad = 0;
      if (!WriteExact(mmio, &pad, 1)) return MMIOERR_CANNOTWRITE;
    }
    char le[4];
    PutLE32(le, size);
    if (!SeekTo(mmio, int64_t{ck->dwDataOffset} - 4)) return MMIOERR_CANNOTSEEK;
    if (!WriteExact(mmio, le, 4)) return MMIOERR_CANNOTWRITE;
    ck->cksize = size;
    ck->dwFlags &= ~MMIO_DIRTY;
  }
  const int64_t end = int64_t{ck->dwDataOffset} + ck->cksize + (ck->cksize & 1);
  return SeekTo(mmio, end) ? 0 : MMIOERR_CANNOTSEEK;
}

FOURCC mmioStringToFOURCCA(const char* text, UINT flags) {
  char c[4] = {' ', ' ', ' ', ' '};
  for (int i = 0; i < 4 && text != nullptr && text[i] != '\0'; ++i) {
    c[i] = text[i];
    if (flags & MMIO_TOUPPER)
      c[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(c[i])));
  }
  return mmioFOURCC(c[0], c[1], c[2], c[3]);
}
