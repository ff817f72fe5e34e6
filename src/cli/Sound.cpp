#include "cli/Sound.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "cli/Cli.h"
#include "platform/messages.h"
#include "platform/winmm_driver.h"

namespace cli {

std::string LevelBar(int level) {
  if (level < 0) return "level  -- ";
  if (level > 100) level = 100;
  const int width = 20;
  const int filled = level * width / 100;
  char head[32];
  std::snprintf(head, sizeof head, "level %3d%% ", level);
  return std::string(head) + "|" + std::string(filled, '#') + std::string(width - filled, ' ') +
         "|";
}

TLiveLine::TLiveLine() : FTerminal(isatty(STDERR_FILENO) == 1) {
  winmm::SetNoticeSink([this](const winmm::WaveNotice& notice) { Say(notice.Text); });
}

TLiveLine::~TLiveLine() { winmm::SetNoticeSink(nullptr); }

void TLiveLine::Say(const std::string& notice) {
  std::lock_guard lk(FM);
  if (FTerminal && FShown) std::cerr << "\r" << std::string(FWidth, ' ') << "\r";
  FShown = false;  // drawn again at the next Show
  std::cerr << ErrorPrefix() << notice << std::endl;
}

void TLiveLine::Show(const std::string& text) {
  std::lock_guard lk(FM);
  FText = text;
  if (!FTerminal) return;
  const auto now = std::chrono::steady_clock::now();
  if (FShown && now - FLast < std::chrono::milliseconds(100)) return;
  FLast = now;
  FShown = true;
  std::string line = text;
  if (line.size() < FWidth) line += std::string(FWidth - line.size(), ' ');
  FWidth = text.size();
  std::cerr << "\r" << line << std::flush;
}

void TLiveLine::End() {
  std::lock_guard lk(FM);
  if (FTerminal && !FText.empty()) {
    // The last text may not have been drawn yet: the redraw waits a tenth of a second (or a
    // notice of the driver took it away).
    std::string line = FText;
    if (line.size() < FWidth) line += std::string(FWidth - line.size(), ' ');
    std::cerr << "\r" << line << "\n" << std::flush;
  } else if (!FTerminal && !FText.empty()) {
    std::cerr << FText << "\n" << std::flush;
  }
  FShown = false;
  FText.clear();
}

void TLiveLine::Clear() {
  std::lock_guard lk(FM);
  if (FTerminal && FShown) std::cerr << "\r" << std::string(FWidth, ' ') << "\r" << std::flush;
  FShown = false;
  FWidth = 0;
  FText.clear();
}

bool WaitWhileActive(TWaveAudioIO& device, const std::function<bool()>& stop,
                     const std::function<void(bool stopping)>& show) {
  bool stopping = false;
  while (device.GetActive()) {
    if (!stopping && stop()) {
      stopping = true;
      device.SetActive(false);
      // A close the device refused leaves it running: ask again next time.
      if (device.GetActive() && !device.GetClosing()) stopping = false;
    }
    show(stopping);
    // Wakes for the device's notifications, and at least every 50 ms to redraw the line and
    // to see a Ctrl-C, which a signal cannot post.
    DrainMessageQueue();
    MsgWaitForMultipleObjects(0, nullptr, FALSE_, 50, QS_ALLPOSTMESSAGE);
    DrainMessageQueue();
  }
  show(false);  // the state it ended in
  return stopping;
}

std::string DeviceFailure(TWaveAudioIO& device, const std::string& file) {
  // The device's failure text carries the driver's reason: the one the window shows too.
  return ErrorPrefix(file) + device.LastErrorText();
}

Option DeviceOption() {
  return {"--device", "NAME",
          "the ALSA device to record from and play through, as 'devices' lists them "
          "(default: \"default\"); ZELVOR_ALSA_DEVICE overrides it"};
}

int UseDevice(const Args& a) {
  if (!a.Has("device")) return kOk;
  const std::string name = a.Get("device");
  if (name.empty()) return UsageError("--device needs a device name ('devices' lists them)");
  const std::string forced = winmm::ForcedDeviceName();
  if (!forced.empty() && name != forced)
    std::cerr << ErrorPrefix() << "ZELVOR_ALSA_DEVICE=" << forced << " overrides --device " << name
              << std::endl;
  winmm::SetDeviceName(winmm::WaveDir::In, name);
  winmm::SetDeviceName(winmm::WaveDir::Out, name);
  return kOk;
}

}  // namespace cli
