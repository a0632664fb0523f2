#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/stream_state.h"

namespace platform {

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
  // Whether a read would deliver bytes (or the end) now; sources that can wait say so here.
  virtual bool doHasBytesAvailable() const { return !doIsAtEnd(); }

 private:
  StreamState state_;
};

using InputStreamPtr = std::shared_ptr<InputStream>;

}  // namespace platform
