#pragma once

#include <functional>
#include <string>
#include <vector>

namespace app {

// Hands a file or an address to the desktop's opener program (xdg-open) and judges it by its
// result rather than by whether it could be started: the opener exits with a failure when no
// program takes the file, and a file nothing took must not count as opened. An opener still
// running after `graceSeconds` has found a program that keeps the file open in the foreground,
// so that counts as opened; it goes on running by itself.
//
// `answered` runs exactly once, on the main queue: true when the opener exited with status 0
// (or was still running at the grace), false when it could not be started or failed.
void runDesktopOpener(const std::vector<std::string>& command, double graceSeconds,
                      std::function<void(bool opened)> answered);

}  // namespace app
