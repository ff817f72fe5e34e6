// The system's wave devices on Windows; see the header.
#include "platform/wavedev_win32.h"

// The system's other headers need windows.h before them.
// clang-format off
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include <algorithm>
#include <cstring>
#include <mutex>

#include "rtl/Win32.h"

namespace wavedev {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kPlaybackHeaders = 4;
constexpr size_t kCaptureHeaders = 40;
constexpr unsigned kHeaderMs = 50;

WAVEFORMATEX FormatOf(const TFormat& f) {
  WAVEFORMATEX w{};
  w.wFormatTag = WAVE_FORMAT_PCM;
  w.nChannels = f.Channels;
  w.nSamplesPerSec = f.Rate;
  w.wBitsPerSample = f.Bits;
  w.nBlockAlign = static_cast<WORD>(f.Channels * f.Bits / 8);
  w.nAvgBytesPerSec = f.Rate * w.nBlockAlign;
  return w;
}

}  // namespace

unsigned NumDevs(bool in) { return in ? waveInGetNumDevs() : waveOutGetNumDevs(); }

unsigned GetCaps(bool in, unsigned id, TCaps& caps) {
  caps = TCaps{};
  // The two directions' records share the fields asked for here.
  auto take = [&caps](MMRESULT rc, const auto& c) {
    if (rc != MMSYSERR_NOERROR) return rc;
    caps.Name = Utf8Of(c.szPname);
    caps.Formats = c.dwFormats;
    caps.Channels = c.wChannels;
    return MMRESULT{MMSYSERR_NOERROR};
  };
  if (in) {
    WAVEINCAPSW c{};
    return take(waveInGetDevCapsW(id, &c, sizeof c), c);
  }
  WAVEOUTCAPSW c{};
  return take(waveOutGetDevCapsW(id, &c, sizeof c), c);
}

unsigned Query(bool in, unsigned id, const TFormat& format) {
  const WAVEFORMATEX w = FormatOf(format);
  return in ? waveInOpen(nullptr, id, &w, 0, 0, WAVE_FORMAT_QUERY)
            : waveOutOpen(nullptr, id, &w, 0, 0, WAVE_FORMAT_QUERY);
}

std::string ErrorText(bool in, unsigned code) {
  wchar_t text[MAXERRORLENGTH] = {};
  const MMRESULT rc = in ? waveInGetErrorTextW(code, text, MAXERRORLENGTH)
                         : waveOutGetErrorTextW(code, text, MAXERRORLENGTH);
  return rc == MMSYSERR_NOERROR ? Utf8Of(text) : std::string();
}

struct TWaveDevice::TImpl {
  bool In = false;
  HWAVEIN HIn = nullptr;
  HWAVEOUT HOut = nullptr;
  HANDLE Done = nullptr;  // set by the system whenever a header comes back (CALLBACK_EVENT)
  HANDLE Wake = nullptr;  // set by Interrupt
  size_t Frame = 1;
  uint32_t ByteRate = 1;
  uint8_t Silence = 0;
  std::chrono::milliseconds Stall{10000};
  std::vector<std::vector<char>> Memory;
  std::vector<WAVEHDR> Headers;
  std::vector<bool> Prepared;
  size_t Next = 0;       // the header the next transfer uses, in ring order
  size_t Taken = 0;      // capture: bytes of the Next header already handed over
  bool Started = false;  // capture: listening since the last start
  bool Paused = false;   // playback: paused since the last halt
  uint64_t Written = 0;  // playback: bytes written since the open or the last reset
  // What the device thread last learnt of the playback (see PendingBytes).
  std::mutex DelayM;
  uint64_t DelayBytes = 0;
  Clock::time_point DelayAt{};
  bool DelayRunning = false;

  ~TImpl() {
    if (In && HIn) waveInReset(HIn);
    if (!In && HOut) waveOutReset(HOut);
    for (size_t i = 0; i < Headers.size(); ++i) {
      if (!Prepared[i]) continue;
      if (In)
        waveInUnprepareHeader(HIn, &Headers[i], sizeof(WAVEHDR));
      else
        waveOutUnprepareHeader(HOut, &Headers[i], sizeof(WAVEHDR));
    }
    if (HIn) waveInClose(HIn);
    if (HOut) waveOutClose(HOut);
    if (Done) CloseHandle(Done);
    if (Wake) CloseHandle(Wake);
  }

  MMRESULT Queue(WAVEHDR& h) {
    return In ? waveInAddBuffer(HIn, &h, sizeof h) : waveOutWrite(HOut, &h, sizeof h);
  }

  bool Queued(const WAVEHDR& h) const { return (h.dwFlags & WHDR_INQUEUE) != 0; }
  bool AnyQueued() const {
    return std::any_of(Headers.begin(), Headers.end(), [&](const WAVEHDR& h) { return Queued(h); });
  }

