#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testing_display {

// Starts one program of a private desktop without a shell: `arguments[0]` is its path, the
// environment is exactly `environment`, standard input is /dev/null and its error output goes
// to the file `log` (made or emptied); its standard output goes to `stdoutFd` when given, else
// to the log too. The process id, or -1 when it could not be started.
pid_t spawnDesktopProcess(const std::vector<std::string>& arguments,
                          const std::vector<std::string>& environment, const std::string& log,
                          int stdoutFd = -1);

// Ends a desktop's programs, the last started first, waiting for each, and removes its runtime
// folder.
void endDesktop(const std::vector<pid_t>& pids, const std::string& runtimeDir);

}  // namespace testing_display
