#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "halyard/core/data_request.h"
#include "halyard/core/request.h"
#include "halyard/core/request_delegate.h"
#include "halyard/core/request_steps.h"
#include "halyard/core/response.h"
#include "halyard/core/response_serializer.h"
#include "halyard/core/url_convertible.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/process_info.h"
#include "platform/net/url.h"

namespace halyard {

// How the finished file is moved: 1 makes the destination's parent directories, 2 removes
// a file already at the destination. An option set over the raw value.
struct DownloadOptions {
  std::int64_t rawValue = 0;

  static constexpr DownloadOptions createParentDirectories() { return DownloadOptions{1}; }
  static constexpr DownloadOptions replaceExistingFile() { return DownloadOptions{2}; }
  static DownloadOptions fromList(std::initializer_list<DownloadOptions> options) {
    DownloadOptions all;
    for (const auto& option : options)
      all.rawValue |= option.rawValue;
    return all;
  }

  bool isEmpty() const { return rawValue == 0; }
  bool contains(DownloadOptions member) const {
    return (rawValue & member.rawValue) == member.rawValue;
  }
  DownloadOptions unionWith(DownloadOptions other) const {
    return DownloadOptions{rawValue | other.rawValue};
  }
  DownloadOptions intersection(DownloadOptions other) const {
    return DownloadOptions{rawValue & other.rawValue};
  }
  DownloadOptions symmetricDifference(DownloadOptions other) const {
    return DownloadOptions{rawValue ^ other.rawValue};
  }
  DownloadOptions subtracting(DownloadOptions other) const {
    return DownloadOptions{rawValue & ~other.rawValue};
  }
  bool isSubset(DownloadOptions other) const { return (rawValue & ~other.rawValue) == 0; }
  bool isSuperset(DownloadOptions other) const { return other.isSubset(*this); }
  bool isDisjoint(DownloadOptions other) const { return (rawValue & other.rawValue) == 0; }
  // The bits of `member` that were present, or nothing when none were.
  std::optional<DownloadOptions> remove(DownloadOptions member) {
    const DownloadOptions present = intersection(member);
    rawValue &= ~member.rawValue;
    if (present.isEmpty()) return std::nullopt;
    return present;
  }
  std::optional<DownloadOptions> update(DownloadOptions member) {
    const DownloadOptions present = intersection(member);
    rawValue |= member.rawValue;
    if (present.isEmpty()) return std::nullopt;
    return present;
  }
  bool operator==(const DownloadOptions&) const = default;
};

// A request whose response body the URL-loading session writes to a temporary file. When the
// transfer ends, the session delegate asks the destination closure where the file goes, moves
// it there and tells the request, which keeps the final location. A download starts from a
// URL request or from the resume data of an interrupted one, and can be cancelled so that the
// session hands over resume data for later.
class DownloadRequest;
// Awaiting and publishing a download's response (halyard/policies/download_task.h and
// halyard/policies/response_publishers.h).
template <class RequestType, class ResponseType, class Value>
class ResponseTask;
template <class Value>
using DownloadTask = ResponseTask<DownloadRequest, DownloadResponse<Value>, Value>;
template <class Value>
class DownloadResponsePublisher;

class DownloadRequest : public Request {
 public:
  using Options = DownloadOptions;

  struct DestinationResult {
    platform::URL destinationURL;
    Options options;
  };
  // (temporary file, HTTP response) → where the file goes and how.
  using Destination = std::function<DestinationResult(
      const platform::URL& temporaryURL, const platform::HTTPURLResponsePtr& response)>;

  // What a download starts from.
  struct Downloadable {
    struct Request {
      URLRequestConvertiblePtr convertible;
    };
    struct ResumeData {
      platform::Bytes data;
    };
    std::variant<Request, ResumeData> storage;

    static Downloadable request(URLRequestConvertiblePtr convertible) {
      return {Request{std::move(convertible)}};
    }
    static Downloadable resumeData(platform::Bytes data) { return {ResumeData{std::move(data)}}; }
  };

  struct DownloadRequestMutableState {
    std::optional<platform::Bytes> resumeData;
    std::optional<platform::URL> fileURL;
  };

