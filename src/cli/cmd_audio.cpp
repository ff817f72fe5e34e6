// zelvorsound-cli record / play: the stock recorder and player without a window. The
// command's own thread owns the devices' hidden callback window and pumps its message queue
// while it waits, so the device notifications arrive as they would in the window. A live
// line on stderr shows the level and the position as the sound goes.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <string>

#include "audio/MemoryWaveStorage.h"
#include "audio/WavePlayers.h"
#include "audio/WaveRecorders.h"
#include "cli/Cli.h"
#include "cli/Sound.h"
#include "codec/Convert.h"
#include "package/Package.h"
#include "package/TakeRecording.h"
#include "package/Tester.h"
#include "platform/files.h"
#include "platform/messages.h"
#include "rtl/SysUtils.h"

namespace {

// A take recorder that keeps exactly the asked-for amount of sound: the buffer that crosses
// the limit is cut on a frame boundary and anything after it is left out of the take.
class TTimedRecorder : public TTakeRecorder {
 public:
  using TTakeRecorder::TTakeRecorder;
  ~TTimedRecorder() override { ShutDown(); }

  void SetLimit(uint64_t bytes) { FLimit = bytes; }
  bool LimitReached() const { return FLimit != 0 && DataBytes() >= FLimit; }

 protected:
  void DataReady(void* Buffer, uint32_t BytesRecorded, bool& FreeIt) override {
    uint32_t keep = BytesRecorded;
    if (FLimit != 0) {
      if (DataBytes() >= FLimit) return;
      if (DataBytes() + keep > FLimit) keep = static_cast<uint32_t>(FLimit - DataBytes());
    }
    TTakeRecorder::DataReady(Buffer, keep, FreeIt);
  }

