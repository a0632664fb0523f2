#include "platform/foundation/child_process.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

extern char** environ;

namespace platform {

namespace {

// The one thread that forks. Its objects are never destroyed: it outlives main.
class Spawner {
 public:
  static Spawner& shared() {
    static auto* spawner = new Spawner;
    return *spawner;
  }

  void run(std::function<void()> job) {
    std::mutex doneMutex;
    std::condition_variable doneChanged;
    bool done = false;
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back([&] {
        job();
        std::lock_guard doneLock(doneMutex);
        done = true;
        doneChanged.notify_one();
      });
    }
    ready_.notify_one();
    std::unique_lock lock(doneMutex);
    doneChanged.wait(lock, [&] { return done; });
  }

 private:
  Spawner() {
    std::thread([this] {
      while (true) {
        std::function<void()> job;
        {
          std::unique_lock lock(mutex_);
          ready_.wait(lock, [this] { return !jobs_.empty(); });
          job = std::move(jobs_.front());
          jobs_.pop_front();
        }
        job();
      }
    }).detach();
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> jobs_;
};

// Tells the parent why exec did not happen.
[[noreturn]] void failInChild(int errorPipe) {
  const int error = errno;
  [[maybe_unused]] const ssize_t written = ::write(errorPipe, &error, sizeof error);
  ::_exit(127);
}

// In the child, between fork and exec: async-signal-safe calls only.
[[noreturn]] void becomeChild(const ChildProcessRequest& request, char* const* argv, pid_t parent,
                              int errorPipe) {
  const auto fail = [errorPipe] { failInChild(errorPipe); };
  if (::prctl(PR_SET_PDEATHSIG, request.parentDeathSignal) != 0) fail();
  // The parent may have died before the request took effect.
  if (::getppid() != parent) ::_exit(127);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);  // a mask survives exec
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null < 0) fail();
  // Mapped descriptors may sit on 0..2 or on each other's targets: move them out of the way
  // first, then into place.
  int moved[16];
  const std::size_t count = request.descriptors.size() < 16 ? request.descriptors.size() : 16;
  for (std::size_t i = 0; i < count; ++i) {
    moved[i] = ::fcntl(request.descriptors[i].first, F_DUPFD_CLOEXEC, 64);
    if (moved[i] < 0) fail();
  }
  for (int fd = 0; fd <= 2; ++fd) {
    if (::dup2(null, fd) < 0) fail();
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (::dup2(moved[i], request.descriptors[i].second) < 0) fail();
  }
  ::execve(request.path.c_str(), argv, environ);
  failInChild(errorPipe);
}

}  // namespace

std::expected<pid_t, std::string> startChildProcess(const ChildProcessRequest& request) {
  if (request.arguments.empty()) return std::unexpected("No program name was given");
  if (request.descriptors.size() > 16) return std::unexpected("Too many descriptors to hand on");
  std::vector<std::string> arguments = request.arguments;
  std::vector<char*> argv;
  for (auto& argument : arguments)
    argv.push_back(argument.data());
  argv.push_back(nullptr);

  int errorPipe[2];
  if (::pipe2(errorPipe, O_CLOEXEC) != 0) {
    return std::unexpected(std::string("Cannot create a pipe: ") + std::strerror(errno));
  }
  pid_t pid = -1;
  int forkError = 0;
  const pid_t parent = ::getpid();
  Spawner::shared().run([&] {
    pid = ::fork();
    if (pid == 0) becomeChild(request, argv.data(), parent, errorPipe[1]);
    if (pid < 0) forkError = errno;
  });
  ::close(errorPipe[1]);
  if (pid < 0) {
    ::close(errorPipe[0]);
    return std::unexpected(std::string("Cannot start a process: ") + std::strerror(forkError));
  }
  // The pipe closes without a word when exec succeeded.
  int childError = 0;
  ssize_t count;
  do {
    count = ::read(errorPipe[0], &childError, sizeof childError);
  } while (count < 0 && errno == EINTR);
  ::close(errorPipe[0]);
  if (count == sizeof childError) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return std::unexpected("Cannot start " + request.path + ": " + std::strerror(childError));
  }
  return pid;
}

}  // namespace platform
