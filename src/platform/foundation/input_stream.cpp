#include "platform/foundation/input_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

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
  state_.open([this] { doOpen(); });
}

void InputStream::close() {
  state_.close([this] { doClose(); });
}

std::ptrdiff_t InputStream::read(std::uint8_t* buffer, std::size_t maxLength) {
  if (state_.status() == StreamStatus::atEnd) return 0;
  if (!state_.beginTransfer(StreamStatus::reading, "reading a stream that is not open")) return -1;
  std::size_t count = 0;
  try {
    count = maxLength == 0 ? 0 : doRead(buffer, maxLength);
  } catch (const StreamError& error) {
    state_.fail(error);
    return -1;
  }
  const bool atEnd = (count == 0 && maxLength > 0) || doIsAtEnd();
  state_.setStatus(atEnd ? StreamStatus::atEnd : StreamStatus::open);
  return static_cast<std::ptrdiff_t>(count);
}

bool InputStream::hasBytesAvailable() const {
  return state_.inspect([this](StreamStatus status) {
    switch (status) {
      case StreamStatus::notOpen:
      case StreamStatus::opening:
      case StreamStatus::open:
      case StreamStatus::reading:
        return doHasBytesAvailable();
      default:
        return false;
    }
  });
}

StreamStatus InputStream::streamStatus() const {
  return state_.status();
}

ErrorPtr InputStream::streamError() const {
  return state_.error();
}

}  // namespace platform
