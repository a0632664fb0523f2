#include "platform/display/support/desktop_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <system_error>

namespace testing_display {

pid_t spawnDesktopProcess(const std::vector<std::string>& arguments,
                          const std::vector<std::string>& environment, const std::string& log,
                          int stdoutFd) {
  std::vector<std::string> argumentsCopy = arguments;
  std::vector<std::string> environmentCopy = environment;
  std::vector<char*> argv, envp;
  for (auto& a : argumentsCopy)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : environmentCopy)
    envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, stdoutFd >= 0 ? stdoutFd : 2, 1);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return spawned == 0 ? pid : -1;
}

void endDesktop(const std::vector<pid_t>& pids, const std::string& runtimeDir) {
  for (auto it = pids.rbegin(); it != pids.rend(); ++it) {
    kill(*it, SIGTERM);
    int status = 0;
    waitpid(*it, &status, 0);
  }
  if (!runtimeDir.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(runtimeDir, ignored);
  }
}

}  // namespace testing_display
