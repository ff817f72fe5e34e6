#include "audio/WaveUtils.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/sync.h"

namespace {

const char* const ChannelNames[2] = {"Mono", "Stereo"};

// a × b ÷ c for the unsigned sizes of this module: 64-bit product, rounded to nearest with
// halves up (the multiply-divide's rounding for non-negative values), without the 31-bit
// argument limit of MulDiv. Saturates at the 32-bit maximum.
uint32_t ScaledDiv(uint64_t a, uint64_t b, uint64_t c) {
  const uint64_t q = (a * b + c / 2) / c;
  return q > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(q);
}

// Replaces the point printf puts in a number by the locale's decimal separator.
std::string WithDecimalSeparator(std::string text) {
  std::replace(text.begin(), text.end(), '.', FormatSettings().DecimalSeparator);
  return text;
}

}  // namespace

// --- format records ---

void FillPCMWaveFormat(PWaveFormatEx pWaveFormat, int Channels, int SamplesPerSec,
                       int BitsPerSample) {
  if (pWaveFormat == nullptr) return;
  static const DWORD Rates[5] = {8000, 11025, 22050, 44100, 48000};
  TWaveFormatEx& f = *pWaveFormat;
  f.wFormatTag = WAVE_FORMAT_PCM;
  if (Channels == 0 || Channels == 1) f.nChannels = static_cast<WORD>(Channels + 1);
  if (SamplesPerSec >= 0 && SamplesPerSec <= 4) f.nSamplesPerSec = Rates[SamplesPerSec];
  if (BitsPerSample == 0 || BitsPerSample == 1) f.wBitsPerSample = BitsPerSample == 0 ? 8 : 16;
  f.nBlockAlign = static_cast<WORD>(MulDiv(f.nChannels, f.wBitsPerSample, 8));
  f.nAvgBytesPerSec = static_cast<DWORD>(f.nBlockAlign) * f.nSamplesPerSec;
  f.cbSize = 0;
}

void FillPCMWaveFormatByIndex(PWaveFormatEx pWaveFormat, TPCMFormat PCMFormat) {
  const int value = static_cast<int>(PCMFormat) & 0x7F;
  if (value < 1 || value > 20) return;
  const int inGroup = (value - 1) % 4;  // 8-bit mono, 8-bit stereo, 16-bit mono, 16-bit stereo
  FillPCMWaveFormat(pWaveFormat, value % 2 == 0 ? 1 : 0, (value - 1) / 4, inGroup >= 2 ? 1 : 0);
}

std::string DescribeWaveFormat(const TWaveFormatEx* pWaveFormat) {
  if (pWaveFormat == nullptr) return "";
  const TWaveFormatEx& f = *pWaveFormat;
  const std::string rate = WithDecimalSeparator(Format("%.3f", f.nSamplesPerSec / 1000.0));
  std::string text;
  if (f.nChannels == 1 || f.nChannels == 2)
    text =
        Format("%s kHz, %d Bit, %s", rate.c_str(), f.wBitsPerSample, ChannelNames[f.nChannels - 1]);
  else
    text = Format("%s kHz, %d Bit, %d Ch", rate.c_str(), f.wBitsPerSample, f.nChannels);
  if (f.wFormatTag == WAVE_FORMAT_PCM) text = "PCM " + text;
  return text;
}

// --- sizes and levels ---

uint32_t MillisecondsToBufferBytes(const TWaveFormatEx* pWaveFormat, uint32_t Milliseconds) {
  if (pWaveFormat == nullptr) return 0;
  uint64_t bytes = ScaledDiv(Milliseconds, pWaveFormat->nAvgBytesPerSec, 1000);
  const uint64_t align = pWaveFormat->nBlockAlign;
  if (align != 0 && bytes % align != 0) bytes += align - bytes % align;
  return bytes > UINT32_MAX ? UINT32_MAX - UINT32_MAX % static_cast<uint32_t>(align)
                            : static_cast<uint32_t>(bytes);
}

uint32_t MillisecondsToAlignedBytes(const TWaveFormatEx* pWaveFormat, uint32_t Milliseconds) {
  if (pWaveFormat == nullptr) return 0;
  const uint32_t bytes = ScaledDiv(pWaveFormat->nAvgBytesPerSec, Milliseconds, 1000);
  const unsigned k = (unsigned{pWaveFormat->nChannels} * pWaveFormat->wBitsPerSample) / 16;
  // A mask as wide as the value clears it all (a shift that far would be undefined).
  return k >= 32 ? 0 : bytes & ~((uint32_t{1} << k) - 1);
}

