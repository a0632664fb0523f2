#pragma once

// A command line run through /bin/sh, for the tests that compare with a reference program on
// the machine (Python's readers of the system's data, curl, the desktop's checkers).

#include <stdio.h>
#include <sys/wait.h>

#include <string>
#include <vector>

namespace testsupport {

struct CommandOutcome {
  std::string output;  // standard output (add "2>&1" to the line for the errors too)
  int status = -1;     // the exit status; -1 when it could not run or did not exit
};

inline CommandOutcome runCommandLine(const std::string& line) {
  CommandOutcome outcome;
  FILE* pipe = popen(line.c_str(), "r");
  if (!pipe) return outcome;
  char block[4096];
  while (std::size_t n = fread(block, 1, sizeof block, pipe))
    outcome.output.append(block, n);
  const int status = pclose(pipe);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

// The word in single quotes, as the shell reads it back unchanged.
inline std::string shellQuoted(const std::string& word) {
  std::string quoted = "'";
  for (char c : word)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// The words quoted and joined into one command line.
inline std::string commandLine(const std::vector<std::string>& words) {
  std::string line;
  for (const auto& word : words)
    line += (line.empty() ? "" : " ") + shellQuoted(word);
  return line;
}

}  // namespace testsupport
