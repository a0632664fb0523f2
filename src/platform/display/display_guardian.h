#pragma once

namespace platform {

// Starts the guardian of this process's virtual displays: a process of its own that outlives
// this one and, as soon as this one ends in whatever way (SIGKILL included), takes back what it
// left on the screen (RandR monitors, wlroots outputs), as the next start would. It learns of
// the end from a pipe whose only writer is this process. Call it first thing in main, while
// the process has no other thread: the guardian is a fork that carries on without exec.
// Failing to start it only leaves the next start's reclaiming; it is logged.
void startDisplayGuardian();

}  // namespace platform
