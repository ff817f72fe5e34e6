#include "import/PromptList.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "package/Package.h"

namespace {

std::string Trimmed(const std::string& s) {
  const size_t from = s.find_first_not_of(" \t");
  if (from == std::string::npos) return "";
  return s.substr(from, s.find_last_not_of(" \t") - from + 1);
}

// The cells of one line; false when a quoted cell is not closed.
bool SplitCells(const std::string& line, char separator, std::vector<std::string>& cells) {
  cells.clear();
  size_t at = 0;
  while (true) {
    std::string cell;
    const size_t start = line.find_first_not_of(' ', at);
    if (start != std::string::npos && line[start] == '"') {
      size_t i = start + 1;
      for (;; ++i) {
        if (i >= line.size()) return false;
        if (line[i] != '"') {
          cell += line[i];
        } else if (i + 1 < line.size() && line[i + 1] == '"') {
          cell += '"';
          ++i;
        } else {
          break;
        }
      }
      const size_t next = line.find(separator, i + 1);
      cells.push_back(cell + Trimmed(line.substr(i + 1, next - i - 1)));
      if (next == std::string::npos) return true;
      at = next + 1;
      continue;
    }
    const size_t next = line.find(separator, at);
    cells.push_back(Trimmed(line.substr(at, next - at)));
    if (next == std::string::npos) return true;
    at = next + 1;
  }
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

TPromptList ParsePromptList(const std::string& bytes) {
  TPromptList list;
  if (bytes.rfind("\xFF\xFE", 0) == 0 || bytes.rfind("\xFE\xFF", 0) == 0) {
    list.Problem = "it is UTF-16 text; save it as UTF-8 (\"CSV UTF-8\" or \"Text (UTF-8)\")";
    return list;
  }
  const std::string text = bytes.rfind("\xEF\xBB\xBF", 0) == 0 ? bytes.substr(3) : bytes;
  enum { kSlot, kName, kText, kSource, kVoice, kColumns };
  static const char* const kNames[kColumns] = {"slot", "name", "text", "source", "voice"};
  std::vector<int> columns;  // for each cell of a row, the column it fills
  char separator = ',';
  std::set<int> slots;
  std::vector<std::string> cells;
  int number = 0;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (Trimmed(line).empty() || Trimmed(line)[0] == '#') continue;
    if (columns.empty()) {  // the header
      separator = line.find('\t') != std::string::npos ? '\t' : ',';
      if (!SplitCells(line, separator, cells)) {
        list.Problem = "line " + std::to_string(number) + ": a quote is not closed";
        return list;
      }
      for (const std::string& cell : cells) {
        const auto found = std::find(kNames, kNames + kColumns, Lower(cell));
        if (found == kNames + kColumns) {
          list.Problem = "line " + std::to_string(number) + ": unknown column '" + cell +
                         "' (the columns are slot, name, text, source and voice)";
          return list;
        }
        const int column = static_cast<int>(found - kNames);
        if (std::find(columns.begin(), columns.end(), column) != columns.end()) {
          list.Problem =
              "line " + std::to_string(number) + ": the column '" + cell + "' is named twice";
          return list;
        }
        columns.push_back(column);
      }
      auto has = [&](int c) {
        return std::find(columns.begin(), columns.end(), c) != columns.end();
      };
      if (!has(kSlot) || (!has(kText) && !has(kSource))) {
        list.Problem = "line " + std::to_string(number) +
                       ": the header names no column 'slot', or neither 'text' nor 'source'";
        return list;
      }
      continue;
    }
    TPromptRow row;
    row.Line = number;
    std::string slot;
    if (!SplitCells(line, separator, cells)) {
      row.Problem = "a quote is not closed";
    } else if (cells.size() > columns.size()) {
      row.Problem = "it has " + std::to_string(cells.size()) + " cells where the header names " +
                    std::to_string(columns.size()) + " columns";
    } else {
      std::string* fields[kColumns] = {&slot, &row.Name, &row.Text, &row.Source, &row.Voice};
      for (size_t i = 0; i < cells.size(); ++i) *fields[columns[i]] = cells[i];
    }
    if (row.Problem.empty()) {
      if (const std::string wrong = ReadSlotNumber(slot, row.Slot); !wrong.empty())
        row.Problem = wrong.rfind("slot ", 0) == 0
                          ? wrong
                          : "'" + slot + "' is " + wrong + " (the slots are 0 to 127)";
      else if (!row.Text.empty() && !row.Source.empty())
        row.Problem = "it gives both a text and a source: one of them makes the take";
      else if (row.Text.empty() && row.Source.empty())
        row.Problem = "it gives neither a text nor a source";
      else if (!slots.insert(row.Slot).second)
        row.Problem = "slot " + slot + " is filled by an earlier row";
    }
    list.Rows.push_back(row);
  }
  if (columns.empty()) list.Problem = "it holds no header line (slot, name, text, source, voice)";
  return list;
}
