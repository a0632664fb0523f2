#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/foundation/input_stream.h"
#include "platform/foundation/output_stream.h"

namespace platform {

// The writing end of a bound pair. Writes never block: each takes what fits in the buffer
// and returns that count, possibly 0. Once the reading end was closed or dropped, writes
// fail with EPIPE.
class BoundOutputStream : public OutputStream {
 public:
  // Called on the reader's thread, never under a lock of the pair, when a write that did not
  // fit has room again, and when the reading end goes away (a write then fails). The writer
  // hops to its own thread from there.
  virtual void setSpaceAvailableHandler(std::function<void()> handler) = 0;

 protected:
  BoundOutputStream() = default;
};

using BoundOutputStreamPtr = std::shared_ptr<BoundOutputStream>;

struct BoundStreamPair {
  InputStreamPtr inputStream;
  BoundOutputStreamPtr outputStream;
};

// An input and an output stream joined by a buffer of `bufferSize` bytes; none for a size
// below 1. A read blocks until bytes arrive or the writing end is closed or dropped, and
// answers 0 at the end after the buffered bytes; it is meant for the reader's own thread.
std::optional<BoundStreamPair> makeBoundStreamPair(std::int64_t bufferSize);

}  // namespace platform
