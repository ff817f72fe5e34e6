// What made the take of a slot: a text spoken in a voice, or a sound file imported. It is
// kept in "ZelvorSound.ini", in the section [TakeOrigins] under the slot's key (Name0 to
// Name127), never in the take itself, so the take stays the plain WAV file the recorder
// writes. With it a prompt list can tell the rows whose take is made already, and a
// history of takes can say what each one was.
//
// An origin also holds the size and a hash of the take it made: a take replaced since (a
// recording, an import by hand) no longer matches, and its origin then says nothing about it.
//
// The value is one line: "text|VOICE|SPEED|TAKESIZE|TAKEHASH|TEXT" or
// "file|SIZE|TIME|TAKESIZE|TAKEHASH|PATH", the free text last so that it may hold '|'.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

class TIniFile;
class TByteFile;

inline constexpr const char* kTakeOriginsSection = "TakeOrigins";

struct TTakeOrigin {
  enum class TKind { Text, File };
  TKind Kind = TKind::Text;
  // Text: what was spoken, in which voice and how fast (words per minute).
  std::string Text, Voice;
  int Speed = 0;
  // File: the source's absolute path, and its size and modification time (the file system's
  // own count) when it was imported.
  std::string Path;
  int64_t Size = 0, Time = 0;
  // The take it made.
  int64_t TakeSize = 0;
  uint64_t TakeHash = 0;

  // The same text in the same voice and speed, or the same file unchanged: the take it
  // made would be made again.
  bool SameSource(const TTakeOrigin& other) const;
};

// A text spoken, and a file as it is now (its size and time; false when it cannot be read).
TTakeOrigin TextOrigin(const std::string& text, const std::string& voice, int speed);
bool FileOrigin(const std::string& path, TTakeOrigin& origin);

// The INI's value for an origin, and back (nothing for a value that is none).
std::string OriginValue(const TTakeOrigin& origin);
std::optional<TTakeOrigin> ParseOrigin(const std::string& value);

std::optional<TTakeOrigin> ReadTakeOrigin(const TIniFile& ini, int slot);
// Sets the slot's origin in ini (written with the INI's next update); one whose text or
// path holds a line break is not kept (the slot's value is emptied).
void WriteTakeOrigin(TIniFile& ini, int slot, const TTakeOrigin& origin);

// Sets TakeSize and TakeHash from a take, read from its start (the file stays open, its
// position where the reading left it).
void MarkTake(TByteFile& take, TTakeOrigin& origin);
// True when the file at path is the take origin made (same size and hash); false when it is
// missing, cannot be read or differs.
bool IsTakeOf(const std::string& path, const TTakeOrigin& origin);
