#include "halyard/core/halyard_error.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/net/url_components.h"
#include "platform/net/url_error.h"

namespace {

using halyard::HalyardError;
using platform::URL;

// An error from elsewhere, with different texts for users and for logs.
class InnerError : public platform::Error {
 public:
  std::string localizedDescription() const override { return "inner failure"; }
  std::string debugDescription() const override { return "InnerError(code: 7)"; }
};

const platform::ErrorPtr inner = std::make_shared<InnerError>();
const URL source = *URL::fromString("file:///tmp/a");
const URL destination = *URL::fromString("file:///tmp/b");

using MReason = HalyardError::MultipartEncodingFailureReason;
using PReason = HalyardError::ParameterEncodingFailureReason;
using EReason = HalyardError::ParameterEncoderFailureReason;
using VReason = HalyardError::ResponseValidationFailureReason;
using SReason = HalyardError::ResponseSerializationFailureReason;
using TReason = HalyardError::ServerTrustFailureReason;
using UReason = HalyardError::URLRequestValidationFailureReason;

struct Case {
  HalyardError error;
  std::string message;
  std::size_t tag;
};

TEST(HalyardErrorTest, EveryCaseHasItsTagAndMessage) {
  const std::vector<Case> cases = {
      {HalyardError::createUploadableFailed(inner),
       "Uploadable creation failed with error: inner failure", 0},
      {HalyardError::createURLRequestFailed(inner),
       "URLRequest creation failed with error: inner failure", 1},
      {HalyardError::downloadedFileMoveFailed(inner, source, destination),
       "Moving downloaded file from: file:///tmp/a to: file:///tmp/b failed with error: inner "
       "failure",
       2},
      {HalyardError::invalidURL("not a url"), "URL is not valid: not a url", 3},
      {HalyardError::multipartEncodingFailed(MReason::BodyPartFileIsDirectory{source}),
       "The URL provided is a directory: file:///tmp/a", 4},
      {HalyardError::parameterEncodingFailed(PReason::MissingURL{}),
       "URL request to encode was missing a URL", 5},
      {HalyardError::parameterEncoderFailed(EReason::EncoderFailed{inner}),
       "The underlying encoder failed with the error: InnerError(code: 7)", 6},
      {HalyardError::requestAdaptationFailed(inner),
       "Request adaption failed with error: inner failure", 7},
      {HalyardError::requestRetryFailed(inner,
                                        halyard::makeErrorPtr(HalyardError::explicitlyCancelled())),
       "Request retry failed with retry error: inner failure, original error: Request explicitly "
       "cancelled.",
       8},
      {HalyardError::responseValidationFailed(VReason::UnacceptableStatusCode{404}),
       "Response status code was unacceptable: 404.", 9},
      {HalyardError::responseSerializationFailed(SReason::InputDataNilOrZeroLength{}),
       "Response could not be serialized, input data was nil or zero length.", 10},
      {HalyardError::serverTrustEvaluationFailed(TReason::TrustEvaluationFailed{nullptr}),
       "Server trust evaluation failed due to reason: SecTrust evaluation failed with error: "
       "None",
       11},
      {HalyardError::sessionInvalidated(), "Session was invalidated with error: No description.",
       12},
      {HalyardError::sessionTaskFailed(inner), "URLSessionTask failed with error: inner failure",
       13},
      {HalyardError::urlRequestValidationFailed(UReason::BodyDataInGETRequest{{'h', 'i'}}),
       "URLRequest validation failed due to reason: Invalid URLRequest: Requests with GET method "
       "cannot have body data:\nhi",
       14},
      {HalyardError::explicitlyCancelled(), "Request explicitly cancelled.", 15},
      {HalyardError::sessionDeinitialized(),
       "Session was invalidated without error, so it was likely deinitialized unexpectedly. Be "
       "sure to retain a reference to your Session for the duration of your requests.",
       16},
  };
  ASSERT_EQ(cases.size(), 17u);
  const std::vector<std::function<bool(const HalyardError&)>> tests = {
      &HalyardError::isCreateUploadableFailed,
      &HalyardError::isCreateURLRequestFailed,
      &HalyardError::isDownloadedFileMoveFailed,
      &HalyardError::isInvalidURL,
      &HalyardError::isMultipartEncodingFailed,
      &HalyardError::isParameterEncodingFailed,
      &HalyardError::isParameterEncoderFailed,
      &HalyardError::isRequestAdaptationFailed,
      &HalyardError::isRequestRetryFailed,
      &HalyardError::isResponseValidationFailed,
      &HalyardError::isResponseSerializationFailed,
      &HalyardError::isServerTrustEvaluationFailed,
      &HalyardError::isSessionInvalidated,
      &HalyardError::isSessionTaskFailed,
      nullptr,  // urlRequestValidationFailed has no test of its own
      &HalyardError::isExplicitlyCancelled,
      &HalyardError::isSessionDeinitialized,
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(c.error.tag(), c.tag);
    EXPECT_EQ(c.error.errorDescription(), c.message);
    EXPECT_EQ(c.error.localizedDescription(), c.message);
    EXPECT_EQ(std::string(c.error.what()), c.message);
    for (std::size_t t = 0; t < tests.size(); ++t) {
      if (tests[t]) {
        EXPECT_EQ(tests[t](c.error), t == c.tag) << "case test " << t;
      }
    }
  }
}

TEST(HalyardErrorTest, ReasonTexts) {
  const std::vector<std::pair<HalyardError, std::string>> table = {
      {HalyardError::multipartEncodingFailed(MReason::BodyPartURLInvalid{source}),
       "The URL provided is not a file URL: file:///tmp/a"},
      {HalyardError::multipartEncodingFailed(
           MReason::BodyPartFileNotReachableWithError{source, inner}),
       "The system returned an error while checking the provided URL for reachability.\nURL: "
       "file:///tmp/a\nError: InnerError(code: 7)"},
      {HalyardError::multipartEncodingFailed(MReason::InputStreamReadFailed{
           std::make_shared<HalyardError::UnexpectedInputStreamLength>(10, 5)}),
       "InputStream read failed with error: UnexpectedInputStreamLength(bytesExpected: 10, "
       "bytesRead: 5)"},
      {HalyardError::multipartEncodingFailed(MReason::BodyPartInputStreamCreationFailed{source}),
       "Failed to create an InputStream for the provided URL: file:///tmp/a"},
      {HalyardError::parameterEncodingFailed(PReason::JSONEncodingFailed{inner}),
       "JSON could not be encoded because of error:\ninner failure"},
      {HalyardError::parameterEncoderFailed(
           EReason::MissingRequiredComponent{EReason::RequiredComponent::httpMethod("GET")}),
       "Encoding failed due to a missing request component: httpMethod(rawValue: \"GET\")"},
      {HalyardError::parameterEncoderFailed(
           EReason::MissingRequiredComponent{EReason::RequiredComponent::url()}),
       "Encoding failed due to a missing request component: url"},
      {HalyardError::responseValidationFailed(
           VReason::MissingContentType{{"application/json", "image/png"}}),
       "Response Content-Type was missing and acceptable content types "
       "(application/json,image/png) do not match \"*/*\"."},
      {HalyardError::responseValidationFailed(
           VReason::UnacceptableContentType{{"application/json"}, "text/html"}),
       "Response Content-Type \"text/html\" does not match any acceptable types: "
       "application/json."},
      {HalyardError::responseValidationFailed(VReason::DataFileNil{}),
       "Response could not be validated, data file was nil."},
      {HalyardError::responseSerializationFailed(
           SReason::StringSerializationFailed{platform::StringEncoding::utf8}),
       "String could not be serialized with encoding: Unicode (UTF-8)."},
      {HalyardError::responseSerializationFailed(SReason::InvalidEmptyResponse{"Release"}),
       "Empty response could not be serialized to type: Release. Use Empty as the expected type "
       "for such responses."},
      {HalyardError::responseSerializationFailed(SReason::DecodingFailed{inner}),
       "Response could not be decoded because of error:\ninner failure"},
      {HalyardError::serverTrustEvaluationFailed(TReason::NoRequiredEvaluator{"example.org"}),
       "Server trust evaluation failed due to reason: A ServerTrustEvaluating value is required "
       "for host example.org but none was found."},
      {HalyardError::serverTrustEvaluationFailed(
           TReason::DefaultEvaluationFailed{TReason::Output{"example.org", nullptr, 0, 0}}),
       "Server trust evaluation failed due to reason: Default evaluation failed for host "
       "example.org."},
      {HalyardError::sessionInvalidated(inner),
       "Session was invalidated with error: inner failure"},
  };
  for (const auto& [error, text] : table)
    EXPECT_EQ(error.errorDescription(), text);
}

TEST(HalyardErrorTest, NestedErrorsEmbedTheirFullMessage) {
  const auto retry = HalyardError::requestRetryFailed(
      halyard::makeErrorPtr(
          HalyardError::responseValidationFailed(VReason::UnacceptableStatusCode{500})),
      inner);
  EXPECT_EQ(retry.errorDescription(),
            "Request retry failed with retry error: Response status code was unacceptable: 500., "
            "original error: inner failure");
}

TEST(HalyardErrorTest, InvalidUTF8InAGETBodyStillGivesAMessage) {
  const auto error =
      HalyardError::urlRequestValidationFailed(UReason::BodyDataInGETRequest{{'a', 0xFF, 'b'}});
  EXPECT_EQ(error.errorDescription(),
            "URLRequest validation failed due to reason: Invalid URLRequest: Requests with GET "
            "method cannot have body data:\na\xEF\xBF\xBD"
            "b");
}

TEST(HalyardErrorTest, PayloadAccessorsAnswerOnlyForTheirCases) {
  const auto status = HalyardError::responseValidationFailed(VReason::UnacceptableStatusCode{404});
  EXPECT_EQ(status.rejectedStatusCode(), 404);
  EXPECT_FALSE(HalyardError::explicitlyCancelled().rejectedStatusCode());
  EXPECT_FALSE(HalyardError::responseValidationFailed(VReason::DataFileNil{}).rejectedStatusCode());

  const auto types = HalyardError::responseValidationFailed(
      VReason::UnacceptableContentType{{"application/json"}, "text/html"});
  EXPECT_EQ(types.allowedContentTypes(), std::vector<std::string>{"application/json"});
  EXPECT_EQ(types.receivedContentType(), "text/html");
  EXPECT_FALSE(status.allowedContentTypes());

  const auto move = HalyardError::downloadedFileMoveFailed(inner, source, destination);
  EXPECT_EQ(move.moveSourceURL(), source);
  EXPECT_EQ(move.moveDestinationURL(), destination);
  EXPECT_EQ(move.wrappedError(), inner);

  const auto invalid = HalyardError::invalidURL(halyard::URLConvertible("bad url"));
  ASSERT_TRUE(invalid.invalidURLValue());
  ASSERT_TRUE(invalid.invalidURLValue()->text());
  EXPECT_EQ(*invalid.invalidURLValue()->text(), "bad url");

  const auto multipart = HalyardError::multipartEncodingFailed(
      MReason::BodyPartFileSizeQueryFailedWithError{source, inner});
  EXPECT_EQ(multipart.multipartFileURL(), source);
  EXPECT_EQ(multipart.wrappedError(), inner);
  EXPECT_FALSE(HalyardError::multipartEncodingFailed(MReason::OutputStreamWriteFailed{inner})
                   .multipartFileURL());

  const auto encoding = HalyardError::responseSerializationFailed(
      SReason::StringSerializationFailed{platform::StringEncoding::utf16});
  EXPECT_EQ(encoding.failedTextEncoding(),
            platform::StringEncoding(platform::StringEncoding::utf16));
}

TEST(HalyardErrorTest, WrappedErrorFollowsTheCase) {
  const auto retryError = halyard::makeErrorPtr(HalyardError::explicitlyCancelled());
  EXPECT_EQ(HalyardError::requestRetryFailed(retryError, inner).wrappedError(), retryError);
  EXPECT_EQ(HalyardError::sessionInvalidated().wrappedError(), nullptr);
  EXPECT_EQ(
      HalyardError::responseValidationFailed(VReason::CustomValidationFailed{inner}).wrappedError(),
      inner);
  EXPECT_EQ(HalyardError::responseValidationFailed(VReason::DataFileNil{}).wrappedError(), nullptr);
  EXPECT_EQ(HalyardError::parameterEncodingFailed(PReason::MissingURL{}).wrappedError(), nullptr);
  EXPECT_EQ(HalyardError::serverTrustEvaluationFailed(TReason::CustomEvaluationFailed{inner})
                .wrappedError(),
            inner);
  EXPECT_EQ(HalyardError::invalidURL("x").wrappedError(), nullptr);
}

TEST(HalyardErrorTest, ResumeDataIsAbsentWithoutALoadingErrorThatCarriesIt) {
  EXPECT_FALSE(HalyardError::explicitlyCancelled().resumeDataFromError());
  const auto loading = std::make_shared<platform::URLError>(platform::URLError::Code::timedOut);
  EXPECT_FALSE(HalyardError::sessionTaskFailed(loading).resumeDataFromError());
}

TEST(HalyardErrorTest, ConversionsKeepHalyardErrorsAndWrapTheRest) {
  const auto stored = halyard::makeErrorPtr(HalyardError::explicitlyCancelled());
  ASSERT_TRUE(halyard::toHalyardError(stored));
  EXPECT_TRUE(halyard::toHalyardError(stored)->isExplicitlyCancelled());
  EXPECT_FALSE(halyard::toHalyardError(inner));

  bool called = false;
  const auto kept = halyard::toHalyardErrorOrElse(stored, [&](const platform::ErrorPtr&) {
    called = true;
    return HalyardError::sessionDeinitialized();
  });
  EXPECT_FALSE(called);
  EXPECT_TRUE(kept.isExplicitlyCancelled());
  const auto wrapped = halyard::toHalyardErrorOrElse(
      inner, [](const platform::ErrorPtr& e) { return HalyardError::sessionTaskFailed(e); });
  EXPECT_EQ(wrapped.wrappedError(), inner);
}

TEST(HalyardErrorTest, CaughtErrorsKeepTheirDynamicType) {
  try {
    throw platform::URLError(platform::URLError::Code::cancelled);
  } catch (...) {
    const auto error = halyard::currentError();
    auto urlError = dynamic_cast<const platform::URLError*>(error.get());
    ASSERT_NE(urlError, nullptr);
    EXPECT_EQ(urlError->code(), platform::URLError::Code::cancelled);
  }
  try {
    halyard::throwError(inner);
  } catch (...) {
    EXPECT_EQ(halyard::currentError(), inner);
  }
  try {
    throw std::runtime_error("plain");
  } catch (...) {
    EXPECT_EQ(halyard::currentError()->localizedDescription(), "plain");
  }
}

TEST(HalyardErrorDeathTest, ARetryErrorThatIsNotAnHalyardErrorStopsTheProgram) {
  EXPECT_DEATH(
      halyard::toHalyardErrorOrFail(inner, "Received retryError was not already HalyardError"),
      "Fatal error: Received retryError was not already HalyardError");
}

}  // namespace
