// The sound card through ALSA: one capture and one playback device, the PCMs that
// DeviceName gives for each direction ("default" unless the INI, --device or
// ZELVOR_ALSA_DEVICE name another); the list to choose from is ALSA's own device hints
// (with a sound server: "pulse", or "pipewire" and a "default" that reaches PipeWire).
// Every PCM is opened non-blocking, so a busy or missing card answers at once. A transfer
// that has to wait sleeps in poll() on the PCM's descriptors together with a wake-up
// descriptor that Interrupt signals: no timer, no retry loop, so a device thread costs
// nothing between periods and a stop, reset or close reaches it at once; it gives up after
// StallLimit without sound moving. Only the device thread of winmm.cpp touches an open PCM:
// the position's delay is answered from what that thread last learnt.
#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/winmm_driver.h"

namespace winmm {
namespace {

using Clock = std::chrono::steady_clock;

// How long a successful probe of the device (count, capabilities) is trusted: a desktop
// asks several times in a row, and a probe opens the card. A failed probe is cheap and is
// repeated, so a card that appears is seen at once.
constexpr auto kProbeLifetime = std::chrono::seconds(2);

// The sound library's complaints come through one handler for the whole process. A call
// whose failure wants the library's words (an open, a probe) listens for them, one call at
// a time: the handler keeps only what the listening thread says, for that call's result;
// everything else the library says is dropped, as it would go to a stderr nobody reads.
std::mutex gListenM;
std::atomic<std::thread::id> gListener{};
std::string gHeard;  // written by the handler on the listening thread only

void QuietErrorHandler(const char* file, int line, const char* function, int err, const char* fmt,
                       ...) {
  (void)file;
  (void)line;
  (void)function;
  (void)err;
  if (gListener.load() != std::this_thread::get_id()) return;
  char text[256];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  gHeard = text;
}

void InstallQuietHandler() {
  static std::once_flag once;
  std::call_once(once, [] { snd_lib_error_set_handler(QuietErrorHandler); });
}

// Listens to the library for as long as it lives (see above).
class TListen {
 public:
  TListen() : FLock(gListenM) {
    InstallQuietHandler();
    gHeard.clear();
    gListener = std::this_thread::get_id();
  }
  ~TListen() { gListener = std::thread::id(); }
  TListen(const TListen&) = delete;
  TListen& operator=(const TListen&) = delete;
  // What the library last said on this call, once.
  std::string Heard() { return std::exchange(gHeard, std::string()); }