  using ResumeDataHandler = std::function<void(const std::optional<platform::Bytes>&)>;
  // (last URL request, HTTP response, file) → success, or failure with an error.
  using Validation = std::function<ValidationResult(const std::optional<platform::URLRequest>&,
                                                    const platform::HTTPURLResponsePtr&,
                                                    const std::optional<platform::URL>&)>;
  template <class Value>
  using CompletionHandler = std::function<void(const DownloadResponse<Value>&)>;

  DownloadRequest(RequestContext context, Downloadable downloadable, Destination destination);

  // A destination in a well-known directory (the first the file manager names), under the
  // response's suggested file name reduced to a safe base name: a name that is empty, "." or
  // "..", or that would still name another folder, becomes "Unknown". Without such a
  // directory the file stays beside its temporary file as "Halyard_" + its name. The directory
  // need not exist yet.
  static Destination makeSuggestedDestination(
      platform::SearchPathDirectory directory = platform::SearchPathDirectory::cachesDirectory,
      platform::SearchPathDomainMask domain = platform::SearchPathDomainMask::user,
      Options options = Options());
  // The last path component of `suggested`, or "Unknown" when that names no plain file.
  static std::string safeFileName(const std::string& suggested);

  const Downloadable& downloadable() const { return downloadable_; }
  const Destination& destination() const { return destination_; }
  // The stored resume data, else what the recorded error carries.
  std::optional<platform::Bytes> resumeData() const;
  std::optional<platform::URL> fileURL() const;

  URLSessionTaskPtr makeTask(const platform::URLRequest& request,
                             const URLSessionPtr& session) override;
  void performWith(RequestPerformer& performer) override;
  virtual URLSessionTaskPtr makeResumeDataTask(const platform::Bytes& resumeData,
                                               const URLSessionPtr& session);

  // Cancels without producing resume data.
  DownloadRequest& cancel() override;
  // With true, cancels keeping whatever resume data the session produces; with false, as
  // `cancel`.
  DownloadRequest& cancelProducingResumeData(bool produceResumeData);
  // Cancels and hands the resume data (or none) to `handler`, on a thread of the session.
  DownloadRequest& cancelWithResumeDataHandler(ResumeDataHandler handler);
  void applyCancel(MutableState& state) override;
  void applyCancel(MutableState& state, std::optional<ResumeDataHandler> handler);

  // The session delegate moved the file (or failed to).
  virtual void didFinishDownloading(const URLSessionTaskPtr& task,
                                    const std::expected<platform::URL, HalyardError>& result);
  virtual void updateDownloadProgress(std::int64_t bytesWritten, std::int64_t totalBytesExpected);

  virtual DownloadRequest& appendValidator(Validation validation);
  void resetState() override;

  // ---- Validation ----------------------------------------------------------------------------
  virtual DownloadRequest& validateStatusCodes(std::vector<int> acceptableStatusCodes);
  virtual DownloadRequest& validateStatusCodes(StatusCodeRange acceptableStatusCodes);
  // Needs the file; an empty file passes without a content-type check.
  virtual DownloadRequest& validateContentTypes(
      std::function<std::vector<std::string>()> acceptableContentTypes);
  virtual DownloadRequest& validateContentTypes(std::vector<std::string> acceptableContentTypes);
  virtual DownloadRequest& validateStatusAndContentType();

