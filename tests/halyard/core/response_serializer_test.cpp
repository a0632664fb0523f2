#include "halyard/core/response_serializer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

using halyard::HalyardError;
using Reason = HalyardError::ResponseSerializationFailureReason;

struct Release {
  std::string name;
  static Release decode(platform::Decoder& decoder) {
    return {decoder.container()->decode<std::string>("name")};
  }
};

platform::URLRequest request(const std::string& method) {
  platform::URLRequest r(*platform::URL::fromString("http://127.0.0.1/r"));
  r.httpMethod = method;
  return r;
}

platform::HTTPURLResponsePtr response(int status, const std::string& contentType = "") {
  platform::HTTPHeaderFields fields;
  if (!contentType.empty()) fields.set("Content-Type", contentType);
  return std::make_shared<platform::HTTPURLResponse>(
      *platform::URL::fromString("http://127.0.0.1/r"), status, "HTTP/1.1", fields);
}

platform::Bytes bytes(std::string_view text) {
  return platform::Bytes(text.begin(), text.end());
}

template <class F>
HalyardError thrownBy(F&& body) {
  try {
    body();
  } catch (const HalyardError& error) {
    return error;
  }
  ADD_FAILURE() << "nothing was thrown";
  return HalyardError::explicitlyCancelled();
}

bool isReason(const HalyardError& error, std::size_t reasonIndex) {
  auto failed = error.as<HalyardError::ResponseSerializationFailed>();
  return failed && failed->reason.storage.index() == reasonIndex;
}

TEST(ResponseSerializerTest, EmptyBodiesAllowedBy204OrHEAD) {
  const auto get = request("GET");
  const auto noContent = response(204);
  EXPECT_TRUE(halyard::DataResponseSerializer()
                  .serializeResponseData(get, noContent, std::nullopt, nullptr)
                  .empty());
  EXPECT_EQ(halyard::StringResponseSerializer().serializeResponseData(get, noContent,
                                                                      platform::Bytes{}, nullptr),
            "");
  EXPECT_TRUE(halyard::JSONResponseSerializer()
                  .serializeResponseData(get, noContent, std::nullopt, nullptr)
                  .isNull());
  EXPECT_EQ(halyard::DecodableResponseSerializer<halyard::Empty>().serializeResponseData(
                get, noContent, std::nullopt, nullptr),
            halyard::Empty());

  const auto invalid = thrownBy([&] {
    halyard::DecodableResponseSerializer<Release>().serializeResponseData(get, noContent,
                                                                          std::nullopt, nullptr);
  });
  ASSERT_TRUE(isReason(invalid, 5));
  EXPECT_EQ(invalid.errorDescription(),
            "Empty response could not be serialized to type: Release. Use Empty as the expected "
            "type for such responses.");

  // 200 with nothing to a GET is an error; the same to a HEAD is fine; "head" is no HEAD.
  EXPECT_TRUE(isReason(thrownBy([&] {
                         halyard::DataResponseSerializer().serializeResponseData(
                             get, response(200), platform::Bytes{}, nullptr);
                       }),
                       6));
  EXPECT_NO_THROW(halyard::DataResponseSerializer().serializeResponseData(
      request("HEAD"), response(200), std::nullopt, nullptr));
  EXPECT_TRUE(isReason(thrownBy([&] {
                         halyard::StringResponseSerializer().serializeResponseData(
                             request("head"), response(200), std::nullopt, nullptr);
                       }),
                       6));
  // Without request and response nothing allows an empty body.
  EXPECT_TRUE(isReason(thrownBy([&] {
                         halyard::JSONResponseSerializer().serializeResponseData(
                             std::nullopt, nullptr, std::nullopt, nullptr);
                       }),
                       6));
}

TEST(ResponseSerializerTest, AnIncomingErrorIsThrownUnchanged) {
  const auto incoming = halyard::makeErrorPtr(HalyardError::sessionTaskFailed(nullptr));
  const auto body = bytes("{}");
  EXPECT_TRUE(thrownBy([&] {
                halyard::DataResponseSerializer().serializeResponseData(
                    request("GET"), response(200), body, incoming);
              }).isSessionTaskFailed());
  EXPECT_TRUE(thrownBy([&] {
                halyard::DecodableResponseSerializer<Release>().serializeResponseData(
                    request("GET"), response(200), body, incoming);
              }).isSessionTaskFailed());
}

