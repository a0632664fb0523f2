#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <string>

#include "halyard/core/halyard_error.h"
#include "halyard/encoding/json_parameter_encoder.h"
#include "halyard/encoding/url_encoded_form_parameter_encoder.h"
#include "halyard/support/request_builders.h"

namespace {

using halyard::AnyEncodable;
using halyard::HalyardError;
using halyard::JSONParameterEncoder;
using halyard::ParameterEncoder;
using halyard::URLEncodedFormEncoder;
using halyard::URLEncodedFormParameterEncoder;
using platform::URLRequest;
using Destination = URLEncodedFormParameterEncoder::Destination;

const char* const kForm = "application/x-www-form-urlencoded; charset=utf-8";

// Fields written b = "x/y", then a = 1.
struct S {
  void encode(platform::Encoder& encoder) const {
    auto c = encoder.container();
    c->encode(std::string("x/y"), "b");
    c->encode(1, "a");
  }
};
struct B2 {
  void encode(platform::Encoder& encoder) const { encoder.container()->encode(2, "b"); }
};
struct NoFields {
  void encode(platform::Encoder& encoder) const { encoder.container(); }
};
struct HoldsNaN {
  void encode(platform::Encoder& encoder) const {
    encoder.container()->encode(std::numeric_limits<double>::quiet_NaN(), "n");
  }
};
struct TopLevelText {
  void encode(platform::Encoder& encoder) const {
    encoder.singleValueContainer()->encodeString("x");
  }
};

using halyardtest::request;
using halyardtest::withBody;
using halyardtest::withHeader;
using halyardtest::withURL;

std::shared_ptr<ParameterEncoder> form(Destination destination = Destination::methodDependent) {
  return std::make_shared<URLEncodedFormParameterEncoder>(std::make_shared<URLEncodedFormEncoder>(),
                                                          destination);
}

const URLRequest kGet = request("http://h/p");
const URLRequest kPost = request("http://h/p", "POST");

struct Row {
  const char* name;
  std::shared_ptr<ParameterEncoder> encoder;
  std::optional<AnyEncodable> value;
  URLRequest request;
  URLRequest expected;
};

class ParameterEncoderRows : public ::testing::TestWithParam<Row> {};

TEST_P(ParameterEncoderRows, EncodesTheRequestExactly) {
  const Row& row = GetParam();
  const URLRequest result = row.encoder->encodeParameters(row.value, row.request);
  const auto body = result.httpBody.value_or(platform::Bytes());
  EXPECT_EQ(result, row.expected) << (result.url ? result.url->absoluteString() : "no URL") << " / "
                                  << std::string(body.begin(), body.end());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ParameterEncoderRows,
    ::testing::Values(
        Row{"FormAppendsToQuery", form(), AnyEncodable(B2{}), request("http://h/p?a=1"),
            withURL(request("http://h/p?a=1"), "http://h/p?a=1&b=2")},
        Row{"FormEmptyQueryGetsAmpersand", form(), AnyEncodable(B2{}), request("http://h/p?"),
            withURL(request("http://h/p?"), "http://h/p?&b=2")},
        Row{"FormNothingWrittenNoQuestionMark", form(), AnyEncodable(NoFields{}), kGet, kGet},
        Row{"FormPostIntoBody", form(), AnyEncodable(S{}), kPost,
            withBody(kPost, "a=1&b=x/y", kForm)},
        Row{"FormGetIntoBodyWhenAsked", form(Destination::httpBody), AnyEncodable(S{}), kGet,
            withBody(kGet, "a=1&b=x/y", kForm)},
        Row{"FormPostIntoQueryWhenAsked", form(Destination::queryString), AnyEncodable(S{}), kPost,
            withURL(kPost, "http://h/p?a=1&b=x/y")},
        Row{"FormKeepsContentType", form(), AnyEncodable(S{}),
            withHeader(kPost, "content-type", "text/plain"),
            withBody(withHeader(kPost, "content-type", "text/plain"), "a=1&b=x/y", std::nullopt)},
        Row{"FormAbsentValueNoURLNoMethod", form(), std::nullopt,
            request(std::nullopt, std::nullopt), request(std::nullopt, std::nullopt)},
        Row{"JSONAbsentValueNoURLNoMethod", JSONParameterEncoder::defaultPreset(), std::nullopt,
            request(std::nullopt, std::nullopt), request(std::nullopt, std::nullopt)},
        Row{"JSONDefault", JSONParameterEncoder::defaultPreset(), AnyEncodable(S{}), kPost,
            withBody(kPost, R"({"b":"x\/y","a":1})", "application/json")},
        Row{"JSONSortedKeys", JSONParameterEncoder::sortedKeysPreset(), AnyEncodable(S{}), kPost,
            withBody(kPost, R"({"a":1,"b":"x\/y"})", "application/json")},
        Row{"JSONPrettyPrinted", JSONParameterEncoder::prettyPrintedPreset(), AnyEncodable(S{}),
            kPost, withBody(kPost, "{\n  \"b\" : \"x\\/y\",\n  \"a\" : 1\n}", "application/json")},
        Row{"JSONKeepsContentType", JSONParameterEncoder::defaultPreset(), AnyEncodable(B2{}),
            withHeader(kPost, "Content-Type", "text/plain"),
            withBody(withHeader(kPost, "Content-Type", "text/plain"), R"({"b":2})", std::nullopt)}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Failures ------------------------------------------------------------------------------

struct FailureRow {
  const char* name;
  std::shared_ptr<ParameterEncoder> encoder;
  AnyEncodable value;
  URLRequest request;
  std::function<void(const HalyardError&)> check;
};

class ParameterEncoderFailureRows : public ::testing::TestWithParam<FailureRow> {};

TEST_P(ParameterEncoderFailureRows, ThrowsAndLeavesTheRequestAlone) {
  const FailureRow& row = GetParam();
  const URLRequest original = row.request;
  const URLRequest caller = row.request;
  try {
    row.encoder->encodeParameters(row.value, caller);
    ADD_FAILURE() << "no error";
  } catch (const HalyardError& error) {
    row.check(error);
  }
  EXPECT_EQ(caller, original);
}

using EncoderReason = HalyardError::ParameterEncoderFailureReason;

std::function<void(const HalyardError&)> missing(std::optional<std::string> method) {
  return [method](const HalyardError& error) {
    const auto* failed = error.as<HalyardError::ParameterEncoderFailed>();
    ASSERT_NE(failed, nullptr) << error.debugDescription();
    const auto* reason =
        std::get_if<EncoderReason::MissingRequiredComponent>(&failed->reason.storage);
    ASSERT_NE(reason, nullptr);
    const auto& component = reason->component.storage;
    if (method) {
      const auto* http =
          std::get_if<EncoderReason::RequiredComponent::HTTPMethodComponent>(&component);
      ASSERT_NE(http, nullptr);
      EXPECT_EQ(http->rawValue, *method);
    } else {
      EXPECT_TRUE(
          std::holds_alternative<EncoderReason::RequiredComponent::URLComponent>(component));
    }
  };
}

void formEncoderFailed(const HalyardError& error) {
  const auto* failed = error.as<HalyardError::ParameterEncoderFailed>();
  ASSERT_NE(failed, nullptr) << error.debugDescription();
  const auto* reason = std::get_if<EncoderReason::EncoderFailed>(&failed->reason.storage);
  ASSERT_NE(reason, nullptr);
  const auto* inner = dynamic_cast<const URLEncodedFormEncoder::Error*>(reason->error.get());
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(inner->description(), "string(\"x\")");
}

void jsonEncodingFailed(const HalyardError& error) {
  const auto* failed = error.as<HalyardError::ParameterEncodingFailed>();
  ASSERT_NE(failed, nullptr) << error.debugDescription();
  const auto* reason =
      std::get_if<HalyardError::ParameterEncodingFailureReason::JSONEncodingFailed>(
          &failed->reason.storage);
  ASSERT_NE(reason, nullptr);
  const auto* inner = dynamic_cast<const platform::EncodingError*>(reason->error.get());
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(inner->context().codingPath, platform::CodingPath{platform::CodingKey::key("n")});
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ParameterEncoderFailureRows,
    ::testing::Values(FailureRow{"FormNoURL", form(), AnyEncodable(S{}), request(std::nullopt),
                                 missing(std::nullopt)},
                      FailureRow{"FormNoMethod", form(), AnyEncodable(S{}),
                                 request("http://h/p", std::nullopt), missing("nil")},
                      FailureRow{"FormEncoderThrowsInQuery", form(), AnyEncodable(TopLevelText{}),
                                 kGet, formEncoderFailed},
                      FailureRow{"FormEncoderThrowsInBody", form(), AnyEncodable(TopLevelText{}),
                                 kPost, formEncoderFailed},
                      FailureRow{"JSONNaN", JSONParameterEncoder::defaultPreset(),
                                 AnyEncodable(HoldsNaN{}), kPost, jsonEncodingFailed}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ParameterEncoderPresets, EachReadMakesNewObjects) {
  const auto first = JSONParameterEncoder::prettyPrintedPreset();
  const auto second = JSONParameterEncoder::prettyPrintedPreset();
  EXPECT_NE(first, second);
  EXPECT_NE(first->encoder, second->encoder);
  const auto form1 = URLEncodedFormParameterEncoder::makeDefault();
  const auto form2 = URLEncodedFormParameterEncoder::makeDefault();
  EXPECT_NE(form1, form2);
  EXPECT_NE(form1->encoder, form2->encoder);
  EXPECT_EQ(form1->destination, Destination::methodDependent);
}

}  // namespace
