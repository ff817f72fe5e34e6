// zelvorsound-cli test: hears a sound package the way the window's "Test Sounds.zvd file"
// does. Every present slot, in slot order, is decoded into "testvox.wav" (in --folder) and
// played to its end through the stock player before the next one; one line per slot says
// what is playing. The command's thread owns the player's notification window and blocks on
// its own message queue while a sound plays.
#include <iostream>
#include <string>

#include "audio/WavePlayers.h"
#include "cli/Cli.h"
#include "package/Package.h"
#include "package/Tester.h"
#include "platform/files.h"
#include "platform/messages.h"
#include "rtl/SysUtils.h"

namespace {

int RunTest(const cli::Args& a) {
  if (a.Positional.size() != 1) {
    std::cerr << "zelvorsound-cli: test needs exactly one package file name\n";
    return cli::kUsage;
  }
  const std::string packagePath = cli::InFolder(a, a.Positional[0]);
  return cli::Guarded([&] {
    // The window ends a test without a package silently; here the user named the file and
    // is told that it is not there.
    if (!FileExists(packagePath)) {
      std::cerr << "zelvorsound-cli: no package " << packagePath << std::endl;
      return static_cast<int>(cli::kIOError);
    }
    EnsureMessageQueue();
    // Ctrl-C ends the test after the sound that is playing; a second one ends the program.
    cli::TInterruptGuard interrupt;
    cli::TErrorCounter errors;
    TStockAudioPlayer player;
    player.SetBufferLength(100);  // as the window plays
    const TAppContext ctx{a.Folder, std::string()};
    TPackageReader package(packagePath);
    package.Open();
    int played = 0;
    for (int slot = 0; slot < kSlotCount && !interrupt.Requested(); ++slot) {
      std::optional<TSoundRecord> record = package.Record(slot);
      if (!record) continue;
      if (!DecodeSlotToTestWav(ctx, package, slot)) continue;
      const uint32_t ms = static_cast<uint32_t>(record->Samples() * 1000 / kTestWavRate);
      std::cout << "slot " << slot << ": " << record->CodeBytes << " code bytes ("
                << FormatDuration(ms, 6) << ")" << std::endl;
      if (!player.StartPlayingFile(TestWavPath(ctx))) {
        std::cerr << "zelvorsound-cli: cannot play: " << player.LastErrorText() << std::endl;
        package.Close();
        return static_cast<int>(cli::kIOError);
      }
      ++played;
      // Blocks until the device reports back; a Ctrl-C wakes the wait as well.
      bool stopping = false;
      while (player.GetActive()) {
        if (interrupt.Requested() && !stopping) {
          stopping = true;
          player.SetActive(false);
          if (player.GetActive() && !player.GetClosing()) stopping = false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE_, 200, QS_ALLPOSTMESSAGE);
        DrainMessageQueue();
      }
    }
    package.Close();
    std::cout << (interrupt.Requested() ? "stopped after " : "played ") << played
              << (played == 1 ? " sound" : " sounds") << std::endl;
    return static_cast<int>(errors.Count() > 0 ? cli::kIOError : cli::kOk);
  });
}

cli::Register testCommand{cli::Command{
    "test", "test PACKAGE",
    "Plays every sound of the package PACKAGE (relative to --folder) in slot order, as the\n"
    "window's \"Test Sounds.zvd file\" does: each present slot is decoded into \"testvox.wav\"\n"
    "in --folder and played to its end, with one line per slot. Ctrl-C ends the test after\n"
    "the sound that is playing. ZELVOR_AUDIO chooses the driver (alsa or virtual).",
    {},
    RunTest}};

}  // namespace
