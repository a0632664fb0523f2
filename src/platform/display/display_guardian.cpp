#include "platform/display/display_guardian.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/display/monitor_owners.h"
#include "platform/display/virtual_display.h"
#include "platform/foundation/log.h"

namespace platform {

namespace {

// How long the guardian waits, after the pipe closed, for the process to be gone for good: its
// descriptors close a moment before it becomes a zombie, and the owner records count it alive
// until then.
constexpr int kMaxWaitMilliseconds = 5000;

void closeAllBut(int keep) {
  // 0, 1 and 2 stay open.
  if (keep > 3) syscall(SYS_close_range, 3u, unsigned(keep - 1), 0u);
  syscall(SYS_close_range, unsigned(keep + 1), ~0u, 0u);
}

[[noreturn]] void guard(int readEnd, pid_t parent, std::uint64_t parentStart) {
  closeAllBut(readEnd);
  // Its output goes where the application's went; it reads nothing.
  if (const int nothing = open("/dev/null", O_RDONLY | O_CLOEXEC); nothing >= 0) {
    dup2(nothing, 0);
    close(nothing);
  }
  // Out of the application's session and process group: the Ctrl-C or hang-up that ends the
  // application must not end its guardian first.
  setsid();
  signal(SIGINT, SIG_IGN);
  signal(SIGHUP, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  prctl(PR_SET_NAME, "tovarine-guard", 0, 0, 0);
  char byte;
  while (true) {
    const ssize_t got = read(readEnd, &byte, 1);
    if (got == 0 || (got < 0 && errno != EINTR)) break;
  }
  close(readEnd);
  const timespec step{0, 5'000'000};
  for (int waited = 0; waited < kMaxWaitMilliseconds; waited += 5) {
    const auto start = processStartTime(parent);
    if (!start || *start != parentStart) break;
    nanosleep(&step, nullptr);
  }
  // A process that ended normally gave everything back already; this then finds nothing.
  reclaimAbandonedVirtualDisplays();
  _exit(0);
}

}  // namespace

void startDisplayGuardian() {
  const pid_t parent = getpid();
  const auto parentStart = processStartTime(parent);
  if (!parentStart) {
    log("Cannot start the display guardian: this process's start time is unknown");
    return;
  }
  int ends[2];
  // Close-on-exec: only this process holds the write end, so the programs it starts (an X
  // server per display) never keep the guardian waiting.
  if (pipe2(ends, O_CLOEXEC) != 0) {
    log(std::string("Cannot start the display guardian: ") + std::strerror(errno));
    return;
  }
  const pid_t child = fork();
  if (child < 0) {
    log(std::string("Cannot start the display guardian: ") + std::strerror(errno));
    close(ends[0]);
    close(ends[1]);
    return;
  }
  if (child == 0) {
    close(ends[1]);
    guard(ends[0], parent, *parentStart);
  }
  close(ends[0]);
  // The write end stays open for the life of the process, on purpose: its closing is the news.
}

}  // namespace platform
