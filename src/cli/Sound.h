// What the commands that drive a sound device (record, play, test) share: the live line
// that shows the level and the position, the wait while the device runs, and the text of a
// device that refused to start.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>

#include "audio/WaveIO.h"
#include "cli/Cli.h"

namespace cli {

// "level  42% |########            |", or "level  -- " before the first buffer.
std::string LevelBar(int level);

// A progress line on stderr. On a terminal it is redrawn in place with a carriage return,
// at most ten times a second; elsewhere (a log file, a pipe) nothing is drawn while the
// sound goes and End writes the last text once, as one plain line.
// While it lives, the sound driver's notices (a gap in the sound) go through it: on a
// terminal the line is taken away first and drawn again at the next Show.
class TLiveLine {
 public:
  TLiveLine();
  ~TLiveLine();
  TLiveLine(const TLiveLine&) = delete;
  TLiveLine& operator=(const TLiveLine&) = delete;
  void Show(const std::string& text);
  // Leaves the line as it last read and goes on below it.
  void End();
  // Takes the line away (on a terminal), so that the next output starts where it stood.
  void Clear();

 private:
  void Say(const std::string& notice);

  std::mutex FM;  // the driver's notice comes from the device thread
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

// --device NAME, the option of every command that uses a sound device: the ALSA device both
// directions use for this run. UseDevice applies it when given and returns kOk, or the
// exit code of a usage error (an empty name).
Option DeviceOption();
int UseDevice(const Args& a);

}  // namespace cli