int32_t PeakLevelPercent(const void* Data, uint32_t Count, int BitsPerSample) {
  if (BitsPerSample != 8 && BitsPerSample != 16) return -1;
  if (Data == nullptr) return 0;
  const auto* p = static_cast<const uint8_t*>(Data);
  if (BitsPerSample == 8) {
    int peak = 0;
    for (uint32_t i = 0; i < Count; ++i) peak = std::max<int>(peak, p[i]);
    return peak >= 128 ? (peak - 128) * 100 / 127 : 0;
  }
  int peak = 0;  // only the positive half-wave counts
  for (uint32_t i = 0; i + 1 < Count; i += 2) {
    const auto sample = static_cast<int16_t>(static_cast<uint16_t>(p[i] | (p[i + 1] << 8)));
    peak = std::max<int>(peak, sample);
  }
  return peak * 100 / 32767;
}

void FillSilence(void* Data, uint32_t Count, int BitsPerSample) {
  if (Data == nullptr) return;
  if (BitsPerSample == 8)
    std::memset(Data, 0x7F, Count);  // the library's published value, see the header
  else if (BitsPerSample == 16)
    std::memset(Data, 0, Count);
}

std::string FormatDuration(uint32_t Milliseconds, uint8_t Style) {
  const uint32_t t = Milliseconds;
  const uint32_t h = t / 3600000, m = t / 60000, s = t / 1000, c = (t / 10) % 100;
  const char ts[2] = {FormatSettings().TimeSeparator, '\0'};
  const char ds[2] = {FormatSettings().DecimalSeparator, '\0'};
  int style = Style;
  if (style == 6) style = h > 0 ? 0 : m > 0 ? 2 : 4;
  if (style == 7) style = h > 0 ? 1 : m > 0 ? 3 : 5;
  switch (style) {
    case 0:
      return Format("%u%s%2.2u%s%2.2u%s%2.2u", h, ts, m % 60, ts, s % 60, ds, c);
    case 1:
      return Format("%u%s%2.2u%s%2.2u", h, ts, m % 60, ts, s % 60);
    case 2:
      return Format("%u%s%2.2u%s%2.2u", m, ts, s % 60, ds, c);
    case 3:
      return Format("%u%s%2.2u", m, ts, s % 60);
    case 4:
      return Format("%u%s%2.2u", s, ds, c);
    case 5:
      return Format("%u", s);
    default:
      return Format("%u", t);
  }
}

DWORD WaitWithMessagePump(HANDLE Handle, DWORD Timeout) {
  // Closes the duplicate of a pseudo-handle on every way out.
  struct TDuplicate {
    HANDLE H = nullptr;
    ~TDuplicate() {
      if (H) CloseHandle(H);
    }
  } duplicate;
  if (Handle == GetCurrentThread() || Handle == GetCurrentProcess()) {
    duplicate.H = DuplicateHandle(Handle);
    if (duplicate.H == nullptr) return WAIT_FAILED;
    Handle = duplicate.H;
  }
  constexpr DWORD kWakeMask = QS_POSTMESSAGE | QS_TIMER | QS_PAINT | QS_SENDMESSAGE;  // 0x78
  DWORD remaining = Timeout;
  for (;;) {
    const DWORD started = GetTickCount();
    const DWORD result = MsgWaitForMultipleObjects(1, &Handle, FALSE_, remaining, kWakeMask);
    if (result != WAIT_OBJECT_0 + 1) return result;
    MSG msg;
    while (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) {
      const bool keyboard = msg.message >= 0x0100 && msg.message <= 0x0108;
      const bool mouse = msg.message >= 0x0200 && msg.message <= 0x020A;
      if (keyboard || mouse) continue;  // input typed or clicked during the wait is dropped
      TranslateMessage(&msg);
      DispatchMessage(&msg);
      if (msg.message == WM_QUIT) return result;
    }
    if (Timeout != INFINITE) {
      const DWORD elapsed = GetTickCount() - started;
      remaining = elapsed >= remaining ? 0 : remaining - elapsed;
    }
  }
}

// --- RIFF WAVE files over a stream ---

