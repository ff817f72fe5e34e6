// Arbitrary bytes as "ZelvorSound.ini", in any encoding: reading it never fails, and a key
// written and put back into the file reads back as written while every other key keeps its
// value and the file its encoding.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "platform/profile.h"
#include "rtl/SysUtils.h"

using namespace fuzzsupport;

namespace {

const char* const kSections[] = {"SoundFiles", "SourceFileNames", "soundfiles", "Other"};

// The value to write: the last bytes of the input, as a value can be (one line, no NUL).
std::string ValueFrom(const uint8_t* data, size_t size) {
  std::string v;
  for (size_t i = size > 24 ? size - 24 : 0; i < size; ++i)
    if (data[i] != '\0' && data[i] != '\r' && data[i] != '\n') v += static_cast<char>(data[i]);
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  WriteScratch("ZelvorSound.ini", data, size);
  const std::string path = ScratchFolder() + "ZelvorSound.ini";
  TIniFile ini(path);
  std::vector<std::string> before;
  for (const char* section : kSections)
    for (int slot = 0; slot < 8; ++slot)
      before.push_back(ini.ReadString(section, "Name" + std::to_string(slot), "-"));
  const TIniEncoding encoding = ini.Encoding();

  const int slot = size > 0 ? data[0] % 8 : 0;
  const char* section = kSections[size > 1 ? data[1] % 4 : 0];
  const std::string value = ValueFrom(data, size);
  ini.WriteString(section, "Name" + std::to_string(slot), value);
  ini.UpdateFile();

  const TIniFile after(path);
  if (after.Encoding() != encoding) abort();
  if (after.ReadString(section, "Name" + std::to_string(slot), "-") != value) abort();
  size_t i = 0;
  for (const char* other : kSections)
    for (int s = 0; s < 8; ++s, ++i) {
      const bool written = SameText(other, section) && s == slot;
      if (!written && after.ReadString(other, "Name" + std::to_string(s), "-") != before[i])
        abort();
    }
  return 0;
}
