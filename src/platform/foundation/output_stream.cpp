#include "platform/foundation/output_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

namespace {

class MemoryOutputStream final : public OutputStream {
 public:
  std::vector<std::uint8_t> writtenData() const override {
    std::lock_guard lock(mutex_);
    return data_;
  }

 protected:
  std::size_t doWrite(const std::uint8_t* buffer, std::size_t length) override {
    std::lock_guard lock(mutex_);
    data_.insert(data_.end(), buffer, buffer + length);
    return length;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::uint8_t> data_;
};

class FileOutputStream final : public OutputStream {
 public:
  FileOutputStream(std::string path, bool append) : path_(std::move(path)), append_(append) {}
  ~FileOutputStream() override {
    if (fd_ >= 0) ::close(fd_);
  }

 protected:
  void doOpen() override {
    // A new body file is private and never replaces what is there, nor follows a link planted
    // in its place.
    const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (append_ ? O_APPEND : O_EXCL);
    fd_ = ::open(path_.c_str(), flags, 0600);
    if (fd_ < 0) throw StreamError(errno, "creating " + path_);
  }
  std::size_t doWrite(const std::uint8_t* buffer, std::size_t length) override {
    while (true) {
      const ssize_t count = ::write(fd_, buffer, length);
      if (count > 0) return static_cast<std::size_t>(count);
      if (count == 0) throw StreamError(ENOSPC, "writing " + path_);
      if (errno != EINTR) throw StreamError(errno, "writing " + path_);
    }
  }
  void doClose() override {
    if (fd_ < 0) return;
    const int fd = fd_;
    fd_ = -1;
    // Delayed write errors (a full disk on some file systems) only show here.
    if (::close(fd) != 0 && errno != EINTR) throw StreamError(errno, "closing " + path_);
  }

 private:
  std::string path_;
  bool append_;
  int fd_ = -1;
};

}  // namespace

std::shared_ptr<OutputStream> OutputStream::toMemory() {
  return std::make_shared<MemoryOutputStream>();
}

std::shared_ptr<OutputStream> OutputStream::toFileAtPath(std::string path, bool append) {
  return std::make_shared<FileOutputStream>(std::move(path), append);
}

void OutputStream::open() {
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

void OutputStream::close() {
  {
    std::lock_guard lock(mutex_);
    if (status_ == StreamStatus::notOpen || status_ == StreamStatus::closed) {
      status_ = StreamStatus::closed;
      return;
    }
  }
  try {
    doClose();
  } catch (const StreamError& error) {
    std::lock_guard lock(mutex_);
    if (status_ != StreamStatus::error) {
      status_ = StreamStatus::error;
      error_ = makeError(error);
    }
    return;
  }
  std::lock_guard lock(mutex_);
  if (status_ != StreamStatus::error) status_ = StreamStatus::closed;
}

std::ptrdiff_t OutputStream::write(const std::uint8_t* buffer, std::size_t length) {
  {
    std::lock_guard lock(mutex_);
    if (status_ != StreamStatus::open) {
      if (status_ != StreamStatus::error) {
        status_ = StreamStatus::error;
        error_ = makeError(StreamError(EBADF, "writing a stream that is not open"));
      }
      return -1;
    }
    status_ = StreamStatus::writing;
  }
  std::size_t count = 0;
  try {
    count = length == 0 ? 0 : doWrite(buffer, length);
  } catch (const StreamError& error) {
    std::lock_guard lock(mutex_);
    status_ = StreamStatus::error;
    error_ = makeError(error);
    return -1;
  }
  std::lock_guard lock(mutex_);
  status_ = StreamStatus::open;
  return static_cast<std::ptrdiff_t>(count);
}

bool OutputStream::hasSpaceAvailable() const {
  std::lock_guard lock(mutex_);
  return status_ == StreamStatus::open || status_ == StreamStatus::notOpen;
}

StreamStatus OutputStream::streamStatus() const {
  std::lock_guard lock(mutex_);
  return status_;
}

ErrorPtr OutputStream::streamError() const {
  std::lock_guard lock(mutex_);
  return error_;
}

}  // namespace platform
