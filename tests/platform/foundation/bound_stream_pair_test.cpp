#include "platform/foundation/bound_stream_pair.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

namespace platform {
namespace {

using Bytes = std::vector<std::uint8_t>;

BoundStreamPair openPair(std::int64_t size) {
  auto pair = makeBoundStreamPair(size);
  EXPECT_TRUE(pair);
  pair->inputStream->open();
  pair->outputStream->open();
  return *pair;
}

std::ptrdiff_t put(OutputStream& out, const std::string& text) {
  return out.write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

std::string take(InputStream& in, std::size_t max) {
  std::string buffer(max, '\0');
  const auto count = in.read(reinterpret_cast<std::uint8_t*>(buffer.data()), max);
  buffer.resize(count > 0 ? std::size_t(count) : 0);
  return buffer;
}

TEST(BoundStreamPair, SizesBelowOneMakeNoPair) {
  for (std::int64_t size : {0, -1, -65536}) {
    EXPECT_FALSE(makeBoundStreamPair(size)) << size;
  }
  EXPECT_TRUE(makeBoundStreamPair(1));
}

// One row: what is written, in order, into a buffer of `size`, with the counts each write
// takes; then what one read of `readMax` bytes gives.
TEST(BoundStreamPair, WritesTakeWhatFitsAndReadsGiveItBackInOrder) {
  struct Row {
    std::int64_t size;
    std::vector<std::string> writes;
    std::vector<std::ptrdiff_t> taken;
    std::size_t readMax;
    std::string read;
  };
  const std::vector<Row> rows = {
      {8, {"abc"}, {3}, 8, "abc"},
      {4, {"abcdef"}, {4}, 8, "abcd"},
      {4, {"ab", "cdef", "g"}, {2, 2, 0}, 8, "abcd"},
      {8, {"abcdef"}, {6}, 2, "ab"},
      {1, {"", "xy"}, {0, 1}, 1, "x"},
  };
  for (const auto& row : rows) {
    auto pair = openPair(row.size);
    for (std::size_t i = 0; i < row.writes.size(); ++i) {
      EXPECT_EQ(put(*pair.outputStream, row.writes[i]), row.taken[i]) << row.writes[i];
    }
    EXPECT_EQ(take(*pair.inputStream, row.readMax), row.read);
  }
}

TEST(BoundStreamPair, RoomFreedByTheReaderIsUsedAgainAndTheWriterIsTold) {
  auto pair = openPair(4);
  std::atomic<int> told = 0;
  pair.outputStream->setSpaceAvailableHandler([&] { ++told; });
  EXPECT_EQ(put(*pair.outputStream, "abcdef"), 4);
  EXPECT_FALSE(pair.outputStream->hasSpaceAvailable());
  EXPECT_EQ(take(*pair.inputStream, 3), "abc");
  EXPECT_EQ(told.load(), 1);
  EXPECT_TRUE(pair.outputStream->hasSpaceAvailable());
  EXPECT_EQ(put(*pair.outputStream, "efgh"), 3);
  EXPECT_EQ(take(*pair.inputStream, 8), "defg");
  EXPECT_EQ(told.load(), 2);
  // Nobody waited for room this time, so nobody is told.
  EXPECT_EQ(put(*pair.outputStream, "z"), 1);
  EXPECT_EQ(take(*pair.inputStream, 8), "z");
  EXPECT_EQ(told.load(), 2);
}

// How the writing end ends (closed or dropped): the reader gets the buffered bytes first, then
// the end, and is not left waiting.
TEST(BoundStreamPair, TheReaderMeetsTheEndAfterTheBufferedBytes) {
  for (bool drop : {false, true}) {
    auto pair = openPair(16);
    put(*pair.outputStream, "tail");
    EXPECT_FALSE(pair.inputStream->streamStatus() == StreamStatus::atEnd);
    if (drop) {
      pair.outputStream.reset();
    } else {
      pair.outputStream->close();
    }
    EXPECT_TRUE(pair.inputStream->hasBytesAvailable());
    EXPECT_EQ(take(*pair.inputStream, 16), "tail") << drop;
    EXPECT_EQ(take(*pair.inputStream, 16), "") << drop;
    EXPECT_EQ(pair.inputStream->streamStatus(), StreamStatus::atEnd) << drop;
  }
}

TEST(BoundStreamPair, AvailabilityNeverBlocks) {
  auto pair = openPair(2);
  EXPECT_FALSE(pair.inputStream->hasBytesAvailable());
  EXPECT_TRUE(pair.outputStream->hasSpaceAvailable());
  put(*pair.outputStream, "ab");
  EXPECT_TRUE(pair.inputStream->hasBytesAvailable());
  EXPECT_FALSE(pair.outputStream->hasSpaceAvailable());
}

// How the reading end goes (closed or dropped): writes then fail with EPIPE, and a writer that
// was waiting for room hears of it.
TEST(BoundStreamPair, WritesFailOnceTheReaderIsGone) {
  for (bool drop : {false, true}) {
    auto pair = openPair(2);
    std::atomic<int> told = 0;
    pair.outputStream->setSpaceAvailableHandler([&] { ++told; });
    put(*pair.outputStream, "abc");
    if (drop) {
      pair.inputStream.reset();
    } else {
      pair.inputStream->close();
    }
    EXPECT_EQ(told.load(), 1) << drop;
    EXPECT_EQ(put(*pair.outputStream, "d"), -1) << drop;
    ASSERT_NE(pair.outputStream->streamError(), nullptr);
    EXPECT_EQ(dynamic_cast<const StreamError&>(*pair.outputStream->streamError()).code(), EPIPE);
  }
}

TEST(BoundStreamPair, ABlockedReadWakesForBytesAndForTheEnd) {
  auto pair = openPair(1024);
  Bytes received;
  std::thread reader([&] {
    std::uint8_t buffer[7];
    for (;;) {
      const auto count = pair.inputStream->read(buffer, sizeof buffer);
      if (count <= 0) break;
      received.insert(received.end(), buffer, buffer + count);
    }
  });
  Bytes sent(100000);
  std::iota(sent.begin(), sent.end(), std::uint8_t(0));
  std::atomic<bool> room = true;
  pair.outputStream->setSpaceAvailableHandler([&] { room = true; });
  for (std::size_t done = 0; done < sent.size();) {
    // The writer never blocks: it spins on its own flag, set by the reader's thread.
    if (!room.exchange(false)) {
      std::this_thread::yield();
      continue;
    }
    const auto count = pair.outputStream->write(sent.data() + done, sent.size() - done);
    ASSERT_GE(count, 0);
    done += std::size_t(count);
    if (done < sent.size() && pair.outputStream->hasSpaceAvailable()) room = true;
  }
  pair.outputStream->close();
  reader.join();
  EXPECT_EQ(received, sent);
}

}  // namespace
}  // namespace platform
