#include "platform/display/sigpipe_guard.h"

#include <pthread.h>
#include <signal.h>

#include <ctime>

namespace platform {

SigpipeGuard::SigpipeGuard() {
  sigset_t pipeOnly;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
  wasBlocked_ = sigismember(&previous, SIGPIPE) == 1;
}

SigpipeGuard::~SigpipeGuard() {
  if (wasBlocked_) return;
  sigset_t pipeOnly;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  // Discard a SIGPIPE our writes raised before unblocking it.
  const timespec noWait{0, 0};
  while (sigtimedwait(&pipeOnly, nullptr, &noWait) == SIGPIPE) {
  }
  pthread_sigmask(SIG_UNBLOCK, &pipeOnly, nullptr);
}

}  // namespace platform
