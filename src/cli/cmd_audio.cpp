// zelvorsound-cli record / play: the stock recorder and player without a window. The
// command's own thread owns the devices' hidden callback window and pumps its message queue
// while it waits, so the device notifications arrive as they would in the window. A line on
// stderr, rewritten in place, shows the level and the position as the sound goes.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "audio/WavePlayers.h"
#include "audio/WaveRecorders.h"
#include "cli/Cli.h"
#include "codec/Convert.h"
#include "platform/messages.h"

namespace {

// Lets the devices' notifications through for up to the given time.
void PumpFor(DWORD milliseconds) {
  DrainMessageQueue();
  MsgWaitForMultipleObjects(0, nullptr, FALSE_, milliseconds, QS_ALLPOSTMESSAGE);
  DrainMessageQueue();
}

std::string LevelBar(int level) {
  if (level < 0) return "level  -- ";
  if (level > 100) level = 100;
  const int width = 20;
  const int filled = level * width / 100;
  char head[32];
  std::snprintf(head, sizeof head, "level %3d%% ", level);
  return std::string(head) + "|" + std::string(filled, '#') + std::string(width - filled, ' ') +
         "|";
}

// The live line: rewritten in place with a carriage return.
class TLiveLine {
 public:
  void Show(const std::string& text) {
    const auto now = std::chrono::steady_clock::now();
    if (FShown && now - FLast < std::chrono::milliseconds(100)) return;
    FLast = now;
    FShown = true;
    std::string line = text;
    if (line.size() < FWidth) line += std::string(FWidth - line.size(), ' ');
    FWidth = text.size();
    std::cerr << "\r" << line << std::flush;
  }
  void End() {
    if (FShown) std::cerr << "\n" << std::flush;
    FShown = false;
  }

 private:
  bool FShown = false;
  size_t FWidth = 0;
  std::chrono::steady_clock::time_point FLast{};
};

// The device's failure text (with the driver's reason) is the one the window shows too.
std::string DeviceFailure(TWaveAudioIO& device, const char* what) {
  return std::string("zelvorsound-cli: cannot ") + what + ": " + device.LastErrorText();
}

// A recorder that keeps exactly the asked-for amount of sound: the buffer that crosses the
// limit is cut on a frame boundary and anything after it is left out of the take.
class TTimedRecorder : public TStockAudioRecorder {
 public:
  using TStockAudioRecorder::TStockAudioRecorder;
  ~TTimedRecorder() override { ShutDown(); }

  void SetLimit(uint64_t bytes) { FLimit = bytes; }
  bool LimitReached() const { return FLimit != 0 && FTaken >= FLimit; }
  uint64_t Taken() const { return FTaken; }

 protected:
  void DataReady(void* Buffer, uint32_t BytesRecorded, bool& FreeIt) override {
    uint32_t keep = BytesRecorded;
    if (FLimit != 0) {
      if (FTaken >= FLimit) return;
      if (FTaken + keep > FLimit) keep = static_cast<uint32_t>(FLimit - FTaken);
    }
    FTaken += keep;
    TStockAudioRecorder::DataReady(Buffer, keep, FreeIt);
  }