  // ---- Response handlers ---------------------------------------------------------------------
  virtual DownloadRequest& responseUnserialized(
      platform::DispatchQueuePtr queue,
      CompletionHandler<std::optional<platform::URL>> completionHandler);
  DownloadRequest& responseAsURL(platform::DispatchQueuePtr queue,
                                 CompletionHandler<platform::URL> completionHandler) {
    return responseWithDownloadSerializer(std::move(queue), URLResponseSerializer(),
                                          std::move(completionHandler));
  }
  template <DownloadResponseSerializerProtocol Serializer>
  DownloadRequest& responseWithDownloadSerializer(
      platform::DispatchQueuePtr queue, Serializer serializer,
      CompletionHandler<typename Serializer::SerializedObject> completionHandler);
  template <class Serializer>
  requires DownloadResponseSerializerProtocol<Serializer> &&
      std::derived_from<Serializer, ResponseSerializer>
          DownloadRequest& responseWithSerializer(
              platform::DispatchQueuePtr queue, Serializer serializer,
              CompletionHandler<typename Serializer::SerializedObject> completionHandler) {
    return responseWithDownloadSerializer(std::move(queue), std::move(serializer),
                                          std::move(completionHandler));
  }
  virtual DownloadRequest& responseAsData(platform::DispatchQueuePtr queue,
                                          DataPreprocessorPtr dataPreprocessor,
                                          EmptyResponseCodes emptyResponseCodes,
                                          EmptyRequestMethods emptyRequestMethods,
                                          CompletionHandler<platform::Bytes> completionHandler);
  virtual DownloadRequest& responseAsString(platform::DispatchQueuePtr queue,
                                            DataPreprocessorPtr dataPreprocessor,
                                            std::optional<platform::StringEncoding> encoding,
                                            EmptyResponseCodes emptyResponseCodes,
                                            EmptyRequestMethods emptyRequestMethods,
                                            CompletionHandler<std::string> completionHandler);
  virtual DownloadRequest& responseAsJSON(platform::DispatchQueuePtr queue,
                                          DataPreprocessorPtr dataPreprocessor,
                                          EmptyResponseCodes emptyResponseCodes,
                                          EmptyRequestMethods emptyRequestMethods, unsigned options,
                                          CompletionHandler<platform::Value> completionHandler);
  template <class T, class Decoder = platform::JSONDecoder>
  DownloadRequest& responseAsDecodable(platform::DispatchQueuePtr queue,
                                       DataPreprocessorPtr dataPreprocessor, Decoder decoder,
                                       EmptyResponseCodes emptyResponseCodes,
                                       EmptyRequestMethods emptyRequestMethods,
                                       CompletionHandler<T> completionHandler) {
    return responseWithDownloadSerializer(
        std::move(queue),
        DecodableResponseSerializer<T, Decoder>(std::move(dataPreprocessor), std::move(decoder),
                                                std::move(emptyResponseCodes),
                                                std::move(emptyRequestMethods)),
        std::move(completionHandler));
  }

  // The same with the standard arguments: the main queue, the pass-through preprocessor, empty
  // bodies allowed for 204, 205 and HEAD.
  DownloadRequest& responseUnserialized(
      CompletionHandler<std::optional<platform::URL>> completionHandler);
  DownloadRequest& responseAsURL(CompletionHandler<platform::URL> completionHandler);
  DownloadRequest& responseAsData(CompletionHandler<platform::Bytes> completionHandler,
                                  platform::DispatchQueuePtr queue = nullptr);
  DownloadRequest& responseAsString(CompletionHandler<std::string> completionHandler,
                                    platform::DispatchQueuePtr queue = nullptr);
  template <class T>
  DownloadRequest& responseAsDecodable(CompletionHandler<T> completionHandler,
                                       platform::DispatchQueuePtr queue = nullptr) {
    return request_steps::standardResponseAsDecodable<T>(*this, std::move(completionHandler),
                                                         std::move(queue));
  }

  // ---- Awaiting (include halyard/policies/download_task.h) -------------------------------------
  // As for data requests; a download cancelled through its task keeps no resume data.
  DownloadTask<platform::Bytes> serializingData(DataPreprocessorPtr dataPreprocessor,
                                                EmptyResponseCodes emptyResponseCodes,
                                                EmptyRequestMethods emptyRequestMethods,
                                                bool automaticallyCancelling);
  DownloadTask<std::string> serializingString(DataPreprocessorPtr dataPreprocessor,
                                              std::optional<platform::StringEncoding> encoding,
                                              EmptyResponseCodes emptyResponseCodes,
                                              EmptyRequestMethods emptyRequestMethods,
                                              bool automaticallyCancelling);
  template <class T, class Decoder = platform::JSONDecoder>
  DownloadTask<T> serializingDecodable(DataPreprocessorPtr dataPreprocessor, Decoder decoder,
                                       EmptyResponseCodes emptyResponseCodes,
                                       EmptyRequestMethods emptyRequestMethods,
                                       bool automaticallyCancelling);
  DownloadTask<platform::URL> serializingDownloadedFileURL(bool automaticallyCancelling);
  template <DownloadResponseSerializerProtocol Serializer>
  DownloadTask<typename Serializer::SerializedObject> serializingDownloadWithSerializer(
      Serializer serializer, bool automaticallyCancelling);
  template <DownloadResponseSerializerProtocol Serializer>
  DownloadTask<typename Serializer::SerializedObject> serializingDownloadWithDownloadSerializer(
      Serializer serializer, bool automaticallyCancelling);

