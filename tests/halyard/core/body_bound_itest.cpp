// A response body that passes the session's bound ends its request with the bound's error, and
// what the client held meanwhile stays near the bound itself: the body is counted as it
// arrives, kept without a doubling buffer's spare copies, and let go once it is known to be cut
// short. A body under the bound still arrives whole, byte for byte.

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "halyard/core/data_request.h"
#include "halyard/core/session.h"
#include "halyard/support/test_server.h"
#include "halyard/support/wait.h"
#include "platform/net/url_error.h"
#include "support/gzip_bomb.h"
#include "support/peak_memory.h"

namespace {

using halyard::DataResponse;
using halyard::Session;
using halyardtest::TestServer;
using halyardtest::waitUntil;
using platform::Bytes;
using platform::URLError;

constexpr std::int64_t kBound = std::int64_t{128} << 20;

// Bytes that differ from their neighbours, so a block joined in the wrong place shows.
std::string pattern(std::size_t size) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    text[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
  return text;
}

TEST(BodyBoundITest, ABodyPastTheBoundEndsItsRequestAndCostsAboutTheBound) {
  const std::string bomb = testsupport::gzipOfZeros(std::size_t{1} << 30);
  const std::string whole = pattern((std::size_t{5} << 20) + 12345);
  TestServer server;
  auto& s = server.server();
  s.Get("/bomb", [&](const httplib::Request&, httplib::Response& response) {
    response.set_header("Content-Encoding", "gzip");
    response.set_content(bomb, "application/octet-stream");
  });
  // The server's own allocations count too, so the long bodies are written from one piece.
  static const std::string piece(64 << 10, 'x');
  s.Get("/endless", [](const httplib::Request&, httplib::Response& response) {
    response.set_chunked_content_provider("application/octet-stream",
                                          [](std::size_t, httplib::DataSink& sink) {
                                            return sink.write(piece.data(), piece.size());
                                          });
  });
  s.Get("/declared", [](const httplib::Request&, httplib::Response& response) {
    response.set_content_provider(std::size_t(kBound) + (8 << 20), "application/octet-stream",
                                  [](std::size_t, std::size_t length, httplib::DataSink& sink) {
                                    return sink.write(piece.data(), std::min(length, piece.size()));
                                  });
  });
  s.Get("/whole", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content(whole, "application/octet-stream");
  });
  const std::string base = server.start();

  struct Row {
    const char* name;
    const char* path;
    const char* error;  // none: the body is under the bound
  } rows[] = {
      {"a gzip stream of 1 GiB of zeros, no length", "/bomb", "the body passed 134217728 bytes"},
      {"an endless chunked body", "/endless", "the body passed 134217728 bytes"},
      // Refused before the body, in libcurl's words.
      {"a declared length past the bound", "/declared", "Maximum file size exceeded"},
      {"a body of 5 MiB under the bound", "/whole", nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto configuration = platform::URLSessionConfiguration::ephemeral();
    configuration.maximumBodyBytes = kBound;
    auto session = Session::initWithConfiguration(configuration);
    std::optional<DataResponse<std::optional<Bytes>>> received;
    const std::int64_t peak = testsupport::peakBytesDuring([&] {
      session->makeDataRequest(base + row.path)->responseUnserialized([&](const auto& response) {
        received = response;
      });
      ASSERT_TRUE(waitUntil([&] { return received.has_value(); }, 120));
    });
    ASSERT_TRUE(received.has_value());
    if (!row.error) {
      ASSERT_TRUE(received->result.has_value());
      ASSERT_TRUE(received->result->has_value());
      EXPECT_TRUE(**received->result == Bytes(whole.begin(), whole.end()));
      continue;
    }
    ASSERT_FALSE(received->result.has_value());
    const auto* error =
        dynamic_cast<const URLError*>(received->result.error().wrappedError().get());
    ASSERT_NE(error, nullptr) << received->result.error().localizedDescription();
    EXPECT_EQ(error->code(), URLError::Code::dataLengthExceedsMaximum);
    EXPECT_NE(error->debugDescription().find(row.error), std::string::npos)
        << error->debugDescription();
    EXPECT_FALSE(received->data.has_value());  // a cut-short body is not handed on
    EXPECT_LE(peak, kBound * 3 / 2) << "peak " << (peak >> 20) << " MiB";
  }
}

}  // namespace
