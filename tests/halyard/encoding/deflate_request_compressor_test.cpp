#include "halyard/encoding/deflate_request_compressor.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "halyard/core/http_header_views.h"

namespace {

using halyard::DeflateRequestCompressor;
using platform::Bytes;
using Behavior = DeflateRequestCompressor::DuplicateHeaderBehavior;

Bytes bytes(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

// Inflates a zlib-format body the way a server would, checking header and checksum.
std::optional<Bytes> inflated(const Bytes& body, std::size_t expectedSize) {
  Bytes out(expectedSize + 1);
  uLongf length = out.size();
  if (uncompress(out.data(), &length, body.data(), body.size()) != Z_OK) return std::nullopt;
  out.resize(length);
  return out;
}

platform::URLRequest post(std::optional<Bytes> body) {
  platform::URLRequest request(*platform::URL::fromString("http://127.0.0.1/upload"));
  request.httpMethod = "POST";
  request.httpBody = std::move(body);
  return request;
}

// The adaptation's outcome; the compressor answers before it returns.
halyard::AdaptationResult adapt(const DeflateRequestCompressor& compressor,
                                const platform::URLRequest& request) {
  std::optional<halyard::AdaptationResult> answer;
  compressor.compressRequestBody(request, nullptr,
                                 [&](halyard::AdaptationResult result) { answer = result; });
  EXPECT_TRUE(answer.has_value()) << "no synchronous answer";
  return answer.value_or(std::unexpected(nullptr));
}

TEST(DeflateRequestCompressor, AnEmptyBodyIsTheZlibRenderingOfNothing) {
  EXPECT_EQ(DeflateRequestCompressor::deflate({}),
            (Bytes{0x78, 0x5E, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01}));
  EXPECT_EQ(DeflateRequestCompressor::adler32({}), 1u);
}

TEST(DeflateRequestCompressor, BodiesInflateBackAndEndWithTheirChecksum) {
  std::string text;
  for (int i = 0; i < 5000; ++i)
    text += "line " + std::to_string(i % 37) + " of a compressible body\n";
  const Bytes body = bytes(text);
  const Bytes compressed = DeflateRequestCompressor::deflate(body);
  ASSERT_GT(compressed.size(), 6u);
  EXPECT_LT(compressed.size(), body.size() / 4);
  EXPECT_EQ(compressed[0], 0x78);
  EXPECT_EQ(compressed[1], 0x5E);
  const std::uint32_t checksum = DeflateRequestCompressor::adler32(body);
  EXPECT_EQ(checksum, static_cast<std::uint32_t>(::adler32(1, body.data(), body.size())));
  const std::size_t n = compressed.size();
  EXPECT_EQ(compressed[n - 4], checksum >> 24);
  EXPECT_EQ(compressed[n - 3], (checksum >> 16) & 0xFF);
  EXPECT_EQ(compressed[n - 2], (checksum >> 8) & 0xFF);
  EXPECT_EQ(compressed[n - 1], checksum & 0xFF);
  EXPECT_EQ(inflated(compressed, body.size()), body);
}

TEST(DeflateRequestCompressor, CompressesTheBodyAndMarksTheRequest) {
  DeflateRequestCompressor compressor;
  const auto result = adapt(compressor, post(bytes("hello hello hello")));
  ASSERT_TRUE(result);
  EXPECT_EQ(result->valueForHTTPHeaderField("Content-Encoding"), "deflate");
  EXPECT_EQ(inflated(*result->httpBody, 17), bytes("hello hello hello"));
  // The method is not asked: a PUT with a body is compressed too.
  auto put = post(bytes("x"));
  put.httpMethod = "PUT";
  EXPECT_TRUE(adapt(compressor, put)->valueForHTTPHeaderField("Content-Encoding"));
}

TEST(DeflateRequestCompressor, RequestsWithoutABodyOrNotToBeCompressedPassUnchanged) {
  auto encoded = post(std::nullopt);
  encoded.setValueForHTTPHeaderField("gzip", "Content-Encoding");
  DeflateRequestCompressor strict(Behavior::error);
  EXPECT_EQ(*adapt(strict, encoded), encoded);

  auto withBody = post(bytes("abc"));
  withBody.setValueForHTTPHeaderField("gzip", "Content-Encoding");
  DeflateRequestCompressor never(Behavior::error, [](const Bytes&) { return false; });
  EXPECT_EQ(*adapt(never, withBody), withBody);

  // An empty body is a body.
  const auto empty = adapt(DeflateRequestCompressor(), post(Bytes{}));
  ASSERT_TRUE(empty);
  EXPECT_EQ(*empty->httpBody, (Bytes{0x78, 0x5E, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01}));
}

TEST(DeflateRequestCompressor, AnExistingContentEncodingIsAnErrorSkippedOrReplacedInPlace) {
  auto request = post(bytes("abc"));
  request.setValueForHTTPHeaderField("1", "X-First");
  request.setValueForHTTPHeaderField("gzip", "content-encoding");
  request.setValueForHTTPHeaderField("3", "X-Last");

  const auto refused = adapt(DeflateRequestCompressor(Behavior::error), request);
  ASSERT_FALSE(refused);
  EXPECT_NE(
      dynamic_cast<const DeflateRequestCompressor::DuplicateHeaderError*>(refused.error().get()),
      nullptr);

  EXPECT_EQ(*adapt(DeflateRequestCompressor(Behavior::skip), request), request);

  const auto replaced = adapt(DeflateRequestCompressor(Behavior::replace), request);
  ASSERT_TRUE(replaced);
  const auto headers = halyard::httpHeaders(*replaced);
  ASSERT_EQ(headers.size(), 3u);
  EXPECT_EQ(headers[1].name, "Content-Encoding");
  EXPECT_EQ(headers[1].value, "deflate");
  EXPECT_EQ(inflated(*replaced->httpBody, 3), bytes("abc"));
}

}  // namespace