  // Waits for a header to come back or for Interrupt, until until.
  TEnd Wait(Clock::time_point until) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) return TEnd::Stalled;
    const HANDLE events[2] = {Wake, Done};
    switch (WaitForMultipleObjects(2, events, FALSE, static_cast<DWORD>(left.count()))) {
      case WAIT_OBJECT_0:
        return TEnd::Interrupted;
      case WAIT_OBJECT_0 + 1:
        return TEnd::Moved;
      case WAIT_TIMEOUT:
        return TEnd::Stalled;
      default:
        return TEnd::Failed;
    }
  }

  // The playback position after each transfer: what is written and not yet heard.
  void LearnDelay() {
    MMTIME t{};
    t.wType = TIME_BYTES;
    uint64_t pending = 0;
    if (waveOutGetPosition(HOut, &t, sizeof t) == MMSYSERR_NOERROR && t.wType == TIME_BYTES)
      pending = Written - std::min<uint64_t>(Written, t.u.cb);
    std::lock_guard lk(DelayM);
    DelayBytes = pending;
    DelayAt = Clock::now();
    DelayRunning = !Paused && pending > 0;
  }
  void HoldDelay(bool forget) {
    const uint64_t now = forget ? 0 : Pending();
    std::lock_guard lk(DelayM);
    DelayBytes = now;
    DelayRunning = false;
  }
  uint64_t Pending() {
    std::lock_guard lk(DelayM);
    if (!DelayRunning) return DelayBytes;
    const auto played =
        static_cast<uint64_t>(std::chrono::duration<double>(Clock::now() - DelayAt).count() *
                              ByteRate) /
        Frame * Frame;
    return DelayBytes - std::min(DelayBytes, played);
  }

  TEnd Play(const char* data, size_t bytes, size_t& moved, unsigned& code) {
    if (Paused) {
      waveOutRestart(HOut);
      Paused = false;
    }
    const auto until = Clock::now() + Stall;
    for (;;) {
      WAVEHDR& h = Headers[Next];
      if (!Queued(h)) {
        // Whole frames; a buffer that ends inside a frame is played completed with silence.
        size_t n = std::min(bytes, Memory[Next].size()) / Frame * Frame;
        size_t length = n;
        if (n == 0) {
          n = bytes;
          length = Frame;
          std::memset(Memory[Next].data(), Silence, Frame);
        }
        std::memcpy(Memory[Next].data(), data, n);
        h.dwBufferLength = static_cast<DWORD>(length);
        h.dwFlags &= ~WHDR_DONE;
        if ((code = Queue(h)) != MMSYSERR_NOERROR) return TEnd::Failed;
        Written += length;
        Next = (Next + 1) % Headers.size();
        moved = n;
        LearnDelay();
        return TEnd::Moved;
      }
      const TEnd end = Wait(until);
      if (end != TEnd::Moved) return end;
    }
  }

  TEnd Capture(char* data, size_t bytes, size_t& moved, unsigned& code) {
    if (!Started) {
      if ((code = waveInStart(HIn)) != MMSYSERR_NOERROR) return TEnd::Failed;
      Started = true;
    }
    const auto until = Clock::now() + Stall;
    for (;;) {
      WAVEHDR& h = Headers[Next];
      if (!Queued(h) && (h.dwFlags & WHDR_DONE)) {
        const size_t left = h.dwBytesRecorded - std::min<size_t>(Taken, h.dwBytesRecorded);
        // Whole frames; a buffer that ends inside a frame takes the start of the next one.
        const size_t n = std::min(bytes / Frame * Frame, left);
        const size_t part = n == 0 ? std::min(bytes, left) : n;
        std::memcpy(data, h.lpData + Taken, part);
        Taken += n == 0 ? std::min(Frame, left) : n;
        if (Taken >= h.dwBytesRecorded) {
          Taken = 0;
          h.dwBytesRecorded = 0;
          if ((code = Queue(h)) != MMSYSERR_NOERROR) return TEnd::Failed;
          Next = (Next + 1) % Headers.size();
        }
        if (part > 0) {
          moved = part;
          return TEnd::Moved;
        }
        continue;
      }
      const TEnd end = Wait(until);
      if (end != TEnd::Moved) return end;
    }
  }

  // The end of the data: what is written is heard before the device goes. A header comes
  // back once the system has taken its sound, which may be a second before it is heard, so
  // the wait goes on until the position reaches the end: each time for as long as the sound
  // still to come lasts, never longer than the stall limit without the position moving, and
  // cut short by Interrupt.
  void Drain() {
    if (Paused) {
      waveOutRestart(HOut);
      Paused = false;
    }
    auto until = Clock::now() + Stall;
    while (AnyQueued() && Wait(until) == TEnd::Moved) {
    }
    uint64_t heard = 0;
    for (;;) {
      MMTIME t{};
      t.wType = TIME_BYTES;
      if (waveOutGetPosition(HOut, &t, sizeof t) != MMSYSERR_NOERROR || t.wType != TIME_BYTES)
        return;
      if (t.u.cb >= Written) return;
      if (t.u.cb > heard) {
        heard = t.u.cb;
        until = Clock::now() + Stall;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
      if (left.count() <= 0) return;
      const auto due = std::chrono::milliseconds((Written - t.u.cb) * 1000 / ByteRate + 1);
      if (WaitForSingleObject(Wake, static_cast<DWORD>(std::min(due, left).count())) ==
          WAIT_OBJECT_0)
        return;
    }
  }

  // A capture stops listening and forgets what it heard; its headers are queued afresh.
  void Rewind() {
    waveInReset(HIn);
    Started = false;
    Next = Taken = 0;
    for (WAVEHDR& h : Headers) {
      h.dwBytesRecorded = 0;
      Queue(h);
    }
  }
};

