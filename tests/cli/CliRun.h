// Running zelvorsound-cli from a test as a shell would, with both streams captured.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "TempDir.h"

struct TRun {
  int Code = -1;
  std::string Out, Err;
};

inline std::string Quote(const std::string& s) { return "'" + s + "'"; }

// Runs "env ENV [WRAPPER] zelvorsound-cli ARGS"; args are taken as the shell takes them.
inline TRun RunCli(const std::string& args, const std::string& env = "",
                   const std::string& wrapper = "") {
  TempDir io;
  const std::string cmd = "env " + env + " " + wrapper + " " + Quote(ZS_CLI_PATH) + " " + args +
                          " >" + Quote(io.Path("out")) + " 2>" + Quote(io.Path("err"));
  const int status = std::system(cmd.c_str());
  TRun r;
  r.Code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.Out = io.Read("out");
  r.Err = io.Read("err");
  return r;
}

// The form scripts use: COMMAND ARGS --folder DIR.
inline TRun RunCliIn(const TempDir& dir, const std::string& args, const std::string& env = "",
                     const std::string& wrapper = "") {
  return RunCli(args + " --folder " + Quote(dir.Folder()), env, wrapper);
}
