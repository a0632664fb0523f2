#include "platform/foundation/log.h"

#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

namespace platform {
namespace {

struct SinkState {
  std::mutex mutex;
  LogSink sink;  // empty: the default sink
};

// Never destroyed: threads may still print while static destructors run at exit.
SinkState& sinkState() {
  static SinkState* s = new SinkState;
  return *s;
}

void writeLine(std::FILE* stream, std::string_view line) {
  std::string text;
  text.reserve(line.size() + 1);
  text.append(line);
  text.push_back('\n');
  // One write per line keeps lines from different threads whole.
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

void defaultSink(LogStream stream, std::string_view line) {
  if (stream == LogStream::print) {
    writeLine(stdout, line);
    return;
  }
  writeLine(stderr, line);
  static std::once_flag opened;
  std::call_once(opened, [] { openlog("tovarine", LOG_PID, LOG_USER); });
  syslog(LOG_NOTICE, "%.*s", static_cast<int>(line.size()), line.data());
}

LogSink currentSink() {
  auto& s = sinkState();
  std::lock_guard lock(s.mutex);
  return s.sink;
}

void emit(LogStream stream, std::string_view line) {
  // The sink runs outside the lock so that it may itself print, or swap sinks.
  if (auto sink = currentSink()) {
    sink(stream, line);
  } else {
    defaultSink(stream, line);
  }
}

}  // namespace

void print(std::string_view line) {
  emit(LogStream::print, line);
}

void log(std::string_view line) {
  emit(LogStream::log, line);
}

LogSink setLogSink(LogSink sink) {
  auto& s = sinkState();
  std::lock_guard lock(s.mutex);
  std::swap(s.sink, sink);
  return sink;
}

void fatal(std::string_view message) {
  std::string text = "Fatal error: ";
  text.append(message);
  log(text);
  // A capturing sink must not swallow the last words of the process.
  if (currentSink()) writeLine(stderr, text);
  std::fflush(nullptr);
  std::abort();
}

struct LogCapture::State {
  struct Lines {
    std::mutex mutex;
    std::string text;
  };
  // Shared with the installed sink, which another thread may still be calling while the
  // capture goes away.
  std::shared_ptr<Lines> lines = std::make_shared<Lines>();
};

LogCapture::LogCapture() : state_(new State) {
  previous_ = setLogSink([lines = state_->lines](LogStream, std::string_view line) {
    std::lock_guard lock(lines->mutex);
    lines->text.append(line);
    lines->text.push_back('\n');
  });
}

LogCapture::~LogCapture() {
  setLogSink(std::move(previous_));
  delete state_;
}

std::string LogCapture::text() const {
  std::lock_guard lock(state_->lines->mutex);
  return state_->lines->text;
}

bool LogCapture::contains(std::string_view fragment) const {
  std::lock_guard lock(state_->lines->mutex);
  return state_->lines->text.find(fragment) != std::string::npos;
}

}  // namespace platform
