#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <utility>

#include "platform/foundation/error.h"

namespace platform {

// Where a stream is in its life. A stream is opened once and read (or written) until it ends;
// it cannot be rewound or opened again.
enum class StreamStatus { notOpen, opening, open, reading, writing, atEnd, closed, error };

// A failure of a stream: the POSIX error number behind it and what was being done.
class StreamError : public Error {
 public:
  StreamError(int code, std::string what) : code_(code), what_(std::move(what)) {}
  int code() const { return code_; }
  std::string localizedDescription() const override;
  std::string debugDescription() const override;

 private:
  int code_;
  std::string what_;
};

// The status and error of a stream, guarded so that they may be asked from any thread, and
// the moves through them that input and output streams share. The stream's own steps (open,
// read or write, close) run outside the lock; a `StreamError` they throw is the stream's error.
class StreamState {
 public:
  StreamStatus status() const;
  ErrorPtr error() const;
  void setStatus(StreamStatus status);
  // Runs `f` on the status with the lock held.
  template <class F>
  auto inspect(F&& f) const {
    std::lock_guard lock(mutex_);
    return std::forward<F>(f)(status_);
  }

  // Only from `notOpen`; anything else is ignored.
  void open(const std::function<void()>& doOpen);
  // A stream that never opened, or is closed already, just counts as closed; otherwise
  // `doClose` runs. A failure (an earlier one, else one of `doClose`) stays visible after.
  void close(const std::function<void()>& doClose);
  // Whether an open stream may transfer now; it moves to `busy`. Otherwise the stream fails
  // with EBADF and `what` (unless it failed already), and the answer is no.
  bool beginTransfer(StreamStatus busy, const std::string& what);
  void fail(const StreamError& error);

 private:
  mutable std::mutex mutex_;
  StreamStatus status_ = StreamStatus::notOpen;
  ErrorPtr error_;
};

}  // namespace platform
