#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <variant>
#include <vector>

#include "halyard/core/url_convertible.h"
#include "platform/foundation/error.h"
#include "platform/foundation/string_encoding.h"
#include "platform/net/url.h"
#include "platform/net/url_request.h"

namespace platform {
// Trust, policy, certificate and key objects of the security layer.
class SecTrust;
class SecPolicy;
class SecCertificate;
class SecKey;
}  // namespace platform

namespace halyard {

using platform::ErrorPtr;

using SecTrustRef = std::shared_ptr<const platform::SecTrust>;
using SecPolicyRef = std::shared_ptr<const platform::SecPolicy>;
using SecCertificateRef = std::shared_ptr<const platform::SecCertificate>;
using SecKeyRef = std::shared_ptr<const platform::SecKey>;
using OSStatus = std::int32_t;
using SecTrustResultType = std::uint32_t;

// The option set of the revocation trust evaluator, carried by a revocation failure.
struct RevocationTrustEvaluatorOptions {
  std::uint32_t rawValue = 0;
  bool operator==(const RevocationTrustEvaluatorOptions&) const = default;
};

// The one error type of the HTTP client: a value over 17 cases, eight of which carry a reason
// that says in more detail what went wrong. Errors from elsewhere are wrapped into one of its
// cases where they enter the client.
class HalyardError : public platform::Error {
 public:
  // ---- Reasons -----------------------------------------------------------------------------

  // The byte count of a multipart body part's stream disagreed with its announced length.
  class UnexpectedInputStreamLength : public platform::Error {
   public:
    UnexpectedInputStreamLength(std::uint64_t expected, std::uint64_t read)
        : bytesExpected(expected), bytesRead(read) {}
    std::uint64_t bytesExpected;
    std::uint64_t bytesRead;
    // "UnexpectedInputStreamLength(bytesExpected: 10, bytesRead: 5)"
    std::string localizedDescription() const override;
    std::string debugDescription() const override { return localizedDescription(); }
  };

  struct MultipartEncodingFailureReason {
    struct BodyPartURLInvalid {
      platform::URL url;
    };
    struct BodyPartFilenameInvalid {
      platform::URL in;
    };
    struct BodyPartFileNotReachable {
      platform::URL at;
    };
    struct BodyPartFileNotReachableWithError {
      platform::URL atURL;
      ErrorPtr error;
    };
    struct BodyPartFileIsDirectory {
      platform::URL at;
    };
    struct BodyPartFileSizeNotAvailable {
      platform::URL at;
    };
    struct BodyPartFileSizeQueryFailedWithError {
      platform::URL forURL;
      ErrorPtr error;
    };
    // `for` is a keyword here, so the label carries an underscore.
    struct BodyPartInputStreamCreationFailed {
      platform::URL for_;
    };
    struct OutputStreamCreationFailed {
      platform::URL for_;
    };
    struct OutputStreamFileAlreadyExists {
      platform::URL at;
    };
    struct OutputStreamURLInvalid {
      platform::URL url;
    };
    struct OutputStreamWriteFailed {
      ErrorPtr error;
    };
    struct InputStreamReadFailed {
      ErrorPtr error;
    };
    // A part-head field whose name or value holds CR, LF or NUL, which would end the field
    // early and start one of the caller's choosing.
    struct BodyPartHeaderInvalid {
      std::string name;
    };
    using Storage =
        std::variant<BodyPartURLInvalid, BodyPartFilenameInvalid, BodyPartFileNotReachable,
                     BodyPartFileNotReachableWithError, BodyPartFileIsDirectory,
                     BodyPartFileSizeNotAvailable, BodyPartFileSizeQueryFailedWithError,
                     BodyPartInputStreamCreationFailed, OutputStreamCreationFailed,
                     OutputStreamFileAlreadyExists, OutputStreamURLInvalid, OutputStreamWriteFailed,
                     InputStreamReadFailed, BodyPartHeaderInvalid>;
    Storage storage;

    std::string reasonText() const;
    // The URL of every reason but the two stream failures.
    std::optional<platform::URL> failedURL() const;
    ErrorPtr wrappedError() const;
  };