 private:
  uint64_t FLimit = 0;
  uint64_t FTaken = 0;
};

bool ParsePositive(const std::string& text, double& value) {
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return !text.empty() && end != nullptr && *end == '\0' && std::isfinite(value) && value > 0;
}

int RunRecord(const cli::Args& a) {
  if (a.Positional.size() != 1) {
    std::cerr << "zelvorsound-cli: record needs exactly one file name\n";
    return cli::kUsage;
  }
  double seconds = 0;
  if (a.Has("seconds") && !ParsePositive(a.Get("seconds"), seconds)) {
    std::cerr << "zelvorsound-cli: --seconds needs a number of seconds above 0\n";
    return cli::kUsage;
  }
  int format = Mono8Bit8000Hz;  // the window's recording format
  if (a.Has("format")) {
    const std::string f = a.Get("format");
    char* end = nullptr;
    const long v = std::strtol(f.c_str(), &end, 10);
    if (f.empty() || *end != '\0' || v < 1 || v > 20) {
      std::cerr << "zelvorsound-cli: --format needs a format number from 1 to 20\n";
      return cli::kUsage;
    }
    format = static_cast<int>(v);
  }
  const std::string path = cli::InFolder(a, a.Positional[0]);

  return cli::Guarded([&] {
    EnsureMessageQueue();
    cli::TInterruptGuard interrupt;
    cli::TErrorCounter errors("\n");
    TTimedRecorder rec;
    rec.SetBufferLength(100);  // as the window records: a tenth of a second per buffer
    // Every buffer is written to the file on this thread before it goes back to the device;
    // two seconds of queued buffers ride out a disk that holds a write up for a while,
    // where the device would otherwise run dry and lose sound.
    rec.SetBufferCount(20);
    rec.SetPCMFormat(static_cast<TPCMFormat>(format));
    int level = 0;
    rec.OnLevel = [&](TComponent*, int32_t l) { level = l; };
    bool deactivated = false;
    rec.OnDeactivate = [&](TComponent*) { deactivated = true; };

    WAVEFORMATEX wf{};
    FillPCMWaveFormatByIndex(&wf, static_cast<TPCMFormat>(format));
    if (seconds > 0) {
      const uint64_t frames = static_cast<uint64_t>(std::llround(seconds * wf.nSamplesPerSec));
      rec.SetLimit(frames == 0 ? wf.nBlockAlign : frames * wf.nBlockAlign);
    }
    if (!rec.StartRecordingToFile(path)) {
      std::cerr << DeviceFailure(rec, "record") << std::endl;
      return static_cast<int>(cli::kIOError);
    }

    TLiveLine line;
    bool stopping = false;
    while (rec.GetActive()) {
      if (!stopping && (interrupt.Requested() || rec.LimitReached())) {
        stopping = true;
        rec.SetActive(false);
        // A close the device refused leaves the recorder running: ask again next time.
        if (rec.GetActive() && !rec.GetClosing()) stopping = false;
      }
      const uint32_t ms =
          static_cast<uint32_t>(rec.Taken() * 1000 / (wf.nAvgBytesPerSec ? wf.nAvgBytesPerSec : 1));
      line.Show("Recording " + FormatDuration(ms, 2) + "  " + LevelBar(level) +
                (stopping ? "  stopping" : ""));
      PumpFor(50);
    }
    line.End();
    const uint32_t ms =
        static_cast<uint32_t>(rec.Taken() * 1000 / (wf.nAvgBytesPerSec ? wf.nAvgBytesPerSec : 1));
    std::cout << "recorded " << FormatDuration(ms, 2) << " (" << rec.Taken() << " bytes, "
              << DescribeWaveFormat(&wf) << ") into " << path << std::endl;
    if (errors.Count() > 0) return static_cast<int>(cli::kIOError);
    if (a.Has("raw")) return static_cast<int>(cli::kOk);

    TAppContext ctx{a.Folder, path};
    cli::ConsoleShell shell;
    ConvertRecordedTake(ctx, shell);
    std::cout << "coded " << ChangeFileExt(path, ".vox") << std::endl;
    return static_cast<int>(shell.MessageCount() > 0 ? cli::kRejected : cli::kOk);
  });
}

int RunPlay(const cli::Args& a) {
  if (a.Positional.size() != 1) {
    std::cerr << "zelvorsound-cli: play needs exactly one file name\n";
    return cli::kUsage;
  }
  const std::string path = cli::InFolder(a, a.Positional[0]);
  return cli::Guarded([&] {
    EnsureMessageQueue();
    cli::TInterruptGuard interrupt;
    cli::TErrorCounter errors("\n");
    TStockAudioPlayer player;
    int level = 0;
    player.OnLevel = [&](TComponent*, int32_t l) { level = l; };
    if (!player.StartPlayingFile(path)) {
      std::cerr << DeviceFailure(player, "play") << std::endl;
      return static_cast<int>(cli::kIOError);
    }
    const WAVEFORMATEX format = player.GetWaveFormatRecord();
    const uint32_t rate = format.nAvgBytesPerSec ? format.nAvgBytesPerSec : 1;
    const uint32_t total = static_cast<uint32_t>(uint64_t{player.GetDataSize()} * 1000 / rate);
    uint32_t position = 0;

    TLiveLine line;
    bool stopping = false;
    while (player.GetActive()) {
      if (!stopping && interrupt.Requested()) {
        stopping = true;
        player.SetActive(false);
        if (player.GetActive() && !player.GetClosing()) stopping = false;
      }
      if (player.GetActive()) position = std::min(player.GetPosition(), total);
      line.Show("Playing " + FormatDuration(position, 2) + " / " + FormatDuration(total, 2) +
                "  " + LevelBar(level) + (stopping ? "  stopping" : ""));
      PumpFor(50);
    }
    line.End();
    std::cout << (stopping ? "stopped " : "played ") << path << " ("
              << DescribeWaveFormat(&format) << ", " << FormatDuration(total, 2) << ")"
              << std::endl;
    return static_cast<int>(errors.Count() > 0 ? cli::kIOError : cli::kOk);
  });
}

cli::Register recordCommand{cli::Command{
    "record", "record FILE [--seconds N] [--format N] [--raw]",
    "Records from the sound input into FILE (relative to --folder), a RIFF WAVE file, until\n"
    "N seconds of sound are in (exactly that many) or Ctrl-C is pressed. --format picks one\n"
    "of the twenty standard PCM formats by number (1 = 8000 Hz 8-bit mono ... 20 = 48000 Hz\n"
    "16-bit stereo; default 1, as the window records). The finished take is then trimmed and\n"
    "coded into a \".vox\" file beside it, as the window does after a recording, unless --raw\n"
    "keeps the take exactly as recorded. ZELVOR_AUDIO chooses the driver (alsa or virtual).",
    {"--seconds", "--format"},
    RunRecord}};

cli::Register playCommand{cli::Command{
    "play", "play FILE",
    "Plays the RIFF WAVE file FILE (relative to --folder) to its end through the sound\n"
    "output, in its own format; Ctrl-C stops. ZELVOR_AUDIO chooses the driver (alsa or\n"
    "virtual).",
    {},
    RunPlay}};

}  // namespace