TEST(ResponseSerializerTest, TextEncodingComesFromTheSerializerThenTheResponse) {
  const platform::Bytes utf16 = {0xFE, 0xFF, 0x00, 'h', 0x00, 'i'};
  EXPECT_EQ(halyard::StringResponseSerializer().serializeResponseData(
                request("GET"), response(200, "text/plain; charset=utf-16"), utf16, nullptr),
            "hi");
  // A fixed encoding wins over the response's charset.
  const platform::Bytes latin = {'c', 0xE9};
  EXPECT_EQ(halyard::StringResponseSerializer(nullptr, platform::StringEncoding::isoLatin1)
                .serializeResponseData(request("GET"), response(200, "text/plain; charset=utf-8"),
                                       latin, nullptr),
            "c\xC3\xA9");
  // An unknown charset, or none, falls back to ISO Latin 1.
  EXPECT_EQ(halyard::StringResponseSerializer().serializeResponseData(
                request("GET"), response(200, "text/plain; charset=klingon"), latin, nullptr),
            "c\xC3\xA9");
  const auto failed = thrownBy([&] {
    halyard::StringResponseSerializer().serializeResponseData(
        request("GET"), response(200, "text/plain; charset=utf-8"), latin, nullptr);
  });
  ASSERT_TRUE(isReason(failed, 1));
  EXPECT_EQ(failed.failedTextEncoding(), platform::StringEncoding(platform::StringEncoding::utf8));
}

TEST(ResponseSerializerTest, GuardPrefixAndJSONFailures) {
  const auto guard = std::make_shared<halyard::GoogleXSSIPreprocessor>();
  const platform::Bytes onlyPrefix = {0x29, 0x5D, 0x7D, 0x27, 0x2C, 0x0A};
  EXPECT_TRUE(halyard::DataResponseSerializer(guard)
                  .serializeResponseData(request("GET"), response(200), onlyPrefix, nullptr)
                  .empty());
  EXPECT_TRUE(isReason(thrownBy([&] {
                         halyard::JSONResponseSerializer(guard).serializeResponseData(
                             request("GET"), response(200), onlyPrefix, nullptr);
                       }),
                       2));
  platform::Bytes guarded = onlyPrefix;
  guarded.push_back('7');
  EXPECT_EQ(*halyard::JSONResponseSerializer(guard)
                 .serializeResponseData(request("GET"), response(200), guarded, nullptr)
                 .asDouble(),
            7.0);
  EXPECT_EQ(guard->prepareData(bytes(")]}")), bytes(")]}"));
}

TEST(ResponseSerializerTest, DecodingFailuresCarryTheDecodersError) {
  const auto failed = thrownBy([&] {
    halyard::DecodableResponseSerializer<Release>().serializeResponseData(
        request("GET"), response(200), bytes(R"({"name": 3})"), nullptr);
  });
  ASSERT_TRUE(isReason(failed, 3));
  EXPECT_NE(dynamic_cast<const platform::DecodingError*>(failed.wrappedError().get()), nullptr);
  EXPECT_EQ(
      halyard::DecodableResponseSerializer<Release>()
          .serializeResponseData(request("GET"), response(200), bytes(R"({"name":"x"})"), nullptr)
          .name,
      "x");
}

TEST(ResponseSerializerTest, DownloadedFiles) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("halyard-serializer-" + std::to_string(::getpid()) + ".json");
  {
    std::ofstream file(path);
    file << R"({"name":"from file"})";
  }
  const auto fileURL = platform::URL::fileURLWithPath(path.string());
  EXPECT_EQ(halyard::DecodableResponseSerializer<Release>()
                .serializeDownloadedFile(request("GET"), response(200), fileURL, nullptr)
                .name,
            "from file");
  EXPECT_EQ(halyard::URLResponseSerializer().serializeDownloadedFile(std::nullopt, nullptr, fileURL,
                                                                     nullptr),
            fileURL);
  std::filesystem::remove(path);

  const auto missing = thrownBy([&] {
    halyard::DataResponseSerializer().serializeDownloadedFile(request("GET"), response(200),
                                                              fileURL, nullptr);
  });
  ASSERT_TRUE(isReason(missing, 0));
  EXPECT_TRUE(isReason(thrownBy([&] {
                         halyard::StringResponseSerializer().serializeDownloadedFile(
                             request("GET"), response(200), std::nullopt, nullptr);
                       }),
                       7));
  EXPECT_TRUE(isReason(thrownBy([&] {
                         halyard::URLResponseSerializer().serializeDownloadedFile(
                             std::nullopt, nullptr, std::nullopt, nullptr);
                       }),
                       7));
}

}  // namespace
