#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace platform {

enum class LogStream { print, log };

// Every line the program prints goes through one sink: standard output for `print`, standard
// error and syslog for `log`. Tests capture lines by installing their own sink.
using LogSink = std::function<void(LogStream, std::string_view)>;

void print(std::string_view line);
void log(std::string_view line);
// Text from outside goes through utf8::escapedForConsole before it reaches a line.

// Installs a sink and returns the previous one; an empty sink restores the default.
LogSink setLogSink(LogSink sink);

// Prints the message and stops the program.
[[noreturn]] void fatal(std::string_view message);

// Captures every line printed or logged while it lives (for tests).
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::string text() const;  // every captured line, each followed by '\n'
  bool contains(std::string_view fragment) const;

 private:
  struct State;
  State* state_;
  LogSink previous_;
};

}  // namespace platform
