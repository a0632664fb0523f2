#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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

// A source of bytes read in pieces. Used by one thread at a time; the status and error may be
// asked from any thread.
class InputStream {
 public:
  virtual ~InputStream() = default;
  InputStream(const InputStream&) = delete;
  InputStream& operator=(const InputStream&) = delete;

  // A stream over a copy of `data`.
  static std::shared_ptr<InputStream> withData(std::vector<std::uint8_t> data);
  // A stream over the file at `path`, opened (read-only) by `open`. A file that cannot be
  // opened puts the stream in the error state then.
  static std::shared_ptr<InputStream> withFileAtPath(std::string path);

  // Only from `notOpen`; anything else is ignored.
  void open();
  void close();
  // Up to `maxLength` bytes into `buffer`: the count read, 0 at the end, -1 on a failure (the
  // status becomes `error` and `streamError` says why). Reading a stream that is not open
  // fails.
  std::ptrdiff_t read(std::uint8_t* buffer, std::size_t maxLength);
  // Whether a read may deliver bytes (for a stream that is not open: whether it may once it
  // is opened).
  bool hasBytesAvailable() const;

  StreamStatus streamStatus() const;
  ErrorPtr streamError() const;

 protected:
  InputStream() = default;

  // The source's own steps. `doOpen` and `doRead` throw `StreamError` on a failure.
  virtual void doOpen() {}
  virtual std::size_t doRead(std::uint8_t* buffer, std::size_t maxLength) = 0;
  virtual void doClose() {}
  // Whether the source knows it has nothing more to give.
  virtual bool doIsAtEnd() const { return false; }

 private:
  mutable std::mutex mutex_;
  StreamStatus status_ = StreamStatus::notOpen;
  ErrorPtr error_;
};

using InputStreamPtr = std::shared_ptr<InputStream>;

}  // namespace platform
