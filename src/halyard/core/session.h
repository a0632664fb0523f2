#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "halyard/core/composite_event_monitor.h"
#include "halyard/core/data_request.h"
#include "halyard/core/data_stream_request.h"
#include "halyard/core/download_request.h"
#include "halyard/core/http_headers.h"
#include "halyard/core/http_method.h"
#include "halyard/core/parameter_encoding.h"
#include "halyard/core/request.h"
#include "halyard/core/request_delegate.h"
#include "halyard/core/request_interceptor.h"
#include "halyard/core/request_performer.h"
#include "halyard/core/request_task_map.h"
#include "halyard/core/session_delegate.h"
#include "halyard/core/upload_request.h"
#include "halyard/core/url_convertible.h"
#include "halyard/core/web_socket_request.h"
#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/operation_queue.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/input_stream.h"
#include "platform/net/url_session.h"

namespace halyard {

class ServerTrustManager;

// The object through which every HTTP request of the client is made. It owns one URL-loading
// session and the delegate that receives its callbacks, a serial root queue on which all of its
// bookkeeping and every request's lifecycle hooks run, a request queue (URL requests are built
// and adapted there) and a serialization queue (response serializers run there), both
// targeting the root queue. Every event goes through its composite event monitor, whose first
// member posts the request notifications.
class Session : public RequestDelegate,
                public SessionStateProvider,
                private RequestPerformer,
                public std::enable_shared_from_this<Session> {
 public:
  using RequestModifier = std::function<void(platform::URLRequest&)>;  // may throw
  using RequestSet = std::unordered_set<RequestPtr, RequestIdentityHash, RequestIdentityEqual>;

  // ---- Convertible records -------------------------------------------------------------------

  // URL, method, parameter dictionary and encoding, headers and modifier.
  struct RequestConvertible : URLRequestConvertible {
    URLConvertible url;
    HTTPMethod method;
    std::optional<Parameters> parameters;
    ParameterEncodingPtr encoding;
    std::optional<HTTPHeaders> headers;
    RequestModifier requestModifier;

    RequestConvertible(URLConvertible url, HTTPMethod method, std::optional<Parameters> parameters,
                       ParameterEncodingPtr encoding, std::optional<HTTPHeaders> headers,
                       RequestModifier requestModifier)
        : url(std::move(url)),
          method(std::move(method)),
          parameters(std::move(parameters)),
          encoding(std::move(encoding)),
          headers(std::move(headers)),
          requestModifier(std::move(requestModifier)) {}
    platform::URLRequest toURLRequest() const override;
  };

  // URL, method, encodable parameters and encoder, headers and modifier. Without parameters
  // the encoder is not asked.
  template <class P>
  struct RequestEncodableConvertible : URLRequestConvertible {
    URLConvertible url;
    HTTPMethod method;
    std::optional<P> parameters;
    ParameterEncoderPtr encoder;
    std::optional<HTTPHeaders> headers;
    RequestModifier requestModifier;

    RequestEncodableConvertible(URLConvertible url, HTTPMethod method, std::optional<P> parameters,
                                ParameterEncoderPtr encoder, std::optional<HTTPHeaders> headers,
                                RequestModifier requestModifier)
        : url(std::move(url)),
          method(std::move(method)),
          parameters(std::move(parameters)),
          encoder(std::move(encoder)),
          headers(std::move(headers)),
          requestModifier(std::move(requestModifier)) {}

    platform::URLRequest toURLRequest() const override {
      platform::URLRequest request = urlRequestFromConvertible(url, method, headers);
      if (requestModifier) requestModifier(request);
      if (!parameters) return request;
      // Without an encoder the parameters still go out, the way the default encoder writes them.
      const ParameterEncoderPtr writer = encoder ? encoder : defaultParameterEncoder();
      return writer->encodeParameters(AnyEncodable(*parameters), request);
    }
  };

  // URL, method, headers and modifier only.
  struct ParameterlessRequestConvertible : URLRequestConvertible {
    URLConvertible url;
    HTTPMethod method;
    std::optional<HTTPHeaders> headers;
    RequestModifier requestModifier;

    ParameterlessRequestConvertible(URLConvertible url, HTTPMethod method,
                                    std::optional<HTTPHeaders> headers,
                                    RequestModifier requestModifier)
        : url(std::move(url)),
          method(std::move(method)),
          headers(std::move(headers)),
          requestModifier(std::move(requestModifier)) {}
    platform::URLRequest toURLRequest() const override;
  };

  // An upload description made of a request description and a body maker.
  struct Upload : UploadConvertible {
    URLRequestConvertiblePtr request;
    UploadableConvertiblePtr uploadable;

    Upload(URLRequestConvertiblePtr request, UploadableConvertiblePtr uploadable)
        : request(std::move(request)), uploadable(std::move(uploadable)) {}
    platform::URLRequest toURLRequest() const override { return request->toURLRequest(); }
    Uploadable toUploadable() const override { return uploadable->toUploadable(); }
  };

  // A multipart builder: fills a new form.
  using MultipartFormBuilder = std::function<void(MultipartFormData&)>;

  // ---- Construction --------------------------------------------------------------------------

  // Builds the URL-loading session over a delegate queue that runs on the root queue. A root
  // queue other than the main queue is wrapped in a serial queue of the same label targeting it.
  static std::shared_ptr<Session> initWithConfiguration(
      platform::URLSessionConfiguration configuration = defaultConfiguration(),
      std::shared_ptr<SessionDelegate> delegate = std::make_shared<SessionDelegate>(),
      platform::DispatchQueuePtr rootQueue = nullptr, bool startRequestsImmediately = true,
      platform::DispatchQueuePtr requestQueue = nullptr,
      platform::DispatchQueuePtr serializationQueue = nullptr,
      std::shared_ptr<RequestInterceptor> interceptor = nullptr,
      std::shared_ptr<ServerTrustManager> serverTrustManager = nullptr,
      std::shared_ptr<RedirectHandler> redirectHandler = nullptr,
      std::shared_ptr<CachedResponseHandler> cachedResponseHandler = nullptr,
      std::vector<EventMonitorPtr> eventMonitors = {});

  // For a caller that brings its own URL-loading session, whose delegate queue must run on
  // exactly `rootQueue`.
  static std::shared_ptr<Session> init(
      std::shared_ptr<platform::URLSession> session, std::shared_ptr<SessionDelegate> delegate,
      platform::DispatchQueuePtr rootQueue, bool startRequestsImmediately = true,
      platform::DispatchQueuePtr requestQueue = nullptr,
      platform::DispatchQueuePtr serializationQueue = nullptr,
      std::shared_ptr<RequestInterceptor> interceptor = nullptr,
      std::shared_ptr<ServerTrustManager> serverTrustManager = nullptr,
      std::shared_ptr<RedirectHandler> redirectHandler = nullptr,
      std::shared_ptr<CachedResponseHandler> cachedResponseHandler = nullptr,
      std::vector<EventMonitorPtr> eventMonitors = {});

  // The shared session: the default configuration with the default headers; built once.
  static const std::shared_ptr<Session>& defaultSession();
  // The platform's default configuration with the default headers as additional headers.
  static platform::URLSessionConfiguration defaultConfiguration();

  ~Session() override;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // ---- Fields --------------------------------------------------------------------------------
  const std::shared_ptr<platform::URLSession>& session() const { return session_; }
  const std::shared_ptr<SessionDelegate>& delegate() const { return delegate_; }
  const platform::DispatchQueuePtr& rootQueue() const { return rootQueue_; }
  bool startRequestsImmediately() const { return startRequestsImmediately_; }
  const platform::DispatchQueuePtr& requestQueue() const { return requestQueue_; }
  const platform::DispatchQueuePtr& serializationQueue() const { return serializationQueue_; }
  const std::shared_ptr<RequestInterceptor>& interceptor() const { return interceptor_; }
  const std::shared_ptr<CompositeEventMonitor>& eventMonitor() const { return eventMonitor_; }
  const std::vector<EventMonitorPtr>& defaultEventMonitors() const { return defaultEventMonitors_; }

  // ---- Active requests -----------------------------------------------------------------------
  // Runs `visitor` later, on the root queue, with a copy of the active requests.
  virtual void visitActiveRequests(std::function<void(const RequestSet&)> visitor);
  // Cancels every active request, then calls `completion` on `queue`.
  virtual void cancelActiveRequests(platform::DispatchQueuePtr queue,
                                    std::function<void()> completion = nullptr);

  // ---- Data-request factories ----------------------------------------------------------------
  virtual std::shared_ptr<DataRequest> makeDataRequestFromParameters(
      URLConvertible url, HTTPMethod method, std::optional<Parameters> parameters,
      ParameterEncodingPtr encoding, std::optional<HTTPHeaders> headers = std::nullopt,
      std::shared_ptr<RequestInterceptor> interceptor = nullptr,
      RequestModifier requestModifier = nullptr);
  template <class P>
  std::shared_ptr<DataRequest> makeDataRequestFromEncodable(
      URLConvertible url, HTTPMethod method, std::optional<P> parameters,
      ParameterEncoderPtr encoder, std::optional<HTTPHeaders> headers = std::nullopt,
      std::shared_ptr<RequestInterceptor> interceptor = nullptr,
      RequestModifier requestModifier = nullptr) {
    return makeDataRequest(std::make_shared<const RequestEncodableConvertible<P>>(
                               std::move(url), std::move(method), std::move(parameters),
                               std::move(encoder), std::move(headers), std::move(requestModifier)),
                           std::move(interceptor));
  }
  virtual std::shared_ptr<DataRequest> makeDataRequest(
      URLRequestConvertiblePtr convertible,
      std::shared_ptr<RequestInterceptor> interceptor = nullptr);
  // A plain request: the URL, a method (GET unless given) and headers.
  std::shared_ptr<DataRequest> makeDataRequest(
      URLConvertible url, HTTPMethod method = HTTPMethod::GET,
      std::optional<HTTPHeaders> headers = std::nullopt,
      std::shared_ptr<RequestInterceptor> interceptor = nullptr,
      RequestModifier requestModifier = nullptr);
  std::shared_ptr<DataRequest> makeDataRequest(
      platform::URLRequest urlRequest, std::shared_ptr<RequestInterceptor> interceptor = nullptr);

  // ---- Data-stream-request factories ---------------------------------------------------------
  template <class P>
  std::shared_ptr<DataStreamRequest> makeStreamRequestFromEncodable(
      URLConvertible url, HTTPMethod method, std::optional<P> parameters,
      ParameterEncoderPtr encoder, std::optional<HTTPHeaders> headers = std::nullopt,
      bool automaticallyCancelOnStreamError = false,
      std::shared_ptr<RequestInterceptor> interceptor = nullptr,
      RequestModifier requestModifier = nullptr) {
    return makeStreamRequest(
        std::make_shared<const RequestEncodableConvertible<P>>(
            std::move(url), std::move(method), std::move(parameters), std::move(encoder),
            std::move(headers), std::move(requestModifier)),
        automaticallyCancelOnStreamError, std::move(interceptor));
  }
  // No parameters: the default form encoder is given but never asked.
  virtual std::shared_ptr<DataStreamRequest> makeStreamRequestWithoutParameters(
      URLConvertible url, HTTPMethod method = HTTPMethod::GET,
      std::optional<HTTPHeaders> headers = std::nullopt,
      bool automaticallyCancelOnStreamError = false,
      std::shared_ptr<RequestInterceptor> interceptor = nullptr,
      RequestModifier requestModifier = nullptr);
  virtual std::shared_ptr<DataStreamRequest> makeStreamRequest(
      URLRequestConvertiblePtr convertible, bool automaticallyCancelOnStreamError = false,
      std::shared_ptr<RequestInterceptor> interceptor = nullptr);

  // ---- Web-socket-request factories ----------------------------------------------------------
  // The upgrade is always a GET, whatever the parameters are encoded into.
  virtual std::shared_ptr<WebSocketRequest> makeWebSocketRequestWithoutParameters(
      URLConvertible url,
      WebSocketRequest::Configuration configuration = WebSocketRequest::Configuration(),
      std::optional<HTTPHeaders> headers = std::nullopt,
      std::shared_ptr<RequestInterceptor> interceptor = nullptr,
      RequestModifier requestModifier = nullptr);
  template <class P>
  std::shared_ptr<WebSocketRequest> makeWebSocketRequestFromEncodable(
      URLConvertible url, WebSocketRequest::Configuration configuration,
      std::optional<P> parameters, ParameterEncoderPtr encoder,
      std::optional<HTTPHeaders> headers = std::nullopt,
      std::shared_ptr<RequestInterceptor> interceptor = nullptr,
      RequestModifier requestModifier = nullptr) {
    return createWebSocketRequest(
        std::make_shared<const RequestEncodableConvertible<P>>(
            std::move(url), HTTPMethod::GET, std::move(parameters), std::move(encoder),
            std::move(headers), std::move(requestModifier)),
        std::move(configuration), std::move(interceptor));
  }
  virtual std::shared_ptr<WebSocketRequest> makeWebSocketRequest(
      URLRequestConvertiblePtr convertible,
      WebSocketRequest::Configuration configuration = WebSocketRequest::Configuration(),
      std::shared_ptr<RequestInterceptor> interceptor = nullptr);
  // ---- Download-request factories ------------------------------------------------------------
  // Without a destination, the file is moved next to its temporary file as "Halyard_" followed
  // by the temporary file's name.
  virtual std::shared_ptr<DownloadRequest> makeDownloadRequestFromParameters(
      URLConvertible url, HTTPMethod method, std::optional<Parameters> parameters,
      ParameterEncodingPtr encoding, std::optional<HTTPHeaders> headers = std::nullopt,
      std::shared_ptr<RequestInterceptor> interceptor = nullptr,
      RequestModifier requestModifier = nullptr,
      DownloadRequest::Destination destination = nullptr);
  template <class P>
  std::shared_ptr<DownloadRequest> makeDownloadRequestFromEncodable(
      URLConvertible url, HTTPMethod method, std::optional<P> parameters,
      ParameterEncoderPtr encoder, std::optional<HTTPHeaders> headers = std::nullopt,
      std::shared_ptr<RequestInterceptor> interceptor = nullptr,
      RequestModifier requestModifier = nullptr,
      DownloadRequest::Destination destination = nullptr) {
    return makeDownloadRequest(
        std::make_shared<const RequestEncodableConvertible<P>>(
            std::move(url), std::move(method), std::move(parameters), std::move(encoder),
            std::move(headers), std::move(requestModifier)),
        std::move(interceptor), std::move(destination));
  }
  virtual std::shared_ptr<DownloadRequest> makeDownloadRequest(
      URLRequestConvertiblePtr convertible,
      std::shared_ptr<RequestInterceptor> interceptor = nullptr,
      DownloadRequest::Destination destination = nullptr);
  // A plain download: the URL, a method (GET unless given) and headers.
  std::shared_ptr<DownloadRequest> makeDownloadRequest(
      URLConvertible url, HTTPMethod method = HTTPMethod::GET,
      std::optional<HTTPHeaders> headers = std::nullopt,
      std::shared_ptr<RequestInterceptor> interceptor = nullptr,
      RequestModifier requestModifier = nullptr,
      DownloadRequest::Destination destination = nullptr);
  // Goes on from the resume data of an interrupted download; no URL request is built.
  virtual std::shared_ptr<DownloadRequest> makeResumedDownloadRequest(
      platform::Bytes resumeData, std::shared_ptr<RequestInterceptor> interceptor = nullptr,
      DownloadRequest::Destination destination = nullptr);
  // The destination of a download that names none.
  static DownloadRequest::Destination defaultDownloadDestination();

  // ---- Upload-request factories --------------------------------------------------------------
  virtual std::shared_ptr<UploadRequest> makeDataUploadToURL(
      platform::Bytes data, URLConvertible url, HTTPMethod method = HTTPMethod::POST,
      std::optional<HTTPHeaders> headers = std::nullopt,
      std::shared_ptr<RequestInterceptor> interceptor = nullptr,
      platform::FileManagerPtr fileManager = platform::FileManager::defaultManager(),
      RequestModifier requestModifier = nullptr);
  virtual std::shared_ptr<UploadRequest> makeDataUpload(
      platform::Bytes data, URLRequestConvertiblePtr convertible,
      std::shared_ptr<RequestInterceptor> interceptor = nullptr,
      platform::FileManagerPtr fileManager = platform::FileManager::defaultManager());
  // The file is read when the task starts, and never removed.
  virtual std::shared_ptr<UploadRequest> makeFileUploadToURL(
      platform::URL fileURL, URLConvertible url, HTTPMethod method = HTTPMethod::POST,
      std::optional<HTTPHeaders> headers = std::nullopt,
      std::shared_ptr<RequestInterceptor> interceptor = nullptr,
      platform::FileManagerPtr fileManager = platform::FileManager::defaultManager(),
      RequestModifier requestModifier = nullptr);
  virtual std::shared_ptr<UploadRequest> makeFileUpload(
      platform::URL fileURL, URLRequestConvertiblePtr convertible,
      std::shared_ptr<RequestInterceptor> interceptor = nullptr,
      platform::FileManagerPtr fileManager = platform::FileManager::defaultManager());
  // A stream is read once: an attempt that would need it again fails rather than send it
  // short.
  virtual std::shared_ptr<UploadRequest> makeStreamUploadToURL(
      platform::InputStreamPtr stream, URLConvertible url, HTTPMethod method = HTTPMethod::POST,
      std::optional<HTTPHeaders> headers = std::nullopt,
      std::shared_ptr<RequestInterceptor> interceptor = nullptr,
      platform::FileManagerPtr fileManager = platform::FileManager::defaultManager(),
      RequestModifier requestModifier = nullptr);
  virtual std::shared_ptr<UploadRequest> makeStreamUpload(
      platform::InputStreamPtr stream, URLRequestConvertiblePtr convertible,
      std::shared_ptr<RequestInterceptor> interceptor = nullptr,
      platform::FileManagerPtr fileManager = platform::FileManager::defaultManager());
  // A new form (fresh boundary) filled by `builder`.
  virtual std::shared_ptr<UploadRequest> makeBuiltMultipartUploadToURL(
      MultipartFormBuilder builder, URLConvertible url,
      std::uint64_t encodingMemoryThreshold = multipartEncodingMemoryThreshold,
      HTTPMethod method = HTTPMethod::POST, std::optional<HTTPHeaders> headers = std::nullopt,
      std::shared_ptr<RequestInterceptor> interceptor = nullptr,
      platform::FileManagerPtr fileManager = platform::FileManager::defaultManager(),
      RequestModifier requestModifier = nullptr);
  virtual std::shared_ptr<UploadRequest> makeBuiltMultipartUpload(
      MultipartFormBuilder builder, URLRequestConvertiblePtr convertible,
      std::uint64_t encodingMemoryThreshold = multipartEncodingMemoryThreshold,
      std::shared_ptr<RequestInterceptor> interceptor = nullptr,
      platform::FileManagerPtr fileManager = platform::FileManager::defaultManager());
  virtual std::shared_ptr<UploadRequest> makeMultipartUploadToURL(
      MultipartFormDataPtr multipartFormData, URLConvertible url,
      std::uint64_t encodingMemoryThreshold = multipartEncodingMemoryThreshold,
      HTTPMethod method = HTTPMethod::POST, std::optional<HTTPHeaders> headers = std::nullopt,
      std::shared_ptr<RequestInterceptor> interceptor = nullptr,
      platform::FileManagerPtr fileManager = platform::FileManager::defaultManager(),
      RequestModifier requestModifier = nullptr);
  virtual std::shared_ptr<UploadRequest> makeMultipartUpload(
      MultipartFormDataPtr multipartFormData, URLRequestConvertiblePtr convertible,
      std::uint64_t encodingMemoryThreshold = multipartEncodingMemoryThreshold,
      std::shared_ptr<RequestInterceptor> interceptor = nullptr,
      platform::FileManagerPtr fileManager = platform::FileManager::defaultManager());
  // An upload request over any upload description.
  virtual std::shared_ptr<UploadRequest> makeUploadRequest(
      UploadConvertiblePtr upload, std::shared_ptr<RequestInterceptor> interceptor = nullptr,
      platform::FileManagerPtr fileManager = platform::FileManager::defaultManager());

  // ---- Performing ----------------------------------------------------------------------------
  virtual void performRequest(const RequestPtr& request);
  virtual void startTaskForURLRequest(const platform::URLRequest& urlRequest,
                                      const RequestPtr& request);
  // The download path: a URL request, or straight to the task for resume data.
  void performDownloadRequest(const std::shared_ptr<DownloadRequest>& request) override;
  virtual void startResumeDataTask(const platform::Bytes& resumeData,
                                   const std::shared_ptr<DownloadRequest>& request);
  virtual std::shared_ptr<RequestAdapter> combinedAdapter(const RequestPtr& request) const;
  virtual std::shared_ptr<RequestRetrier> combinedRetrier(const RequestPtr& request) const;

  // ---- RequestDelegate -----------------------------------------------------------------------
  const platform::URLSessionConfiguration& urlConfiguration() const override;
  bool startsImmediately() const override { return startRequestsImmediately_; }
  void cleanUpAfterRequest(const RequestPtr& request) override;
  void decideRetryForRequest(const RequestPtr& request, const HalyardError& error,
                             RetryCompletion completion) override;
  void retryRequestAfterDelay(const RequestPtr& request, std::optional<double> delay) override;

  // ---- SessionStateProvider ------------------------------------------------------------------
  std::shared_ptr<ServerTrustManager> serverTrustManager() const override {
    return serverTrustManager_;
  }
  std::shared_ptr<RedirectHandler> redirectHandler() const override { return redirectHandler_; }
  std::shared_ptr<CachedResponseHandler> cachedResponseHandler() const override {
    return cachedResponseHandler_;
  }
  RequestPtr requestForTask(const URLSessionTaskPtr& task) override;
  void didGatherMetricsForTask(const URLSessionTaskPtr& task) override;
  void didCompleteTask(const URLSessionTaskPtr& task, std::function<void()> completion) override;
  std::optional<platform::URLCredential> credentialForTask(
      const URLSessionTaskPtr& task, const platform::URLProtectionSpace& space) override;
  // Whether `url` names the scheme, host and port of `space` (default ports counted).
  static bool sameOrigin(const std::optional<platform::URL>& url,
                         const platform::URLProtectionSpace& space);
  void cancelRequestsForSessionInvalidation(const platform::ErrorPtr& error) override;

  // Root-queue state, for inspection on the root queue.
  const RequestSet& activeRequests() const { return activeRequests_; }
  const RequestTaskMap& requestTaskMap() const { return requestTaskMap_; }
  std::size_t waitingCompletionCount() const { return waitingCompletions_.size(); }

 protected:
  Session(std::shared_ptr<platform::URLSession> session, std::shared_ptr<SessionDelegate> delegate,
          platform::DispatchQueuePtr rootQueue, bool startRequestsImmediately,
          platform::DispatchQueuePtr requestQueue, platform::DispatchQueuePtr serializationQueue,
          std::shared_ptr<RequestInterceptor> interceptor,
          std::shared_ptr<ServerTrustManager> serverTrustManager,
          std::shared_ptr<RedirectHandler> redirectHandler,
          std::shared_ptr<CachedResponseHandler> cachedResponseHandler,
          std::vector<EventMonitorPtr> eventMonitors);

  // Completes every mapped request with `sessionDeinitialized` on the root queue.
  virtual void finishRequestsOnDeinit();

 private:
  // RequestPerformer
  void performWithConvertible(const RequestPtr& request,
                              const URLRequestConvertible& convertible) override;
  void performUploadRequest(const std::shared_ptr<UploadRequest>& request) override;

  // A new request's context: a fresh identity on this session's queues, reporting to its
  // monitors, performed by this session.
  RequestContext requestContext(std::shared_ptr<RequestInterceptor> interceptor);
  std::shared_ptr<WebSocketRequest> createWebSocketRequest(
      URLRequestConvertiblePtr convertible, WebSocketRequest::Configuration configuration,
      std::shared_ptr<RequestInterceptor> interceptor);
  std::shared_ptr<DownloadRequest> startDownload(DownloadRequest::Downloadable downloadable,
                                                 std::shared_ptr<RequestInterceptor> interceptor,
                                                 DownloadRequest::Destination destination);
  // `gate`, when given, runs just before the task is asked for; false stops the attempt.
  void setUpURLRequest(const RequestPtr& request, const URLRequestConvertible& convertible,
                       std::function<bool()> gate = nullptr);
  // The steps of setting up: the checked initial request (null, with the failure recorded on
  // the request, when it cannot be made), then its task, either at once or after the adapter.
  std::shared_ptr<const platform::URLRequest> makeInitialURLRequest(
      const RequestPtr& request, const URLRequestConvertible& convertible);
  void recordAndStartURLRequest(const RequestPtr& request,
                                std::shared_ptr<const platform::URLRequest> initial);
  void adaptURLRequest(const RequestPtr& request, const std::shared_ptr<RequestAdapter>& adapter,
                       const std::shared_ptr<const platform::URLRequest>& initial,
                       std::function<bool()> gate);
  void didAdaptURLRequest(const RequestPtr& request,
                          const std::shared_ptr<const platform::URLRequest>& initial,
                          const std::function<bool()>& gate, AdaptationResult result);
  void startTaskUnlessGateCloses(const RequestPtr& request,
                                 std::shared_ptr<const platform::URLRequest> urlRequest,
                                 const std::function<bool()>& gate);
  // The upload's body for this attempt, recorded on the request (or its failure).
  bool makeUploadableForRequest(const std::shared_ptr<UploadRequest>& request);
  void syncTaskState(const URLSessionTaskPtr& task, Request::State state,
                     const RequestPtr& request);

  const std::vector<EventMonitorPtr> defaultEventMonitors_;
  const std::shared_ptr<platform::URLSession> session_;
  const std::shared_ptr<SessionDelegate> delegate_;
  const platform::DispatchQueuePtr rootQueue_;
  const bool startRequestsImmediately_;
  const platform::DispatchQueuePtr requestQueue_;
  const platform::DispatchQueuePtr serializationQueue_;
  const std::shared_ptr<RequestInterceptor> interceptor_;
  const std::shared_ptr<ServerTrustManager> serverTrustManager_;
  const std::shared_ptr<RedirectHandler> redirectHandler_;
  const std::shared_ptr<CachedResponseHandler> cachedResponseHandler_;
  const std::shared_ptr<CompositeEventMonitor> eventMonitor_;

  // Touched only on the root queue.
  RequestTaskMap requestTaskMap_;
  RequestSet activeRequests_;
  std::unordered_map<URLSessionTaskPtr, std::function<void()>> waitingCompletions_;
};

using SessionPtr = std::shared_ptr<Session>;

}  // namespace halyard
