#include "platform/foundation/bound_stream_pair.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

namespace platform {

namespace {

// The buffer both ends share. It grows with what is written, never beyond its capacity, so a
// large size asked for costs nothing until bytes arrive.
struct Channel {
  explicit Channel(std::size_t capacity) : capacity(capacity) {}

  std::mutex mutex;
  std::condition_variable readable;
  const std::size_t capacity;
  std::vector<std::uint8_t> bytes;  // unread bytes are [head, end)
  std::size_t head = 0;
  std::size_t count = 0;
  bool writerEnded = false;
  bool readerEnded = false;
  bool writerWaiting = false;  // a write did not fit and the writer wants to hear of room
  std::function<void()> spaceAvailable;

  // Runs the space handler outside the lock when the writer asked for it.
  void notifyWriter(std::unique_lock<std::mutex>& lock) {
    if (!writerWaiting || !spaceAvailable) return;
    writerWaiting = false;
    auto handler = spaceAvailable;
    lock.unlock();
    handler();
  }
};

class BoundInput final : public InputStream {
 public:
  explicit BoundInput(std::shared_ptr<Channel> channel) : channel_(std::move(channel)) {}
  ~BoundInput() override { endReading(); }

 protected:
  std::size_t doRead(std::uint8_t* buffer, std::size_t maxLength) override {
    Channel& c = *channel_;
    std::unique_lock lock(c.mutex);
    c.readable.wait(lock, [&] { return c.count > 0 || c.writerEnded; });
    const std::size_t taken = std::min(maxLength, c.count);
    if (taken > 0) std::memcpy(buffer, c.bytes.data() + c.head, taken);
    c.head += taken;
    c.count -= taken;
    if (taken > 0) c.notifyWriter(lock);
    return taken;
  }
  void doClose() override { endReading(); }
  bool doIsAtEnd() const override {
    std::lock_guard lock(channel_->mutex);
    return channel_->writerEnded && channel_->count == 0;
  }
  bool doHasBytesAvailable() const override {
    std::lock_guard lock(channel_->mutex);
    return channel_->count > 0 || channel_->writerEnded;
  }

 private:
  void endReading() {
    std::unique_lock lock(channel_->mutex);
    if (channel_->readerEnded) return;
    channel_->readerEnded = true;
    channel_->count = 0;
    channel_->bytes = {};
    channel_->head = 0;
    // The writer learns at its next write; tell it now so that it need not wait for room.
    channel_->writerWaiting = true;
    channel_->notifyWriter(lock);
  }

  std::shared_ptr<Channel> channel_;
};

class BoundOutput final : public BoundOutputStream {
 public:
  explicit BoundOutput(std::shared_ptr<Channel> channel) : channel_(std::move(channel)) {}
  ~BoundOutput() override { endWriting(); }

  void setSpaceAvailableHandler(std::function<void()> handler) override {
    std::lock_guard lock(channel_->mutex);
    channel_->spaceAvailable = std::move(handler);
  }

 protected:
  std::size_t doWrite(const std::uint8_t* buffer, std::size_t length) override {
    Channel& c = *channel_;
    std::unique_lock lock(c.mutex);
    if (c.readerEnded) throw StreamError(EPIPE, "writing a stream whose reader is gone");
    const std::size_t put = std::min(length, c.capacity - c.count);
    if (put > 0) {
      // Move the unread bytes to the front so the buffer stays within its capacity.
      if (c.head > 0) {
        std::memmove(c.bytes.data(), c.bytes.data() + c.head, c.count);
        c.bytes.resize(c.count);
        c.head = 0;
      }
      c.bytes.insert(c.bytes.end(), buffer, buffer + put);
      c.count += put;
    }
    if (put < length) c.writerWaiting = true;
    lock.unlock();
    if (put > 0) c.readable.notify_all();
    return put;
  }
  void doClose() override { endWriting(); }
  bool doHasSpaceAvailable() const override {
    std::lock_guard lock(channel_->mutex);
    return !channel_->readerEnded && channel_->count < channel_->capacity;
  }

 private:
  void endWriting() {
    {
      std::lock_guard lock(channel_->mutex);
      if (channel_->writerEnded) return;
      channel_->writerEnded = true;
      // The handler may hold whatever owns this stream; let it go with the stream.
      channel_->spaceAvailable = nullptr;
    }
    channel_->readable.notify_all();
  }

  std::shared_ptr<Channel> channel_;
};

}  // namespace

std::optional<BoundStreamPair> makeBoundStreamPair(std::int64_t bufferSize) {
  if (bufferSize < 1) return std::nullopt;
  auto channel = std::make_shared<Channel>(static_cast<std::size_t>(bufferSize));
  return BoundStreamPair{std::make_shared<BoundInput>(channel),
                         std::make_shared<BoundOutput>(channel)};
}

}  // namespace platform
