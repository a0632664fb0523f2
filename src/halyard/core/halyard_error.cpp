#include "halyard/core/halyard_error.h"

#include <fmt/format.h>

#include <exception>
#include <typeinfo>

#include "platform/foundation/log.h"
#include "platform/foundation/overloaded.h"
#include "platform/foundation/utf8.h"
#include "platform/net/url_error.h"

namespace halyard {

namespace {

using platform::Overloaded;

std::string localized(const ErrorPtr& error) {
  return error ? error->localizedDescription() : std::string("nil");
}

// The default printed form of an error value.
std::string printed(const ErrorPtr& error) {
  return error ? error->debugDescription() : std::string("nil");
}

std::string text(const platform::URL& url) {
  return url.absoluteString();
}

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ',';
    out += items[i];
  }
  return out;
}

// An error that is not a platform error, kept with its text.
class ForeignError : public platform::Error {
 public:
  explicit ForeignError(std::string what) : what_(std::move(what)) {}
  std::string localizedDescription() const override { return what_; }

 private:
  std::string what_;
};

// Keeps a caught exception alive for as long as a pointer into it is held.
struct CaughtException {
  std::exception_ptr exception;
};

constexpr const char* kCaseNames[] = {
    "createUploadableFailed",      "createURLRequestFailed",
    "downloadedFileMoveFailed",    "invalidURL",
    "multipartEncodingFailed",     "parameterEncodingFailed",
    "parameterEncoderFailed",      "requestAdaptationFailed",
    "requestRetryFailed",          "responseValidationFailed",
    "responseSerializationFailed", "serverTrustEvaluationFailed",
    "sessionInvalidated",          "sessionTaskFailed",
    "urlRequestValidationFailed",  "explicitlyCancelled",
    "sessionDeinitialized",
};

}  // namespace

// ---- Reasons -------------------------------------------------------------------------------

std::string HalyardError::UnexpectedInputStreamLength::localizedDescription() const {
  return fmt::format("UnexpectedInputStreamLength(bytesExpected: {}, bytesRead: {})", bytesExpected,
                     bytesRead);
}

std::string HalyardError::MultipartEncodingFailureReason::reasonText() const {
  return std::visit(
      Overloaded{
          [](const BodyPartURLInvalid& r) {
            return "The URL provided is not a file URL: " + text(r.url);
          },
          [](const BodyPartFilenameInvalid& r) {
            return "The URL provided does not have a valid filename: " + text(r.in);
          },
          [](const BodyPartFileNotReachable& r) {
            return "The URL provided is not reachable: " + text(r.at);
          },
          [](const BodyPartFileNotReachableWithError& r) {
            return "The system returned an error while checking the provided URL for "
                   "reachability.\nURL: " +
                   text(r.atURL) + "\nError: " + printed(r.error);
          },
          [](const BodyPartFileIsDirectory& r) {
            return "The URL provided is a directory: " + text(r.at);
          },
          [](const BodyPartFileSizeNotAvailable& r) {
            return "Could not fetch the file size from the provided URL: " + text(r.at);
          },
          [](const BodyPartFileSizeQueryFailedWithError& r) {
            return "The system returned an error while attempting to fetch the file size from "
                   "the provided URL.\nURL: " +
                   text(r.forURL) + "\nError: " + printed(r.error);
          },
          [](const BodyPartInputStreamCreationFailed& r) {
            return "Failed to create an InputStream for the provided URL: " + text(r.for_);
          },
          [](const OutputStreamCreationFailed& r) {
            return "Failed to create an OutputStream for URL: " + text(r.for_);
          },
          [](const OutputStreamFileAlreadyExists& r) {
            return "A file already exists at the provided URL: " + text(r.at);
          },
          [](const OutputStreamURLInvalid& r) {
            return "The provided OutputStream URL is invalid: " + text(r.url);
          },
          [](const OutputStreamWriteFailed& r) {
            return "OutputStream write failed with error: " + printed(r.error);
          },
          [](const InputStreamReadFailed& r) {
            return "InputStream read failed with error: " + printed(r.error);
          },
          [](const BodyPartHeaderInvalid& r) {
            return "The body part header field \"" + r.name +
                   "\" holds a line break or a NUL and cannot be written";
          },
      },
      storage);
}

