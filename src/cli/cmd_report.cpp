// zelvorsound-cli report: a review page of a package, to look at and listen to every slot
// as the instrument will play it, in any browser and without the program.
#include <iostream>

#include "cli/Cli.h"
#include "codec/Convert.h"
#include "package/Report.h"
#include "platform/files.h"

namespace {

int Usage(const std::string& problem) {
  std::cerr << "zelvorsound-cli: report " << problem << "\n";
  return cli::kUsage;
}

int RunReport(const cli::Args& a) {
  // The parser knows only long options: "-o FILE" arrives as two positional words.
  std::vector<std::string> names;
  std::string page = a.Get("output");
  for (size_t i = 0; i < a.Positional.size(); ++i) {
    if (a.Positional[i] != "-o") {
      names.push_back(a.Positional[i]);
      continue;
    }
    if (i + 1 >= a.Positional.size()) return Usage("needs a file name after -o");
    page = a.Positional[++i];
  }
  for (const auto& [name, value] : a.Options)
    if (name != "output") return Usage("does not know --" + name);
  if (names.size() > 1) return Usage("takes one package at most");
  if (a.Has("output") && a.Get("output").empty()) return Usage("needs a file name after --output");

  const std::string package = cli::InFolder(a, names.empty() ? "Sounds.zvd" : names[0]);
  page = page.empty() ? ChangeFileExt(package, ".html") : cli::InFolder(a, page);
  if (FileExists(page) && !IsReviewPage(page)) {
    std::cerr << page
              << " exists and is not a review page; it stays as it is. Give another "
                 "-o FILE.html\n";
    return cli::kUsage;
  }
  return cli::Guarded([&] {
    TReviewSummary s = WriteReviewPage(package, a.Folder, page);
    std::cout << "wrote " << page << ": " << s.Filled << " of " << kSlotCount << " slots filled, "
              << s.WithWarnings << " with warnings, " << s.PageBytes << " bytes\n";
    return int{cli::kOk};
  });
}

cli::Register reportCmd{cli::Command{
    "report",
    "report [PACKAGE] [-o FILE.html]",
    "Writes a review page of a package (default \"Sounds.zvd\" in the folder): one\n"
    "self-contained HTML file, by default beside the package with \".html\" for its\n"
    "extension. One row per filled slot with its name and source from \"ZelvorSound.ini\",\n"
    "length, waveform and a player of the sound as the instrument decodes it; warnings for\n"
    "decoder wrap-around, clipping, sounds under 0.1 s, silence and a source that differs\n"
    "from the packed sound; the empty slots in one line. An existing file is replaced only\n"
    "when it is such a page. A damaged package ends with exit 2 and its file's name.",
    {"--output"},
    RunReport}};

}  // namespace
