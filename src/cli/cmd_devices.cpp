// zelvorsound-cli devices: the sound devices the program would record from and play through,
// as the wave-audio calls see them, so a user can tell why "Record" or "Play" fails.
#include <iostream>
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "cli/Json.h"
#include "cli/Sound.h"
#include "platform/mmsystem.h"
#include "platform/winmm_driver.h"

namespace {

const char* const kRates[3] = {"11025 Hz", "22050 Hz", "44100 Hz"};
const char* const kKinds[4] = {"mono 8-bit", "stereo 8-bit", "mono 16-bit", "stereo 16-bit"};

// The standard formats of the bits one by one: "11025 Hz mono 8-bit", ...
std::vector<std::string> FormatList(DWORD formats) {
  std::vector<std::string> list;
  for (int bit = 0; bit < 12; ++bit)
    if (formats & (1u << bit)) list.push_back(std::string(kRates[bit / 4]) + " " + kKinds[bit % 4]);
  return list;
}

// The twelve standard-format bits, grouped by rate: mono 8, stereo 8, mono 16, stereo 16.
std::string DescribeFormats(DWORD formats) {
  std::string out;
  for (int r = 0; r < 3; ++r) {
    std::string kinds;
    for (int k = 0; k < 4; ++k) {
      if (formats & (1u << (r * 4 + k)))
        kinds += std::string(kinds.empty() ? "" : ", ") + kKinds[k];
    }
    if (kinds.empty()) continue;
    out += std::string("\n      ") + kRates[r] + ": " + kinds;
  }
  return out.empty() ? " none of the standard formats" : out;
}

std::vector<std::string> SupportList(DWORD support) {
  struct Bit {
    DWORD Mask;
    const char* Text;
  };
  static const Bit kBits[] = {
      {WAVECAPS_VOLUME, "volume"},         {WAVECAPS_LRVOLUME, "left/right volume"},
      {WAVECAPS_PITCH, "pitch"},           {WAVECAPS_PLAYBACKRATE, "playback rate"},
      {WAVECAPS_SYNC, "synchronous only"}, {WAVECAPS_SAMPLEACCURATE, "sample-accurate position"}};
  std::vector<std::string> list;
  for (auto& b : kBits)
    if (support & b.Mask) list.push_back(b.Text);
  return list;
}

std::string DescribeSupport(DWORD support) {
  std::string out;
  for (const std::string& s : SupportList(support)) out += (out.empty() ? "" : ", ") + s;
  return out.empty() ? "nothing beyond playing" : out;
}

std::string CapsError(MMRESULT rc) {
  char text[256];
  if (waveOutGetErrorTextA(rc, text, sizeof text) != MMSYSERR_NOERROR)
    return "error " + std::to_string(rc);
  return text;
}

// The devices the sound system offers, so that a user can pick one by name: each with the
// directions it serves and its description, the one in use marked.
void ListChoices(const std::vector<winmm::WaveDeviceChoice>& choices, const std::string& input,
                 const std::string& output) {
  std::cout << "Devices to choose from (--device NAME; the window reads InputDevice= and\n"
               "OutputDevice= from the [Audio] section of \"ZelvorSound.ini\"):"
            << (choices.empty() ? " none listed" : "") << "\n";
  for (const winmm::WaveDeviceChoice& c : choices) {
    const char* serves = c.Input && c.Output ? "input and output"
                         : c.Input           ? "input only"
                                             : "output only";
    std::string used;
    if (c.Name == input) used += input == output ? ", in use" : ", the input in use";
    if (c.Name == output && input != output) used += ", the output in use";
    std::cout << "  " << c.Name << "  (" << serves << used << ")\n";
    if (!c.Description.empty()) std::cout << "      " << c.Description << "\n";
  }
}

int ListDevices() {
  winmm::WaveDriver& driver = winmm::CurrentDriver();
  const bool alsa = driver.Name() == std::string("alsa");
  const std::string input = winmm::DeviceName(winmm::WaveDir::In);
  const std::string output = winmm::DeviceName(winmm::WaveDir::Out);
  std::string where = driver.Name();
  if (alsa && input == output)
    where += " (device \"" + input + "\")";
  else if (alsa)
    where += " (input \"" + input + "\", output \"" + output + "\")";
  if (alsa && !winmm::ForcedDeviceName().empty()) where += ", set by ZELVOR_ALSA_DEVICE";
  std::cout << "Sound driver: " << where << "\n";

  const UINT inputs = waveInGetNumDevs();
  const UINT outputs = waveOutGetNumDevs();
  if (inputs == 0 && outputs == 0) {
    // The driver's reason why each direction has no device.
    winmm::WaveDeviceInfo none;
    const std::string inputWhy = driver.Caps(winmm::WaveDir::In, 0, none).Reason;
    const std::string outputWhy = driver.Caps(winmm::WaveDir::Out, 0, none).Reason;
    std::cout << "No sound devices found: nothing can be recorded or played.\n";
    if (!inputWhy.empty()) std::cout << "  " << inputWhy << "\n";
    if (!outputWhy.empty() && outputWhy != inputWhy) std::cout << "  " << outputWhy << "\n";
    if (alsa) ListChoices(driver.Choices(), input, output);
    return cli::kRejected;
  }

  std::cout << "Input devices:" << (inputs ? "" : " none") << "\n";
  for (UINT i = 0; i < inputs; ++i) {
    WAVEINCAPSA caps{};
    MMRESULT rc = waveInGetDevCapsA(i, &caps, sizeof caps);
    if (rc != MMSYSERR_NOERROR) {
      std::cout << "  " << i << "  (cannot be asked: " << CapsError(rc) << ")\n";
      continue;
    }
    std::cout << "  " << i << "  " << caps.szPname << "\n"
              << "    channels: " << caps.wChannels << "\n"
              << "    formats:" << DescribeFormats(caps.dwFormats) << "\n";
  }
  std::cout << "Output devices:" << (outputs ? "" : " none") << "\n";
  for (UINT i = 0; i < outputs; ++i) {
    WAVEOUTCAPSA caps{};
    MMRESULT rc = waveOutGetDevCapsA(i, &caps, sizeof caps);
    if (rc != MMSYSERR_NOERROR) {
      std::cout << "  " << i << "  (cannot be asked: " << CapsError(rc) << ")\n";
      continue;
    }
    std::cout << "  " << i << "  " << caps.szPname << "\n"
              << "    channels: " << caps.wChannels << "\n"
              << "    formats:" << DescribeFormats(caps.dwFormats) << "\n"
              << "    support: " << DescribeSupport(caps.dwSupport) << "\n";
  }
  if (alsa) ListChoices(driver.Choices(), input, output);
  return cli::kOk;
}

// The same as one JSON document.
int DevicesJson() {
  winmm::WaveDriver& driver = winmm::CurrentDriver();
  cli::TJsonWriter json(std::cout);
  json.Object().Field("driver", driver.Name());
  json.Field("input_device", winmm::DeviceName(winmm::WaveDir::In));
  json.Field("output_device", winmm::DeviceName(winmm::WaveDir::Out));
  json.Field("forced_by_environment", !winmm::ForcedDeviceName().empty());
  const UINT inputs = waveInGetNumDevs(), outputs = waveOutGetNumDevs();
  // One device: what it takes, or why that could not be asked; an output adds its support.
  auto device = [&](UINT id, MMRESULT rc, const auto& caps,
                    const std::vector<std::string>* support) {
    json.Object().Field("id", static_cast<int>(id));
    if (rc != MMSYSERR_NOERROR) {
      json.Field("error", CapsError(rc));
    } else {
      json.Field("name", caps.szPname)
          .Field("channels", int{caps.wChannels})
          .List("formats", FormatList(caps.dwFormats));
      if (support != nullptr) json.List("support", *support);
    }
    json.End();
  };
  json.Array("inputs");
  for (UINT i = 0; i < inputs; ++i) {
    WAVEINCAPSA caps{};
    device(i, waveInGetDevCapsA(i, &caps, sizeof caps), caps, nullptr);
  }
  json.End().Array("outputs");
  for (UINT i = 0; i < outputs; ++i) {
    WAVEOUTCAPSA caps{};
    const MMRESULT rc = waveOutGetDevCapsA(i, &caps, sizeof caps);
    const std::vector<std::string> support = SupportList(caps.dwSupport);
    device(i, rc, caps, &support);
  }
  json.End().Array("problems");
  if (inputs == 0 && outputs == 0) {
    winmm::WaveDeviceInfo none;
    const std::string in = driver.Caps(winmm::WaveDir::In, 0, none).Reason;
    const std::string out = driver.Caps(winmm::WaveDir::Out, 0, none).Reason;
    if (!in.empty()) json.Field(nullptr, in);
    if (!out.empty() && out != in) json.Field(nullptr, out);
  }
  json.End().Array("choices");
  if (driver.Name() == std::string("alsa"))
    for (const winmm::WaveDeviceChoice& c : driver.Choices())
      json.Object()
          .Field("name", c.Name)
          .Field("description", c.Description)
          .Field("input", c.Input)
          .Field("output", c.Output)
          .End();
  json.End().End();
  return inputs == 0 && outputs == 0 ? cli::kRejected : cli::kOk;
}

cli::Register r{cli::Command{
    "devices",
    "devices",
    "list the sound input and output devices and what they take; writes nothing\n"
    "The devices in use come with their name, the standard formats they take and what else\n"
    "they support (volume, pitch, playback rate); then every device ALSA offers to choose\n"
    "from, with its description and whether it records, plays or both. Exit 1 when there\n"
    "is no device at all. ZELVOR_AUDIO chooses the driver (alsa, the default, or virtual);\n"
    "--device names the ALSA device to show (default: \"default\"), and\n"
    "ZELVOR_ALSA_DEVICE, when set, overrides it.\n"
    "\n"
    "--json prints {\"driver\", \"input_device\", \"output_device\", \"forced_by_environment\",\n"
    "\"inputs\": [{\"id\", \"name\", \"channels\", \"formats\": [\"11025 Hz mono 8-bit\", ...]}\n"
    "or {\"id\", \"error\"}], \"outputs\": [the same, with \"support\": [\"volume\", ...]],\n"
    "\"problems\": [why there is no device], \"choices\": [{\"name\", \"description\", \"input\",\n"
    "\"output\"}]}.",
    {cli::DeviceOption(), cli::JsonOption()},
    [](const cli::Args& a) {
      if (const int rc = cli::UseDevice(a); rc != cli::kOk) return rc;
      return a.Has("json") ? DevicesJson() : ListDevices();
    },
    cli::FolderUse::ReadsOnly}};

}  // namespace