  struct ParameterEncodingFailureReason {
    struct JSONEncodingFailed {
      ErrorPtr error;
    };
    struct CustomEncodingFailed {
      ErrorPtr error;
    };
    struct MissingURL {};
    using Storage = std::variant<JSONEncodingFailed, CustomEncodingFailed, MissingURL>;
    Storage storage;

    std::string reasonText() const;
  };

  struct ParameterEncoderFailureReason {
    struct RequiredComponent {
      struct HTTPMethodComponent {
        std::string rawValue;
      };
      struct URLComponent {};
      std::variant<HTTPMethodComponent, URLComponent> storage;
      static RequiredComponent httpMethod(std::string rawValue) {
        return {HTTPMethodComponent{std::move(rawValue)}};
      }
      static RequiredComponent url() { return {URLComponent{}}; }
      // `url`, or `httpMethod(rawValue: "GET")`.
      std::string description() const;
    };
    struct MissingRequiredComponent {
      RequiredComponent component;
    };
    struct EncoderFailed {
      ErrorPtr error;
    };
    using Storage = std::variant<MissingRequiredComponent, EncoderFailed>;
    Storage storage;

    std::string reasonText() const;
  };

  struct ResponseValidationFailureReason {
    struct DataFileReadFailed {
      platform::URL at;
    };
    struct MissingContentType {
      std::vector<std::string> acceptableContentTypes;
    };
    struct UnacceptableContentType {
      std::vector<std::string> acceptableContentTypes;
      std::string responseContentType;
    };
    struct UnacceptableStatusCode {
      std::int64_t code;
    };
    struct CustomValidationFailed {
      ErrorPtr error;
    };
    struct DataFileNil {};
    using Storage = std::variant<DataFileReadFailed, MissingContentType, UnacceptableContentType,
                                 UnacceptableStatusCode, CustomValidationFailed, DataFileNil>;
    Storage storage;

    std::string reasonText() const;
  };

  struct ResponseSerializationFailureReason {
    struct InputFileReadFailed {
      platform::URL at;
    };
    struct StringSerializationFailed {
      platform::StringEncoding encoding;
    };
    struct JSONSerializationFailed {
      ErrorPtr error;
    };
    struct DecodingFailed {
      ErrorPtr error;
    };
    struct CustomSerializationFailed {
      ErrorPtr error;
    };
    struct InvalidEmptyResponse {
      std::string type;
    };
    struct InputDataNilOrZeroLength {};
    struct InputFileNil {};
    using Storage = std::variant<InputFileReadFailed, StringSerializationFailed,
                                 JSONSerializationFailed, DecodingFailed, CustomSerializationFailed,
                                 InvalidEmptyResponse, InputDataNilOrZeroLength, InputFileNil>;
    Storage storage;

    std::string reasonText() const;
  };

  struct ServerTrustFailureReason {
    struct Output {
      std::string host;
      SecTrustRef trust;
      OSStatus status = 0;
      SecTrustResultType result = 0;
    };
    struct NoRequiredEvaluator {
      std::string host;
    };
    struct PolicyApplicationFailed {
      SecTrustRef trust;
      SecPolicyRef policy;
      OSStatus status;
    };
    struct SettingAnchorCertificatesFailed {
      OSStatus status;
      std::vector<SecCertificateRef> certificates;
    };
    struct TrustEvaluationFailed {
      ErrorPtr error; /* may be absent */
    };
    struct DefaultEvaluationFailed {
      Output output;
    };
    struct HostValidationFailed {
      Output output;
    };
    struct RevocationCheckFailed {
      Output output;
      RevocationTrustEvaluatorOptions options;
    };
    struct CertificatePinningFailed {
      std::string host;
      SecTrustRef trust;
      std::vector<SecCertificateRef> pinnedCertificates;
      std::vector<SecCertificateRef> serverCertificates;
    };
    struct PublicKeyPinningFailed {
      std::string host;
      SecTrustRef trust;
      std::vector<SecKeyRef> pinnedKeys;
      std::vector<SecKeyRef> serverKeys;
    };
    struct CustomEvaluationFailed {
      ErrorPtr error;
    };
    struct NoCertificatesFound {};
    struct NoPublicKeysFound {};
    struct RevocationPolicyCreationFailed {};
    using Storage =
        std::variant<NoRequiredEvaluator, PolicyApplicationFailed, SettingAnchorCertificatesFailed,
                     TrustEvaluationFailed, DefaultEvaluationFailed, HostValidationFailed,
                     RevocationCheckFailed, CertificatePinningFailed, PublicKeyPinningFailed,
                     CustomEvaluationFailed, NoCertificatesFound, NoPublicKeysFound,
                     RevocationPolicyCreationFailed>;
    Storage storage;