LRESULT StreamIOProcedure(LPMMIOINFO lpmmioinfo, UINT uMsg, LPARAM lParam1, LPARAM lParam2) {
  if (lpmmioinfo == nullptr || lpmmioinfo->adwInfo[0] == 0) return -1;
  auto* stream = reinterpret_cast<TStream*>(lpmmioinfo->adwInfo[0]);
  LONG& diskOffset = lpmmioinfo->lDiskOffset;
  try {
    switch (uMsg) {
      case MMIOM_OPEN:
        if (stream->Seek(0, soBeginning) != 0) return -1;
        diskOffset = 0;
        return 0;
      case MMIOM_READ:
      case MMIOM_WRITE:
      case MMIOM_WRITEFLUSH: {
        if (lParam2 < 0 || lParam2 > INT32_MAX) return -1;
        const auto count = static_cast<int32_t>(lParam2);
        // The handle's position is authoritative, whoever moved the stream meanwhile.
        if (stream->Seek(diskOffset, soBeginning) != diskOffset) return -1;
        const int32_t moved = uMsg == MMIOM_READ
                                  ? stream->Read(reinterpret_cast<void*>(lParam1), count)
                                  : stream->Write(reinterpret_cast<const void*>(lParam1), count);
        const int64_t pos = stream->Seek(0, soCurrent);
        if (pos < 0 || pos > INT32_MAX) return -1;
        diskOffset = static_cast<LONG>(pos);
        return moved;
      }
      case MMIOM_SEEK: {
        TSeekOrigin origin;
        if (lParam2 == SEEK_SET_)
          origin = soBeginning;
        else if (lParam2 == SEEK_CUR_)
          origin = soCurrent;
        else if (lParam2 == SEEK_END_)
          origin = soEnd;
        else
          return -1;
        if (origin == soCurrent && stream->Seek(diskOffset, soBeginning) != diskOffset) return -1;
        const int64_t pos = stream->Seek(static_cast<int64_t>(lParam1), origin);
        if (pos < 0 || pos > INT32_MAX) return -1;
        diskOffset = static_cast<LONG>(pos);
        return pos;
      }
      case MMIOM_CLOSE:
        return 0;  // the stream belongs to whoever opened the handle
      default:
        return 0;
    }
  } catch (...) {
    return -1;
  }
}

HMMIO OpenStreamForWaveWriting(TStream* Stream) {
  MMIOINFO info;
  std::memset(&info, 0, sizeof info);
  info.pIOProc = StreamIOProcedure;
  info.adwInfo[0] = reinterpret_cast<uintptr_t>(Stream);
  return mmioOpenA(nullptr, &info, MMIO_WRITE);
}

HMMIO CreateStreamWaveWriter(TStream* Stream, const TWaveFormatEx* pWaveFormat, MMCKINFO& ckRIFF,
                             MMCKINFO& ckData) {
  HMMIO h = OpenStreamForWaveWriting(Stream);
  if (h == nullptr) return nullptr;
  bool ok;
  try {
    Stream->SetSize(0);  // an existing longer file keeps no trace of its old contents
    ok = WriteWaveHeader(h, pWaveFormat, ckRIFF, ckData);
  } catch (...) {
    ok = false;
  }
  if (!ok) {
    mmioClose(h, MMIO_FHOPEN);
    return nullptr;
  }
  return h;
}

bool WriteWaveHeader(HMMIO mmIO, const TWaveFormatEx* pWaveFormat, MMCKINFO& ckRIFF,
                     MMCKINFO& ckData) {
  if (pWaveFormat == nullptr) return false;
  const LONG n = 18 + pWaveFormat->cbSize;
  if (mmioSeek(mmIO, 0, SEEK_SET_) != 0) return false;
  ckRIFF = MMCKINFO{};
  ckRIFF.fccType = mmioStringToFOURCCA("WAVE", 0);
  if (mmioCreateChunk(mmIO, &ckRIFF, MMIO_CREATERIFF) != 0) return false;
  MMCKINFO ckFormat{};
  ckFormat.ckid = mmioStringToFOURCCA("fmt", 0);
  if (mmioCreateChunk(mmIO, &ckFormat, 0) != 0) return false;
  if (mmioWrite(mmIO, reinterpret_cast<const char*>(pWaveFormat), n) != n) return false;
  if (mmioAscend(mmIO, &ckFormat, 0) != 0) return false;
  ckData = MMCKINFO{};
  ckData.ckid = mmioStringToFOURCCA("data", 0);
  return mmioCreateChunk(mmIO, &ckData, 0) == 0;
}

