#include "package/FolderCoder.h"

#include "codec/VoxCoders.h"
#include "platform/profile.h"

TCoderChoice FolderCoder(const std::string& folder) {
  TCoderChoice choice;
  const std::string value =
      TIniFile(folder + "ZelvorSound.ini").ReadString(kOptionsSection, kCoderKey, "");
  if (value.empty()) return choice;
  if (std::optional<TCoder> coder = CoderByName(value)) {
    choice.Coder = *coder;
    return choice;
  }
  choice.Warning = "Warning: \"ZelvorSound.ini\" names an unknown coder (Coder=" + value +
                   " in [Options]; it may be standard or optimal): the standard coder is used";
  return choice;
}
