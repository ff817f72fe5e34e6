// zelvorsound-cli report: a review page of a package, to look at and listen to every slot
// as the instrument will play it, in any browser and without the program.
#include <cmath>
#include <iostream>

#include "cli/Cli.h"
#include "cli/Json.h"
#include "codec/Convert.h"
#include "codec/VoxCoders.h"
#include "package/ReviewPage.h"
#include "platform/files.h"
#include "rtl/SysUtils.h"

namespace {

std::string PackageOf(const cli::Args& a) {
  return a.Positional.empty() ? cli::InFolder(a, "Sounds.zvd") : cli::ShellPath(a.Positional[0]);
}

// The page a report writes: -o FILE, else beside the package; none with --json.
std::string PageOf(const cli::Args& a) {
  if (a.Has("json")) return "";
  const std::string page = a.Get("output");
  return page.empty() ? ChangeFileExt(PackageOf(a), ".html") : cli::ShellPath(page);
}

// The review's figures and warnings, as the page shows them.
void ReviewJson(const TReview& r) {
  cli::TJsonWriter json(std::cout);
  json.Object().Field("package", r.PackagePath).Field("package_bytes", r.PackageBytes);
  if (r.HasIni)
    json.Field("ini", r.IniPath);
  else
    json.Null("ini");
  json.Field("coder", CoderName(r.Coder));
  json.Field("median_loudness_lufs", r.MedianLoudnessLufs.value_or(NAN));
  json.Field("median_optimal_gain_db", r.MedianOptimalGainDb.value_or(NAN));
  json.Array("slots");
  for (const TSlotReview& s : r.Slots) {
    const TSoundFindings& f = s.Findings;
    json.Object()
        .Field("slot", s.Record.Slot)
        .Field("name", s.Name)
        .Field("source", s.Source)
        .Field("code_bytes", int64_t{s.Record.CodeBytes})
        .Field("samples", f.Samples)
        .Field("seconds", static_cast<double>(f.Samples) / kTestWavRate)
        .Field("loudness_lufs", f.LoudnessLufs)
        .Field("wraps", f.Wraps)
        .Field("clipped_stretches", f.ClipStretches)
        .Field("warnings", s.HasWarning());
    if (s.Comparison && s.Comparison->State == TSourceState::Compared)
      json.Field("coding_noise_db", s.Comparison->CodingNoiseDb);
    json.Array("checks");
    for (const TReviewCheck& c : s.Checks)
      json.Object().Field("kind", c.Kind).Field("warning", c.Warning).Field("text", c.Text).End();
    json.End().End();
  }
  json.End().List("empty", r.Empty).List("empty_but_named", r.EmptyButNamed).End();
}

int RunReport(const cli::Args& a) {
  if (a.Positional.size() > 1) return cli::UsageError("takes one package at most");
  if (a.Has("output") && a.Get("output").empty())
    return cli::UsageError("--output needs a file name");
  if (a.Has("output") && a.Has("json"))
    return cli::UsageError("--json prints the review and writes no page: leave out -o");
  const std::string package = PackageOf(a);
  const std::string page = PageOf(a);
  // The review names the package by its whole path; one typed that lies in the folder
  // instead of where the shell stands is said to be there.
  if (!a.Positional.empty() && cli::OnlyInFolder(a.Positional[0])) return cli::kIOError;
  if (a.Has("json"))
    return cli::Guarded([&] {
      ReviewJson(ReviewPackage(package, a.Folder));
      return int{cli::kOk};
    });
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
    "report [PACKAGE]",
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
    "exit 2 and its file's name.\n"
    "\n"
    "--json prints the page's figures and warnings and writes no page: {\"package\",\n"
    "\"package_bytes\", \"ini\" (null without one), \"coder\", \"median_loudness_lufs\",\n"
    "\"median_optimal_gain_db\" (null when not measured), \"slots\": [{\"slot\", \"name\",\n"
    "\"source\", \"code_bytes\", \"samples\", \"seconds\", \"loudness_lufs\" (null when silent),\n"
    "\"wraps\", \"clipped_stretches\", \"warnings\" (true when one needs attention),\n"
    "\"coding_noise_db\" (when compared with the source), \"checks\": [{\"kind\", \"warning\",\n"
    "\"text\"}]}], \"empty\": [slot numbers], \"empty_but_named\": [\"5 (Hello.WAV)\", ...]}.",
    {{"--output", "FILE.html", "write the page into FILE.html (default: beside the package)", 'o'},
     cli::JsonOption()},
    RunReport,
    cli::FolderUse::WritesByOutput,
    PageOf}};

}  // namespace