 private:
  uint64_t FLimit = 0;
};

// A number of seconds above 0; a day at most, which no take needs to exceed.
bool ParseSeconds(const std::string& text, double& value) {
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return !text.empty() && end != nullptr && *end == '\0' && std::isfinite(value) && value > 0 &&
         value <= 86400;
}

uint32_t Milliseconds(uint64_t bytes, const WAVEFORMATEX& format) {
  return static_cast<uint32_t>(bytes * 1000 /
                               (format.nAvgBytesPerSec ? format.nAvgBytesPerSec : 1));
}

int RunRecord(const cli::Args& a) {
  if (a.Positional.size() != 1) return cli::UsageError("needs exactly one FILE, the take to write");
  if (const int rc = cli::UseDevice(a); rc != cli::kOk) return rc;
  double seconds = 0;
  if (a.Has("seconds") && !ParseSeconds(a.Get("seconds"), seconds))
    return cli::UsageError("--seconds needs a number of seconds above 0 (at most 86400)");
  int format = Mono8Bit8000Hz;  // the window's recording format
  if (a.Has("format")) {
    const std::string f = a.Get("format");
    char* end = nullptr;
    const long v = std::strtol(f.c_str(), &end, 10);
    if (f.empty() || *end != '\0' || v < 1 || v > 20)
      return cli::UsageError("--format needs a format number from 1 to 20");
    format = static_cast<int>(v);
  }
  WAVEFORMATEX wf{};
  FillPCMWaveFormatByIndex(&wf, static_cast<TPCMFormat>(format));
  // The take's conversion reads 8-bit mono samples: anything else would be coded as noise.
  if (format != Mono8Bit8000Hz && !a.Has("raw"))
    return cli::UsageError("--format " + std::to_string(format) + " records " +
                           DescribeWaveFormat(&wf) +
                           ", which cannot be coded into a \".vox\" file (only format 1 can); "
                           "add --raw to keep the recording as it is");
  TCoder coder;
  if (const int rc = cli::ChooseCoder(a, coder); rc != cli::kOk) return rc;
  const std::string& name = a.Positional[0];
  const std::string path = cli::ShellPath(name);

  return cli::Guarded(name, [&] {
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
    if (seconds > 0) {
      const uint64_t frames = static_cast<uint64_t>(std::llround(seconds * wf.nSamplesPerSec));
      rec.SetLimit(frames == 0 ? wf.nBlockAlign : frames * wf.nBlockAlign);
    }
    // The take is replaced only by a finished recording: the device records into a
    // temporary file beside it, which becomes the take when the recording has ended.
    TTakeRecording take(path, !a.Has("raw"));
    if (!take.Start(rec)) {
      std::cerr << cli::DeviceFailure(rec, name) << std::endl;
      return static_cast<int>(cli::kIOError);
    }

    cli::TLiveLine line;
    cli::WaitWhileActive(
        rec, [&] { return interrupt.Requested() || rec.LimitReached(); },
        [&](bool stopping) {
          line.Show("Recording " + cli::SecondsText(Milliseconds(rec.DataBytes(), wf) / 1000.0) +
                    "  " + cli::LevelBar(level) + (stopping ? "  stopping" : ""));
        });
    line.End();
    cli::ConsoleShell shell;
    const TTakeOutcome outcome = take.Finish(rec, TAppContext{a.Folder, "", coder}, shell);
    if (outcome == TTakeOutcome::NothingRecorded) return static_cast<int>(cli::kIOError);
    if (outcome == TTakeOutcome::NothingHeard) return static_cast<int>(cli::kRejected);
    std::cout << "recorded " << cli::SecondsText(Milliseconds(rec.DataBytes(), wf) / 1000.0) << " ("
              << rec.DataBytes() << " bytes, " << DescribeWaveFormat(&wf) << ") into "
              << PrintableText(path) << std::endl;
    if (take.Coded())
      std::cout << "coded " << PrintableText(ChangeFileExt(path, ".vox")) << std::endl;
    if (errors.Count() > 0 || outcome == TTakeOutcome::CutShort)
      return static_cast<int>(cli::kIOError);
    // Without an earlier take to keep, a recording that heard nothing is the take: said, so
    // that an empty take and ".vox" do not pass for a prompt.
    if (take.Coded() && !TakeHoldsSound(path)) {
      std::cerr << cli::ErrorPrefix(name)
                << "nothing was heard: the take and its \".vox\" hold no sound (is the "
                   "microphone on? 'zelvorsound-cli devices' lists the inputs)"
                << std::endl;
      return static_cast<int>(cli::kRejected);
    }
    return static_cast<int>(cli::kOk);
  });
}

bool EndsWithVox(const std::string& name) {
  return name.size() >= 4 && SameText(name.substr(name.size() - 4), ".vox");
}

int RunPlay(const cli::Args& a) {
  int slot = -1;
  if (a.Has("slot")) {
    if (const std::string wrong = cli::ReadSlot(a.Get("slot"), "--slot", slot); !wrong.empty())
      return cli::UsageError(wrong);
    if (a.Positional.size() > 1) return cli::UsageError("--slot N plays from one PACKAGE at most");
  } else if (a.Positional.size() != 1) {
    return cli::UsageError("needs exactly one FILE to play, or --slot N");
  }
  if (const int rc = cli::UseDevice(a); rc != cli::kOk) return rc;
  const std::string path =
      a.Positional.empty() ? cli::InFolder(a, "Sounds.zvd") : cli::ShellPath(a.Positional[0]);
  const std::string name = a.Positional.empty() ? path : a.Positional[0];
  return cli::Guarded(name, [&] {
    EnsureMessageQueue();
    cli::TInterruptGuard interrupt;
    cli::TErrorCounter errors("\n");
    // A ".vox" file or a package's slot is decoded as the instrument decodes it, into a
    // wave held in memory: nothing is written.
    TMemoryWaveStorage decoded;
    std::string what = path;
    // A file that is not there is said so (and where it is, if it lies in the folder).
    if (!FileExists(path)) throw EInOutError(ioFileNotFound);
    if (slot >= 0) {
      TPackageReader package(path);
      package.Open();
      std::optional<std::string> wave = DecodeSlotToWave(package, slot);
      package.Close();
      if (!wave) {
        std::cerr << cli::ErrorPrefix(name) << "slot " << slot << " holds no sound" << std::endl;
        return static_cast<int>(cli::kRejected);
      }
      decoded.PutBytes(0, *wave);
      what = Format("slot %d of %s", slot, path.c_str());
    } else if (EndsWithVox(name)) {
      decoded.PutBytes(0, DecodeVoxFileToWave(path));
    }
    TStockAudioPlayer player;
    // As the window plays: a tenth of a second per buffer, so the level that each queued
    // buffer reports is the level the listener hears.
    player.SetBufferLength(100);
    int level = 0;
    player.OnLevel = [&](TComponent*, int32_t l) { level = l; };
    bool started = false;
    try {
      if (decoded.Count() > 0) {
        player.SetStock(&decoded);
        started = player.StartPlayingStockItem(0);
      } else {
        started = player.StartPlayingFile(path);
      }
    } catch (const EWaveAudioSysError&) {  // the open's failure, told below with its reason
    }
    if (!started) {
      // A file the player found no format in is the file's fault, not the device's: the
      // reason alone says what is wrong with it ("not a RIFF WAVE file", ...).
      if (!player.GetNoFormatReason().empty())
        std::cerr << cli::ErrorPrefix(name) << player.GetNoFormatReason() << std::endl;
      else
        std::cerr << cli::DeviceFailure(player, name) << std::endl;
      return static_cast<int>(cli::kIOError);
    }
    const WAVEFORMATEX format = player.GetWaveFormatRecord();
    const uint32_t total = Milliseconds(player.GetDataSize(), format);
    uint32_t position = 0;

    cli::TLiveLine line;
    auto draw = [&](bool stopping) {
      line.Show("Playing " + cli::SecondsText(position / 1000.0) + " / " +
                cli::SecondsText(total / 1000.0) + "  " + cli::LevelBar(level) +
                (stopping ? "  stopping" : ""));
    };
    const bool stopped = cli::WaitWhileActive(
        player, [] { return cli::TInterruptGuard::Requested(); },
        [&](bool stopping) {
          // A closing device reports 0: the position stays where the sound was.
          if (player.GetActive())
            position = std::max(position, std::min(player.GetPosition(), total));
          draw(stopping);
        });
    // A playback that ended by itself played to the end, unless its device failed (a sound
    // server that stopped answering): then it stands where the sound stopped.
    const bool failed = errors.Count() > 0;
    if (!stopped && !failed) {
      position = total;
      draw(false);
    }
    line.End();
    std::cout << (stopped || failed ? "stopped " : "played ") << PrintableText(what) << " ("
              << DescribeWaveFormat(&format) << ", " << cli::SecondsText(total / 1000.0) << ")"
              << std::endl;
    return static_cast<int>(failed ? cli::kIOError : cli::kOk);
  });
}

cli::Register recordCommand{cli::Command{
    "record",
    "record FILE",
    "record from the sound input into the take FILE, then trim it and code FILE.vox\n"
    "Records until N seconds of sound are in (exactly that many) or Ctrl-C is pressed. The\n"
    "finished take is trimmed of the silence around the speech and coded into a \".vox\"\n"
    "file beside it, as the window does after a recording. --format picks one of the\n"
    "twenty standard PCM formats by number (1 = 8000 Hz 8-bit mono ... 20 = 48000 Hz 16-bit\n"
    "stereo; default 1, the window's); only format 1 can be coded, any other needs --raw.\n"
    "FILE is replaced only by a finished recording: until it ends the sound goes into\n"
    "\"FILE (unfinished recording)\" beside it, a WAV file even when the program is killed.\n"
    "A recording that hears nothing keeps an earlier FILE with sound, and without one says\n"
    "that the take holds no sound (exit 1 either way); one whose device fails before any\n"
    "sound keeps FILE as it was (exit 2).",
    {{"--seconds", "N", "stop after exactly N seconds (default: at Ctrl-C)"},
     {"--format", "N", "the PCM format by number, 1 to 20 (default 1: 8000 Hz 8-bit mono)"},
     {"--raw", "", "keep the take exactly as recorded, no trimming, no \".vox\""},
     cli::DeviceOption(),
     cli::CoderOption()},
    RunRecord}};

cli::Register playCommand{cli::Command{
    "play",
    "play FILE | play --slot N [PACKAGE]",
    "play a WAV file, a \".vox\" file or a slot of a package through the sound output\n"
    "Plays FILE to its end; Ctrl-C stops it. A WAV file plays in its own format. A \".vox\"\n"
    "file, and with --slot N the slot N of PACKAGE (\"Sounds.zvd\" in the folder by default),\n"
    "is decoded as the instrument decodes it and played at 8000 Hz from memory: nothing is\n"
    "written, not even \"testvox.wav\". An empty slot is exit 1.",
    {cli::DeviceOption(), {"--slot", "N", "play slot N (0 to 127) of PACKAGE"}},
    RunPlay,
    cli::FolderUse::ReadsOnly}};

}  // namespace