    std::string reasonText() const;
  };

  struct URLRequestValidationFailureReason {
    struct BodyDataInGETRequest {
      platform::Bytes body;
    };
    using Storage = std::variant<BodyDataInGETRequest>;
    Storage storage;

    std::string reasonText() const;
  };

  // ---- Cases, in tag order -----------------------------------------------------------------

  struct CreateUploadableFailed {
    ErrorPtr error;
  };
  struct CreateURLRequestFailed {
    ErrorPtr error;
  };
  struct DownloadedFileMoveFailed {
    ErrorPtr error;
    platform::URL source;
    platform::URL destination;
  };
  struct InvalidURL {
    URLConvertible url;
  };
  struct MultipartEncodingFailed {
    MultipartEncodingFailureReason reason;
  };
  struct ParameterEncodingFailed {
    ParameterEncodingFailureReason reason;
  };
  struct ParameterEncoderFailed {
    ParameterEncoderFailureReason reason;
  };
  struct RequestAdaptationFailed {
    ErrorPtr error;
  };
  struct RequestRetryFailed {
    ErrorPtr retryError;
    ErrorPtr originalError;
  };
  struct ResponseValidationFailed {
    ResponseValidationFailureReason reason;
  };
  struct ResponseSerializationFailed {
    ResponseSerializationFailureReason reason;
  };
  struct ServerTrustEvaluationFailed {
    ServerTrustFailureReason reason;
  };
  struct SessionInvalidated {
    ErrorPtr error; /* may be absent */
  };
  struct SessionTaskFailed {
    ErrorPtr error;
  };
  struct URLRequestValidationFailed {
    URLRequestValidationFailureReason reason;
  };
  struct ExplicitlyCancelled {};
  struct SessionDeinitialized {};

  using Storage =
      std::variant<CreateUploadableFailed, CreateURLRequestFailed, DownloadedFileMoveFailed,
                   InvalidURL, MultipartEncodingFailed, ParameterEncodingFailed,
                   ParameterEncoderFailed, RequestAdaptationFailed, RequestRetryFailed,
                   ResponseValidationFailed, ResponseSerializationFailed,
                   ServerTrustEvaluationFailed, SessionInvalidated, SessionTaskFailed,
                   URLRequestValidationFailed, ExplicitlyCancelled, SessionDeinitialized>;

  template <class Case>
  requires std::is_constructible_v<Storage, Case&&> HalyardError(
      Case&& value)  // NOLINT: every case converts to the error
      : storage_(std::forward<Case>(value)) {}
  HalyardError(const HalyardError& other) : platform::Error(other), storage_(other.storage_) {}
  HalyardError& operator=(const HalyardError& other) {
    storage_ = other.storage_;
    return *this;
  }

  // One constructor per case.
  static HalyardError createUploadableFailed(ErrorPtr error);
  static HalyardError createURLRequestFailed(ErrorPtr error);
  static HalyardError downloadedFileMoveFailed(ErrorPtr error, platform::URL source,
                                               platform::URL destination);
  static HalyardError invalidURL(URLConvertible url);
  static HalyardError multipartEncodingFailed(MultipartEncodingFailureReason::Storage reason);
  static HalyardError parameterEncodingFailed(ParameterEncodingFailureReason::Storage reason);
  static HalyardError parameterEncoderFailed(ParameterEncoderFailureReason::Storage reason);
  static HalyardError requestAdaptationFailed(ErrorPtr error);
  static HalyardError requestRetryFailed(ErrorPtr retryError, ErrorPtr originalError);
  static HalyardError responseValidationFailed(ResponseValidationFailureReason::Storage reason);
  static HalyardError responseSerializationFailed(
      ResponseSerializationFailureReason::Storage reason);
  static HalyardError serverTrustEvaluationFailed(ServerTrustFailureReason::Storage reason);
  static HalyardError sessionInvalidated(ErrorPtr error = nullptr);
  static HalyardError sessionTaskFailed(ErrorPtr error);
  static HalyardError urlRequestValidationFailed(URLRequestValidationFailureReason::Storage reason);
  static HalyardError explicitlyCancelled();
  static HalyardError sessionDeinitialized();

