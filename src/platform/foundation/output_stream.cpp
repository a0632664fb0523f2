#include "platform/foundation/output_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

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
  state_.open([this] { doOpen(); });
}

void OutputStream::close() {
  state_.close([this] { doClose(); });
}

std::ptrdiff_t OutputStream::write(const std::uint8_t* buffer, std::size_t length) {
  if (!state_.beginTransfer(StreamStatus::writing, "writing a stream that is not open")) return -1;
  std::size_t count = 0;
  try {
    count = length == 0 ? 0 : doWrite(buffer, length);
  } catch (const StreamError& error) {
    state_.fail(error);
    return -1;
  }
  state_.setStatus(StreamStatus::open);
  return static_cast<std::ptrdiff_t>(count);
}

bool OutputStream::hasSpaceAvailable() const {
  return state_.inspect([this](StreamStatus status) {
    return (status == StreamStatus::open || status == StreamStatus::notOpen) &&
           doHasSpaceAvailable();
  });
}

StreamStatus OutputStream::streamStatus() const {
  return state_.status();
}

ErrorPtr OutputStream::streamError() const {
  return state_.error();
}

}  // namespace platform
