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

// One word for the shell, whatever it holds (a text may hold quotes of its own).
inline std::string Quote(const std::string& s) {
  std::string quoted = "'";
  for (char c : s) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// The exit status of a shell command, or -1 when it did not exit.
inline int Shell(const std::string& cmd) {
  const int status = std::system(cmd.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs "env ENV [WRAPPER] zelvorsound-cli ARGS"; args are taken as the shell takes them.
inline TRun RunCli(const std::string& args, const std::string& env = "",
                   const std::string& wrapper = "") {
  TempDir io;
  TRun r;
  r.Code = Shell("env " + env + " " + wrapper + " " + Quote(ZS_CLI_PATH) + " " + args + " >" +
                 Quote(io.Path("out")) + " 2>" + Quote(io.Path("err")));
  r.Out = io.Read("out");
  r.Err = io.Read("err");
  return r;
}

// The form scripts use: COMMAND ARGS --folder DIR.
inline TRun RunCliIn(const TempDir& dir, const std::string& args, const std::string& env = "",
                     const std::string& wrapper = "") {
  return RunCli(args + " --folder " + Quote(dir.Folder()), env, wrapper);
}