  const Storage& storage() const { return storage_; }
  // The case's position, 0 to 16.
  std::size_t tag() const { return storage_.index(); }
  template <class Case>
  const Case* as() const {
    return std::get_if<Case>(&storage_);
  }

  // The message of the case; also the localized description.
  std::string errorDescription() const;
  std::string localizedDescription() const override { return errorDescription(); }
  // The case's name followed by the message.
  std::string debugDescription() const override;

  // Case tests (there is none for `urlRequestValidationFailed`).
  bool isCreateUploadableFailed() const { return is<CreateUploadableFailed>(); }
  bool isCreateURLRequestFailed() const { return is<CreateURLRequestFailed>(); }
  bool isDownloadedFileMoveFailed() const { return is<DownloadedFileMoveFailed>(); }
  bool isInvalidURL() const { return is<InvalidURL>(); }
  bool isMultipartEncodingFailed() const { return is<MultipartEncodingFailed>(); }
  bool isParameterEncodingFailed() const { return is<ParameterEncodingFailed>(); }
  bool isParameterEncoderFailed() const { return is<ParameterEncoderFailed>(); }
  bool isRequestAdaptationFailed() const { return is<RequestAdaptationFailed>(); }
  bool isRequestRetryFailed() const { return is<RequestRetryFailed>(); }
  bool isResponseValidationFailed() const { return is<ResponseValidationFailed>(); }
  bool isResponseSerializationFailed() const { return is<ResponseSerializationFailed>(); }
  bool isServerTrustEvaluationFailed() const { return is<ServerTrustEvaluationFailed>(); }
  bool isSessionInvalidated() const { return is<SessionInvalidated>(); }
  bool isSessionTaskFailed() const { return is<SessionTaskFailed>(); }
  bool isExplicitlyCancelled() const { return is<ExplicitlyCancelled>(); }
  bool isSessionDeinitialized() const { return is<SessionDeinitialized>(); }

  // Payload accessors; each absent for the cases it does not name.
  std::optional<URLConvertible> invalidURLValue() const;
  std::optional<platform::URL> multipartFileURL() const;
  std::optional<std::vector<std::string>> allowedContentTypes() const;
  std::optional<std::string> receivedContentType() const;
  std::optional<std::int64_t> rejectedStatusCode() const;
  std::optional<platform::StringEncoding> failedTextEncoding() const;
  std::optional<platform::URL> moveSourceURL() const;
  std::optional<platform::URL> moveDestinationURL() const;
  ErrorPtr wrappedError() const;
  // The resume data a failed download left in its URL-loading error, if any.
  std::optional<platform::Bytes> resumeDataFromError() const;

 private:
  template <class Case>
  bool is() const {
    return std::holds_alternative<Case>(storage_);
  }

  Storage storage_;
};

using HalyardErrorPtr = std::shared_ptr<const HalyardError>;

// ---- Converting errors ---------------------------------------------------------------------

// The error as an HalyardError when it is one.
std::optional<HalyardError> toHalyardError(const ErrorPtr& error);
// The error as an HalyardError when it is one, else what `orElse` makes (only then called).
HalyardError toHalyardErrorOrElse(const ErrorPtr& error,
                                  const std::function<HalyardError(const ErrorPtr&)>& orElse);
// The error as an HalyardError; anything else is a programming error and stops the program.
HalyardError toHalyardErrorOrFail(const ErrorPtr& error, const std::string& message,
                                  std::source_location location = std::source_location::current());

// The exception being handled (call inside a catch block) as an error value. A platform error
// keeps its dynamic type; any other exception becomes an error carrying its `what()` text.
ErrorPtr currentError();

// Throws `error` unchanged: an HalyardError as itself, any other error as the shared value, so
// that `currentError()` in the catching block hands back the same error.
[[noreturn]] void throwError(const ErrorPtr& error);

// A copy of `error` held as a shared error value.
inline ErrorPtr makeErrorPtr(const HalyardError& error) {
  return std::make_shared<const HalyardError>(error);
}

}  // namespace halyard
