// The sound card through ALSA: one capture and one playback device, both the PCM that
// ZELVOR_ALSA_DEVICE names ("default" unless set). Every PCM is opened non-blocking, so a
// busy or missing card answers at once and a waiting transfer notices an interrupt within a
// few milliseconds. Only the device thread of winmm.cpp touches an open PCM.
#include <alsa/asoundlib.h>

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
#include <vector>

#include "platform/winmm_driver.h"

namespace winmm {
namespace {

using Clock = std::chrono::steady_clock;

// How long a successful probe of the device (count, capabilities) is trusted: a desktop
// asks several times in a row, and a probe opens the card. A failed probe is cheap and is
// repeated, so a card that appears is seen at once.
constexpr auto kProbeLifetime = std::chrono::seconds(2);
constexpr int kWaitMs = 10;

thread_local std::string tAlsaDetail;

// The library's own complaints go into the failure detail instead of stderr.
void QuietErrorHandler(const char* file, int line, const char* function, int err, const char* fmt,
                       ...) {
  (void)file;
  (void)line;
  (void)function;
  (void)err;
  char text[256];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  tAlsaDetail = text;
}

void InstallQuietHandler() {
  static std::once_flag once;
  std::call_once(once, [] { snd_lib_error_set_handler(QuietErrorHandler); });
}

std::string DeviceName() {
  const char* name = std::getenv("ZELVOR_ALSA_DEVICE");
  return name && *name ? name : "default";
}

snd_pcm_stream_t StreamOf(WaveDir dir) {
  return dir == WaveDir::In ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK;
}

// An ALSA failure as a result code, with the sound system's words kept for the user: the
// library's own complaint when it names the device ("ALSA: Unknown PCM default"), else what
// failed and why ("ALSA device "hw:3": Cannot get card index for 3"). The wave call that
// made this driver call keeps the text with the device (or, for a failed open, with the
// caller), so the window and the CLI both show it after the device's own text.
MMRESULT Fail(const std::string& what, int err, MMRESULT fallback = MMSYSERR_ERROR) {
  const std::string& detail = tAlsaDetail;
  std::string text;
  if (!detail.empty() && detail.find(DeviceName()) != std::string::npos)
    text = "ALSA: " + detail;
  else
    text = what + ": " + (detail.empty() ? std::string(snd_strerror(err)) : detail);
  SetLastDriverMessage(text);
  tAlsaDetail.clear();
  switch (-err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return MMSYSERR_NODRIVER;
    case EBUSY:
    case EAGAIN:
      return MMSYSERR_ALLOCATED;
    case ENOMEM:
      return MMSYSERR_NOMEM;
    case EPERM:
    case EACCES:
      return MMSYSERR_NOTENABLED;
    default:
      return fallback;
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

int OpenPcm(WaveDir dir, Pcm& pcm) {
  InstallQuietHandler();
  tAlsaDetail.clear();
  return snd_pcm_open(&pcm.P, DeviceName().c_str(), StreamOf(dir), SND_PCM_NONBLOCK);
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

class AlsaStream : public WaveStream {
 public:
  AlsaStream(WaveDir dir, snd_pcm_t* pcm, const WAVEFORMATEX& f)
      : FDir(dir), FPcm(pcm), FFrame(f.nBlockAlign), FSilence(f.wBitsPerSample == 8 ? 0x80 : 0) {}
  ~AlsaStream() override {
    if (FPcm) snd_pcm_close(FPcm);
  }

  MMRESULT Transfer(char* data, size_t bytes, size_t& moved) override {
    moved = 0;
    if (FDir == WaveDir::Out) return Play(data, bytes, moved);
    return Capture(data, bytes, moved);
  }

  void Interrupt() override { FInterrupted = true; }

  void Halt() override {
    // A stopped recorder stops listening; a paused player holds its ring where it is (a
    // card that cannot pause plays out what it has, a fifth of a second at most).
    if (FDir == WaveDir::In) {
      snd_pcm_drop(FPcm);
      snd_pcm_prepare(FPcm);
    } else if (snd_pcm_state(FPcm) == SND_PCM_STATE_RUNNING) {
      snd_pcm_pause(FPcm, 1);
    }
  }

  void Drop() override {
    snd_pcm_drop(FPcm);
    snd_pcm_prepare(FPcm);
  }

  void Finish(bool drained) override {
    if (FDir == WaveDir::Out && drained) {
      // The end of the data: what is still in the ring is heard before the device goes.
      if (snd_pcm_state(FPcm) == SND_PCM_STATE_PAUSED) snd_pcm_pause(FPcm, 0);
      if (snd_pcm_state(FPcm) == SND_PCM_STATE_RUNNING ||
          snd_pcm_state(FPcm) == SND_PCM_STATE_PREPARED) {
        snd_pcm_nonblock(FPcm, 0);
        snd_pcm_drain(FPcm);
        return;
      }
    }
    snd_pcm_drop(FPcm);
  }

  // What is written but not yet heard. The sound library locks its own PCM state, so this
  // may run beside the device thread; a ring that ran dry reports an error and holds 0.
  uint64_t PendingBytes() override {
    if (FDir != WaveDir::Out) return 0;
    snd_pcm_sframes_t delay = 0;
    if (snd_pcm_delay(FPcm, &delay) != 0 || delay <= 0) return 0;
    return static_cast<uint64_t>(delay) * FFrame;
  }

 private:
  // Waits until the PCM can move data, or an interrupt; false on the interrupt.
  bool WaitReady() {
    if (FInterrupted.exchange(false)) return false;
    int r = snd_pcm_wait(FPcm, kWaitMs);
    if (r < 0) snd_pcm_recover(FPcm, r, 1);
    return true;
  }

  MMRESULT Play(const char* data, size_t bytes, size_t& moved) {
    size_t frames = bytes / FFrame;
    std::vector<char> padded;
    if (bytes % FFrame) {
      // A buffer that ends inside a frame: the last frame is completed with silence.
      padded.assign(data, data + bytes);
      padded.resize((frames + 1) * FFrame, static_cast<char>(FSilence));
      data = padded.data();
      ++frames;
    }
    if (snd_pcm_state(FPcm) == SND_PCM_STATE_PAUSED) snd_pcm_pause(FPcm, 0);
    size_t done = 0;
    while (done < frames) {
      snd_pcm_sframes_t r = snd_pcm_writei(FPcm, data + done * FFrame, frames - done);
      if (r == -EAGAIN) {
        if (!WaitReady()) break;
        continue;
      }
      if (r < 0) {
        r = snd_pcm_recover(FPcm, static_cast<int>(r), 1);
        if (r < 0) return Fail("ALSA playback", static_cast<int>(r));
        continue;
      }
      done += static_cast<size_t>(r);
    }
    moved = std::min(bytes, done * FFrame);
    return MMSYSERR_NOERROR;
  }

  MMRESULT Capture(char* data, size_t bytes, size_t& moved) {
    if (snd_pcm_state(FPcm) == SND_PCM_STATE_PREPARED) snd_pcm_start(FPcm);
    size_t frames = bytes / FFrame;
    std::vector<char> one;
    char* into = data;
    if (frames == 0) {
      // Less than a frame wanted (a buffer that ends inside a frame): read one, keep part.
      one.resize(FFrame);
      into = one.data();
      frames = 1;
    }
    size_t done = 0;
    while (done < frames) {
      snd_pcm_sframes_t r = snd_pcm_readi(FPcm, into + done * FFrame, frames - done);
      if (r == -EAGAIN) {
        if (done > 0 || !WaitReady()) break;
        continue;
      }
      if (r < 0) {
        r = snd_pcm_recover(FPcm, static_cast<int>(r), 1);
        if (r < 0) return Fail("ALSA capture", static_cast<int>(r));
        if (snd_pcm_state(FPcm) == SND_PCM_STATE_PREPARED) snd_pcm_start(FPcm);
        continue;
      }
      done += static_cast<size_t>(r);
    }
    if (into == data) {
      moved = done * FFrame;
    } else if (done > 0) {
      std::memcpy(data, one.data(), bytes);
      moved = bytes;
    }
    return MMSYSERR_NOERROR;
  }

  WaveDir FDir;
  snd_pcm_t* FPcm;
  size_t FFrame;
  int FSilence;
  std::atomic<bool> FInterrupted{false};
};

class AlsaWaveDriver : public WaveDriver {
 public:
  const char* Name() const override { return "alsa"; }

  UINT NumDevs(WaveDir dir) override {
    WaveDeviceInfo info;
    return Probe(dir, info) == MMSYSERR_NOERROR ? 1 : 0;
  }

  MMRESULT Caps(WaveDir dir, UINT id, WaveDeviceInfo& info) override {
    if (id != 0) return MMSYSERR_BADDEVICEID;
    return Probe(dir, info);
  }

  MMRESULT CheckFormat(WaveDir dir, UINT id, const WAVEFORMATEX& format) override {
    if (id != 0) return MMSYSERR_BADDEVICEID;
    Pcm pcm;
    int err = OpenPcm(dir, pcm);
    if (err < 0) return Fail("ALSA device \"" + DeviceName() + "\"", err);
    snd_pcm_hw_params_t* any;
    snd_pcm_hw_params_alloca(&any);
    err = snd_pcm_hw_params_any(pcm.P, any);
    if (err < 0) return Fail("ALSA device \"" + DeviceName() + "\"", err);
    return Takes(pcm.P, any, format) ? MMSYSERR_NOERROR : WAVERR_BADFORMAT;
  }

  MMRESULT Open(WaveDir dir, UINT id, const WAVEFORMATEX& f,
                std::unique_ptr<WaveStream>& stream) override {
    if (id != 0) return MMSYSERR_BADDEVICEID;
    const std::string what = "ALSA device \"" + DeviceName() + "\"";
    Pcm pcm;
    int err = OpenPcm(dir, pcm);
    if (err < 0) return Fail(what, err);
    snd_pcm_hw_params_t* hw;
    snd_pcm_hw_params_alloca(&hw);
    err = snd_pcm_hw_params_any(pcm.P, hw);
    if (err < 0) return Fail(what, err);
    if (!Takes(pcm.P, hw, f)) return WAVERR_BADFORMAT;
    snd_pcm_hw_params_set_access(pcm.P, hw, SND_PCM_ACCESS_RW_INTERLEAVED);
    snd_pcm_hw_params_set_format(pcm.P, hw, SampleFormat(f));
    snd_pcm_hw_params_set_channels(pcm.P, hw, f.nChannels);
    snd_pcm_hw_params_set_rate(pcm.P, hw, f.nSamplesPerSec, 0);
    // About 20 ms periods in a 200 ms ring: short enough for a level meter and a quick
    // stop, long enough not to starve on a busy desktop.
    unsigned int buffer = 200000, period = 20000;
    int d = 0;
    snd_pcm_hw_params_set_buffer_time_near(pcm.P, hw, &buffer, &d);
    snd_pcm_hw_params_set_period_time_near(pcm.P, hw, &period, &d);
    err = snd_pcm_hw_params(pcm.P, hw);
    if (err < 0) return Fail(what, err, WAVERR_BADFORMAT);
    snd_pcm_uframes_t periodFrames = 0;
    snd_pcm_hw_params_get_period_size(hw, &periodFrames, &d);
    snd_pcm_sw_params_t* sw;
    snd_pcm_sw_params_alloca(&sw);
    if (snd_pcm_sw_params_current(pcm.P, sw) == 0) {
      // Playback starts with the first period, so a sound shorter than the ring is heard.
      if (dir == WaveDir::Out)
        snd_pcm_sw_params_set_start_threshold(pcm.P, sw,
                                              std::max<snd_pcm_uframes_t>(periodFrames, 1));
      snd_pcm_sw_params(pcm.P, sw);
    }
    err = snd_pcm_prepare(pcm.P);
    if (err < 0) return Fail(what, err);
    stream = std::make_unique<AlsaStream>(dir, pcm.P, f);
    pcm.P = nullptr;
    return MMSYSERR_NOERROR;
  }

 private:
  struct Probed {
    std::string Key;  // the device name and the configuration it was read from
    Clock::time_point When;
    MMRESULT Result = MMSYSERR_NODRIVER;
    WaveDeviceInfo Info;
  };

  // Opens the PCM once to see whether it exists and which of the standard formats it
  // takes; the answer is kept for a moment.
  MMRESULT Probe(WaveDir dir, WaveDeviceInfo& info) {
    const std::string name = DeviceName();
    const char* config = std::getenv("ALSA_CONFIG_PATH");
    const std::string key = name + '\n' + (config ? config : "");
    std::lock_guard lk(FM);
    Probed& p = FProbed[dir == WaveDir::In ? 0 : 1];
    if (p.Key == key && p.Result == MMSYSERR_NOERROR && Clock::now() - p.When < kProbeLifetime) {
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

  MMRESULT ProbeNow(WaveDir dir, const std::string& name, WaveDeviceInfo& info) {
    Pcm pcm;
    int err = OpenPcm(dir, pcm);
    if (err < 0) return Fail("ALSA device \"" + name + "\"", err);
    snd_pcm_hw_params_t* any;
    snd_pcm_hw_params_alloca(&any);
    err = snd_pcm_hw_params_any(pcm.P, any);
    if (err < 0) return Fail("ALSA device \"" + name + "\"", err);
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
    return MMSYSERR_NOERROR;
  }

  std::mutex FM;
  Probed FProbed[2];
};

}  // namespace

WaveDriver& AlsaDriver() {
  static AlsaWaveDriver driver;
  return driver;
}

}  // namespace winmm
