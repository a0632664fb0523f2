#pragma once

// A child made of the test program itself, started again with one variable set: a static
// initializer of the test file sees it, makes what the test asks for, says "ready" on its
// output and waits to be killed. Header-only, for the display tests of every backend.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

namespace testing_display {

// In the child: says whether making it went well, then waits for the end.
[[noreturn]] inline void holdUntilKilled(bool ready) {
  std::printf("%s\n", ready ? "ready" : "failed");
  std::fflush(stdout);
  for (;;)
    pause();
}

// Starts the test program again with `variable`=`value` and waits (15 s at most) for it to say
// it is ready; -1 (and a failure) when it did not.
inline pid_t startHoldingChild(const std::string& variable, const std::string& value) {
  int output[2];
  if (pipe(output) != 0) {
    ADD_FAILURE() << "no pipe";
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, output[1], 1);
  posix_spawn_file_actions_addclose(&actions, output[0]);
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry)
    environment.emplace_back(*entry);
  environment.push_back(variable + "=" + value);
  std::vector<char*> envp;
  for (auto& e : environment)
    envp.push_back(e.data());
  envp.push_back(nullptr);
  char self[] = "/proc/self/exe";
  char* argv[] = {self, nullptr};
  pid_t child = -1;
  const int spawned = posix_spawn(&child, self, &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(output[1]);
  if (spawned != 0) {
    close(output[0]);
    ADD_FAILURE() << "cannot start the test program again";
    return -1;
  }
  std::string answer;
  pollfd descriptor{output[0], POLLIN, 0};
  char buffer[16];
  while (answer.find('\n') == std::string::npos && poll(&descriptor, 1, 15000) == 1) {
    const ssize_t got = read(output[0], buffer, sizeof buffer);
    if (got <= 0) break;
    answer.append(buffer, std::size_t(got));
  }
  close(output[0]);
  if (answer != "ready\n") {
    ADD_FAILURE() << "the child did not get ready: " << answer;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return -1;
  }
  return child;
}

}  // namespace testing_display