 private:
  std::lock_guard<std::mutex> FLock;
};

snd_pcm_stream_t StreamOf(WaveDir dir) {
  return dir == WaveDir::In ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK;
}

std::string Quoted(const std::string& name) { return "ALSA device \"" + name + "\""; }

// An ALSA failure as a result code with the sound system's words for the user: the
// library's own complaint when it names the device ("ALSA: Unknown PCM default"), else the
// device and why ("ALSA device "hw:3": Cannot get card index for 3"). The window and the CLI
// both show it after the device's own text.
WaveResult Fail(const std::string& name, int err, const std::string& heard = std::string(),
                MMRESULT fallback = MMSYSERR_ERROR) {
  std::string text;
  if (!heard.empty() && heard.find(name) != std::string::npos)
    text = "ALSA: " + heard;
  else
    text = Quoted(name) + ": " + (heard.empty() ? std::string(snd_strerror(err)) : heard);
  switch (-err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return {MMSYSERR_NODRIVER, text};
    case EBUSY:
    case EAGAIN:
      return {MMSYSERR_ALLOCATED, text};
    case ENOMEM:
      return {MMSYSERR_NOMEM, text};
    case EPERM:
    case EACCES:
      return {MMSYSERR_NOTENABLED, text};
    default:
      return {fallback, text};
  }
}

snd_pcm_format_t SampleFormat(const WAVEFORMATEX& f) {
  return f.wBitsPerSample == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE;
}

struct Pcm {
  snd_pcm_t* P = nullptr;
  ~Pcm() {
    if (P) snd_pcm_close(P);
  }
};

int OpenPcm(WaveDir dir, const std::string& name, Pcm& pcm) {
  return snd_pcm_open(&pcm.P, name.c_str(), StreamOf(dir), SND_PCM_NONBLOCK);
}

// Whether the open PCM can take the format, without committing to it.
bool Takes(snd_pcm_t* pcm, snd_pcm_hw_params_t* any, const WAVEFORMATEX& f) {
  snd_pcm_hw_params_t* hw;
  snd_pcm_hw_params_alloca(&hw);
  snd_pcm_hw_params_copy(hw, any);
  return snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) == 0 &&
         snd_pcm_hw_params_set_format(pcm, hw, SampleFormat(f)) == 0 &&
         snd_pcm_hw_params_set_channels(pcm, hw, f.nChannels) == 0 &&
         snd_pcm_hw_params_set_rate(pcm, hw, f.nSamplesPerSec, 0) == 0;
}

WAVEFORMATEX PcmFormat(DWORD rate, WORD channels, WORD bits) {
  WAVEFORMATEX f{};
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = channels;
  f.nSamplesPerSec = rate;
  f.wBitsPerSample = bits;
  f.nBlockAlign = static_cast<WORD>(channels * bits / 8);
  f.nAvgBytesPerSec = rate * f.nBlockAlign;
  return f;
}

// The ring an open PCM got, in frames.
struct Ring {
  snd_pcm_uframes_t Buffer = 0;
  snd_pcm_uframes_t Period = 0;
  bool CanPause = false;
};

class AlsaStream : public WaveStream {
 public:
  AlsaStream(WaveDir dir, snd_pcm_t* pcm, const WAVEFORMATEX& f, const std::string& name,
             const Ring& ring, int wake)
      : FDir(dir),
        FPcm(pcm),
        FName(name),
        FFrame(f.nBlockAlign),
        FRate(f.nSamplesPerSec),
        FSilence(f.wBitsPerSample == 8 ? kDriverSilence8 : 0),
        FRing(ring),
        FWake(wake),
        FStall(StallLimit()) {
    // The wake-up descriptor first, then the PCM's: made once, so a wait allocates nothing.
    const int n = std::max(snd_pcm_poll_descriptors_count(FPcm), 0);
    FFds.resize(1 + static_cast<size_t>(n));
    FFds[0] = {FWake, POLLIN, 0};
    FPcmFds = snd_pcm_poll_descriptors(FPcm, FFds.data() + 1, static_cast<unsigned>(n));
    if (FPcmFds < 0) FPcmFds = 0;
    FPadded.resize(FFrame);
  }
  ~AlsaStream() override {
    // May block inside a sound server that stopped answering: the device thread that runs
    // it is then left behind by winmm.cpp.
    snd_pcm_close(FPcm);
    ::close(FWake);
  }

