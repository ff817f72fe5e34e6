// Names that differ only in letter case fold to one form, on both systems (ICU on Linux, the
// system's own mapping on Windows); names that differ otherwise never do.
#include <gtest/gtest.h>

#include "rtl/CaseFold.h"

namespace {

TEST(CaseFolded, LetterCaseAloneMakesNoDifference) {
  const struct {
    const char* A;
    const char* B;
    bool Same;
  } rows[] = {
      {"Hello.WAV", "hELLO.wav", true},
      {"ÄRGER.wav", "ärger.WAV", true},        // Latin-1 letters
      {"ΑΘΗΝΑ", "αθηνα", true},                // Greek
      {"ПРИВЕТ", "привет", true},              // Cyrillic
      {"STRASSE", "straße", false},            // one letter never becomes two
      {"a\xff.wav", "A\xff.WAV", true},        // a stray byte stays itself...
      {"a\xff.wav", "a\xfe.wav", false},       // ...and matches no other byte
      {"\xc3", "\xc3\x84", false},             // a cut sequence is no letter
      {"\xe2\x82\xac", "\xe2\x82\xac", true},  // the euro sign
      {"\xc1\x81", "a", false},                // an overlong form of "A" is no letter
      {"Take 1", "Take 2", false},
  };
  for (const auto& r : rows)
    EXPECT_EQ(CaseFolded(r.A) == CaseFolded(r.B), r.Same) << r.A << " / " << r.B;
}

}  // namespace
