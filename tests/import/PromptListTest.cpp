// A prompt list as its reader takes it apart: separators, quotes, line ends, the header's
// columns, and the rows that cannot be made. One row a case.
#include <gtest/gtest.h>

#include <string>

#include "import/PromptList.h"

namespace {

// Each row of a list as "LINE SLOT name|text|source|voice" or "LINE !problem".
std::string Rows(const TPromptList& list) {
  std::string out = list.Problem.empty() ? "" : "! " + list.Problem;
  for (const TPromptRow& r : list.Rows)
    out += (out.empty() ? "" : "; ") + std::to_string(r.Line) + " " +
           (r.Problem.empty() ? std::to_string(r.Slot) + " " + r.Name + "|" + r.Text + "|" +
                                    r.Source + "|" + r.Voice
                              : "!" + r.Problem);
  return out;
}

TEST(PromptList, RowsCellsAndProblems) {
  const struct {
    std::string List, Rows;
  } kCases[] = {
      {"slot,name,text\n3,Hi,Hello there\n", "2 3 Hi|Hello there||"},
      {"\xEF\xBB\xBFSlot\tText\tVoice\r\n7\tGood day, all\tde\r\n", "2 7 |Good day, all||de"},
      {"text,slot\n\"Say \"\"yes\"\", then go\" , 1\n", "2 1 |Say \"yes\", then go||"},
      {"# made by hand\n\nslot,source\n\n# none yet\n2, a b.wav \n", "6 2 ||a b.wav|"},
      {"slot,text,source\n1,,\n2,a,b.wav\n3,x\n3,y\n",
       "2 !it gives neither a text nor a source; "
       "3 !it gives both a text and a source: one of them makes the take; 4 3 |x||; "
       "5 !slot 3 is filled by an earlier row"},
      {"slot,text\n128,x\nx1,y\n-1,z\n1,\"open\n",
       "2 !slot 128 is not between 0 and 127; "
       "3 !'x1' is not a slot number (the slots are 0 to 127); "
       "4 !'-1' is not a slot number (the slots are 0 to 127); 5 !a quote is not closed"},
      {"slot,text\n1,a,b\n", "2 !it has 3 cells where the header names 2 columns"},
      {"slot,txt\n1,a\n",
       "! line 1: unknown column 'txt' (the columns are slot, name, text, "
       "source and voice)"},
      {"slot,name\n",
       "! line 1: the header names no column 'slot', or neither 'text' nor "
       "'source'"},
      {"slot,text,Text\n", "! line 1: the column 'Text' is named twice"},
      {"# only a comment\n", "! it holds no header line (slot, name, text, source, voice)"},
      {std::string("\xFF\xFEs\0l\0", 6),
       "! it is UTF-16 text; save it as UTF-8 (\"CSV UTF-8\" or \"Text (UTF-8)\")"},
  };
  for (const auto& c : kCases) EXPECT_EQ(Rows(ParsePromptList(c.List)), c.Rows) << c.List;
}

}  // namespace