std::optional<platform::URL> HalyardError::MultipartEncodingFailureReason::failedURL() const {
  return std::visit(
      Overloaded{
          [](const BodyPartURLInvalid& r) -> std::optional<platform::URL> { return r.url; },
          [](const BodyPartFilenameInvalid& r) -> std::optional<platform::URL> { return r.in; },
          [](const BodyPartFileNotReachable& r) -> std::optional<platform::URL> { return r.at; },
          [](const BodyPartFileNotReachableWithError& r) -> std::optional<platform::URL> {
            return r.atURL;
          },
          [](const BodyPartFileIsDirectory& r) -> std::optional<platform::URL> { return r.at; },
          [](const BodyPartFileSizeNotAvailable& r) -> std::optional<platform::URL> {
            return r.at;
          },
          [](const BodyPartFileSizeQueryFailedWithError& r) -> std::optional<platform::URL> {
            return r.forURL;
          },
          [](const BodyPartInputStreamCreationFailed& r) -> std::optional<platform::URL> {
            return r.for_;
          },
          [](const OutputStreamCreationFailed& r) -> std::optional<platform::URL> {
            return r.for_;
          },
          [](const OutputStreamFileAlreadyExists& r) -> std::optional<platform::URL> {
            return r.at;
          },
          [](const OutputStreamURLInvalid& r) -> std::optional<platform::URL> { return r.url; },
          [](const OutputStreamWriteFailed&) -> std::optional<platform::URL> {
            return std::nullopt;
          },
          [](const InputStreamReadFailed&) -> std::optional<platform::URL> { return std::nullopt; },
          [](const BodyPartHeaderInvalid&) -> std::optional<platform::URL> { return std::nullopt; },
      },
      storage);
}

ErrorPtr HalyardError::MultipartEncodingFailureReason::wrappedError() const {
  if (auto r = std::get_if<BodyPartFileNotReachableWithError>(&storage)) return r->error;
  if (auto r = std::get_if<BodyPartFileSizeQueryFailedWithError>(&storage)) return r->error;
  if (auto r = std::get_if<OutputStreamWriteFailed>(&storage)) return r->error;
  if (auto r = std::get_if<InputStreamReadFailed>(&storage)) return r->error;
  return nullptr;
}

std::string HalyardError::ParameterEncodingFailureReason::reasonText() const {
  return std::visit(
      Overloaded{
          [](const JSONEncodingFailed& r) {
            return "JSON could not be encoded because of error:\n" + localized(r.error);
          },
          [](const CustomEncodingFailed& r) {
            return "Custom parameter encoder failed with error: " + localized(r.error);
          },
          [](const MissingURL&) { return std::string("URL request to encode was missing a URL"); },
      },
      storage);
}

std::string HalyardError::ParameterEncoderFailureReason::RequiredComponent::description() const {
  if (auto method = std::get_if<HTTPMethodComponent>(&storage)) {
    return "httpMethod(rawValue: \"" + method->rawValue + "\")";
  }
  return "url";
}

std::string HalyardError::ParameterEncoderFailureReason::reasonText() const {
  return std::visit(Overloaded{
                        [](const MissingRequiredComponent& r) {
                          return "Encoding failed due to a missing request component: " +
                                 r.component.description();
                        },
                        [](const EncoderFailed& r) {
                          return "The underlying encoder failed with the error: " +
                                 printed(r.error);
                        },
                    },
                    storage);
}