  // Moves whatever the ring holds (capture) or has room for (playback), up to bytes; waits
  // only when it holds nothing or has no room. Returns with what moved, so the device
  // thread takes a short read as it comes.
  WaveResult Transfer(char* data, size_t bytes, size_t& moved) override {
    moved = 0;
    const bool in = FDir == WaveDir::In;
    // A buffer that ends inside a frame: the last frame is read whole and cut, or played
    // completed with silence.
    size_t frames = bytes / FFrame;
    char* at = data;
    const bool partial = frames == 0;
    if (partial) {
      std::memset(FPadded.data(), FSilence, FFrame);
      if (!in) std::memcpy(FPadded.data(), data, bytes);
      at = FPadded.data();
      frames = 1;
    }
    bool waited = false;  // for the PCM to make room or bring data
    // Counted from here, however often the PCM wakes without moving anything: a stream that
    // is never scheduled (a sound server with nothing to drive it) wakes now and then.
    const auto until = Clock::now() + FStall;
    for (;;) {
      const snd_pcm_state_t state = snd_pcm_state(FPcm);
      if (in && state == SND_PCM_STATE_PREPARED) snd_pcm_start(FPcm);
      if (!in && state == SND_PCM_STATE_PAUSED) snd_pcm_pause(FPcm, 0);
      const snd_pcm_sframes_t avail = snd_pcm_avail_update(FPcm);
      if (avail < 0) {
        if (!Recover(static_cast<int>(avail))) return Fail(FName, static_cast<int>(avail));
        continue;
      }
      if (avail > 0) {
        const auto n = std::min<snd_pcm_uframes_t>(static_cast<snd_pcm_uframes_t>(avail), frames);
        const snd_pcm_sframes_t r = in ? snd_pcm_readi(FPcm, at, n) : snd_pcm_writei(FPcm, at, n);
        if (r > 0) {
          Moved(static_cast<snd_pcm_uframes_t>(avail), static_cast<snd_pcm_uframes_t>(r), waited,
                state == SND_PCM_STATE_RUNNING);
          if (partial && in) std::memcpy(data, FPadded.data(), bytes);
          moved = partial ? bytes : static_cast<size_t>(r) * FFrame;
          if (!in) LearnDelay();
          return {};
        }
        if (r < 0 && r != -EAGAIN) {
          if (!Recover(static_cast<int>(r))) return Fail(FName, static_cast<int>(r));
          continue;
        }
      }
      switch (Wait(until)) {
        case WaitEnd::Ready:
          waited = true;
          continue;
        case WaitEnd::Interrupted:
          return {};
        case WaitEnd::Stalled:
          return {MMSYSERR_ERROR, StoppedAnswering()};
      }
    }
  }

  size_t ChunkBytes(size_t suggested) const override {
    return std::max(suggested, static_cast<size_t>(FRing.Period) * FFrame);
  }

