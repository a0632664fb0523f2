#include "halyard/core/request_helpers.h"

#include <gtest/gtest.h>

#include "halyard/core/http_headers.h"
#include "halyard/core/url_convertible.h"

namespace {

using halyard::HalyardError;
using halyard::HTTPMethod;

platform::URLRequest requestWith(std::optional<std::string> method,
                                 std::optional<platform::Bytes> body) {
  platform::URLRequest request(*platform::URL::fromString("http://127.0.0.1/"));
  request.httpMethod = std::move(method);
  request.httpBody = std::move(body);
  return request;
}

TEST(RequestHelpersTest, OnlyAnExactGETMayNotCarryABody) {
  EXPECT_NO_THROW(halyard::validateNoBodyInGET(requestWith("get", platform::Bytes{'x'})));
  EXPECT_NO_THROW(halyard::validateNoBodyInGET(requestWith("POST", platform::Bytes{'x'})));
  EXPECT_NO_THROW(halyard::validateNoBodyInGET(requestWith(std::nullopt, platform::Bytes{'x'})));
  EXPECT_NO_THROW(halyard::validateNoBodyInGET(requestWith("GET", std::nullopt)));
  try {
    halyard::validateNoBodyInGET(requestWith("GET", platform::Bytes{}));
    FAIL() << "an empty body is still a body";
  } catch (const HalyardError& error) {
    auto reason = error.as<HalyardError::URLRequestValidationFailed>();
    ASSERT_NE(reason, nullptr);
    EXPECT_TRUE(std::get<HalyardError::URLRequestValidationFailureReason::BodyDataInGETRequest>(
                    reason->reason.storage)
                    .body.empty());
  }
}

TEST(RequestHelpersTest, CharsetNames) {
  using platform::StringEncoding;
  EXPECT_EQ(halyard::stringEncodingFromIANACharsetName("UTF-8"),
            StringEncoding(StringEncoding::utf8));
  EXPECT_EQ(halyard::stringEncodingFromIANACharsetName("Utf-8"),
            StringEncoding(StringEncoding::utf8));
  EXPECT_EQ(halyard::stringEncodingFromIANACharsetName("iso-10646-ucs-2"),
            StringEncoding(StringEncoding::utf16));
  EXPECT_EQ(halyard::stringEncodingFromIANACharsetName("UTF-32LE"),
            StringEncoding(StringEncoding::utf32LittleEndian));
  EXPECT_FALSE(halyard::stringEncodingFromIANACharsetName("utf8"));
  EXPECT_FALSE(halyard::stringEncodingFromIANACharsetName("windows-1252"));
}

TEST(RequestHelpersTest, MethodsCompareExactly) {
  EXPECT_NE(HTTPMethod("get"), HTTPMethod::GET);
  EXPECT_EQ(HTTPMethod("GET"), HTTPMethod::GET);
  platform::URLRequest request;
  halyard::setRequestMethod(request, HTTPMethod::PATCH);
  EXPECT_EQ(halyard::requestMethod(request), HTTPMethod::PATCH);
  halyard::setRequestMethod(request, std::nullopt);
  EXPECT_FALSE(halyard::requestMethod(request));
}

TEST(RequestHelpersTest, ResultTransforms) {
  const std::expected<int, HalyardError> success = 2;
  const std::expected<int, HalyardError> failure =
      std::unexpected(HalyardError::explicitlyCancelled());
  EXPECT_TRUE(halyard::isSucceeded(success));
  EXPECT_TRUE(halyard::isFailed(failure));
  EXPECT_EQ(halyard::successIfAny(success), 2);
  EXPECT_FALSE(halyard::successIfAny(failure));
  EXPECT_TRUE(halyard::failureIfAny(failure)->isExplicitlyCancelled());

  bool ran = false;
  auto carried = halyard::mapSuccessThrowing(failure, [&](int v) {
    ran = true;
    return v * 2;
  });
  EXPECT_FALSE(ran);
  ASSERT_FALSE(carried);
  EXPECT_TRUE(halyard::toHalyardError(carried.error())->isExplicitlyCancelled());

  auto thrown = halyard::mapSuccessThrowing(
      success, [](int) -> int { throw HalyardError::sessionDeinitialized(); });
  ASSERT_FALSE(thrown);
  EXPECT_TRUE(halyard::toHalyardError(thrown.error())->isSessionDeinitialized());
  EXPECT_EQ(*halyard::mapSuccessThrowing(success, [](int v) { return v + 1; }), 3);

  auto replaced = halyard::mapFailureThrowing(
      failure, [](const HalyardError&) { return HalyardError::sessionInvalidated(); });
  EXPECT_TRUE(halyard::toHalyardError(replaced.error())->isSessionInvalidated());
  EXPECT_EQ(*halyard::mapFailureThrowing(success, [](const HalyardError& e) { return e; }), 2);
}

TEST(URLConvertibleTest, TextsAndComponentsThatAreNoURLFailWithThemselves) {
  try {
    (void)halyard::URLConvertible("http://bad host/").toURL();
    FAIL();
  } catch (const HalyardError& error) {
    ASSERT_TRUE(error.isInvalidURL());
    EXPECT_EQ(*error.invalidURLValue()->text(), "http://bad host/");
    EXPECT_EQ(error.errorDescription(), "URL is not valid: http://bad host/");
  }
  platform::URLComponents components;
  components.setHost("example.org");
  components.setPercentEncodedPath("no-leading-slash");
  try {
    (void)halyard::URLConvertible(components).toURL();
    FAIL();
  } catch (const HalyardError& error) {
    ASSERT_TRUE(error.invalidURLValue()->components());
    EXPECT_EQ(*error.invalidURLValue()->components(), components);
  }
  const auto url = *platform::URL::fromString("http://127.0.0.1/a?");
  EXPECT_EQ(halyard::URLConvertible(url).toURL(), url);
}

TEST(URLConvertibleTest, RequestsFromAnAddressAMethodAndHeaders) {
  const auto plain =
      halyard::urlRequestFromConvertible("http://127.0.0.1/x", HTTPMethod::DELETE, std::nullopt);
  EXPECT_EQ(plain.httpMethod, "DELETE");
  EXPECT_EQ(plain.timeoutInterval, 60.0);
  EXPECT_FALSE(plain.allHTTPHeaderFields());

  const auto withHeaders = halyard::urlRequestFromConvertible(
      "http://127.0.0.1/x", HTTPMethod::GET,
      halyard::HTTPHeaders{{"Accept", "a/b"}, {"X-Custom", "1"}});
  EXPECT_EQ(withHeaders.valueForHTTPHeaderField("accept"), "a/b");
  EXPECT_EQ(withHeaders.valueForHTTPHeaderField("X-Custom"), "1");

  struct Failing : halyard::URLRequestConvertible {
    platform::URLRequest toURLRequest() const override {
      throw HalyardError::explicitlyCancelled();
    }
  };
  EXPECT_FALSE(Failing().urlRequestOrNil());
  EXPECT_EQ(halyard::URLRequestValue(plain).urlRequestOrNil(), plain);
}

}  // namespace