std::string HalyardError::ResponseValidationFailureReason::reasonText() const {
  return std::visit(
      Overloaded{
          [](const DataFileReadFailed& r) {
            return "Response could not be validated, data file could not be read: " + text(r.at) +
                   ".";
          },
          [](const MissingContentType& r) {
            return "Response Content-Type was missing and acceptable content types (" +
                   joined(r.acceptableContentTypes) + ") do not match \"*/*\".";
          },
          [](const UnacceptableContentType& r) {
            return "Response Content-Type \"" + r.responseContentType +
                   "\" does not match any acceptable types: " + joined(r.acceptableContentTypes) +
                   ".";
          },
          [](const UnacceptableStatusCode& r) {
            return fmt::format("Response status code was unacceptable: {}.", r.code);
          },
          [](const CustomValidationFailed& r) {
            return "Custom response validation failed with error: " + localized(r.error);
          },
          [](const DataFileNil&) {
            return std::string("Response could not be validated, data file was nil.");
          },
      },
      storage);
}

std::string HalyardError::ResponseSerializationFailureReason::reasonText() const {
  return std::visit(
      Overloaded{
          [](const InputFileReadFailed& r) {
            return "Response could not be serialized, input file could not be read: " + text(r.at) +
                   ".";
          },
          [](const StringSerializationFailed& r) {
            return "String could not be serialized with encoding: " + r.encoding.description() +
                   ".";
          },
          [](const JSONSerializationFailed& r) {
            return "JSON could not be serialized because of error:\n" + localized(r.error);
          },
          [](const DecodingFailed& r) {
            return "Response could not be decoded because of error:\n" + localized(r.error);
          },
          [](const CustomSerializationFailed& r) {
            return "Custom response serializer failed with error:\n" + localized(r.error);
          },
          [](const InvalidEmptyResponse& r) {
            return "Empty response could not be serialized to type: " + r.type +
                   ". Use Empty as the expected type for such responses.";
          },
          [](const InputDataNilOrZeroLength&) {
            return std::string(
                "Response could not be serialized, input data was nil or zero length.");
          },
          [](const InputFileNil&) {
            return std::string("Response could not be serialized, input file was nil.");
          },
      },
      storage);
}

std::string HalyardError::ServerTrustFailureReason::reasonText() const {
  return std::visit(
      Overloaded{
          [](const NoRequiredEvaluator& r) {
            return "A ServerTrustEvaluating value is required for host " + r.host +
                   " but none was found.";
          },
          [](const PolicyApplicationFailed&) {
            return std::string("Attempting to set a SecPolicy failed.");
          },
          [](const SettingAnchorCertificatesFailed&) {
            return std::string(
                "Attempting to set the provided certificates as anchor certificates failed.");
          },
          [](const TrustEvaluationFailed& r) {
            return "SecTrust evaluation failed with error: " +
                   (r.error ? r.error->localizedDescription() : std::string("None"));
          },
          [](const DefaultEvaluationFailed& r) {
            return "Default evaluation failed for host " + r.output.host + ".";
          },
          [](const HostValidationFailed& r) {
            return "Host validation failed for host " + r.output.host + ".";
          },
          [](const RevocationCheckFailed& r) {
            return "Revocation check failed for host " + r.output.host + ".";
          },
          [](const CertificatePinningFailed& r) {
            return "Certificate pinning failed for host " + r.host + ".";
          },
          [](const PublicKeyPinningFailed& r) {
            return "Public key pinning failed for host " + r.host + ".";
          },
          [](const CustomEvaluationFailed& r) {
            return "Custom trust evaluation failed with error: " + localized(r.error);
          },
          [](const NoCertificatesFound&) {
            return std::string("No certificates were found or provided for evaluation.");
          },
          [](const NoPublicKeysFound&) {
            return std::string("No public keys were found or provided for evaluation.");
          },
          [](const RevocationPolicyCreationFailed&) {
            return std::string("Attempting to create a revocation policy failed.");
          },
      },
      storage);
}

std::string HalyardError::URLRequestValidationFailureReason::reasonText() const {
  const auto& body = std::get<BodyDataInGETRequest>(storage).body;
  return "Invalid URLRequest: Requests with GET method cannot have body data:\n" +
         platform::utf8::decodeLossy(body);
}

// ---- Cases ---------------------------------------------------------------------------------

// Kept out of line: inlined into callers, GCC 12 reports the variant moves below as "maybe
// uninitialized", a known false positive.
HalyardError HalyardError::createUploadableFailed(ErrorPtr error) {
  return CreateUploadableFailed{std::move(error)};
}

