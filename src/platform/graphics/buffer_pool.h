#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace platform {

// A block of raw bytes lent out by a `BufferPool`. Its contents are whatever the previous
// borrower left there: a borrower writes before it reads.
class PooledBuffer {
 public:
  std::uint8_t* data() { return storage_.get(); }
  const std::uint8_t* data() const { return storage_.get(); }
  std::size_t capacity() const { return capacity_; }

  // The number of bytes in use, at most the capacity.
  std::size_t size() const { return size_; }
  void setSize(std::size_t size) { size_ = size < capacity_ ? size : capacity_; }

 protected:
  PooledBuffer() = default;
  ~PooledBuffer() = default;

  std::unique_ptr<std::uint8_t[]> storage_;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
};

// Bytes held by a pooled buffer, read-only. Copying shares the buffer; the buffer returns to its
// pool when the last copy (and the last keep-alive handed out) goes away.
class PooledBytes {
 public:
  PooledBytes() = default;
  explicit PooledBytes(std::shared_ptr<const PooledBuffer> buffer) : buffer_(std::move(buffer)) {}

  const std::uint8_t* data() const { return buffer_ ? buffer_->data() : nullptr; }
  std::size_t size() const { return buffer_ ? buffer_->size() : 0; }
  bool empty() const { return size() == 0; }
  std::span<const std::uint8_t> bytes() const { return {data(), size()}; }

  // For a consumer that must keep the bytes alive past this object (an asynchronous write).
  std::shared_ptr<const void> keepAlive() const { return buffer_; }

 private:
  std::shared_ptr<const PooledBuffer> buffer_;
};

// Lends out large byte buffers and takes them back when their last user lets go, so that a
// steady stream of equally sized frames allocates nothing after the first few. The pool may
// be destroyed while buffers are still out; they are then simply freed when released.
class BufferPool {
 public:
  // At most `maxIdle` returned buffers are kept for reuse; more are freed. A fresh buffer gets
  // `headroomPercent` more capacity than asked for, so that requests that wander a little in
  // size (compressed frames) are still served by the buffers already made.
  explicit BufferPool(std::size_t maxIdle = 8, std::size_t headroomPercent = 0);
  ~BufferPool();
  BufferPool(const BufferPool&) = delete;
  BufferPool& operator=(const BufferPool&) = delete;

  // A buffer of at least `size` bytes (size() set to `size`), or null when memory is exhausted.
  std::shared_ptr<PooledBuffer> acquire(std::size_t size);

  // How many buffers (and bookkeeping blocks) had to be made fresh since the pool was made.
  std::size_t freshAllocations() const;
  std::size_t idleCount() const;

  struct State;  // shared with the buffers lent out, which may outlive the pool

 private:
  std::shared_ptr<State> state_;
};

}  // namespace platform
