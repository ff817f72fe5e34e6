// Running zelvorsound-cli from a test as a shell would, with both streams captured.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "TempDir.h"

extern char** environ;

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

// The form scripts use: COMMAND ARGS --folder DIR, run where DIR is, so that the relative
// names of ARGS lie there too.
inline TRun RunCliIn(const TempDir& dir, const std::string& args, const std::string& env = "",
                     const std::string& wrapper = "") {
  return RunCli(args + " --folder " + Quote(dir.Folder()), "-C " + Quote(dir.Folder()) + " " + env,
                wrapper);
}

// Starts a program (argv[0] a path) with this process's environment, its output into files,
// and goes on while it runs: the pid lets a test hold it still or kill it.
inline pid_t Spawn(const std::vector<std::string>& argv, const std::string& out,
                   const std::string& err) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  return pid;
}

// The exit code of a spawned program, -1 when it did not exit normally.
// WaitExit with a watchdog: a program still running after seconds is killed and -2 is
// returned, so a test of something that must end cannot hang.
inline int WaitExitWithin(pid_t pid, int seconds) {
  int status = 0;
  for (int i = 0; i < seconds * 20; ++i) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (done < 0) return -1;
    ::usleep(50000);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return -2;
}

inline int WaitExit(pid_t pid) {
  int status = 0;
  if (pid <= 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