HalyardError HalyardError::createURLRequestFailed(ErrorPtr error) {
  return CreateURLRequestFailed{std::move(error)};
}

HalyardError HalyardError::downloadedFileMoveFailed(ErrorPtr error, platform::URL source,
                                                    platform::URL destination) {
  return DownloadedFileMoveFailed{std::move(error), std::move(source), std::move(destination)};
}

HalyardError HalyardError::invalidURL(URLConvertible url) {
  return InvalidURL{std::move(url)};
}

HalyardError HalyardError::multipartEncodingFailed(MultipartEncodingFailureReason::Storage reason) {
  return MultipartEncodingFailed{{std::move(reason)}};
}

HalyardError HalyardError::parameterEncodingFailed(ParameterEncodingFailureReason::Storage reason) {
  return ParameterEncodingFailed{{std::move(reason)}};
}

HalyardError HalyardError::parameterEncoderFailed(ParameterEncoderFailureReason::Storage reason) {
  return ParameterEncoderFailed{{std::move(reason)}};
}

HalyardError HalyardError::requestAdaptationFailed(ErrorPtr error) {
  return RequestAdaptationFailed{std::move(error)};
}

HalyardError HalyardError::requestRetryFailed(ErrorPtr retryError, ErrorPtr originalError) {
  return RequestRetryFailed{std::move(retryError), std::move(originalError)};
}

HalyardError HalyardError::responseValidationFailed(
    ResponseValidationFailureReason::Storage reason) {
  return ResponseValidationFailed{{std::move(reason)}};
}

HalyardError HalyardError::responseSerializationFailed(
    ResponseSerializationFailureReason::Storage reason) {
  return ResponseSerializationFailed{{std::move(reason)}};
}

HalyardError HalyardError::serverTrustEvaluationFailed(ServerTrustFailureReason::Storage reason) {
  return ServerTrustEvaluationFailed{{std::move(reason)}};
}

HalyardError HalyardError::sessionInvalidated(ErrorPtr error) {
  return SessionInvalidated{std::move(error)};
}

HalyardError HalyardError::sessionTaskFailed(ErrorPtr error) {
  return SessionTaskFailed{std::move(error)};
}

HalyardError HalyardError::urlRequestValidationFailed(
    URLRequestValidationFailureReason::Storage reason) {
  return URLRequestValidationFailed{{std::move(reason)}};
}

HalyardError HalyardError::explicitlyCancelled() {
  return ExplicitlyCancelled{};
}

HalyardError HalyardError::sessionDeinitialized() {
  return SessionDeinitialized{};
}

// ---- Messages and accessors ----------------------------------------------------------------

std::string HalyardError::errorDescription() const {
  return std::visit(
      Overloaded{
          [](const CreateUploadableFailed& e) {
            return "Uploadable creation failed with error: " + localized(e.error);
          },
          [](const CreateURLRequestFailed& e) {
            return "URLRequest creation failed with error: " + localized(e.error);
          },
          [](const DownloadedFileMoveFailed& e) {
            return "Moving downloaded file from: " + text(e.source) +
                   " to: " + text(e.destination) + " failed with error: " + localized(e.error);
          },
          [](const InvalidURL& e) { return "URL is not valid: " + e.url.description(); },
          [](const MultipartEncodingFailed& e) { return e.reason.reasonText(); },
          [](const ParameterEncodingFailed& e) { return e.reason.reasonText(); },
          [](const ParameterEncoderFailed& e) { return e.reason.reasonText(); },
          [](const RequestAdaptationFailed& e) {
            return "Request adaption failed with error: " + localized(e.error);
          },
          [](const RequestRetryFailed& e) {
            return "Request retry failed with retry error: " + localized(e.retryError) +
                   ", original error: " + localized(e.originalError);
          },
          [](const ResponseValidationFailed& e) { return e.reason.reasonText(); },
          [](const ResponseSerializationFailed& e) { return e.reason.reasonText(); },
          [](const ServerTrustEvaluationFailed& e) {
            return "Server trust evaluation failed due to reason: " + e.reason.reasonText();
          },
          [](const SessionInvalidated& e) {
            return "Session was invalidated with error: " +
                   (e.error ? e.error->localizedDescription() : std::string("No description."));
          },
          [](const SessionTaskFailed& e) {
            return "URLSessionTask failed with error: " + localized(e.error);
          },
          [](const URLRequestValidationFailed& e) {
            return "URLRequest validation failed due to reason: " + e.reason.reasonText();
          },
          [](const ExplicitlyCancelled&) { return std::string("Request explicitly cancelled."); },
          [](const SessionDeinitialized&) {
            return std::string(
                "Session was invalidated without error, so it was likely deinitialized "
                "unexpectedly. Be sure to retain a reference to your Session for the duration "
                "of your requests.");
          },
      },
      storage_);
}