TWaveDevice::TWaveDevice(std::unique_ptr<TImpl> impl) : F(std::move(impl)) {}
TWaveDevice::~TWaveDevice() = default;

unsigned TWaveDevice::Open(bool in, unsigned id, const TFormat& format,
                           std::chrono::milliseconds stall, std::unique_ptr<TWaveDevice>& out) {
  auto d = std::make_unique<TImpl>();
  d->In = in;
  d->Stall = stall;
  const WAVEFORMATEX w = FormatOf(format);
  d->Frame = std::max<size_t>(w.nBlockAlign, 1);
  d->ByteRate = std::max<uint32_t>(w.nAvgBytesPerSec, 1);
  d->Silence = format.Bits == 8 ? 0x80 : 0;
  d->Done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  d->Wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!d->Done || !d->Wake) return MMSYSERR_NOMEM;
  const auto event = reinterpret_cast<DWORD_PTR>(d->Done);
  MMRESULT rc = in ? waveInOpen(&d->HIn, id, &w, event, 0, CALLBACK_EVENT)
                   : waveOutOpen(&d->HOut, id, &w, event, 0, CALLBACK_EVENT);
  if (rc != MMSYSERR_NOERROR) {
    d->HIn = nullptr;
    d->HOut = nullptr;
    return rc;
  }
  const size_t count = in ? kCaptureHeaders : kPlaybackHeaders;
  const size_t bytes =
      std::max<size_t>(w.nAvgBytesPerSec * kHeaderMs / 1000 / d->Frame, 1) * d->Frame;
  d->Memory.assign(count, std::vector<char>(bytes));
  d->Headers.assign(count, WAVEHDR{});
  d->Prepared.assign(count, false);
  for (size_t i = 0; i < count; ++i) {
    WAVEHDR& h = d->Headers[i];
    h.lpData = d->Memory[i].data();
    h.dwBufferLength = static_cast<DWORD>(bytes);
    rc = in ? waveInPrepareHeader(d->HIn, &h, sizeof h)
            : waveOutPrepareHeader(d->HOut, &h, sizeof h);
    if (rc != MMSYSERR_NOERROR) return rc;
    d->Prepared[i] = true;
    if (in && (rc = d->Queue(h)) != MMSYSERR_NOERROR) return rc;
  }
  out.reset(new TWaveDevice(std::move(d)));
  return MMSYSERR_NOERROR;
}

TWaveDevice::TEnd TWaveDevice::Transfer(char* data, size_t bytes, size_t& moved, unsigned& code) {
  moved = 0;
  code = MMSYSERR_NOERROR;
  if (bytes == 0) return TEnd::Moved;
  return F->In ? F->Capture(data, bytes, moved, code) : F->Play(data, bytes, moved, code);
}

void TWaveDevice::Interrupt() { SetEvent(F->Wake); }

void TWaveDevice::Halt() {
  // A stopped recorder stops listening; a paused player holds what it has queued.
  if (F->In) {
    F->Rewind();
  } else if (!F->Paused) {
    waveOutPause(F->HOut);
    F->Paused = true;
    F->HoldDelay(false);
  }
}

void TWaveDevice::Drop() {
  if (F->In) {
    F->Rewind();
    return;
  }
  waveOutReset(F->HOut);
  F->Written = 0;
  F->HoldDelay(true);
}

void TWaveDevice::Finish(bool drained) {
  if (F->In) {
    waveInReset(F->HIn);
    return;
  }
  if (drained) F->Drain();
  waveOutReset(F->HOut);
  F->HoldDelay(true);
}

size_t TWaveDevice::HeaderBytes() const { return F->Memory.empty() ? 0 : F->Memory[0].size(); }

uint64_t TWaveDevice::PendingBytes() { return F->In ? 0 : F->Pending(); }

}  // namespace wavedev
