#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "cli/Cli.h"

namespace cli {
namespace {

void Usage(std::ostream& out) {
  out << "usage: zelvorsound-cli COMMAND [--folder DIR] [ARGS]\n\n"
         "Prepares the voice prompts of the instrument without a window. Every command works\n"
         "in the folder given by --folder (default: $ZELVOR_FOLDER, else the current directory),\n"
         "which stands for the program's own folder: \"ZelvorSound.ini\", \"Sounds.zvd\" and the\n"
         "working files.\n\n"
         "commands:\n";
  for (auto& [name, c] : Commands()) out << "  " << c.Usage << "\n";
  out << "\n'zelvorsound-cli COMMAND --help' tells more about one command.\n"
         "exit codes: 0 done, 1 a source file was rejected, 2 a file error, 64 bad usage\n";
}
}  // namespace
}  // namespace cli

int main(int argc, char** argv) {
  using namespace cli;
  if (argc < 2 || std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h") {
    Usage(argc < 2 ? std::cerr : std::cout);
    return argc < 2 ? kUsage : kOk;
  }
  auto it = Commands().find(argv[1]);
  if (it == Commands().end()) {
    std::cerr << "zelvorsound-cli: unknown command '" << argv[1] << "'\n";
    Usage(std::cerr);
    return kUsage;
  }
  const Command& cmd = it->second;
  Args args;
  std::string folder;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::cout << "usage: zelvorsound-cli " << cmd.Usage << " [--folder DIR]\n\n"
                << cmd.Help << "\n";
      return kOk;
    }
    if (a.rfind("--", 0) == 0 && a.size() > 2) {
      std::string name = a.substr(2), value;
      auto eq = name.find('=');
      bool takesValue = name == "folder";
      for (auto& v : cmd.ValueOptions)
        if (v == "--" + name.substr(0, eq)) takesValue = true;
      if (eq != std::string::npos) {
        value = name.substr(eq + 1);
        name = name.substr(0, eq);
      } else if (takesValue) {
        if (i + 1 >= argc) {
          std::cerr << "zelvorsound-cli: --" << name << " needs a value\n";
          return kUsage;
        }
        value = argv[++i];
      }
      if (name == "folder")
        folder = value;
      else
        args.Options.emplace_back(name, value);
    } else {
      args.Positional.push_back(a);
    }
  }
  if (folder.empty())  // the installed command sets it; scripts rely on the current directory
    if (const char* env = std::getenv("ZELVOR_FOLDER")) folder = env;
  if (folder.empty()) {
    char cwd[4096];
    folder = getcwd(cwd, sizeof cwd) ? cwd : ".";
  }
  if (folder.back() != '/') folder += '/';
  args.Folder = folder;
  return cmd.Run(args);
}