  void Interrupt() override {
    const uint64_t one = 1;
    while (::write(FWake, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }

  void Halt() override {
    // A stopped recorder stops listening; a paused player holds its ring where it is. A
    // card that cannot pause plays out what it has (a fifth of a second at most) and then
    // runs dry, which is no gap to tell about.
    FArmed = false;
    if (FDir == WaveDir::In) {
      snd_pcm_drop(FPcm);
      snd_pcm_prepare(FPcm);
    } else if (snd_pcm_state(FPcm) == SND_PCM_STATE_RUNNING && FRing.CanPause) {
      snd_pcm_pause(FPcm, 1);
    }
    HoldDelay();
  }

  void Drop() override {
    FArmed = false;
    snd_pcm_drop(FPcm);
    snd_pcm_prepare(FPcm);
    ForgetDelay();
  }

  void Finish(bool drained) override {
    if (FDir == WaveDir::Out && drained) {
      // The end of the data: what is still in the ring is heard before the device goes.
      // The PCM stays non-blocking, so the drain is waited for as a transfer is, never
      // longer than the stall limit.
      if (snd_pcm_state(FPcm) == SND_PCM_STATE_PAUSED) snd_pcm_pause(FPcm, 0);
      const snd_pcm_state_t state = snd_pcm_state(FPcm);
      if (state == SND_PCM_STATE_RUNNING || state == SND_PCM_STATE_PREPARED) {
        const auto until = Clock::now() + FStall;
        int err = snd_pcm_drain(FPcm);
        while (err == -EAGAIN && snd_pcm_state(FPcm) == SND_PCM_STATE_DRAINING) {
          const snd_pcm_sframes_t avail = snd_pcm_avail_update(FPcm);
          if (avail < 0 || static_cast<snd_pcm_uframes_t>(avail) >= FRing.Buffer) break;
          if (Wait(until) == WaitEnd::Stalled) break;
        }
      }
    }
    snd_pcm_drop(FPcm);
    ForgetDelay();
  }

  // What is written but not yet heard, from the delay the device thread last learnt, run
  // down with the clock while the ring plays.
  uint64_t PendingBytes() override {
    if (FDir != WaveDir::Out) return 0;
    std::lock_guard lk(FDelayM);
    if (!FDelayRunning) return FDelayBytes;
    const auto played =
        static_cast<uint64_t>(std::chrono::duration<double>(Clock::now() - FDelayAt).count() *
                              FRate) *
        FFrame;
    return FDelayBytes - std::min(FDelayBytes, played);
  }

 private:
  enum class WaitEnd { Ready, Interrupted, Stalled };

  std::string StoppedAnswering() const {
    return Quoted(FName) + " stopped answering: no sound moved for " + StallLimitText();
  }

  // Sleeps until the PCM can move data, Interrupt is called, or until passes. A PCM whose
  // descriptors wake without it being ready (a plugin may signal before a whole period is
  // there) is given one period on the wake-up descriptor alone, so such a wake can never
  // turn the wait into a spin.
  WaitEnd Wait(Clock::time_point until) {
    bool spurious = false;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
      if (left.count() <= 0) return WaitEnd::Stalled;
      const nfds_t count = spurious ? 1 : 1 + static_cast<nfds_t>(FPcmFds);
      const int timeout = spurious
                              ? std::min<int>(PeriodMs(), static_cast<int>(left.count()))
                              : static_cast<int>(std::min<int64_t>(left.count(), 24 * 3600 * 1000));
      const int r = ::poll(FFds.data(), count, timeout);
      if (r < 0 && errno != EINTR) return WaitEnd::Ready;  // let the caller ask the PCM
      if (r <= 0) {
        if (spurious) return WaitEnd::Ready;
        continue;
      }
      if (FFds[0].revents & POLLIN) {
        uint64_t value;
        while (::read(FWake, &value, sizeof value) < 0 && errno == EINTR) {
        }
        return WaitEnd::Interrupted;
      }
      unsigned short revents = 0;
      snd_pcm_poll_descriptors_revents(FPcm, FFds.data() + 1, static_cast<unsigned>(FPcmFds),
                                       &revents);
      if (revents & (POLLIN | POLLOUT | POLLERR | POLLNVAL)) return WaitEnd::Ready;
      spurious = true;
    }
  }

  int PeriodMs() const {
    return std::max(1, static_cast<int>(FRing.Period * 1000 / std::max(FRate, 1u)));
  }

  // The device thread learns the delay after each write; PendingBytes runs it down.
  void LearnDelay() {
    snd_pcm_sframes_t delay = 0;
    const bool known = snd_pcm_delay(FPcm, &delay) == 0 && delay > 0;
    const bool running = snd_pcm_state(FPcm) == SND_PCM_STATE_RUNNING;
    std::lock_guard lk(FDelayM);
    FDelayBytes = known ? static_cast<uint64_t>(delay) * FFrame : 0;
    FDelayAt = Clock::now();
    FDelayRunning = running;
  }
  void HoldDelay() {
    const uint64_t now = PendingBytes();
    std::lock_guard lk(FDelayM);
    FDelayBytes = now;
    FDelayRunning = false;
  }
  void ForgetDelay() {
    std::lock_guard lk(FDelayM);
    FDelayBytes = 0;
    FDelayRunning = false;
  }

  // An overrun or underrun (the program was held up, or had nothing to give) or a
  // suspended card: the PCM is made ready again. A capture's gap is told here, where the
  // sound card reports the lost sound (a sound server keeps what it records for a client
  // that was held up, and reports nothing because nothing was lost). A playback's gap is
  // told by Moved, from the clock, because a sound server heals an underrun by itself and
  // may never report it.
  bool Recover(int err) {
    if (snd_pcm_recover(FPcm, err, 1) < 0) return false;
    if (FDir == WaveDir::In) {
      snd_pcm_start(FPcm);
      if (err == -EPIPE || err == -ESTRPIPE) SayGap(SecondsSince(FLastMoved));
    }
    return true;
  }

  static double SecondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
  }

