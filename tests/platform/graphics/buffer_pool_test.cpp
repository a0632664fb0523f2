#include "platform/graphics/buffer_pool.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

using platform::BufferPool;

TEST(BufferPool, LendsReturnedBuffersAgain) {
  BufferPool pool;
  std::uint8_t* first = nullptr;
  {
    auto buffer = pool.acquire(1000);
    ASSERT_TRUE(buffer);
    EXPECT_EQ(buffer->size(), 1000u);
    EXPECT_GE(buffer->capacity(), 1000u);
    first = buffer->data();
    EXPECT_EQ(pool.idleCount(), 0u);
  }
  EXPECT_EQ(pool.idleCount(), 1u);
  auto again = pool.acquire(900);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->data(), first);
  EXPECT_EQ(again->size(), 900u);
  // A buffer that is out is never lent twice.
  auto other = pool.acquire(900);
  ASSERT_TRUE(other);
  EXPECT_NE(other->data(), first);
}

TEST(BufferPool, PicksTheSmallestBufferThatFits) {
  BufferPool pool;
  std::uint8_t* small = nullptr;
  {
    auto big = pool.acquire(50000);
    auto little = pool.acquire(2000);
    auto tiny = pool.acquire(10);
    small = little->data();
  }
  auto buffer = pool.acquire(1500);
  EXPECT_EQ(buffer->data(), small);
  EXPECT_EQ(pool.freshAllocations(), 6u);  // three buffers, three bookkeeping blocks
}

TEST(BufferPool, KeepsOnlySoManyIdleBuffersAndDropsTheOldest) {
  BufferPool pool(2);
  std::vector<std::shared_ptr<platform::PooledBuffer>> out;
  for (std::size_t size : {100, 200, 300})
    out.push_back(pool.acquire(size));
  out.clear();  // returned in the order 100, 200, 300
  EXPECT_EQ(pool.idleCount(), 2u);
  // The 100-byte buffer went; a request for 100 bytes is served by the 200-byte one.
  EXPECT_EQ(pool.acquire(100)->capacity(), 200u);
}

TEST(BufferPool, HeadroomAbsorbsSizesThatWanderUpward) {
  BufferPool pool(4, 50);
  const std::uint8_t* first = nullptr;
  {
    auto buffer = pool.acquire(1000);
    EXPECT_EQ(buffer->capacity(), 1500u);
    first = buffer->data();
  }
  auto larger = pool.acquire(1400);
  EXPECT_EQ(larger->data(), first);
  EXPECT_EQ(larger->size(), 1400u);
}

TEST(BufferPool, SteadyUseMakesNothingNew) {
  BufferPool pool;
  {
    auto a = pool.acquire(4096);
    auto b = pool.acquire(4096);
  }
  const std::size_t warm = pool.freshAllocations();
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&pool] {
      for (int i = 0; i < 500; ++i) {
        auto buffer = pool.acquire(4000 + i % 96);
        ASSERT_TRUE(buffer);
        buffer->data()[buffer->size() - 1] = 1;
        platform::PooledBytes shared(buffer);
        buffer.reset();
        auto kept = shared.keepAlive();
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(pool.freshAllocations(), warm);
  EXPECT_EQ(pool.idleCount(), 2u);
}

TEST(BufferPool, BuffersMayOutliveThePool) {
  std::shared_ptr<platform::PooledBuffer> buffer;
  platform::PooledBytes bytes;
  {
    BufferPool pool;
    buffer = pool.acquire(64);
    bytes = platform::PooledBytes(pool.acquire(32));
  }
  buffer->data()[63] = 7;
  EXPECT_EQ(buffer->data()[63], 7);
  EXPECT_EQ(bytes.size(), 32u);
  buffer.reset();
  bytes = platform::PooledBytes();
  EXPECT_TRUE(bytes.empty());
}

TEST(BufferPool, AbsurdSizesFailInsteadOfThrowing) {
  BufferPool pool;
  EXPECT_FALSE(pool.acquire(std::size_t(-1)));
  EXPECT_FALSE(pool.acquire(std::size_t(1) << 62));
  EXPECT_TRUE(pool.acquire(0));
}

}  // namespace
