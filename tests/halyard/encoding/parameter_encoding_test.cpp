#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <string>

#include "halyard/core/halyard_error.h"
#include "halyard/encoding/json_encoding.h"
#include "halyard/encoding/url_encoding.h"
#include "halyard/support/request_builders.h"

namespace {

using halyard::HalyardError;
using halyard::JSONEncoding;
using halyard::Parameters;
using halyard::URLEncoding;
using platform::URLRequest;
using platform::Value;

const char* const kForm = "application/x-www-form-urlencoded; charset=utf-8";

using halyardtest::request;
using halyardtest::withBody;
using halyardtest::withHeader;
using halyardtest::withURL;

const URLRequest kGet = request("http://h/p");
const URLRequest kPost = request("http://h/p", "POST");

// ---- URLEncoding ---------------------------------------------------------------------------

struct URLRow {
  const char* name;
  URLRequest request;
  std::optional<Parameters> parameters;
  URLEncoding encoding;
  URLRequest expected;  // the whole request, byte for byte
};

class URLEncodingRows : public ::testing::TestWithParam<URLRow> {};

TEST_P(URLEncodingRows, EncodesTheRequestExactly) {
  const URLRow& row = GetParam();
  const URLRequest result =
      row.encoding.encodeParameterDictionary(halyard::URLRequestValue(row.request), row.parameters);
  const auto body = result.httpBody.value_or(platform::Bytes());
  EXPECT_EQ(result, row.expected) << (result.url ? result.url->absoluteString() : "no URL") << " / "
                                  << std::string(body.begin(), body.end());
}

URLEncoding arrays(URLEncoding::ArrayEncoding encoding) {
  return URLEncoding(URLEncoding::Destination::methodDependent, std::move(encoding));
}
URLEncoding literal() {
  return URLEncoding(URLEncoding::Destination::methodDependent,
                     URLEncoding::ArrayEncoding::brackets(), URLEncoding::BoolEncoding::literal);
}
const Parameters kList{{"k", Value::Array{1, 2}}};

INSTANTIATE_TEST_SUITE_P(
    Rows, URLEncodingRows,
    ::testing::Values(
        URLRow{"AppendsToQuery", request("http://h/p?a=1"), Parameters{{"b", 2}}, URLEncoding(),
               withURL(request("http://h/p?a=1"), "http://h/p?a=1&b=2")},
        URLRow{"EmptyQueryGetsAmpersand", request("http://h/p?"), Parameters{{"b", 2}},
               URLEncoding(), withURL(request("http://h/p?"), "http://h/p?&b=2")},
        URLRow{"KeysSorted", kGet, Parameters{{"z", 1}, {"a", 2}}, URLEncoding(),
               withURL(kGet, "http://h/p?a=2&z=1")},
        URLRow{"Brackets", kGet, kList, arrays(URLEncoding::ArrayEncoding::brackets()),
               withURL(kGet, "http://h/p?k%5B%5D=1&k%5B%5D=2")},
        URLRow{"NoBrackets", kGet, kList, arrays(URLEncoding::ArrayEncoding::noBrackets()),
               withURL(kGet, "http://h/p?k=1&k=2")},
        URLRow{"IndexInBrackets", kGet, kList,
               arrays(URLEncoding::ArrayEncoding::indexInBrackets()),
               withURL(kGet, "http://h/p?k%5B0%5D=1&k%5B1%5D=2")},
        URLRow{"CustomArray", kGet, kList,
               arrays(URLEncoding::ArrayEncoding::custom([](const std::string& key, int i) {
                 return key + "-" + std::to_string(i);
               })),
               withURL(kGet, "http://h/p?k-0=1&k-1=2")},
        URLRow{"DictionaryInList", kGet,
               Parameters{{"a", Value::Array{Value::Dictionary{{"b", 1}}}}}, URLEncoding(),
               withURL(kGet, "http://h/p?a%5B%5D%5Bb%5D=1")},
        URLRow{"NestedDictionary", kGet, Parameters{{"user", Value::Dictionary{{"name", "x y"}}}},
               URLEncoding(), withURL(kGet, "http://h/p?user%5Bname%5D=x%20y")},
        URLRow{"BoolNumeric", kGet, Parameters{{"f", true}}, URLEncoding(),
               withURL(kGet, "http://h/p?f=1")},
        URLRow{"BoolLiteral", kGet, Parameters{{"f", true}}, literal(),
               withURL(kGet, "http://h/p?f=true")},
        URLRow{"NumberOneIsNotBoolean", kGet, Parameters{{"n", 1}}, literal(),
               withURL(kGet, "http://h/p?n=1")},
        URLRow{"Escaping", kGet, Parameters{{"v", "a b+c&d=e/f?g~h[]é"}}, URLEncoding(),
               withURL(kGet, "http://h/p?v=a%20b%2Bc%26d%3De/f?g~h%5B%5D%C3%A9")},
        URLRow{"InvalidUTF8Escaped", kGet, Parameters{{"v", "#\xFF"}}, URLEncoding(),
               withURL(kGet, "http://h/p?v=%23%FF")},
        URLRow{"DoubleFraction", kGet, Parameters{{"d", 0.1}}, URLEncoding(),
               withURL(kGet, "http://h/p?d=0.1")},
        URLRow{"DoubleWhole", kGet, Parameters{{"d", 3.0}}, URLEncoding(),
               withURL(kGet, "http://h/p?d=3")},
        URLRow{"DoubleExponent", kGet, Parameters{{"d", 1e16}}, URLEncoding(),
               withURL(kGet, "http://h/p?d=1e%2B16")},
        URLRow{"Null", kGet, Parameters{{"x", Value()}}, URLEncoding(),
               withURL(kGet, "http://h/p?x=null")},
        URLRow{"BytesBase64", kGet, Parameters{{"b", Value::Bytes{0xFB, 0xFF}}}, URLEncoding(),
               withURL(kGet, "http://h/p?b=%2B/8%3D")},
        URLRow{"PostEmptyBody", kPost, Parameters{}, URLEncoding(), withBody(kPost, "", kForm)},
        URLRow{"GetEmptyUnchanged", kGet, Parameters{}, URLEncoding(), kGet},
        URLRow{"ExistingContentTypeKept", withHeader(kPost, "content-type", "text/plain"),
               Parameters{{"a", 1}}, URLEncoding(),
               withBody(withHeader(kPost, "content-type", "text/plain"), "a=1", std::nullopt)},
        URLRow{"NoMethodGoesToBody", request("http://h/p", std::nullopt), Parameters{{"a", 1}},
               URLEncoding::queryStringPreset(),
               withBody(request("http://h/p", std::nullopt), "a=1", kForm)},
        URLRow{"GetIntoBody", kGet, Parameters{{"a", 1}}, URLEncoding::httpBodyPreset(),
               withBody(kGet, "a=1", kForm)},
        URLRow{"AbsentParameters", request(std::nullopt), std::nullopt, URLEncoding(),
               request(std::nullopt)}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- JSONEncoding --------------------------------------------------------------------------

struct JSONRow {
  const char* name;
  JSONEncoding encoding;
  std::optional<Value> object;
  std::string body;
};

class JSONEncodingRows : public ::testing::TestWithParam<JSONRow> {};

TEST_P(JSONEncodingRows, WritesTheBodyAndContentType) {
  const JSONRow& row = GetParam();
  const URLRequest result =
      row.encoding.encodeJSONObject(halyard::URLRequestValue(kPost), row.object);
  EXPECT_EQ(result, withBody(kPost, row.body, "application/json"));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, JSONEncodingRows,
    ::testing::Values(JSONRow{"Empty", JSONEncoding(), Value(Value::Dictionary{}), "{}"},
                      JSONRow{"KeyOrderAndSlashes", JSONEncoding(),
                              Value(Value::Dictionary{{"url", "http://a/b"}, {"n", 1.5}}),
                              R"({"n":1.5,"url":"http:\/\/a\/b"})"},
                      JSONRow{"PrettyPrinted", JSONEncoding::prettyPrintedPreset(),
                              Value(Value::Dictionary{{"a", Value::Array{1, 2}}, {"b", 1}}),
                              "{\n  \"a\" : [\n    1,\n    2\n  ],\n  \"b\" : 1\n}"},
                      JSONRow{"TopLevelList", JSONEncoding(), Value(Value::Array{1, 2}), "[1,2]"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JSONEncoding, DictionaryFormKeepsAnExistingContentTypeAndSkipsAbsentParameters) {
  const URLRequest typed = withHeader(kPost, "Content-Type", "text/plain");
  EXPECT_EQ(JSONEncoding().encodeParameterDictionary(halyard::URLRequestValue(typed),
                                                     Parameters{{"a", 1}}),
            withBody(typed, R"({"a":1})", std::nullopt));
  EXPECT_EQ(JSONEncoding().encodeParameterDictionary(halyard::URLRequestValue(kPost), std::nullopt),
            kPost);
}

// ---- Failures of both ------------------------------------------------------------------------

struct FailureRow {
  const char* name;
  URLRequest request;
  std::function<URLRequest(const URLRequest&)> encode;
  std::function<void(const HalyardError&)> check;
};

class EncodingFailureRows : public ::testing::TestWithParam<FailureRow> {};

TEST_P(EncodingFailureRows, ThrowsAndLeavesTheRequestAlone) {
  const FailureRow& row = GetParam();
  const URLRequest original = row.request;
  URLRequest caller = row.request;
  try {
    row.encode(caller);
    ADD_FAILURE() << "no error";
  } catch (const HalyardError& error) {
    ASSERT_TRUE(error.isParameterEncodingFailed()) << error.debugDescription();
    row.check(error);
  }
  EXPECT_EQ(caller, original);
}

const HalyardError::ParameterEncodingFailureReason& reasonOf(const HalyardError& error) {
  return error.as<HalyardError::ParameterEncodingFailed>()->reason;
}

void isMissingURL(const HalyardError& error) {
  EXPECT_TRUE(std::holds_alternative<HalyardError::ParameterEncodingFailureReason::MissingURL>(
      reasonOf(error).storage));
}

void isInvalidJSONObject(const HalyardError& error) {
  const auto* failed =
      std::get_if<HalyardError::ParameterEncodingFailureReason::JSONEncodingFailed>(
          &reasonOf(error).storage);
  ASSERT_NE(failed, nullptr);
  const auto* inner = dynamic_cast<const JSONEncoding::Error*>(failed->error.get());
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(inner->kind(), JSONEncoding::Error::Kind::invalidJSONObject);
  EXPECT_EQ(inner->localizedDescription(),
            "Invalid JSON object provided for parameter or object encoding. This is most likely "
            "due to a value which can't be represented in Objective-C.");
}

std::function<URLRequest(const URLRequest&)> url(Parameters parameters) {
  return [parameters](const URLRequest& r) {
    return URLEncoding().encodeParameterDictionary(halyard::URLRequestValue(r), parameters);
  };
}
std::function<URLRequest(const URLRequest&)> json(Parameters parameters) {
  return [parameters](const URLRequest& r) {
    return JSONEncoding().encodeParameterDictionary(halyard::URLRequestValue(r), parameters);
  };
}

INSTANTIATE_TEST_SUITE_P(
    Rows, EncodingFailureRows,
    ::testing::Values(FailureRow{"GetWithoutURL", request(std::nullopt), url({}), isMissingURL},
                      FailureRow{"GetWithoutURLWithParameters", request(std::nullopt),
                                 url({{"a", 1}}), isMissingURL},
                      FailureRow{"NaN", kPost,
                                 json({{"n", std::numeric_limits<double>::quiet_NaN()}}),
                                 isInvalidJSONObject},
                      FailureRow{"InvalidUTF8", kPost, json({{"t", "\xFF"}}), isInvalidJSONObject}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
