// The session's request factories: each kind of request made from a URL, a URL request or
// parameters, with the session's queues, monitors and interceptors, then performed.
#include <utility>

#include "halyard/core/request_helpers.h"
#include "halyard/core/session.h"

namespace halyard {

namespace {

// A body maker that is the body itself. Made out of line: inlined into the factories, g++ 12
// takes the variant's move for a read of uninitialised memory.
template <class Case>
[[gnu::noinline]] std::shared_ptr<const Uploadable> makeUploadable(Case body) {
  return std::make_shared<const Uploadable>(Uploadable::Storage(std::move(body)));
}

}  // namespace

// ---- Factories -------------------------------------------------------------------------------

std::shared_ptr<DataRequest> Session::makeDataRequestFromParameters(
    URLConvertible url, HTTPMethod method, std::optional<Parameters> parameters,
    ParameterEncodingPtr encoding, std::optional<HTTPHeaders> headers,
    std::shared_ptr<RequestInterceptor> interceptor, RequestModifier requestModifier) {
  return makeDataRequest(std::make_shared<const RequestConvertible>(
                             std::move(url), std::move(method), std::move(parameters),
                             std::move(encoding), std::move(headers), std::move(requestModifier)),
                         std::move(interceptor));
}

RequestContext Session::requestContext(std::shared_ptr<RequestInterceptor> interceptor) {
  return RequestContext{platform::UUID(),       rootQueue_,
                        serializationQueue_,    eventMonitor_,
                        std::move(interceptor), std::weak_ptr<RequestDelegate>(shared_from_this())};
}

std::shared_ptr<DataRequest> Session::makeDataRequest(
    URLRequestConvertiblePtr convertible, std::shared_ptr<RequestInterceptor> interceptor) {
  auto request =
      std::make_shared<DataRequest>(requestContext(std::move(interceptor)), std::move(convertible));
  performRequest(request);
  return request;
}

std::shared_ptr<DataRequest> Session::makeDataRequest(
    URLConvertible url, HTTPMethod method, std::optional<HTTPHeaders> headers,
    std::shared_ptr<RequestInterceptor> interceptor, RequestModifier requestModifier) {
  return makeDataRequest(
      std::make_shared<const ParameterlessRequestConvertible>(
          std::move(url), std::move(method), std::move(headers), std::move(requestModifier)),
      std::move(interceptor));
}

std::shared_ptr<DataRequest> Session::makeDataRequest(
    platform::URLRequest urlRequest, std::shared_ptr<RequestInterceptor> interceptor) {
  return makeDataRequest(makeURLRequestConvertible(std::move(urlRequest)), std::move(interceptor));
}

// ---- Data-stream factories -------------------------------------------------------------------

std::shared_ptr<DataStreamRequest> Session::makeStreamRequest(
    URLRequestConvertiblePtr convertible, bool automaticallyCancelOnStreamError,
    std::shared_ptr<RequestInterceptor> interceptor) {
  auto request =
      std::make_shared<DataStreamRequest>(requestContext(std::move(interceptor)),
                                          std::move(convertible), automaticallyCancelOnStreamError);
  performRequest(request);
  return request;
}

std::shared_ptr<DataStreamRequest> Session::makeStreamRequestWithoutParameters(
    URLConvertible url, HTTPMethod method, std::optional<HTTPHeaders> headers,
    bool automaticallyCancelOnStreamError, std::shared_ptr<RequestInterceptor> interceptor,
    RequestModifier requestModifier) {
  return makeStreamRequest(
      std::make_shared<const RequestEncodableConvertible<Empty>>(
          std::move(url), std::move(method), std::nullopt, defaultParameterEncoder(),
          std::move(headers), std::move(requestModifier)),
      automaticallyCancelOnStreamError, std::move(interceptor));
}

// ---- Web-socket factories --------------------------------------------------------------------

std::shared_ptr<WebSocketRequest> Session::makeWebSocketRequestWithoutParameters(
    URLConvertible url, WebSocketRequest::Configuration configuration,
    std::optional<HTTPHeaders> headers, std::shared_ptr<RequestInterceptor> interceptor,
    RequestModifier requestModifier) {
  return makeWebSocketRequestFromEncodable<Empty>(
      std::move(url), std::move(configuration), std::nullopt, defaultParameterEncoder(),
      std::move(headers), std::move(interceptor), std::move(requestModifier));
}

std::shared_ptr<WebSocketRequest> Session::makeWebSocketRequest(
    URLRequestConvertiblePtr convertible, WebSocketRequest::Configuration configuration,
    std::shared_ptr<RequestInterceptor> interceptor) {
  return createWebSocketRequest(std::move(convertible), std::move(configuration),
                                std::move(interceptor));
}

std::shared_ptr<WebSocketRequest> Session::createWebSocketRequest(
    URLRequestConvertiblePtr convertible, WebSocketRequest::Configuration configuration,
    std::shared_ptr<RequestInterceptor> interceptor) {
  auto request = std::make_shared<WebSocketRequest>(
      requestContext(std::move(interceptor)), std::move(convertible), std::move(configuration));
  performRequest(request);
  return request;
}

// ---- Download factories ----------------------------------------------------------------------

DownloadRequest::Destination Session::defaultDownloadDestination() {
  return [](const platform::URL& temporaryURL, const platform::HTTPURLResponsePtr&) {
    return DownloadRequest::DestinationResult{
        temporaryURL.deletingLastPathComponent().appendingPathComponent(
            "Halyard_" + temporaryURL.lastPathComponent()),
        DownloadRequest::Options()};
  };
}

std::shared_ptr<DownloadRequest> Session::makeDownloadRequestFromParameters(
    URLConvertible url, HTTPMethod method, std::optional<Parameters> parameters,
    ParameterEncodingPtr encoding, std::optional<HTTPHeaders> headers,
    std::shared_ptr<RequestInterceptor> interceptor, RequestModifier requestModifier,
    DownloadRequest::Destination destination) {
  return makeDownloadRequest(
      std::make_shared<const RequestConvertible>(std::move(url), std::move(method),
                                                 std::move(parameters), std::move(encoding),
                                                 std::move(headers), std::move(requestModifier)),
      std::move(interceptor), std::move(destination));
}

std::shared_ptr<DownloadRequest> Session::makeDownloadRequest(
    URLRequestConvertiblePtr convertible, std::shared_ptr<RequestInterceptor> interceptor,
    DownloadRequest::Destination destination) {
  return startDownload(DownloadRequest::Downloadable::request(std::move(convertible)),
                       std::move(interceptor), std::move(destination));
}

std::shared_ptr<DownloadRequest> Session::startDownload(
    DownloadRequest::Downloadable downloadable, std::shared_ptr<RequestInterceptor> interceptor,
    DownloadRequest::Destination destination) {
  auto request = std::make_shared<DownloadRequest>(
      requestContext(std::move(interceptor)), std::move(downloadable),
      destination ? std::move(destination) : defaultDownloadDestination());
  performRequest(request);
  return request;
}

std::shared_ptr<DownloadRequest> Session::makeDownloadRequest(
    URLConvertible url, HTTPMethod method, std::optional<HTTPHeaders> headers,
    std::shared_ptr<RequestInterceptor> interceptor, RequestModifier requestModifier,
    DownloadRequest::Destination destination) {
  return makeDownloadRequest(
      std::make_shared<const ParameterlessRequestConvertible>(
          std::move(url), std::move(method), std::move(headers), std::move(requestModifier)),
      std::move(interceptor), std::move(destination));
}

std::shared_ptr<DownloadRequest> Session::makeResumedDownloadRequest(
    platform::Bytes resumeData, std::shared_ptr<RequestInterceptor> interceptor,
    DownloadRequest::Destination destination) {
  return startDownload(DownloadRequest::Downloadable::resumeData(std::move(resumeData)),
                       std::move(interceptor), std::move(destination));
}

// ---- Upload factories ------------------------------------------------------------------------

std::shared_ptr<UploadRequest> Session::makeUploadRequest(
    UploadConvertiblePtr upload, std::shared_ptr<RequestInterceptor> interceptor,
    platform::FileManagerPtr fileManager) {
  auto request = std::make_shared<UploadRequest>(requestContext(std::move(interceptor)),
                                                 std::move(upload), std::move(fileManager));
  performRequest(request);
  return request;
}

std::shared_ptr<UploadRequest> Session::makeDataUploadToURL(
    platform::Bytes data, URLConvertible url, HTTPMethod method, std::optional<HTTPHeaders> headers,
    std::shared_ptr<RequestInterceptor> interceptor, platform::FileManagerPtr fileManager,
    RequestModifier requestModifier) {
  return makeDataUpload(
      std::move(data),
      std::make_shared<const ParameterlessRequestConvertible>(
          std::move(url), std::move(method), std::move(headers), std::move(requestModifier)),
      std::move(interceptor), std::move(fileManager));
}

std::shared_ptr<UploadRequest> Session::makeDataUpload(
    platform::Bytes data, URLRequestConvertiblePtr convertible,
    std::shared_ptr<RequestInterceptor> interceptor, platform::FileManagerPtr fileManager) {
  return makeUploadRequest(
      std::make_shared<const Upload>(std::move(convertible),
                                     makeUploadable(Uploadable::Data{std::move(data)})),
      std::move(interceptor), std::move(fileManager));
}

std::shared_ptr<UploadRequest> Session::makeFileUploadToURL(
    platform::URL fileURL, URLConvertible url, HTTPMethod method,
    std::optional<HTTPHeaders> headers, std::shared_ptr<RequestInterceptor> interceptor,
    platform::FileManagerPtr fileManager, RequestModifier requestModifier) {
  return makeFileUpload(
      std::move(fileURL),
      std::make_shared<const ParameterlessRequestConvertible>(
          std::move(url), std::move(method), std::move(headers), std::move(requestModifier)),
      std::move(interceptor), std::move(fileManager));
}

std::shared_ptr<UploadRequest> Session::makeFileUpload(
    platform::URL fileURL, URLRequestConvertiblePtr convertible,
    std::shared_ptr<RequestInterceptor> interceptor, platform::FileManagerPtr fileManager) {
  return makeUploadRequest(
      std::make_shared<const Upload>(std::move(convertible),
                                     makeUploadable(Uploadable::File{std::move(fileURL), false})),
      std::move(interceptor), std::move(fileManager));
}

std::shared_ptr<UploadRequest> Session::makeStreamUploadToURL(
    platform::InputStreamPtr stream, URLConvertible url, HTTPMethod method,
    std::optional<HTTPHeaders> headers, std::shared_ptr<RequestInterceptor> interceptor,
    platform::FileManagerPtr fileManager, RequestModifier requestModifier) {
  return makeStreamUpload(
      std::move(stream),
      std::make_shared<const ParameterlessRequestConvertible>(
          std::move(url), std::move(method), std::move(headers), std::move(requestModifier)),
      std::move(interceptor), std::move(fileManager));
}

std::shared_ptr<UploadRequest> Session::makeStreamUpload(
    platform::InputStreamPtr stream, URLRequestConvertiblePtr convertible,
    std::shared_ptr<RequestInterceptor> interceptor, platform::FileManagerPtr fileManager) {
  return makeUploadRequest(
      std::make_shared<const Upload>(std::move(convertible),
                                     makeUploadable(Uploadable::Stream{std::move(stream)})),
      std::move(interceptor), std::move(fileManager));
}

}  // namespace halyard
