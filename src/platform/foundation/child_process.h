#pragma once

#include <signal.h>
#include <sys/types.h>

#include <expected>
#include <string>
#include <utility>
#include <vector>

namespace platform {

// A program this process starts and that must not outlive it (an X server of ours, say).
struct ChildProcessRequest {
  // An absolute or relative path; PATH is not searched.
  std::string path;
  // argv, the program's name first.
  std::vector<std::string> arguments;
  // Descriptors of ours the child receives: {ours, its number in the child}. Every other
  // descriptor is closed by exec (ours are close-on-exec), and standard input and output and
  // error read from and write to /dev/null unless mapped here.
  std::vector<std::pair<int, int>> descriptors;
  // Sent to the child when this process ends, however it ends (even by SIGKILL).
  int parentDeathSignal = SIGTERM;
};

// Starts the program and answers its pid, or why it could not start (the program missing,
// not executable, ...). The caller reaps the child.
//
// posix_spawn cannot ask for the parent-death signal, so the child is forked by hand. The
// kernel sends that signal when the *thread* that forked ends, not the process, so every
// child is forked by one thread of ours that lives as long as the process.
std::expected<pid_t, std::string> startChildProcess(const ChildProcessRequest& request);

}  // namespace platform
