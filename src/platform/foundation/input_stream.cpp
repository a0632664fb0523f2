#include "platform/foundation/input_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

std::string StreamError::localizedDescription() const {
  return "The stream failed: " + what_ + " (" + std::strerror(code_) + ").";
}

std::string StreamError::debugDescription() const {
  return "StreamError " + std::to_string(code_) + ": " + what_ + ": " + std::strerror(code_);
}

namespace {

class DataInputStream final : public InputStream {
 public:
  explicit DataInputStream(std::vector<std::uint8_t> data) : data_(std::move(data)) {}

 protected:
  std::size_t doRead(std::uint8_t* buffer, std::size_t maxLength) override {
    const std::size_t count = std::min(maxLength, data_.size() - offset_);
    if (count > 0) std::memcpy(buffer, data_.data() + offset_, count);
    offset_ += count;
    return count;
  }
  bool doIsAtEnd() const override { return offset_ >= data_.size(); }

 private:
  std::vector<std::uint8_t> data_;
  std::size_t offset_ = 0;
};

class FileInputStream final : public InputStream {
 public:
  explicit FileInputStream(std::string path) : path_(std::move(path)) {}
  ~FileInputStream() override {
    if (fd_ >= 0) ::close(fd_);
  }

 protected:
  void doOpen() override {
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw StreamError(errno, "opening " + path_);
  }
  std::size_t doRead(std::uint8_t* buffer, std::size_t maxLength) override {
    while (true) {
      const ssize_t count = ::read(fd_, buffer, maxLength);
      if (count >= 0) {
        if (count == 0) atEnd_ = true;
        return static_cast<std::size_t>(count);
      }
      if (errno != EINTR) throw StreamError(errno, "reading " + path_);
    }
  }
  void doClose() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool doIsAtEnd() const override { return atEnd_; }

 private:
  std::string path_;
  int fd_ = -1;
  bool atEnd_ = false;
};

}  // namespace

std::shared_ptr<InputStream> InputStream::withData(std::vector<std::uint8_t> data) {
  return std::make_shared<DataInputStream>(std::move(data));
}

std::shared_ptr<InputStream> InputStream::withFileAtPath(std::string path) {
  return std::make_shared<FileInputStream>(std::move(path));
}

void InputStream::open() {
  {
    std::lock_guard lock(mutex_);
    if (status_ != StreamStatus::notOpen) return;
    status_ = StreamStatus::opening;
  }
  try {
    doOpen();
  } catch (const StreamError& error) {
    std::lock_guard lock(mutex_);
    status_ = StreamStatus::error;
    error_ = makeError(error);
    return;
  }
  std::lock_guard lock(mutex_);
  status_ = StreamStatus::open;
}

void InputStream::close() {
  {
    std::lock_guard lock(mutex_);
    if (status_ == StreamStatus::notOpen || status_ == StreamStatus::closed) {
      status_ = StreamStatus::closed;
      return;
    }
  }
  doClose();
  std::lock_guard lock(mutex_);
  // A failure stays visible after closing.
  if (status_ != StreamStatus::error) status_ = StreamStatus::closed;
}

std::ptrdiff_t InputStream::read(std::uint8_t* buffer, std::size_t maxLength) {
  {
    std::lock_guard lock(mutex_);
    if (status_ == StreamStatus::atEnd) return 0;
    if (status_ != StreamStatus::open) {
      if (status_ != StreamStatus::error) {
        status_ = StreamStatus::error;
        error_ = makeError(StreamError(EBADF, "reading a stream that is not open"));
      }
      return -1;
    }
    status_ = StreamStatus::reading;
  }
  std::size_t count = 0;
  try {
    count = maxLength == 0 ? 0 : doRead(buffer, maxLength);
  } catch (const StreamError& error) {
    std::lock_guard lock(mutex_);
    status_ = StreamStatus::error;
    error_ = makeError(error);
    return -1;
  }
  std::lock_guard lock(mutex_);
  status_ = (count == 0 && maxLength > 0) || doIsAtEnd() ? StreamStatus::atEnd : StreamStatus::open;
  return static_cast<std::ptrdiff_t>(count);
}

bool InputStream::hasBytesAvailable() const {
  std::lock_guard lock(mutex_);
  switch (status_) {
    case StreamStatus::notOpen:
    case StreamStatus::opening:
    case StreamStatus::open:
    case StreamStatus::reading:
      return !doIsAtEnd();
    default:
      return false;
  }
}

StreamStatus InputStream::streamStatus() const {
  std::lock_guard lock(mutex_);
  return status_;
}

ErrorPtr InputStream::streamError() const {
  std::lock_guard lock(mutex_);
  return error_;
}

}  // namespace platform
