// zelvorsound-cli devices: the sound devices the program would record from and play through,
// as the wave-audio calls see them, so a user can tell why "Record" or "Play" fails.
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "platform/mmsystem.h"
#include "platform/winmm_driver.h"

namespace {

// The twelve standard-format bits, grouped by rate: mono 8, stereo 8, mono 16, stereo 16.
std::string DescribeFormats(DWORD formats) {
  static const char* const kRates[3] = {"11025 Hz", "22050 Hz", "44100 Hz"};
  static const char* const kKinds[4] = {"mono 8-bit", "stereo 8-bit", "mono 16-bit",
                                        "stereo 16-bit"};
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

std::string DescribeSupport(DWORD support) {
  struct Bit {
    DWORD Mask;
    const char* Text;
  };
  static const Bit kBits[] = {
      {WAVECAPS_VOLUME, "volume"},         {WAVECAPS_LRVOLUME, "left/right volume"},
      {WAVECAPS_PITCH, "pitch"},           {WAVECAPS_PLAYBACKRATE, "playback rate"},
      {WAVECAPS_SYNC, "synchronous only"}, {WAVECAPS_SAMPLEACCURATE, "sample-accurate position"}};
  std::string out;
  for (auto& b : kBits)
    if (support & b.Mask) out += std::string(out.empty() ? "" : ", ") + b.Text;
  return out.empty() ? "nothing beyond playing" : out;
}

std::string CapsError(MMRESULT rc) {
  char text[256];
  if (waveOutGetErrorTextA(rc, text, sizeof text) != MMSYSERR_NOERROR)
    return "error " + std::to_string(rc);
  return text;
}

int ListDevices() {
  winmm::WaveDriver& driver = winmm::CurrentDriver();
  std::string where = driver.Name();
  if (where == std::string("alsa")) {
    const char* name = std::getenv("ZELVOR_ALSA_DEVICE");
    where += std::string(" (device \"") + (name && *name ? name : "default") + "\")";
  }
  std::cout << "Sound driver: " << where << "\n";

  const UINT inputs = waveInGetNumDevs();
  const UINT outputs = waveOutGetNumDevs();
  if (inputs == 0 && outputs == 0) {
    std::string why = winmm::LastDriverMessage();
    std::cout << "No sound devices found: nothing can be recorded or played."
              << (why.empty() ? "" : "\n  " + why) << "\n";
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
  return cli::kOk;
}

cli::Register r{cli::Command{
    "devices",
    "devices",
    "list the sound input and output devices and what they take; writes nothing\n"
    "Each device comes with its name, the standard formats it takes and what else it\n"
    "supports (volume, pitch, playback rate). Exit 1 when there is no device at all.\n"
    "ZELVOR_AUDIO chooses the driver (alsa, the default, or virtual); ZELVOR_ALSA_DEVICE\n"
    "names the ALSA device (default: \"default\").",
    {},
    [](const cli::Args&) { return ListDevices(); },
    cli::FolderUse::ReadsOnly}};

}  // namespace
