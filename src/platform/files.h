// The few file-system services the program asks of the platform: where its executable lies,
// making a folder, copying a file and asking whether a file is there. Paths use '/'.
#pragma once

#include <string>

// The longest executable path the program looks at; a longer one is cut before the folder
// is taken from it.
constexpr size_t kMaxExePath = 255;

// The folder of the running executable, read from /proc/self/exe, cut to 255 characters
// and then to everything up to and including its last '/'. Empty when there is no '/'.
std::string ExeFolderOf(const std::string& exePath);
std::string ExeFolder();

// True when path names an existing file (a folder is not a file).
bool FileExists(const std::string& path);

// Makes one folder (its parent must exist). False when it could not be made, also when it
// is there already.
bool CreateDirectory(const std::string& path);

// Copies the bytes of src to dst. With failIfExists an existing dst is left alone and the
// copy fails; otherwise dst is replaced. Fails, leaving dst untouched, when src is missing
// or is the same file as dst, or when dst is read-only (no write permission bit, root
// included). A copy that breaks off midway removes the partial dst.
bool CopyFile(const std::string& src, const std::string& dst, bool failIfExists);

// True for a name that stays in the folder it is joined to: not empty, no folder separator
// ('/', or '\' from files made on Windows) and neither "." nor "..". Names the program writes
// that come from a configuration file or the command line must be such plain names.
bool IsPlainName(const std::string& name);