std::string HalyardError::debugDescription() const {
  return fmt::format("HalyardError.{}: {}", kCaseNames[tag()], errorDescription());
}

std::optional<URLConvertible> HalyardError::invalidURLValue() const {
  if (auto e = as<InvalidURL>()) return e->url;
  return std::nullopt;
}

std::optional<platform::URL> HalyardError::multipartFileURL() const {
  if (auto e = as<MultipartEncodingFailed>()) return e->reason.failedURL();
  return std::nullopt;
}

std::optional<std::vector<std::string>> HalyardError::allowedContentTypes() const {
  using Reason = ResponseValidationFailureReason;
  if (auto e = as<ResponseValidationFailed>()) {
    if (auto r = std::get_if<Reason::MissingContentType>(&e->reason.storage)) {
      return r->acceptableContentTypes;
    }
    if (auto r = std::get_if<Reason::UnacceptableContentType>(&e->reason.storage)) {
      return r->acceptableContentTypes;
    }
  }
  return std::nullopt;
}

std::optional<std::string> HalyardError::receivedContentType() const {
  using Reason = ResponseValidationFailureReason;
  if (auto e = as<ResponseValidationFailed>()) {
    if (auto r = std::get_if<Reason::UnacceptableContentType>(&e->reason.storage)) {
      return r->responseContentType;
    }
  }
  return std::nullopt;
}

std::optional<std::int64_t> HalyardError::rejectedStatusCode() const {
  using Reason = ResponseValidationFailureReason;
  if (auto e = as<ResponseValidationFailed>()) {
    if (auto r = std::get_if<Reason::UnacceptableStatusCode>(&e->reason.storage)) return r->code;
  }
  return std::nullopt;
}

std::optional<platform::StringEncoding> HalyardError::failedTextEncoding() const {
  using Reason = ResponseSerializationFailureReason;
  if (auto e = as<ResponseSerializationFailed>()) {
    if (auto r = std::get_if<Reason::StringSerializationFailed>(&e->reason.storage)) {
      return r->encoding;
    }
  }
  return std::nullopt;
}

std::optional<platform::URL> HalyardError::moveSourceURL() const {
  if (auto e = as<DownloadedFileMoveFailed>()) return e->source;
  return std::nullopt;
}

std::optional<platform::URL> HalyardError::moveDestinationURL() const {
  if (auto e = as<DownloadedFileMoveFailed>()) return e->destination;
  return std::nullopt;
}

