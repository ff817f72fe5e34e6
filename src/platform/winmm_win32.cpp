// The sound card on Windows: the system's own wave devices (wavedev_win32.h), one capture
// and one playback device, those DeviceName gives for each direction: "default" is the
// system's choice (its wave mapper), any other name is a device's name as the system lists
// it (or its number). The open device's headers, waits and positions live in wavedev; this
// file answers for the devices and words the failures.
#include <cctype>
#include <string>

#include "platform/wavedev_win32.h"
#include "platform/winmm_driver.h"

namespace winmm {
namespace {

bool In(WaveDir dir) { return dir == WaveDir::In; }

std::string Quoted(const std::string& name) { return "sound device \"" + name + "\""; }

// A failure of the system with its own words, after the device it concerns.
WaveResult Fail(WaveDir dir, const std::string& name, unsigned code) {
  const std::string text = wavedev::ErrorText(In(dir), code);
  return {code, Quoted(name) + ": " + (text.empty() ? "error " + std::to_string(code) : text)};
}

class SystemStream : public WaveStream {
 public:
  SystemStream(WaveDir dir, std::string name, std::unique_ptr<wavedev::TWaveDevice> device)
      : FDir(dir), FName(std::move(name)), FDevice(std::move(device)) {}

  WaveResult Transfer(char* data, size_t bytes, size_t& moved) override {
    unsigned code = 0;
    switch (FDevice->Transfer(data, bytes, moved, code)) {
      case wavedev::TWaveDevice::TEnd::Moved:
      case wavedev::TWaveDevice::TEnd::Interrupted:
        return {};
      case wavedev::TWaveDevice::TEnd::Stalled:
        return {MMSYSERR_ERROR,
                Quoted(FName) + " stopped answering: no sound moved for " + StallLimitText()};
      case wavedev::TWaveDevice::TEnd::Failed:
        break;
    }
    return Fail(FDir, FName, code == 0 ? MMSYSERR_ERROR : code);
  }
  void Interrupt() override { FDevice->Interrupt(); }
  void Halt() override { FDevice->Halt(); }
  void Drop() override { FDevice->Drop(); }
  void Finish(bool drained) override { FDevice->Finish(drained); }
  size_t ChunkBytes(size_t suggested) const override {
    return std::max(suggested, FDevice->HeaderBytes());
  }
  uint64_t PendingBytes() override { return FDevice->PendingBytes(); }

 private:
  WaveDir FDir;
  std::string FName;
  std::unique_ptr<wavedev::TWaveDevice> FDevice;
};

class SystemWaveDriver : public WaveDriver {
 public:
  const char* Name() const override { return "winmm"; }

  std::vector<WaveDeviceChoice> Choices() override {
    std::vector<WaveDeviceChoice> list;
    const bool anyIn = wavedev::NumDevs(true) > 0, anyOut = wavedev::NumDevs(false) > 0;
    if (anyIn || anyOut) list.push_back({"default", "the system's choice", anyIn, anyOut});
    for (const bool in : {true, false}) {
      for (unsigned id = 0; id < wavedev::NumDevs(in); ++id) {
        wavedev::TCaps caps;
        if (wavedev::GetCaps(in, id, caps) != 0) continue;
        WaveDeviceChoice* same = nullptr;
        for (WaveDeviceChoice& c : list)
          if (c.Name == caps.Name) same = &c;
        if (same == nullptr) {
          list.push_back({caps.Name, "", false, false});
          same = &list.back();
        }
        (in ? same->Input : same->Output) = true;
      }
    }
    return list;
  }

  UINT NumDevs(WaveDir dir) override {
    unsigned id = 0;
    return Find(dir, id).Ok() ? 1 : 0;
  }

  WaveResult Caps(WaveDir dir, UINT id, WaveDeviceInfo& info) override {
    if (id != 0) return MMSYSERR_BADDEVICEID;
    unsigned system = 0;
    const WaveResult found = Find(dir, system);
    if (!found.Ok()) return found;
    wavedev::TCaps caps;
    if (const unsigned rc = wavedev::GetCaps(In(dir), system, caps))
      return Fail(dir, DeviceName(dir), rc);
    info.Name = caps.Name;
    info.Formats = caps.Formats;
    info.Channels = caps.Channels == 0 ? 2 : caps.Channels;
    // Volume is the program's own (winmm.cpp scales the samples), as on every driver.
    info.Support =
        dir == WaveDir::Out ? WAVECAPS_VOLUME | WAVECAPS_LRVOLUME | WAVECAPS_SAMPLEACCURATE : 0;
    return {};
  }

  WaveResult CheckFormat(WaveDir dir, UINT id, const WAVEFORMATEX& f) override {
    if (id != 0) return MMSYSERR_BADDEVICEID;
    unsigned system = 0;
    const WaveResult found = Find(dir, system);
    if (!found.Ok()) return found;
    const unsigned rc = wavedev::Query(In(dir), system, FormatOf(f));
    return rc == 0 ? WaveResult() : Fail(dir, DeviceName(dir), rc);
  }

  WaveResult Open(WaveDir dir, UINT id, const WAVEFORMATEX& f,
                  std::unique_ptr<WaveStream>& stream) override {
    if (id != 0) return MMSYSERR_BADDEVICEID;
    unsigned system = 0;
    const WaveResult found = Find(dir, system);
    if (!found.Ok()) return found;
    std::unique_ptr<wavedev::TWaveDevice> device;
    const std::string name = DeviceName(dir);
    if (const unsigned rc =
            wavedev::TWaveDevice::Open(In(dir), system, FormatOf(f), StallLimit(), device))
      return Fail(dir, name, rc);
    stream = std::make_unique<SystemStream>(dir, name, std::move(device));
    return {};
  }

 private:
  static wavedev::TFormat FormatOf(const WAVEFORMATEX& f) {
    return {f.nChannels, f.nSamplesPerSec, f.wBitsPerSample};
  }

  // The system's number of the device the name chooses.
  static WaveResult Find(WaveDir dir, unsigned& id) {
    const std::string name = DeviceName(dir);
    const unsigned count = wavedev::NumDevs(In(dir));
    const char* what = In(dir) ? "input" : "output";
    if (count == 0)
      return {MMSYSERR_NODRIVER, std::string("the system has no sound ") + what + " device"};
    if (name == "default") {
      id = wavedev::kMapper;
      return {};
    }
    for (unsigned i = 0; i < count; ++i) {
      wavedev::TCaps caps;
      if (wavedev::GetCaps(In(dir), i, caps) == 0 && caps.Name == name) {
        id = i;
        return {};
      }
    }
    const bool number = !name.empty() && name.size() < 4 &&
                        name.find_first_not_of("0123456789") == std::string::npos;
    if (number && static_cast<unsigned>(std::stoi(name)) < count) {
      id = static_cast<unsigned>(std::stoi(name));
      return {};
    }
    return {MMSYSERR_NODRIVER,
            Quoted(name) + ": the system has no sound " + what + " device of that name"};
  }
};

}  // namespace

WaveDriver& SystemDriver() {
  static SystemWaveDriver driver;
  return driver;
}

}  // namespace winmm
