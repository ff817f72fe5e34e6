// A temporary folder for one test, removed with everything in it afterwards.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

class TempDir {
 public:
  TempDir() {
    namespace fs = std::filesystem;
    std::random_device seed;
    std::mt19937_64 random(seed());
    const fs::path base = fs::temp_directory_path();
    // A new folder of a random name; creating one that exists fails, so it is never shared.
    for (int attempt = 0; attempt < 100 && FPath.empty(); ++attempt) {
      const fs::path p = base / ("zelvor-" + std::to_string(random() % 1000000000));
      if (fs::create_directory(p)) FPath = p.generic_string();
    }
  }
  ~TempDir() {
    namespace fs = std::filesystem;
    std::error_code ec;
    // Give back write bits first so read-only files made by a test can be removed.
    for (auto& e : fs::recursive_directory_iterator(FPath, ec))
      fs::permissions(e.path(), e.is_directory() ? fs::perms(0755) : fs::perms(0644), ec);
    fs::remove_all(FPath, ec);
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
  // The names in a folder of it ("" for itself) as they are on disk, sorted: where a file
  // went, on a system whose names ignore letter case too (Exists cannot tell there).
  std::vector<std::string> Names(const std::string& folder = "") const {
    std::vector<std::string> names;
    for (auto& e : std::filesystem::directory_iterator(Path(folder)))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::string FPath;
};
