// zelvorsound-cli report: a review page of a package, to look at and listen to every slot
// as the instrument will play it, in any browser and without the program.
#include <iostream>

#include "cli/Cli.h"
#include "codec/Convert.h"
#include "package/ReviewPage.h"
#include "platform/files.h"
#include "rtl/SysUtils.h"

namespace {

std::string PackageOf(const cli::Args& a) {
  return cli::InFolder(a, a.Positional.empty() ? "Sounds.zvd" : a.Positional[0]);
}

// The page a report writes: -o FILE, else beside the package.
std::string PageOf(const cli::Args& a) {
  const std::string page = a.Get("output");
  return page.empty() ? ChangeFileExt(PackageOf(a), ".html") : cli::InFolder(a, page);
}

int RunReport(const cli::Args& a) {
  if (a.Positional.size() > 1) return cli::UsageError("takes one package at most");
  if (a.Has("output") && a.Get("output").empty())
    return cli::UsageError("--output needs a file name");
  const std::string package = PackageOf(a);
  const std::string page = PageOf(a);
  if (FileExists(page) && !IsReviewPage(page)) {
    std::cerr << cli::ErrorPrefix(page)
              << "exists and is not a review page; it stays as it is. Give another "
                 "-o FILE.html\n";
    return cli::kUsage;
  }
  return cli::Guarded([&] {
    TReviewSummary s = WriteReviewPage(package, a.Folder, page);
    std::cout << "wrote " << PrintableText(page) << ": " << s.Filled << " of " << kSlotCount
              << " slots filled, " << s.WithWarnings << " with warnings, " << s.PageBytes
              << " bytes\n";
    return int{cli::kOk};
  });
}

cli::Register reportCmd{cli::Command{
    "report",
    "report [PACKAGE] [-o FILE.html]",
    "write a review page of a package: Sounds.html beside \"Sounds.zvd\", or -o FILE.html\n"
    "The page is one self-contained HTML file (PACKAGE defaults to \"Sounds.zvd\" in the\n"
    "folder; the page to the package's name with \".html\"), readable on a desktop and on a\n"
    "phone. One card per filled slot with its name and source from \"ZelvorSound.ini\", its\n"
    "length and loudness, its waveform (one time scale for all) and a player of the sound\n"
    "as the instrument decodes it; warnings for decoder wrap-around, clipping, sounds under\n"
    "0.1 s, silence, a loudness more than 3 LU from the other slots, coding noise less than\n"
    "10 dB below the prompt and a source that differs from the packed sound; with the\n"
    "standard coder, what the optimal one would gain; the empty slots in one line. An\n"
    "existing file is replaced only when it is such a page. A damaged package ends with\n"
    "exit 2 and its file's name.",
    {{"--output", "FILE.html", "write the page into FILE.html (default: beside the package)", 'o'}},
    RunReport,
    cli::FolderUse::WritesByOutput,
    PageOf}};

}  // namespace
