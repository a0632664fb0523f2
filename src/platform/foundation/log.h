#pragma once

#include <cstddef>
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

// Text from outside (a device, the network) made safe for one console line: control
// characters (C0, DEL and C1) become "\u{1B}"-style escapes, so a peer can neither start a
// terminal escape sequence nor forge a line of its own. Invalid UTF-8 bytes are escaped the
// same way. Longer texts are cut at `maxBytes` (never inside a character) and end in "…".
std::string escapedForConsole(std::string_view text, std::size_t maxBytes = 1024);

// The one spelling of an escaped character in console and log text: "\u{1B}", hexadecimal in
// capitals without leading zeros, appended to `out`.
void appendCodePointEscape(std::string& out, char32_t codePoint);

// C0, DEL and C1: the code points that may steer a terminal or break a line.
constexpr bool isControlCodePoint(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

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