bool FinishWaveWriter(HMMIO mmIO, MMCKINFO& ckRIFF, MMCKINFO& ckData) {
  if (mmIO == nullptr) return true;
  const bool data = mmioAscend(mmIO, &ckData, 0) == 0;
  const bool riff = mmioAscend(mmIO, &ckRIFF, 0) == 0;
  const bool closed = mmioClose(mmIO, 0) == 0;
  return data && riff && closed;
}

bool ReadWaveHeader(HMMIO mmIO, PWaveFormatEx& pWaveFormat, uint32_t& DataSize, int32_t& DataOffset,
                    const char** Reason) {
  auto fail = [Reason](const char* why) {
    if (Reason != nullptr) *Reason = why;
    return false;
  };
  const LONG start = mmioSeek(mmIO, 0, SEEK_CUR_);
  if (start < 0) return fail("the file cannot be read");
  // Puts the handle back where it was on every way out.
  struct TRestore {
    HMMIO H;
    LONG Pos;
    ~TRestore() { mmioSeek(H, Pos, SEEK_SET_); }
  } restore{mmIO, start};
  // Sizes in the file are checked against its length before anything is allocated.
  const LONG fileSize = mmioSeek(mmIO, 0, SEEK_END_);
  if (fileSize < 0 || mmioSeek(mmIO, 0, SEEK_SET_) != 0) return fail("the file cannot be read");

  MMCKINFO ckRIFF{};
  ckRIFF.fccType = mmioStringToFOURCCA("WAVE", 0);
  if (mmioDescend(mmIO, &ckRIFF, nullptr, MMIO_FINDRIFF) != 0) return fail("not a RIFF WAVE file");

  pWaveFormat = nullptr;
  struct TFormatGuard {  // frees the record unless the header is read completely
    PWaveFormatEx& P;
    bool Keep = false;
    ~TFormatGuard() {
      if (!Keep && P) {
        std::free(P);
        P = nullptr;
      }
    }
  } guard{pWaveFormat};

  MMCKINFO ckFormat{};
  ckFormat.ckid = mmioStringToFOURCCA("fmt", 0);
  if (mmioDescend(mmIO, &ckFormat, &ckRIFF, MMIO_FINDCHUNK) != 0) return fail("no format chunk");
  if (ckFormat.cksize < 14) return fail("format chunk too short");
  if (int64_t{ckFormat.dwDataOffset} + ckFormat.cksize > fileSize)
    return fail("format chunk runs past the end of the file");
  // A 14- or 16-byte chunk still gets a whole record, its missing fields zero.
  const size_t bytes = std::max<size_t>(18, ckFormat.cksize);
  pWaveFormat = static_cast<PWaveFormatEx>(std::calloc(1, bytes));
  if (pWaveFormat == nullptr) return fail("out of memory for the format");
  const auto size = static_cast<LONG>(ckFormat.cksize);
  if (mmioRead(mmIO, reinterpret_cast<char*>(pWaveFormat), size) != size)
    return fail("the format chunk cannot be read");
  // A record that claims more extra bytes than the chunk holds would send whoever copies
  // "18 + extra size" bytes past its end.
  if (18u + pWaveFormat->cbSize > bytes) return fail("format chunk shorter than its extra size");

  // The data search starts after the format chunk's pad byte, where a writer that follows
  // the chunk rules (this one does, for a record with an odd extra size) puts the next
  // chunk; a file written without the pad byte is still found right after the format data.
  MMCKINFO ckData{};
  const int64_t formatEnd = int64_t{ckFormat.dwDataOffset} + ckFormat.cksize;
  auto findDataAt = [&](int64_t pos) {
    ckData = MMCKINFO{};
    ckData.ckid = mmioStringToFOURCCA("data", 0);
    return pos <= INT32_MAX && mmioSeek(mmIO, static_cast<LONG>(pos), SEEK_SET_) == pos &&
           mmioDescend(mmIO, &ckData, &ckRIFF, MMIO_FINDCHUNK) == 0;
  };
  bool found = findDataAt(formatEnd + (size & 1));
  if (!found && (size & 1)) found = findDataAt(formatEnd);
  if (!found) return fail("no data chunk after the format chunk");
  DataSize = ckData.cksize;
  DataOffset = static_cast<int32_t>(ckData.dwDataOffset);
  guard.Keep = true;
  return true;
}
