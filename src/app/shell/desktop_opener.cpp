#include "app/shell/desktop_opener.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/log.h"

extern char** environ;

namespace app {
namespace {

// The one answer of a run: whichever of the exit and the grace comes first gives it.
struct OpenerRun {
  explicit OpenerRun(std::function<void(bool)> answered) : answered(std::move(answered)) {}
  void answer(bool opened) {
    if (given.exchange(true)) return;
    auto once = std::move(answered);
    answered = nullptr;
    once(opened);
  }
  std::atomic<bool> given{false};
  std::function<void(bool)> answered;  // touched on the main queue only
};

}  // namespace

void runDesktopOpener(const std::vector<std::string>& command, double graceSeconds,
                      std::function<void(bool opened)> answered) {
  const auto main = platform::DispatchQueue::main();
  auto run = std::make_shared<OpenerRun>(std::move(answered));
  if (command.empty()) {
    main->async([run] { run->answer(false); });
    return;
  }
  std::vector<char*> argv;
  argv.reserve(command.size() + 1);
  for (const auto& part : command)
    argv.push_back(const_cast<char*>(part.c_str()));
  argv.push_back(nullptr);

  // The opener reads nothing from us; its messages go where ours go.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    platform::log("Starting " + command.front() + " failed: " + std::strerror(spawned));
    main->async([run] { run->answer(false); });
    return;
  }

  // The wait blocks, so it has a thread of its own; it outlives the run when the opener keeps
  // going past the grace, and ends with the opener (or with the process).
  std::thread([pid, run, main, name = command.front()] {
    int status = 0;
    pid_t waited = 0;
    do {
      waited = ::waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    const bool opened = waited == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!opened && waited == pid) {
      platform::log(name + (WIFEXITED(status)
                                ? " exited with status " + std::to_string(WEXITSTATUS(status))
                                : std::string(" was ended by a signal")));
    }
    main->async([run, opened] { run->answer(opened); });
  }).detach();
  main->asyncAfter(graceSeconds, [run] { run->answer(true); });
}

}  // namespace app
