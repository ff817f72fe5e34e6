// A name in a form in which names that differ only in letter case are equal: what the case
// resolution of file names compares. Simple folding maps one character to one character, as
// the system the names come from compares them: "STRASSE" does not match "straße". The bytes
// of an ill-formed UTF-8 sequence are set apart from every character, so they match only
// themselves.
//
// CaseFold_posix.cpp folds with ICU; CaseFold_win32.cpp with the system's own upper-case
// mapping, the one its file system compares names with.
#pragma once

#include <string>

std::u32string CaseFolded(const std::string& name);
