// zelvorsound-cli test: hears a sound package the way the window's "Test Sounds.zvd file"
// does. Every present slot, in slot order, is decoded into "testvox.wav" (in --folder) and
// played to its end through the stock player before the next one; one line per slot says
// what is playing. The command's thread owns the player's notification window and blocks on
// its own message queue while a sound plays.
#include <iostream>
#include <string>

#include "audio/WavePlayers.h"
#include "cli/Cli.h"
#include "cli/Sound.h"
#include "package/Package.h"
#include "package/Tester.h"
#include "platform/files.h"
#include "platform/messages.h"
#include "rtl/SysUtils.h"

namespace {

int RunTest(const cli::Args& a) {
  if (a.Positional.size() > 1) return cli::UsageError("takes one PACKAGE at most");
  if (const int rc = cli::UseDevice(a); rc != cli::kOk) return rc;
  const std::string packagePath =
      a.Positional.empty() ? cli::InFolder(a, "Sounds.zvd") : cli::ShellPath(a.Positional[0]);
  const std::string name = a.Positional.empty() ? packagePath : a.Positional[0];
  return cli::Guarded(name, [&] {
    // The window ends a test without a package silently; here the user named the file and
    // is told that it is not there.
    if (!FileExists(packagePath)) throw EInOutError(ioFileNotFound);
    EnsureMessageQueue();
    // Ctrl-C stops the sound that is playing and ends the test; a second one ends the program.
    cli::TInterruptGuard interrupt;
    cli::TErrorCounter errors;
    TStockAudioPlayer player;
    player.SetBufferLength(100);  // as the window plays
    int level = 0;
    player.OnLevel = [&](TComponent*, int32_t l) { level = l; };
    const TAppContext ctx{a.Folder, std::string()};
    TPackageReader package(packagePath);
    package.Open();
    int played = 0;
    cli::TLiveLine line;
    for (int slot = 0; slot < kSlotCount && !interrupt.Requested(); ++slot) {
      std::optional<TSoundRecord> record = package.Record(slot);
      if (!record) continue;
      if (!DecodeSlotToTestWav(ctx, package, slot)) continue;
      const uint32_t ms = static_cast<uint32_t>(record->Samples() * 1000 / kTestWavRate);
      std::cout << "slot " << slot << ": " << record->CodeBytes << " code bytes ("
                << cli::SecondsText(ms / 1000.0) << ")" << std::endl;
      if (!player.StartPlayingFile(TestWavPath(ctx))) {
        std::cerr << cli::DeviceFailure(player, name) << std::endl;
        package.Close();
        return static_cast<int>(cli::kIOError);
      }
      ++played;
      level = -1;
      cli::WaitWhileActive(
          player, [] { return cli::TInterruptGuard::Requested(); },
          [&](bool) {
            if (!player.GetActive()) return;
            line.Show("  " + cli::SecondsText(std::min(player.GetPosition(), ms) / 1000.0) + " / " +
                      cli::SecondsText(ms / 1000.0) + "  " + cli::LevelBar(level));
          });
      line.Clear();  // the slot lines tell the story; the live line is only for a terminal
    }
    package.Close();
    std::cout << (interrupt.Requested() ? "stopped after " : "played ") << played
              << (played == 1 ? " sound" : " sounds") << std::endl;
    return static_cast<int>(errors.Count() > 0 ? cli::kIOError : cli::kOk);
  });
}

cli::Register testCommand{cli::Command{
    "test",
    "test [PACKAGE]",
    "play every sound of PACKAGE in slot order, decoding each into \"testvox.wav\"\n"
    "PACKAGE defaults to \"Sounds.zvd\" in the folder. Does what the window's \"Test\n"
    "Sounds.zvd file\" does: each present slot is decoded into \"testvox.wav\" in the folder\n"
    "and played to its end, with one line per slot. Ctrl-C stops the sound that is playing\n"
    "and ends the test.",
    {cli::DeviceOption()},
    RunTest}};

}  // namespace
