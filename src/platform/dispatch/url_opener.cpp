#include "platform/dispatch/url_opener.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"

extern char** environ;

namespace platform {

namespace {

std::mutex& openerMutex() {
  static std::mutex mutex;
  return mutex;
}

URLOpener& installedOpener() {
  static URLOpener opener;
  return opener;
}

void openWithXdgOpen(const std::string& url, const URLOpenConfiguration&,
                     std::function<void(ErrorPtr)> completion) {
  DispatchQueue::global()->async([url, completion = std::move(completion)] {
    std::string program = "xdg-open";
    std::string argument = url;
    char* argv[] = {program.data(), argument.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int failed = posix_spawnp(&pid, "xdg-open", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ErrorPtr error;
    if (failed != 0) {
      error = makeError(URLOpenError(std::string("Cannot start xdg-open: ") + strerror(failed)));
    } else {
      int status = 0;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = makeError(URLOpenError("No application could open " + url));
      }
    }
    if (completion) completion(error);
  });
}

bool acceptableURL(const std::string& url) {
  if (url.empty() || url.front() == '-') return false;
  for (unsigned char c : url) {
    if (c <= 0x20 || c == 0x7f) return false;
  }
  return true;
}

}  // namespace

void openURL(const std::string& url, const URLOpenConfiguration& configuration,
             std::function<void(ErrorPtr)> completion) {
  if (!acceptableURL(url)) {
    DispatchQueue::global()->async([url, completion = std::move(completion)] {
      if (completion) completion(makeError(URLOpenError("Not a URL that can be opened: " + url)));
    });
    return;
  }
  URLOpener opener;
  {
    std::lock_guard lock(openerMutex());
    opener = installedOpener();
  }
  if (opener) {
    opener(url, configuration, std::move(completion));
  } else {
    openWithXdgOpen(url, configuration, std::move(completion));
  }
}

void setURLOpener(URLOpener opener) {
  std::lock_guard lock(openerMutex());
  installedOpener() = std::move(opener);
}

}  // namespace platform
