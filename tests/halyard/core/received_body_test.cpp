#include "halyard/core/received_body.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace halyard {
namespace {

platform::Bytes patterned(std::size_t size, std::size_t offset) {
  platform::Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<std::uint8_t>((offset + i) * 31 % 251);
  return bytes;
}

TEST(ReceivedBody, PiecesJoinInOrderAndASmallBodyCostsItsOwnSize) {
  struct Row {
    const char* name;
    std::vector<std::size_t> pieces;
    std::size_t mostKept;  // the joined buffer's capacity may not exceed this
  };
  const Row rows[] = {
      {"one small piece", {62}, 62},
      {"empty pieces are skipped", {0, 62, 0}, 62},
      {"a small first piece, then more", {100, 5000, 20000}, 25100},
      {"pieces past the largest block", {16384, 3u << 20, 16384}, (3u << 20) + 32768},
      {"many pieces", std::vector<std::size_t>(200, 16384), 200 * 16384},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ReceivedBody body;
    platform::Bytes expected;
    for (std::size_t size : row.pieces) {
      const auto piece = patterned(size, expected.size());
      body.append(piece);
      expected.insert(expected.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(body.size(), expected.size());
    const auto& joined = body.joined();
    EXPECT_EQ(joined, expected);
    EXPECT_LE(joined.capacity(), row.mostKept);
  }
}

}  // namespace
}  // namespace halyard
