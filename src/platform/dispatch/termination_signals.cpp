#include "platform/dispatch/termination_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>

#include "platform/dispatch/dispatch_queue.h"

namespace platform {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Touched from the signal handler: plain descriptors and a lock-free flag only.
int gPipeWrite = -1;
std::atomic<bool> gHandedOn{false};

void onSignal(int signal) {
  const int savedErrno = errno;
  if (gHandedOn.exchange(true)) {
    // Already shutting down: the default action now (usually the end of the process).
    ::signal(signal, SIG_DFL);
    ::raise(signal);
  } else {
    const auto byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(gPipeWrite, &byte, 1);
  }
  errno = savedErrno;
}

std::mutex& handlerMutex() {
  static auto* mutex = new std::mutex;  // never destroyed: the reader thread outlives main
  return *mutex;
}

std::function<void(int)>& installedHandler() {
  static auto* handler = new std::function<void(int)>;
  return *handler;
}

void readSignals(int readEnd) {
  while (true) {
    unsigned char byte = 0;
    const ssize_t count = ::read(readEnd, &byte, 1);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return;
    const int signal = byte;
    DispatchQueue::main()->async([signal] {
      std::function<void(int)> handler;
      {
        std::lock_guard lock(handlerMutex());
        handler = installedHandler();
      }
      if (handler) handler(signal);
    });
  }
}

}  // namespace

void onTerminationSignal(std::function<void(int signal)> handler) {
  {
    std::lock_guard lock(handlerMutex());
    installedHandler() = std::move(handler);
  }
  static const bool installed = [] {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    gPipeWrite = fds[1];
    std::thread(readSignals, fds[0]).detach();
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : kSignals)
      ::sigaction(signal, &action, nullptr);
    return true;
  }();
  (void)installed;
}

}  // namespace platform
