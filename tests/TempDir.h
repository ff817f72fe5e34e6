// A temporary folder for one test, removed with everything in it afterwards.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "zelvor-XXXXXX").string();
    char* made = ::mkdtemp(tmpl.data());
    FPath = made ? made : tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    // Give back write bits first so read-only files made by a test can be removed.
    for (auto& e : std::filesystem::recursive_directory_iterator(FPath, ec))
      ::chmod(e.path().c_str(), e.is_directory() ? 0755 : 0644);
    std::filesystem::remove_all(FPath, ec);
  }
  // The folder with a trailing '/', as the program's executable folder is written.
  std::string Folder() const { return FPath + "/"; }
  std::string Path(const std::string& name) const { return FPath + "/" + name; }
  std::string Write(const std::string& name, const std::string& bytes) const {
    std::string p = Path(name);
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  }
  bool Exists(const std::string& name) const { return std::filesystem::exists(Path(name)); }

 private:
  std::string FPath;
};
