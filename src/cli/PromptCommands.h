// What import, say and prompts share: the options that choose the levelling, the coder and
// the slot, and the one way a prompt is made and told (MakePrompt), so a row of a prompt
// list is made exactly as the command for it would make it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "import/Import.h"

namespace cli {

// The levelling options (--loudness, --peak, --no-normalize), --force, --dry-run and the
// coder, checked; false (the usage refused on stderr) for bad usage.
bool ReadPromptOptions(const Args& a, TImportOptions& o, TCoder& coder);

// --voice and --speed, checked into speech; false (refused on stderr) for bad usage.
bool ReadSpeechOptions(const Args& a, TSpeechOptions& speech);

// --slot N or --slot next, checked; false (refused on stderr) for bad usage.
bool ReadSlotOption(const Args& a, int& slot, bool& next);
// The first count slots from 0 on that "ZelvorSound.ini" of folder names no source for;
// fewer when there are not as many.
std::vector<int> FreeSlots(const std::string& folder, size_t count);

// The options of import and say (--slot, --name, the levelling, --force, --coder,
// --dry-run), and those of one of them; prompts (oneSlot false) takes them without --slot
// and --name, its --force also making again the rows that are made already.
std::vector<Option> PromptOptions(std::vector<Option> more = {}, bool oneSlot = true);
std::vector<Option> SpeechOptions();

// Makes one prompt with make (an import or a speech through the shell it is given) and
// tells it: "slot N: ..." on stdout when done (or, dry, what would be made), the reason on
// stderr when not, its lines beginning with subject when one is given (a row of a list).
// Returns the exit code: 0 done, 1 rejected, 2 a file error, 64 a request refused (1 in a
// list, whose other rows go on). A make stopped by SIGINT, SIGTERM or SIGHUP has left the
// folder as it was; the program then ends by that signal.
int MakePrompt(const std::function<TImportResult(TShell&)>& make, int slot, bool dry,
               const std::string& subject, TInterruptGuard& stop);

// All of stdin (a list, or the text of "say -").
std::string ReadStdin();

}  // namespace cli