  // Sound moved: avail frames were free or ready and done of them moved, after waiting for
  // them or not; playing says whether the ring was playing when they came. A playback that
  // ran steadily and then got its sound later than what the ring held could last ran dry
  // in between: told from the clock, since a sound server heals an underrun by itself and
  // may never report it, and the room it reports may lag behind what it has played.
  // Steadily means a playing ring that once had to wait for room and has got its sound in
  // time ever since (whether a move waited or found room for two buffers at once). The
  // start never counts: a sound server may hold a full ring unplayed for a second or more
  // while it warms up, before any wait for room; nor do a resume after a pause or a reset.
  void Moved(snd_pcm_uframes_t avail, snd_pcm_uframes_t done, bool waited, bool playing) {
    const auto now = Clock::now();
    bool steady = true;
    if (FDir == WaveDir::Out) {
      const auto lasted =
          std::chrono::microseconds((FQueued + FRing.Period) * 1000000 / std::max(FRate, 1u));
      const bool late = now > FLastMoved + lasted;
      if (late) SayGap(std::chrono::duration<double>(now - FLastMoved - lasted).count());
      steady = playing && !late && (waited || FArmed);
      FQueued = FRing.Buffer - std::min(FRing.Buffer, avail - done);
    }
    FArmed = steady;
    FLastMoved = now;
  }

  // Tells a gap once, with how long nothing moved and how much sound it cost, and waits
  // for sound to move steadily again before it tells the next.
  void SayGap(double lost) {
    if (!FArmed) return;
    FArmed = false;
    char held[32];
    std::snprintf(held, sizeof held, "%.2f s", SecondsSince(FLastMoved));
    Notice({FDir, lost,
            Quoted(FName) + (FDir == WaveDir::In
                                 ? ": the recording was held up for " + std::string(held) +
                                       " and lost the sound of that time (overrun); it goes on"
                                 : ": the playback was held up for " + std::string(held) +
                                       " and broke off (underrun); it goes on")});
  }

  WaveDir FDir;
  snd_pcm_t* FPcm;
  std::string FName;
  size_t FFrame;
  unsigned FRate;
  int FSilence;
  Ring FRing;
  int FWake;
  std::chrono::milliseconds FStall;
  std::vector<pollfd> FFds;
  int FPcmFds = 0;
  std::vector<char> FPadded;  // the one frame of a buffer that ends inside a frame
  // When sound last moved and, for playback, how much the ring held then; armed while the
  // sound runs steadily, so that a gap is told once and never for a pause, a reset or the
  // start.
  Clock::time_point FLastMoved{};
  snd_pcm_uframes_t FQueued = 0;
  bool FArmed = false;
  // The playback delay the device thread last learnt (see PendingBytes).
  std::mutex FDelayM;
  uint64_t FDelayBytes = 0;
  Clock::time_point FDelayAt{};
  bool FDelayRunning = false;
};

// A hint's description on one line: ALSA splits the card from the device with a newline.
std::string OneLine(const char* text) {
  std::string s = text ? text : "";
  for (size_t at; (at = s.find('\n')) != std::string::npos;) s.replace(at, 1, ", ");
  return s;
}

class AlsaWaveDriver : public WaveDriver {
 public:
  const char* Name() const override { return "alsa"; }

