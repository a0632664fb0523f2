#include "halyard/core/data_stream_serializers.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

using halyard::HalyardError;
using platform::Bytes;

Bytes bytesOf(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

struct Point {
  int x = 0;
  static Point decode(platform::Decoder& decoder) {
    return {decoder.container()->decode<int>("x")};
  }
};

struct Refused : platform::Error {
  std::string localizedDescription() const override { return "refused"; }
  std::string debugDescription() const override { return "refused"; }
};

// Throws its own error, as a preprocessor that rejects a chunk would.
struct RefusingPreprocessor : halyard::DataPreprocessor {
  Bytes prepareData(const Bytes&) const override { throw Refused(); }
};

// Drops a leading "x" so that the decoder sees what the preprocessor hands it.
struct StrippingPreprocessor : halyard::DataPreprocessor {
  Bytes prepareData(const Bytes& data) const override {
    return data.empty() || data[0] != 'x' ? data : Bytes(data.begin() + 1, data.end());
  }
};

TEST(StreamSerializers, PassthroughAndTextTurnEachChunkOnItsOwn) {
  struct Row {
    Bytes chunk;
    std::string text;
  };
  const std::vector<Row> rows = {
      {{}, ""},
      {bytesOf("plain"), "plain"},
      {bytesOf("caf\xC3\xA9"), "caf\xC3\xA9"},
      // The two halves of "é" split between chunks: each half alone is ill-formed.
      {bytesOf("caf\xC3"), "caf\xEF\xBF\xBD"},
      {bytesOf("\xA9!"), "\xEF\xBF\xBD!"},
      {bytesOf("\xFF\xFE"), "\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(halyard::PassthroughStreamSerializer().serializeChunk(row.chunk), row.chunk);
    EXPECT_EQ(halyard::StringStreamSerializer().serializeChunk(row.chunk), row.text)
        << std::string(row.chunk.begin(), row.chunk.end());
  }
}

TEST(StreamSerializers, DecodableKeepsThePreprocessorsErrorAndWrapsTheDecoders) {
  using Serializer = halyard::DecodableStreamSerializer<Point>;
  enum class Outcome { value, preprocessorError, decodingFailed };
  struct Row {
    std::string name;
    halyard::DataPreprocessorPtr preprocessor;
    std::string chunk;
    Outcome outcome;
    int x = 0;
  };
  const std::vector<Row> rows = {
      {"decoded", std::make_shared<halyard::PassthroughPreprocessor>(), R"({"x":7})",
       Outcome::value, 7},
      {"prepared first", std::make_shared<StrippingPreprocessor>(), R"(x{"x":3})", Outcome::value,
       3},
      {"preprocessor refuses", std::make_shared<RefusingPreprocessor>(), R"({"x":7})",
       Outcome::preprocessorError},
      {"not JSON", std::make_shared<halyard::PassthroughPreprocessor>(), "{",
       Outcome::decodingFailed},
      {"wrong shape", std::make_shared<halyard::PassthroughPreprocessor>(), R"({"y":1})",
       Outcome::decodingFailed},
  };
  for (const auto& row : rows) {
    Serializer serializer(platform::JSONDecoder(), row.preprocessor);
    try {
      const Point point = serializer.serializeChunk(bytesOf(row.chunk));
      EXPECT_EQ(row.outcome, Outcome::value) << row.name;
      EXPECT_EQ(point.x, row.x) << row.name;
    } catch (const Refused&) {
      EXPECT_EQ(row.outcome, Outcome::preprocessorError) << row.name;
    } catch (const HalyardError& error) {
      EXPECT_EQ(row.outcome, Outcome::decodingFailed) << row.name;
      const auto* failed = error.as<HalyardError::ResponseSerializationFailed>();
      ASSERT_NE(failed, nullptr) << row.name;
      EXPECT_TRUE(
          std::holds_alternative<HalyardError::ResponseSerializationFailureReason::DecodingFailed>(
              failed->reason.storage))
          << row.name;
      EXPECT_NE(error.wrappedError(), nullptr) << row.name;
    }
  }
}

}  // namespace