ErrorPtr HalyardError::wrappedError() const {
  return std::visit(
      Overloaded{
          [](const CreateUploadableFailed& e) { return e.error; },
          [](const CreateURLRequestFailed& e) { return e.error; },
          [](const DownloadedFileMoveFailed& e) { return e.error; },
          [](const RequestAdaptationFailed& e) { return e.error; },
          [](const SessionTaskFailed& e) { return e.error; },
          [](const SessionInvalidated& e) { return e.error; },
          [](const RequestRetryFailed& e) { return e.retryError; },
          [](const MultipartEncodingFailed& e) { return e.reason.wrappedError(); },
          [](const ParameterEncodingFailed& e) -> ErrorPtr {
            using R = ParameterEncodingFailureReason;
            if (auto r = std::get_if<R::JSONEncodingFailed>(&e.reason.storage)) return r->error;
            if (auto r = std::get_if<R::CustomEncodingFailed>(&e.reason.storage)) return r->error;
            return nullptr;
          },
          [](const ParameterEncoderFailed& e) -> ErrorPtr {
            using R = ParameterEncoderFailureReason;
            if (auto r = std::get_if<R::EncoderFailed>(&e.reason.storage)) return r->error;
            return nullptr;
          },
          [](const ResponseValidationFailed& e) -> ErrorPtr {
            using R = ResponseValidationFailureReason;
            if (auto r = std::get_if<R::CustomValidationFailed>(&e.reason.storage)) return r->error;
            return nullptr;
          },
          [](const ResponseSerializationFailed& e) -> ErrorPtr {
            using R = ResponseSerializationFailureReason;
            if (auto r = std::get_if<R::JSONSerializationFailed>(&e.reason.storage)) {
              return r->error;
            }
            if (auto r = std::get_if<R::DecodingFailed>(&e.reason.storage)) return r->error;
            if (auto r = std::get_if<R::CustomSerializationFailed>(&e.reason.storage)) {
              return r->error;
            }
            return nullptr;
          },
          [](const ServerTrustEvaluationFailed& e) -> ErrorPtr {
            using R = ServerTrustFailureReason;
            if (auto r = std::get_if<R::TrustEvaluationFailed>(&e.reason.storage)) return r->error;
            if (auto r = std::get_if<R::CustomEvaluationFailed>(&e.reason.storage)) {
              return r->error;
            }
            return nullptr;
          },
          [](const auto&) -> ErrorPtr { return nullptr; },
      },
      storage_);
}

namespace {
template <class E>
std::optional<platform::Bytes> resumeDataOf(const E& error) {
  // URL-loading errors carry resume data only where the loading layer provides it.
  if constexpr (requires { error.resumeData(); }) {
    return error.resumeData();
  } else {
    return std::nullopt;
  }
}
}  // namespace

std::optional<platform::Bytes> HalyardError::resumeDataFromError() const {
  const auto wrapped = wrappedError();
  if (auto urlError = dynamic_cast<const platform::URLError*>(wrapped.get())) {
    return resumeDataOf(*urlError);
  }
  return std::nullopt;
}

// ---- Conversions ---------------------------------------------------------------------------

std::optional<HalyardError> toHalyardError(const ErrorPtr& error) {
  if (auto halyard = dynamic_cast<const HalyardError*>(error.get())) return *halyard;
  return std::nullopt;
}

HalyardError toHalyardErrorOrElse(const ErrorPtr& error,
                                  const std::function<HalyardError(const ErrorPtr&)>& orElse) {
  if (auto halyard = dynamic_cast<const HalyardError*>(error.get())) return *halyard;
  return orElse(error);
}

HalyardError toHalyardErrorOrFail(const ErrorPtr& error, const std::string& message,
                                  std::source_location location) {
  if (auto halyard = dynamic_cast<const HalyardError*>(error.get())) return *halyard;
  platform::fatal(fmt::format("Fatal error: {}: file {}, line {}", message, location.file_name(),
                              location.line()));
}

void throwError(const ErrorPtr& error) {
  if (auto halyard = dynamic_cast<const HalyardError*>(error.get())) throw *halyard;
  throw error;
}

ErrorPtr currentError() {
  const std::exception_ptr exception = std::current_exception();
  if (!exception) return nullptr;
  try {
    std::rethrow_exception(exception);
  } catch (const HalyardError& error) {
    return makeErrorPtr(error);
  } catch (const ErrorPtr& error) {
    return error;
  } catch (const platform::Error& error) {
    // Point into the caught object itself, kept alive by the exception pointer, so the error
    // keeps its dynamic type and can be cast back.
    auto holder = std::make_shared<CaughtException>(CaughtException{exception});
    return ErrorPtr(holder, &error);
  } catch (const std::exception& error) {
    return std::make_shared<const ForeignError>(error.what());
  } catch (...) {
    return std::make_shared<const ForeignError>("Unknown error");
  }
}

}  // namespace halyard
