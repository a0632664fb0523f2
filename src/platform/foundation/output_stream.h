#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/input_stream.h"

namespace platform {

// A sink of bytes written in pieces. Used by one thread at a time; the status and error may be
// asked from any thread.
class OutputStream {
 public:
  virtual ~OutputStream() = default;
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;

  // A stream that gathers what is written; `writtenData` hands it back.
  static std::shared_ptr<OutputStream> toMemory();
  // A stream into the file at `path`. Without `append` the file is made by `open` and must
  // not exist yet (it is never overwritten, and a symbolic link in its place is refused); it
  // is readable by its owner only. With `append`, writing continues an existing file (made
  // when missing).
  static std::shared_ptr<OutputStream> toFileAtPath(std::string path, bool append);

  // Only from `notOpen`; anything else is ignored.
  void open();
  // Ends the stream; a failure to flush or close the sink sets the error state.
  void close();
  // Writes up to `length` bytes: the count written (possibly fewer), or -1 on a failure (the
  // status becomes `error`).
  std::ptrdiff_t write(const std::uint8_t* buffer, std::size_t length);
  // Whether a write may take bytes now.
  bool hasSpaceAvailable() const;

  StreamStatus streamStatus() const;
  ErrorPtr streamError() const;

  // What a memory stream gathered; empty for other streams.
  virtual std::vector<std::uint8_t> writtenData() const { return {}; }

 protected:
  OutputStream() = default;

  // The sink's own steps; each throws `StreamError` on a failure.
  virtual void doOpen() {}
  virtual std::size_t doWrite(const std::uint8_t* buffer, std::size_t length) = 0;
  virtual void doClose() {}
  // Whether a write would take bytes now; sinks that can fill up say so here.
  virtual bool doHasSpaceAvailable() const { return true; }

 private:
  StreamState state_;
};

using OutputStreamPtr = std::shared_ptr<OutputStream>;

}  // namespace platform