  // ---- Publishing (include halyard/policies/response_publishers.h) -----------------------------
  DownloadResponsePublisher<platform::Bytes> publishData(platform::DispatchQueuePtr queue,
                                                         DataPreprocessorPtr dataPreprocessor,
                                                         EmptyResponseCodes emptyResponseCodes,
                                                         EmptyRequestMethods emptyRequestMethods);
  DownloadResponsePublisher<std::string> publishString(
      platform::DispatchQueuePtr queue, DataPreprocessorPtr dataPreprocessor,
      std::optional<platform::StringEncoding> encoding, EmptyResponseCodes emptyResponseCodes,
      EmptyRequestMethods emptyRequestMethods);
  template <class T, class Decoder = platform::JSONDecoder>
  DownloadResponsePublisher<T> publishDecodable(platform::DispatchQueuePtr queue,
                                                DataPreprocessorPtr dataPreprocessor,
                                                Decoder decoder,
                                                EmptyResponseCodes emptyResponseCodes,
                                                EmptyRequestMethods emptyRequestMethods);
  DownloadResponsePublisher<std::optional<platform::URL>> publishUnserialized(
      platform::DispatchQueuePtr queue);

 private:
  std::shared_ptr<DownloadRequest> sharedSelf() {
    return std::static_pointer_cast<DownloadRequest>(shared_from_this());
  }
  template <class Value>
  DownloadResponse<Value> makeResponse(double serializationDuration,
                                       std::expected<Value, HalyardError> result) {
    return DownloadResponse<Value>{lastRequest(),    httpResponse(), fileURL(),
                                   resumeData(),     lastMetrics(),  serializationDuration,
                                   std::move(result)};
  }
  template <class Value>
  void finishSerializingStep(std::expected<Value, HalyardError> result, double duration,
                             platform::DispatchQueuePtr queue,
                             CompletionHandler<Value> completionHandler);

  mutable Protected<DownloadRequestMutableState> mutableDownloadState_;
  const Downloadable downloadable_;
  const Destination destination_;
};

using DownloadRequestPtr = std::shared_ptr<DownloadRequest>;

// ---- Template implementation ------------------------------------------------------------------

template <DownloadResponseSerializerProtocol Serializer>
DownloadRequest& DownloadRequest::responseWithDownloadSerializer(
    platform::DispatchQueuePtr queue, Serializer serializer,
    CompletionHandler<typename Serializer::SerializedObject> completionHandler) {
  using Value = typename Serializer::SerializedObject;
  auto self = sharedSelf();
  request_steps::appendSerializingStep<Value>(
      *this,
      [self, serializer = std::move(serializer)] {
        const auto request = self->lastRequest();
        const auto response = self->httpResponse();
        const auto file = self->fileURL();
        const auto error = self->error();
        return serializer.serializeDownloadedFile(request, response, file,
                                                  error ? makeErrorPtr(*error) : nullptr);
      },
      [self, queue = std::move(queue), completionHandler = std::move(completionHandler)](
          std::expected<Value, HalyardError> result, double duration) {
        self->finishSerializingStep<Value>(std::move(result), duration, queue, completionHandler);
      });
  return *this;
}

template <class Value>
void DownloadRequest::finishSerializingStep(std::expected<Value, HalyardError> result,
                                            double duration, platform::DispatchQueuePtr queue,
                                            CompletionHandler<Value> completionHandler) {
  auto self = sharedSelf();
  DownloadResponse<Value> response = makeResponse<Value>(duration, std::move(result));
  // The type-erased copy of the response is made only when some monitor will read it.
  if (const auto& monitor = eventMonitor();
      eventReachesAnyone(monitor, EventMonitorEvent::requestDidParseDownloadResponseValue)) {
    monitor->requestDidParseDownloadResponseValue(
        self, response.mapValue([](const Value& value) { return AnyValue::of(value); }));
  }
  request_steps::deliverOrRetry(
      self, std::move(response), std::move(queue), std::move(completionHandler),
      [self, duration](const HalyardError& error) {
        return self->makeResponse<Value>(duration,
                                         std::expected<Value, HalyardError>(std::unexpect, error));
      });
}

}  // namespace halyard
