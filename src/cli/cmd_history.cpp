// zelvorsound-cli history: the earlier takes of a slot, and one of them brought back.
#include <iostream>

#include "cli/Cli.h"
#include "cli/Json.h"
#include "package/History.h"
#include "package/SlotActions.h"
#include "platform/profile.h"
#include "rtl/SysUtils.h"

namespace {

std::string LengthOf(int64_t milliseconds) {
  return milliseconds < 0 ? "?" : cli::SecondsText(milliseconds / 1000.0);
}

int RunHistory(const cli::Args& a) {
  if (a.Positional.size() != 1) return cli::UsageError("needs exactly one SLOT");
  int slot = 0;
  if (const std::string wrong = cli::ReadSlot(a.Positional[0], "SLOT", slot); !wrong.empty())
    return cli::UsageError(wrong);
  const bool restore = a.Has("restore"), json = a.Has("json");
  return cli::Guarded([&] {
    const std::string name = SlotName(TIniFile(a.Folder + kIniName), slot);
    const std::string take = a.Folder + TakeName(name);
    const std::string shown = PrintableText(name);
    if (HistoryNameOf(a.Folder, take).empty()) {
      std::cerr << cli::ErrorPrefix() << "slot " << slot << " \"" << shown
                << "\" has no history: its take does not lie in the folder itself" << std::endl;
      return int{cli::kRejected};
    }
    const std::vector<THistoryEntry> entries = ListHistory(a.Folder, name);
    if (restore) {
      const std::string n = a.Get("restore");
      const size_t count = entries.size();
      char* end = nullptr;
      const long number = std::strtol(n.c_str(), &end, 10);
      if (n.empty() || *end != '\0' || number < 1 || static_cast<size_t>(number) > count)
        return cli::UsageError(
            count == 0 ? Format("slot %d \"%s\" has no earlier takes", slot, shown.c_str())
                       : Format("--restore needs a number from 1 to %d (history %d lists them)",
                                static_cast<int>(count), slot));
      const THistoryEntry& entry = entries[number - 1];
      const std::string kept = RestoreTake(a.Folder, name, take, entry.Take);
      if (json) {
        cli::TJsonWriter out(std::cout);
        out.Object().Field("slot", slot).Field("name", name).Field("take", take);
        out.Field("restored", entry.Date());
        kept.empty() ? out.Null("kept") : out.Field("kept", kept);
        out.End();
      } else {
        std::cout << Format("slot %d \"%s\": the take of %s is back in %s", slot, shown.c_str(),
                            entry.Date().c_str(), PrintableText(TakeName(name)).c_str())
                  << (kept.empty() ? "" : "; the take it replaced is earlier take 1") << std::endl;
      }
      return int{cli::kOk};
    }
    if (json) {
      cli::TJsonWriter out(std::cout);
      out.Object().Field("slot", slot).Field("name", name).Field("take", take);
      out.Field("folder", HistoryFolder(a.Folder, name)).Array("takes");
      int number = 0;
      for (const THistoryEntry& e : entries) {
        out.Object().Field("number", ++number).Field("date", e.Date());
        e.Milliseconds < 0 ? out.Null("seconds") : out.Field("seconds", e.Milliseconds / 1000.0);
        out.Field("file", e.Take);
        e.Vox.empty() ? out.Null("vox") : out.Field("vox", e.Vox);
        out.End();
      }
      out.End().End();
      return int{cli::kOk};
    }
    if (entries.empty()) {
      std::cout << Format("slot %d \"%s\" has no earlier takes", slot, shown.c_str()) << std::endl;
      return int{cli::kOk};
    }
    std::cout << Format("slot %d \"%s\": %d earlier take%s in %s (1 = newest)", slot, shown.c_str(),
                        static_cast<int>(entries.size()), entries.size() == 1 ? "" : "s",
                        PrintableText(HistoryFolder(a.Folder, name)).c_str())
              << std::endl;
    int number = 0;
    for (const THistoryEntry& e : entries)
      std::cout << Format("%3d  %s  %10s%s", ++number, e.Date().c_str(),
                          LengthOf(e.Milliseconds).c_str(), e.Vox.empty() ? "  (no .vox)" : "")
                << std::endl;
    return int{cli::kOk};
  });
}

cli::Register historyCmd{cli::Command{
    "history",
    "history SLOT",
    "list the earlier takes of slot SLOT, or bring one back with --restore N\n"
    "Every take that a recording, import, say or prompts replaces, and every take a slot\n"
    "stops naming (it got a take of another name), is kept with its \".vox\" in\n"
    "\"History/NAME/\" as \"NAME YYYY-MM-DD HH-MM-SS.WAV\", stamped with the time it left\n"
    "the slot; the newest 5 of a slot are kept. The list numbers them, 1 = newest, with\n"
    "their date and length; it writes nothing. --restore N makes earlier take N the slot's\n"
    "take again (\"NAME.WAV\" and \"NAME.vox\"), and the take it replaces becomes earlier\n"
    "take 1, so a restore is undone by --restore 1. The build packs nothing from\n"
    "\"History\". Exit 1 for a slot whose take lies in a sub-folder (it has no history).\n"
    "\n"
    "--json prints {\"slot\", \"name\", \"take\", \"folder\", \"takes\": [{\"number\", \"date\",\n"
    "\"seconds\", \"file\", \"vox\"}]}; with --restore {\"slot\", \"name\", \"take\", "
    "\"restored\":\n"
    "date, \"kept\": the replaced take's entry or null}.",
    {{"--restore", "N", "make earlier take N (1 = newest) the slot's take again"},
     cli::JsonOption()},
    RunHistory,
    cli::FolderUse::WritesByOutput,
    [](const cli::Args& a) { return a.Has("restore") ? a.Folder + kHistoryFolderName : ""; }}};

}  // namespace
