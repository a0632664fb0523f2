#include "platform/graphics/buffer_pool.h"

#include <algorithm>
#include <limits>
#include <new>

namespace platform {

struct BufferPool::State {
  struct Idle {
    std::unique_ptr<std::uint8_t[]> storage;
    std::size_t capacity = 0;
  };
  struct Block {
    void* memory = nullptr;
    std::size_t size = 0;
  };

  State(std::size_t maxIdle, std::size_t headroomPercent)
      : maxIdle(maxIdle), headroomPercent(headroomPercent) {
    // Both lists are reserved up front so that giving back never allocates.
    idle.reserve(maxIdle + 1);
    blocks.reserve(kMaxBlocks);
  }
  ~State() {
    for (const Block& block : blocks)
      ::operator delete(block.memory);
  }

  // Bookkeeping blocks (the shared owner record of each lease) are recycled as well, so a
  // steady stream of leases touches the heap not even for those.
  void* takeBlock(std::size_t size) {
    {
      std::lock_guard lock(mutex);
      auto it = std::find_if(blocks.begin(), blocks.end(),
                             [size](const Block& block) { return block.size == size; });
      if (it != blocks.end()) {
        void* memory = it->memory;
        *it = blocks.back();
        blocks.pop_back();
        return memory;
      }
      ++fresh;
    }
    return ::operator new(size);
  }

  void returnBlock(void* memory, std::size_t size) {
    {
      std::lock_guard lock(mutex);
      if (blocks.size() < kMaxBlocks) {
        blocks.push_back({memory, size});
        return;
      }
    }
    ::operator delete(memory);
  }

  void giveBack(std::unique_ptr<std::uint8_t[]> storage, std::size_t capacity) {
    std::unique_ptr<std::uint8_t[]> evicted;
    std::lock_guard lock(mutex);
    idle.push_back({std::move(storage), capacity});
    if (idle.size() > maxIdle) {
      // The oldest goes: after a change of frame size the buffers of the old size are the
      // ones nobody asks for any more.
      evicted = std::move(idle.front().storage);
      idle.erase(idle.begin());
    }
  }

  static constexpr std::size_t kMaxBlocks = 64;

  mutable std::mutex mutex;
  std::size_t maxIdle;
  std::size_t headroomPercent;
  std::vector<Idle> idle;
  std::vector<Block> blocks;
  std::size_t fresh = 0;
};

namespace {

template <class T>
struct RecyclingAllocator {
  using value_type = T;
  static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);

  explicit RecyclingAllocator(std::shared_ptr<BufferPool::State> state) : state(std::move(state)) {}
  template <class U>
  RecyclingAllocator(const RecyclingAllocator<U>& other) : state(other.state) {}

  T* allocate(std::size_t n) { return static_cast<T*>(state->takeBlock(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) { state->returnBlock(p, n * sizeof(T)); }

  template <class U>
  bool operator==(const RecyclingAllocator<U>& other) const {
    return state == other.state;
  }

  std::shared_ptr<BufferPool::State> state;
};

}  // namespace

// The lent-out buffer; handing it back happens when the last shared owner lets go.
class BufferPoolLease : public PooledBuffer {
 public:
  BufferPoolLease(std::shared_ptr<BufferPool::State> state, std::unique_ptr<std::uint8_t[]> storage,
                  std::size_t capacity, std::size_t size)
      : state_(std::move(state)) {
    storage_ = std::move(storage);
    capacity_ = capacity;
    size_ = size;
  }
  ~BufferPoolLease() { state_->giveBack(std::move(storage_), capacity_); }

 private:
  std::shared_ptr<BufferPool::State> state_;
};

BufferPool::BufferPool(std::size_t maxIdle, std::size_t headroomPercent)
    : state_(std::make_shared<State>(maxIdle, headroomPercent)) {}

BufferPool::~BufferPool() = default;

std::shared_ptr<PooledBuffer> BufferPool::acquire(std::size_t size) {
  if (size > std::numeric_limits<std::size_t>::max() / 4) return nullptr;
  std::unique_ptr<std::uint8_t[]> storage;
  std::size_t capacity = 0;
  {
    std::lock_guard lock(state_->mutex);
    // Best fit, so that a large buffer is not spent on a small request while a small one waits.
    auto best = state_->idle.end();
    for (auto it = state_->idle.begin(); it != state_->idle.end(); ++it) {
      if (it->capacity >= size && (best == state_->idle.end() || it->capacity < best->capacity)) {
        best = it;
      }
    }
    if (best != state_->idle.end()) {
      storage = std::move(best->storage);
      capacity = best->capacity;
      state_->idle.erase(best);
    } else {
      ++state_->fresh;
    }
  }
  try {
    if (!storage) {
      const std::size_t headroom = size / 100 * state_->headroomPercent;
      capacity = std::max<std::size_t>(size + headroom, 1);
      storage = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
    }
    return std::allocate_shared<BufferPoolLease>(RecyclingAllocator<BufferPoolLease>(state_),
                                                 state_, std::move(storage), capacity, size);
  } catch (const std::bad_alloc&) {
    if (storage) state_->giveBack(std::move(storage), capacity);
    return nullptr;
  }
}

std::size_t BufferPool::freshAllocations() const {
  std::lock_guard lock(state_->mutex);
  return state_->fresh;
}

std::size_t BufferPool::idleCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->idle.size();
}

}  // namespace platform
