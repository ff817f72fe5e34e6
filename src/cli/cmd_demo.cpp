// zelvorsound-cli demo: seeds a program folder with a few synthetic prompts and a
// "ZelvorSound.ini" naming them, so a first build has something to pack.
#include <iostream>
#include <string>

#include "cli/Cli.h"
#include "package/DemoPrompts.h"
#include "platform/files.h"
#include "rtl/SysUtils.h"

namespace {

int RunDemo(const cli::Args& a) {
  if (!a.Positional.empty()) return cli::UsageError("takes no file names");
  const std::string ini = a.Folder + "ZelvorSound.ini";
  if (FileExists(ini)) {
    std::cout << "\"" << PrintableText(ini) << "\" exists already; nothing written\n";
    return cli::kOk;
  }
  return cli::Guarded([&] {
    for (const std::string& file : WriteDemoPrompts(a.Folder))
      std::cout << "wrote " << PrintableText(file) << "\n";
    return int{cli::kOk};
  });
}

cli::Register demoCmd{[] {
  cli::Command c{
      "demo",
      "demo",
      "write four synthetic prompts into \"demo/\" and a \"ZelvorSound.ini\" naming them\n"
      "The prompts (8-bit 8 kHz and 16-bit 44.1 kHz, with silence around each sound) fill\n"
      "slots 0 to 3, so that \"build\" has something to pack; the INI chooses the optimal\n"
      "coder ([Options] Coder=optimal). The folder is --folder DIR, else $ZELVOR_FOLDER, else\n"
      "the current directory, and is made when it is not there. Does nothing where a\n"
      "\"ZelvorSound.ini\" exists already.",
      {},
      RunDemo};
  c.MakesFolder = true;
  return c;
}()};

}  // namespace
