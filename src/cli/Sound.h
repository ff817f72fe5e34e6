// What the commands that drive a sound device (record, play, test) share: the live line
// that shows the level and the position, the wait while the device runs, and the text of a
// device that refused to start.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "audio/WaveIO.h"

namespace cli {

// "level  42% |########            |", or "level  -- " before the first buffer.
std::string LevelBar(int level);

// A progress line on stderr. On a terminal it is redrawn in place with a carriage return,
// at most ten times a second; elsewhere (a log file, a pipe) nothing is drawn while the
// sound goes and End writes the last text once, as one plain line.
class TLiveLine {
 public:
  TLiveLine();
  void Show(const std::string& text);
  // Leaves the line as it last read and goes on below it.
  void End();
  // Takes the line away (on a terminal), so that the next output starts where it stood.
  void Clear();

 private:
  bool FTerminal;
  bool FShown = false;
  size_t FWidth = 0;
  std::string FText;
  std::chrono::steady_clock::time_point FLast{};
};

// Lets the device's notifications through while it runs. Once stop() turns true the device
// is asked to close, and asked again the next time round when it refused; show(stopping)
// draws the progress each time round, and once more when the device has closed. True when it
// was stopped rather than ending by itself.
bool WaitWhileActive(TWaveAudioIO& device, const std::function<bool()>& stop,
                     const std::function<void(bool stopping)>& show);

// The device's own error text and what the driver said about it, for a device that did not
// start on the file the user named: "zelvorsound-cli: play: FILE: text (driver)".
std::string DeviceFailure(TWaveAudioIO& device, const std::string& file);

}  // namespace cli
