#include "platform/foundation/stream_state.h"

#include <cerrno>
#include <cstring>
#include <optional>

namespace platform {

std::string StreamError::localizedDescription() const {
  return "The stream failed: " + what_ + " (" + std::strerror(code_) + ").";
}

std::string StreamError::debugDescription() const {
  return "StreamError " + std::to_string(code_) + ": " + what_ + ": " + std::strerror(code_);
}

StreamStatus StreamState::status() const {
  std::lock_guard lock(mutex_);
  return status_;
}

ErrorPtr StreamState::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

void StreamState::setStatus(StreamStatus status) {
  std::lock_guard lock(mutex_);
  status_ = status;
}

void StreamState::open(const std::function<void()>& doOpen) {
  {
    std::lock_guard lock(mutex_);
    if (status_ != StreamStatus::notOpen) return;
    status_ = StreamStatus::opening;
  }
  try {
    doOpen();
  } catch (const StreamError& error) {
    fail(error);
    return;
  }
  setStatus(StreamStatus::open);
}

void StreamState::close(const std::function<void()>& doClose) {
  {
    std::lock_guard lock(mutex_);
    if (status_ == StreamStatus::notOpen || status_ == StreamStatus::closed) {
      status_ = StreamStatus::closed;
      return;
    }
  }
  std::optional<StreamError> failure;
  try {
    doClose();
  } catch (const StreamError& error) {
    failure = error;
  }
  std::lock_guard lock(mutex_);
  if (status_ == StreamStatus::error) return;
  status_ = failure ? StreamStatus::error : StreamStatus::closed;
  if (failure) error_ = makeError(*failure);
}

bool StreamState::beginTransfer(StreamStatus busy, const std::string& what) {
  std::lock_guard lock(mutex_);
  if (status_ != StreamStatus::open) {
    if (status_ != StreamStatus::error) {
      status_ = StreamStatus::error;
      error_ = makeError(StreamError(EBADF, what));
    }
    return false;
  }
  status_ = busy;
  return true;
}

void StreamState::fail(const StreamError& error) {
  std::lock_guard lock(mutex_);
  status_ = StreamStatus::error;
  error_ = makeError(error);
}

}  // namespace platform