  std::vector<WaveDeviceChoice> Choices() override {
    InstallQuietHandler();
    std::vector<WaveDeviceChoice> list;
    void** hints = nullptr;
    if (snd_device_name_hint(-1, "pcm", &hints) < 0 || hints == nullptr) return list;
    for (void** h = hints; *h != nullptr; ++h) {
      char* name = snd_device_name_get_hint(*h, "NAME");
      char* desc = snd_device_name_get_hint(*h, "DESC");
      char* ioid = snd_device_name_get_hint(*h, "IOID");  // none: both directions
      if (name != nullptr) {
        WaveDeviceChoice c;
        c.Name = name;
        c.Description = OneLine(desc);
        c.Input = ioid == nullptr || std::strcmp(ioid, "Input") == 0;
        c.Output = ioid == nullptr || std::strcmp(ioid, "Output") == 0;
        list.push_back(std::move(c));
      }
      std::free(name);
      std::free(desc);
      std::free(ioid);
    }
    snd_device_name_free_hint(hints);
    return list;
  }

  void Forget() override {
    std::lock_guard lk(FM);
    FProbed[0] = FProbed[1] = Probed{};
  }

  UINT NumDevs(WaveDir dir) override {
    WaveDeviceInfo info;
    return Probe(dir, info).Ok() ? 1 : 0;
  }

  WaveResult Caps(WaveDir dir, UINT id, WaveDeviceInfo& info) override {
    if (id != 0) return MMSYSERR_BADDEVICEID;
    return Probe(dir, info);
  }

  WaveResult CheckFormat(WaveDir dir, UINT id, const WAVEFORMATEX& format) override {
    if (id != 0) return MMSYSERR_BADDEVICEID;
    const std::string name = DeviceName(dir);
    TListen listen;
    Pcm pcm;
    int err = OpenPcm(dir, name, pcm);
    if (err < 0) return Fail(name, err, listen.Heard());
    snd_pcm_hw_params_t* any;
    snd_pcm_hw_params_alloca(&any);
    err = snd_pcm_hw_params_any(pcm.P, any);
    if (err < 0) return Fail(name, err, listen.Heard());
    return Takes(pcm.P, any, format) ? MMSYSERR_NOERROR : WAVERR_BADFORMAT;
  }

  WaveResult Open(WaveDir dir, UINT id, const WAVEFORMATEX& f,
                  std::unique_ptr<WaveStream>& stream) override {
    if (id != 0) return MMSYSERR_BADDEVICEID;
    const std::string name = DeviceName(dir);
    TListen listen;
    Pcm pcm;
    int err = OpenPcm(dir, name, pcm);
    if (err < 0) return Fail(name, err, listen.Heard());
    snd_pcm_hw_params_t* hw;
    snd_pcm_hw_params_alloca(&hw);
    err = snd_pcm_hw_params_any(pcm.P, hw);
    if (err < 0) return Fail(name, err, listen.Heard());
    if (!Takes(pcm.P, hw, f)) return WAVERR_BADFORMAT;
    snd_pcm_hw_params_set_access(pcm.P, hw, SND_PCM_ACCESS_RW_INTERLEAVED);
    snd_pcm_hw_params_set_format(pcm.P, hw, SampleFormat(f));
    snd_pcm_hw_params_set_channels(pcm.P, hw, f.nChannels);
    snd_pcm_hw_params_set_rate(pcm.P, hw, f.nSamplesPerSec, 0);
    // A 200 ms ring in four periods: the device thread wakes 20 times a second (a stop
    // reaches it at once through the wake-up descriptor, whatever the period), and three
    // periods in hand carry a playback over a busy desktop's hiccups.
    unsigned int bufferUs = 200000, periodUs = 50000;
    int d = 0;
    snd_pcm_hw_params_set_buffer_time_near(pcm.P, hw, &bufferUs, &d);
    snd_pcm_hw_params_set_period_time_near(pcm.P, hw, &periodUs, &d);
    err = snd_pcm_hw_params(pcm.P, hw);
    if (err < 0) return Fail(name, err, listen.Heard(), WAVERR_BADFORMAT);
    Ring ring;
    snd_pcm_hw_params_get_buffer_size(hw, &ring.Buffer);
    snd_pcm_hw_params_get_period_size(hw, &ring.Period, &d);
    ring.CanPause = snd_pcm_hw_params_can_pause(hw) == 1;
    snd_pcm_sw_params_t* sw;
    snd_pcm_sw_params_alloca(&sw);
    if (snd_pcm_sw_params_current(pcm.P, sw) == 0) {
      // Playback starts once half the ring is full: early enough to be heard at once, with
      // enough in hand that the first buffers do not run dry on a busy desktop. A sound
      // shorter than that starts when the device drains it at its close.
      if (dir == WaveDir::Out)
        snd_pcm_sw_params_set_start_threshold(pcm.P, sw,
                                              std::max<snd_pcm_uframes_t>(ring.Buffer / 2, 1));
      snd_pcm_sw_params(pcm.P, sw);
    }
    err = snd_pcm_prepare(pcm.P);
    if (err < 0) return Fail(name, err, listen.Heard());
    const int wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) return Fail(name, -errno);
    stream = std::make_unique<AlsaStream>(dir, pcm.P, f, name, ring, wake);
    pcm.P = nullptr;
    return {};
  }

