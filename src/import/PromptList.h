// A prompt list: the table from which zelvorsound-cli prompts makes a whole package. UTF-8
// text (a byte-order mark is skipped; CR LF line ends are read as LF), one row a line,
// cells separated by tabs when the header line holds a tab, else by commas. A cell may be
// written in double quotes, "" standing for one quote inside; blanks around a cell do not
// count. Blank lines and lines that begin with '#' are left out.
//
// The header line names the columns, in any order and letter case: "slot" (required),
// "text" (spoken) and/or "source" (a sound file imported), "name" and "voice" (optional).
// Each row fills one slot from its text or its source, never both.
#pragma once

#include <string>
#include <vector>

struct TPromptRow {
  int Line = 0;  // its line in the list, counting from 1
  int Slot = -1;
  std::string Name, Text, Source, Voice;
  // Why the row cannot be made ("slot 200 is not between 0 and 127", "gives both a text
  // and a source", ...); empty for a good row.
  std::string Problem;
};

struct TPromptList {
  std::vector<TPromptRow> Rows;
  // Why the list as a whole cannot be read (no header, an unknown column, ...); then there
  // are no rows.
  std::string Problem;
};

TPromptList ParsePromptList(const std::string& bytes);
