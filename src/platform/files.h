// The file-system services the program asks of the platform: where its executable lies,
// making a folder, copying a file and asking whether a file is there. Paths use '/'.
//
// Every call here finds its files with ResolveFileName, the one function that turns a name
// the program formed into the file it means on disk whatever the letter case, and treats a
// file without any write permission bit as read-only for everyone. That function, the
// read-only rule and the rename that replaces a user's file (ReplaceByRename) are part of
// these services; they are written in rtl/FileSystem.h, below this layer, because the
// runtime's byte file and streams open files too and must not call upward.
#pragma once

#include <string>

#include "rtl/FileSystem.h"

// The folder of the running executable, up to and including the last '/' of its whole path;
// empty when the path has no '/'.
std::string ExeFolderOf(const std::string& exePath);
// The folder of the running executable, read from /proc/self/exe (Linux) or the program's
// module file name (Windows, '\' turned into '/'). A path the system cannot give whole
// (longer than it handles) raises Exception naming the program as it was started: the
// program never works in a folder other than its own.
std::string ExeFolder();

// True when path names an existing file (a folder is not a file).
bool FileExists(const std::string& path);

// Makes one folder (its parent must exist). False when it could not be made, also when it
// is there already.
bool CreateDirectory(const std::string& path);

// Copies the bytes of src to dst (both resolved). With failIfExists an existing dst is left
// alone and the copy fails; otherwise dst is replaced. Fails, leaving dst untouched, when src is
// missing or is the same file as dst, or when dst is read-only (no write permission bit, root
// included). A copy that breaks off midway removes the partial dst.
bool CopyFile(const std::string& src, const std::string& dst, bool failIfExists);

// True for a name that stays in the folder it is joined to: not empty, no folder separator
// ('/', or '\' from files made on Windows) and neither "." nor "..". Names the program writes
// that come from a configuration file or the command line must be such plain names.
bool IsPlainName(const std::string& name);

// True for a name, relative to a folder, that keeps what it names inside that folder: not
// empty, not absolute ('/' or '\' first, or a drive such as "C:") and without a ".."
// component, '/' and '\' both separating. Sub-folders are allowed ("sub/Hello").
bool StaysInFolder(const std::string& relative);
