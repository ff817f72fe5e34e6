// The file-system services the program asks of the platform: where its executable lies,
// making a folder, copying a file and asking whether a file is there. Paths use '/'.
//
// Every call follows the rules of rtl/FileSystem.h, which this header brings along: names
// are found whatever their letter case (ResolveFileName), a file without any write permission
// bit is read-only for everyone, and a file is written only the safe way (TSafeFile).
#pragma once

#include <memory>
#include <string>

#include "rtl/ByteFile.h"  // and with it rtl/FileSystem.h

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

// Copies the bytes of src to dst (both resolved), a user's file written the safe way. With
// failIfExists an existing dst is left alone and the copy fails; otherwise dst is replaced.
// Fails, leaving dst as it was, when src is missing or no regular file or is the same file as
// dst, when dst is read-only (no write permission bit, root included), or when the copy
// breaks off midway.
bool CopyFile(const std::string& src, const std::string& dst, bool failIfExists);

// Gives src (resolved) the second name dst, which must not exist yet: a hard link, so both
// names reach the same bytes without a copy; where the file system makes none, a copy
// written the safe way (CopyFile). Either way dst then holds src's bytes. False, with
// nothing made, when neither could be.
bool LinkFile(const std::string& src, const std::string& dst);

// CopyFile replacing dst, with the copy left unclosed: the file is made (Rewrite) and written
// but not put in place; the caller closes it (alone or together with other files) or gives
// it up. Nothing, with nothing made, where CopyFile would fail before that.
std::unique_ptr<TByteFile> CopyFileUnclosed(const std::string& src, const std::string& dst);
