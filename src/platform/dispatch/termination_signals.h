#pragma once

#include <functional>

namespace platform {

// Ends the process in an orderly way when it is asked to (SIGTERM, SIGINT or SIGHUP). The
// signal handler only writes the signal's number to a pipe; a thread of ours reads it and
// runs `handler` with it on the main queue, where releasing displays and quitting are safe.
// Only the first signal is handed on: while the handler's work is under way a second one
// ends the process at once, as if no handler were installed, so a stuck shutdown can still
// be interrupted. Installing again replaces the handler; the signals stay caught.
void onTerminationSignal(std::function<void(int signal)> handler);

}  // namespace platform
