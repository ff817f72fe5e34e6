// The rules every access to the file system shares, whichever layer makes it: how a name the
// program formed finds its file, what counts as read-only, and how a finished file takes the
// place of a user's file.
//
// These belong to the platform's file services (platform/files.h presents them together with
// the rest of that layer's file calls). They are written here, at the bottom, because the byte
// file and the streams of this layer open files themselves, and the codec reaches the disk only
// through this layer: a function of the platform layer could not be called from either
// without an arrow pointing up.
#pragma once

#include <sys/types.h>

#include <string>

// The name under which the file the program means lies on disk. The program's files come from
// a system whose names ignore letter case, so a configuration file may say "Hello.WAV" for
// "hello.wav" on disk:
// - the name as formed, when an entry of that name exists (exact names always win, and then
//   the call costs one lstat);
// - otherwise, from the first component on, each component that is missing as written is
//   replaced by the entry of its folder whose name differs only in letter case (Unicode simple
//   case folding; the first in byte order when several match);
// - a component nothing matches ends the search: it and the rest stay as formed, so a new file
//   is created under the name the program gave it.
// Only accesses resolve; names are kept, compared and shown as formed. "." and ".." are kept.
std::string ResolveFileName(const std::string& path);

// True when two names are equal under Unicode simple case folding. Bytes that are not valid
// UTF-8 match only themselves.
bool SameNameIgnoringCase(const std::string& a, const std::string& b);

// True for the mode of a file without any write permission bit. Such a file is read-only for
// everyone, root included: opening it for writing, creating it afresh, copying or renaming
// something over it fails ("File access denied"), although root could write it.
bool IsReadOnlyMode(mode_t mode);

// Puts the finished file (named as it lies on disk, in the folder of target) in the place of
// target (resolved) in one step, keeping target's permission bits when it exists. Refuses a
// read-only target. On any failure the finished file is removed and the runtime's input/output
// error raised; target stays as it was.
void ReplaceByRename(const std::string& finished, const std::string& target);