 private:
  struct Probed {
    std::string Key;  // the device name
    Clock::time_point When;
    WaveResult Result{MMSYSERR_NODRIVER};
    WaveDeviceInfo Info;
  };

  // Opens the PCM once to see whether it exists and which of the standard formats it
  // takes; the answer is kept for a moment.
  WaveResult Probe(WaveDir dir, WaveDeviceInfo& info) {
    const std::string name = DeviceName(dir);
    const std::string& key = name;
    std::lock_guard lk(FM);
    Probed& p = FProbed[dir == WaveDir::In ? 0 : 1];
    if (p.Key == key && p.Result.Ok() && Clock::now() - p.When < kProbeLifetime) {
      info = p.Info;
      return p.Result;
    }
    p.Key = key;
    p.When = Clock::now();
    p.Info = WaveDeviceInfo{};
    p.Result = ProbeNow(dir, name, p.Info);
    info = p.Info;
    return p.Result;
  }

  WaveResult ProbeNow(WaveDir dir, const std::string& name, WaveDeviceInfo& info) {
    TListen listen;
    Pcm pcm;
    int err = OpenPcm(dir, name, pcm);
    if (err < 0) return Fail(name, err, listen.Heard());
    snd_pcm_hw_params_t* any;
    snd_pcm_hw_params_alloca(&any);
    err = snd_pcm_hw_params_any(pcm.P, any);
    if (err < 0) return Fail(name, err, listen.Heard());
    info.Name = "ALSA " + name;
    info.Formats = 0;
    const DWORD rates[3] = {11025, 22050, 44100};
    DWORD bit = 1;
    for (DWORD rate : rates) {
      for (WORD channels : {1, 2}) {
        for (WORD bits : {8, 16}) {
          // Bit order per rate: mono 8, stereo 8, mono 16, stereo 16.
          DWORD shift = (channels == 2 ? 1 : 0) + (bits == 16 ? 2 : 0);
          if (Takes(pcm.P, any, PcmFormat(rate, channels, bits))) info.Formats |= bit << shift;
        }
      }
      bit <<= 4;
    }
    unsigned int maxChannels = 0;
    snd_pcm_hw_params_get_channels_max(any, &maxChannels);
    info.Channels = static_cast<WORD>(std::clamp(maxChannels, 1u, 2u));
    info.Support =
        dir == WaveDir::Out ? WAVECAPS_VOLUME | WAVECAPS_LRVOLUME | WAVECAPS_SAMPLEACCURATE : 0;
    return {};
  }

  std::mutex FM;
  Probed FProbed[2];
};

}  // namespace

WaveDriver& SystemDriver() {
  static AlsaWaveDriver driver;
  return driver;
}

}  // namespace winmm
