// The review page of a package: one self-contained HTML file (inline CSS and SVG, the sounds
// as data URIs, nothing fetched from elsewhere) that shows every present slot as the
// instrument will play it, so a maker can check 128 prompts at a glance and send the page to
// someone without the program. It draws what the review (ReviewAnalysis.h) found: the
// figures and warnings come from there, the page adds only their layout.
//
// The layout reads on a wide screen and on a phone alike: one card per slot that wraps its
// parts below each other on a narrow screen, nothing wider than the screen. Every waveform
// is drawn to one time scale across the page (the longest slot spans the full width), so a
// 0.07 s prompt looks short.
//
// The page is written under a temporary name beside its place and put there by rename once
// complete; a page that fails midway leaves the older one as it was. The players' sounds are
// decoded from the package again as the page takes them, which costs less than keeping the
// review's decoded sound meanwhile; memory stays flat.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "package/ReviewAnalysis.h"

struct TReviewSummary {
  int Filled = 0;        // present slots
  int WithWarnings = 0;  // present slots with at least one warning
  int64_t PageBytes = 0;
};

// Writes the review page of the package at packagePath to pagePath. Names, sources and the
// coder come from "ZelvorSound.ini" in folder (ending with '/') when it is there, and
// sources are looked for in folder. A read-only page is refused as the runtime refuses it
// ("File access denied"). Every file error raises EReviewFileError naming the package or
// the page.
TReviewSummary WriteReviewPage(const std::string& packagePath, const std::string& folder,
                               const std::string& pagePath);

// True when path holds a page that WriteReviewPage wrote, which a new one may replace.
bool IsReviewPage(const std::string& path);

// Slot numbers in ascending order as ranges: "0–2, 4, 6–127" (en dashes).
std::string SlotRanges(const std::vector<int>& slots);

// Text for an HTML element or a quoted attribute: markup characters as entities, a byte that
// is not part of UTF-8 as a numeric reference to that code, which browsers read as the
// Windows code page the INI files made there are written in; control characters as U+FFFD.
std::string HtmlText(const std::string& text);
