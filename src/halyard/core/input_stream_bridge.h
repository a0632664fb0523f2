#pragma once

#include <cstdint>
#include <deque>
#include <memory>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/bound_stream_pair.h"
#include "platform/net/url_session.h"

namespace halyard {

// Carries a streamed body into the writing end of a bound stream pair without ever waiting
// for the reader: what does not fit waits here, and while more than the buffer's size waits,
// receiving on the data task is held so the server is pushed back instead of memory growing.
// Every operation runs on the request's underlying queue; the reader's "room again" signal
// is brought there too.
class InputStreamBridge : public std::enable_shared_from_this<InputStreamBridge> {
 public:
  static std::shared_ptr<InputStreamBridge> make(platform::BoundOutputStreamPtr output,
                                                 std::int64_t bufferSize,
                                                 platform::DispatchQueuePtr queue);

  // The next chunk of the body; `task` is held while too much waits.
  void write(const platform::Bytes& chunk,
             const std::shared_ptr<platform::URLSessionDataTask>& task);
  // The body ended: the reader gets the rest, then the end of the stream.
  void finish();
  // Replaced by another bridge: the reader gets the end of the stream now.
  void abandon();

  const platform::BoundOutputStreamPtr& output() const { return output_; }

 private:
  InputStreamBridge(platform::BoundOutputStreamPtr output, std::int64_t bufferSize,
                    platform::DispatchQueuePtr queue)
      : output_(std::move(output)), bufferSize_(bufferSize), queue_(std::move(queue)) {}

  void flush();
  void roomAgain();
  void updateHold();
  void end();

  platform::BoundOutputStreamPtr output_;
  const std::int64_t bufferSize_;
  const platform::DispatchQueuePtr queue_;
  std::deque<platform::Bytes> pending_;
  std::size_t frontOffset_ = 0;  // bytes of the first pending chunk already written
  std::int64_t waiting_ = 0;
  std::weak_ptr<platform::URLSessionDataTask> task_;
  std::shared_ptr<platform::URLSessionDataTask> heldTask_;
  bool finishing_ = false;
  bool ended_ = false;
  // Keeps the bridge alive after the body ended while bytes still wait for the reader.
  std::shared_ptr<InputStreamBridge> keepAlive_;
};

}  // namespace halyard
