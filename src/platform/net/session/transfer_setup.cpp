#include "platform/net/session/transfer_setup.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/foundation/process_info.h"
#include "platform/net/http_header_fields.h"
#include "platform/net/session/curl_callbacks.h"
#include "platform/net/session/detail/once_handler.h"
#include "platform/net/session/detail/session_helpers.h"
#include "platform/net/session/downloads.h"
#include "platform/net/session/session_hub.h"
#include "platform/net/session/task_commands.h"
#include "platform/net/session/tls_challenges.h"
#include "platform/net/session/transfer.h"
#include "platform/net/session/transfer_end.h"
#include "platform/net/session/transfer_engine.h"
#include "platform/net/session/transfer_timers.h"
#include "platform/net/url_error.h"
#include "platform/net/url_session_cache.h"
#include "platform/net/web_socket_connection.h"

namespace platform::net_detail {

namespace {

bool isSecureScheme(const URL& url) {
  std::string scheme = url.scheme().value_or("");
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return scheme == "https";
}

}  // namespace

void TransferSetup::start(Transfer& transfer, const URLRequest& request) {
  transfer.fetchStart = Date::now();
  transfer.startUptime = systemUptime();
  engine_.timers().noteStarted(transfer);
  std::lock_guard lock(transfer.shared->mutex);
  transfer.shared->currentRequest = request;
}

void TransferSetup::setUp(Transfer& transfer) {
  const URLRequest& request = *transfer.task->originalRequest();
  start(transfer, request);

  auto fail = [&](URLError::Code code, std::string detail) {
    engine_.finish(transfer, makeError(URLError(code, request.url, std::move(detail))));
  };
  const TaskSource* source = TaskInternals::source(*transfer.task);
  if (source && source->unreadableResumeData) {
    return fail(URLError::Code::cannotDecodeRawData, "the resume data cannot be read");
  }
  const bool isUpload = transfer.task->kind() == URLSessionTask::Kind::upload && source;
  if (transfer.task->kind() == URLSessionTask::Kind::download) {
    moveTo(transfer, TransferEvent::downloadStarted);
  }
  if (!request.url) return fail(URLError::Code::badURL, "the request has no URL");
  const URL& url = *request.url;
  auto scheme = url.scheme() ? lowercase(*url.scheme()) : std::string();
  if (scheme != "http" && scheme != "https") {
    return fail(url.isAbsolute() ? URLError::Code::unsupportedURL : URLError::Code::badURL,
                "only http and https URLs are loaded");
  }
  // Percent-decoding the host is not free; once is enough.
  if (auto host = url.host(); !host || host->empty()) {
    return fail(URLError::Code::badURL, "no host");
  }
  auto policy = request.cachePolicy == URLRequest::CachePolicy::useProtocolCachePolicy
                    ? engine_.configuration().requestCachePolicy
                    : request.cachePolicy;
  std::optional<URLRequest> validated;  // the request with the validators of a revalidation
  const URLSessionConfiguration& configuration = engine_.configuration();
  switch (transfer.cache.begin(
      configuration.urlCache, policy, configuration.httpAdditionalHeaders,
      transfer.task->kind() == URLSessionTask::Kind::data, request, validated, Date::now())) {
    case CacheStep::unavailable:
      return fail(URLError::Code::resourceUnavailable, "nothing cached and loading is not allowed");
    case CacheStep::serve:
      return engine_.ending().serveFromCache(transfer, request);
    case CacheStep::load:
      break;
  }

  const URLRequest& sent = validated ? *validated : request;
  if (std::string problem; !buildHeaders(transfer, sent, isUpload, problem)) {
    return fail(URLError::Code::badURL, problem);
  }
  if (isDownload(transfer) && !engine_.downloads().setUp(transfer, source)) return;

  const std::string method = request.httpMethod.value_or("GET");
  if (method.empty() || !isValidHeaderName(method)) {
    return fail(URLError::Code::badURL, "invalid method");
  }

  CURL* easy = engine_.easyPool().acquire();
  if (easy == nullptr) return fail(URLError::Code::unknown, "the transfer could not be made");
  transfer.easy = easy;
  const bool cookies = configuration.httpShouldSetCookies && request.httpShouldHandleCookies &&
                       configuration.httpCookieAcceptPolicy != HTTPCookieAcceptPolicy::never;
  transfer.cookieJar = cookies ? engine_.sessionHub().cookieStorage() : nullptr;
  setRequestOptions(transfer, url);
  transfer.redirect.auth.forget(easy);

  if (isUpload) {
    if (!setUpUploadBody(transfer, *source, request)) return;
    if (method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
  } else if (method == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else if (request.httpBody || method == "POST") {
    // A POST always states its length, also when it sends nothing.
    transfer.upload.data = request.httpBody.value_or(Bytes());
    setInMemoryBody(easy, transfer.upload.data);
    if (method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
    std::lock_guard lock(transfer.shared->mutex);
    transfer.shared->bytesExpectedToSend = static_cast<std::int64_t>(transfer.upload.data.size());
  } else if (method != "GET") {
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
  }
  if (transfer.upload.kind == TaskSource::Body::stream) {
    // The transfer starts once the delegate has handed over the body stream.
    askForBodyStream(transfer);
    return;
  }
  if (!engine_.attach(transfer)) {
    return fail(URLError::Code::unknown, "the transfer could not be started");
  }
  engine_.updatePause(transfer);
}

// Goes on with `redirect.next` in the same task, on a fresh handle.
void TransferSetup::loadNextRequest(Transfer& transfer) {
  URLRequest request = std::move(*transfer.redirect.next);
  const bool dropsBody = transfer.life.nextBody == NextBody::dropped;
  // A fresh head for a request that replaces the task's current one; the choice of body is
  // spent.
  moveTo(transfer, TransferEvent::nextLoaded);
  const bool replay = transfer.redirect.auth.replaying();
  if (!replay) ++transfer.redirect.count;
  engine_.detach(transfer);
  auto fail = [&](URLError::Code code, std::string detail) {
    engine_.finish(transfer, makeError(URLError(code, request.url, std::move(detail))));
  };
  {
    std::lock_guard lock(transfer.shared->mutex);
    transfer.shared->currentRequest = request;
  }
  transfer.response.status = 0;
  transfer.response.lines.clear();
  transfer.errorBuffer[0] = 0;

  const std::string method = request.httpMethod.value_or("GET");
  const bool keepsBody = !dropsBody && transfer.upload.kind != TaskSource::Body::none;
  const bool isUpload = transfer.task->kind() == URLSessionTask::Kind::upload && keepsBody;
  URLRequest sent = request;
  // The answer to the challenge takes the place of the request's own.
  if (replay) sent.setValueForHTTPHeaderField(std::nullopt, "Authorization");
  if (std::string problem; !buildHeaders(transfer, sent, isUpload, problem)) {
    return fail(URLError::Code::badURL, problem);
  }
  // The hop runs on a handle of its own (see CurlEasyPool); the connection stays in the multi
  // handle's cache for it.
  CURL* easy = engine_.easyPool().renew(transfer.easy);
  transfer.easy = easy;
  if (easy == nullptr) return fail(URLError::Code::unknown, "the transfer could not be made");
  setRequestOptions(transfer, *request.url);
  transfer.redirect.auth.applyTo(easy, transfer.headers, method, *request.url);
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.headers);
  const auto streamed = [&] { sendBodyThroughReads(transfer, easy); };
  if (dropsBody) {
    // A new GET (or HEAD): no body, and no method of the old request left behind.
    if (method == "HEAD") curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    transfer.upload.kind = TaskSource::Body::none;
    transfer.upload.data.clear();
  } else if (transfer.upload.kind == TaskSource::Body::file) {
    if (::lseek(transfer.upload.fd, 0, SEEK_SET) < 0) {
      return fail(URLError::Code::cannotOpenFile, "the body file cannot be read again");
    }
    transfer.upload.offset = 0;
    streamed();
  } else if (transfer.upload.kind == TaskSource::Body::stream) {
    if (transfer.upload.offset > 0) {
      return fail(URLError::Code::requestBodyStreamExhausted,
                  "the body stream cannot be sent again");
    }
    streamed();
  } else if (transfer.upload.kind == TaskSource::Body::data || !transfer.upload.data.empty() ||
             request.httpBody || method == "POST") {
    // An upload of nothing still states its length, as on the first request.
    if (request.httpBody && transfer.task->kind() != URLSessionTask::Kind::upload) {
      transfer.upload.data = *request.httpBody;
    }
    setInMemoryBody(easy, transfer.upload.data);
  } else if (method == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  }
  if (!dropsBody && method != "GET" && method != "POST" && method != "HEAD") {
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
  }
  if (!engine_.attach(transfer)) {
    return fail(URLError::Code::unknown, "the transfer could not be started");
  }
  engine_.updatePause(transfer);
}

// What every request of a transfer sets on its (new) handle, the first and each hop or replay
// alike; the method, body and credentials are the caller's.
void TransferSetup::setRequestOptions(Transfer& transfer, const URL& url) {
  CURL* easy = transfer.easy;
  curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
  curl_easy_setopt(easy, CURLOPT_URL, url.absoluteString().c_str());
  // A request to an HTTPS origin waits for a connection being set up there, which may turn out
  // to carry HTTP/2 and take it as another stream, rather than opening one of its own. Over
  // plain HTTP (no HTTP/2 there) requests open connections up to the per-host bound at once.
  curl_easy_setopt(easy, CURLOPT_PIPEWAIT, isSecureScheme(url) ? 1L : 0L);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.errorBuffer);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  setTrustOptions(easy, transfer);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &headerCallback);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &writeCallback);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &progressCallback);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &transfer);
  // Decoding is always on, as a client of this platform expects: an explicit Accept-Encoding
  // is sent as given, otherwise every encoding libcurl can undo is offered.
  curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING,
                   transfer.acceptEncoding ? transfer.acceptEncoding->c_str() : "");
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.headers);

  const bool cookies = transfer.cookieJar != nullptr;
  SessionHub& hub = engine_.sessionHub();
  curl_easy_setopt(easy, CURLOPT_SHARE, cookies ? hub.cookieShare() : hub.plainShare());
  if (cookies) curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");

  // Fewer, larger writes into the file.
  if (isDownload(transfer)) curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 256L * 1024L);
  // A declared length is refused before the body; what arrives is counted as it is written.
  if (const std::int64_t maximum = engine_.bodyBound(transfer); maximum > 0) {
    curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maximum));
  }
  const URLSessionConfiguration& configuration = engine_.configuration();
  if (configuration.minimumBytesPerSecond > 0 && configuration.lowSpeedSeconds > 0) {
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT,
                     static_cast<long>(configuration.minimumBytesPerSecond));
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, configuration.lowSpeedSeconds);
  }
}

bool TransferSetup::buildHeaders(Transfer& transfer, const URLRequest& request, bool isUpload,
                               std::string& problem) {
  if (transfer.headers) curl_slist_free_all(transfer.headers);
  transfer.headers = nullptr;
  transfer.acceptEncoding.reset();
  // Header fields: the request's own, then the configuration's where the request has none.
  // Both lists are read where they are, not merged into a copy.
  const auto& own = request.allHTTPHeaderFields();
  const auto& additional = engine_.configuration().httpAdditionalHeaders;
  bool hasExpect = false, hasAccept = false, hasContentType = false;
  std::string line;
  auto add = [&](const std::string& name, const std::string& value) {
    if (!isValidHeaderName(name) || !isSendableHeaderValue(value)) {
      problem = "header field \"" + name + "\" cannot be sent";
      return false;
    }
    hasExpect = hasExpect || headerNamesEqual(name, "Expect");
    hasAccept = hasAccept || headerNamesEqual(name, "Accept");
    hasContentType = hasContentType || headerNamesEqual(name, "Content-Type");
    if (headerNamesEqual(name, "Accept-Encoding")) {
      transfer.acceptEncoding = value;
      return true;
    }
    // An upload's length and framing follow from its body.
    if (isUpload &&
        (headerNamesEqual(name, "Content-Length") || headerNamesEqual(name, "Transfer-Encoding"))) {
      return true;
    }
    line.assign(name);
    line.append(value.empty() ? ";" : ": ");
    line.append(value);
    transfer.headers = curl_slist_append(transfer.headers, line.c_str());
    return true;
  };
  if (own) {
    for (const auto& [name, value] : *own) {
      if (!add(name, value)) return false;
    }
  }
  if (additional) {
    for (const auto& [name, value] : *additional) {
      if (own && own->contains(name)) continue;
      if (!add(name, value)) return false;
    }
  }
  // Large bodies would otherwise wait for a "100 Continue" many servers never send.
  if (!hasExpect) transfer.headers = curl_slist_append(transfer.headers, "Expect:");
  // libcurl would claim "Accept: */*" on the request's behalf; a request that names no types
  // sends no such field.
  if (!hasAccept) transfer.headers = curl_slist_append(transfer.headers, "Accept:");
  // An upload says what its body is only when the request does; libcurl would call it a form.
  if (isUpload && !hasContentType) {
    transfer.headers = curl_slist_append(transfer.headers, "Content-Type:");
  }
  return true;
}

bool TransferSetup::setUpUploadBody(Transfer& transfer, const TaskSource& source,
                                  const URLRequest& request) {
  CURL* easy = transfer.easy;
  transfer.upload.kind = source.body;
  auto fail = [&](URLError::Code code, std::string detail) {
    engine_.finish(transfer, makeError(URLError(code, request.url, std::move(detail))));
    return false;
  };
  switch (source.body) {
    case TaskSource::Body::none:
    case TaskSource::Body::data:
      transfer.upload.kind = TaskSource::Body::data;
      transfer.upload.data = source.data;
      transfer.upload.length = static_cast<std::int64_t>(transfer.upload.data.size());
      setInMemoryBody(easy, transfer.upload.data);
      break;
    case TaskSource::Body::file: {
      transfer.upload.fd = ::open(source.filePath.c_str(), O_RDONLY | O_CLOEXEC);
      if (transfer.upload.fd < 0) {
        const int code = errno;
        return fail(code == ENOENT || code == ENOTDIR ? URLError::Code::fileDoesNotExist
                    : code == EACCES                  ? URLError::Code::noPermissionsToReadFile
                                                      : URLError::Code::cannotOpenFile,
                    "the body file " + source.filePath + ": " + std::strerror(code));
      }
      struct stat info {};
      if (::fstat(transfer.upload.fd, &info) != 0) {
        return fail(URLError::Code::cannotOpenFile, "the body file cannot be examined");
      }
      if (S_ISDIR(info.st_mode)) {
        return fail(URLError::Code::fileIsDirectory, "the body file is a directory");
      }
      if (!S_ISREG(info.st_mode)) {
        return fail(URLError::Code::cannotOpenFile, "the body file is not a regular file");
      }
      transfer.upload.length = static_cast<std::int64_t>(info.st_size);
      sendBodyThroughReads(transfer, easy);
      break;
    }
    case TaskSource::Body::stream: {
      // A length the request states is kept; otherwise the body goes out in chunks.
      if (auto stated = request.valueForHTTPHeaderField("Content-Length")) {
        char* end = nullptr;
        errno = 0;
        const long long length = std::strtoll(stated->c_str(), &end, 10);
        if (errno == 0 && end && *end == '\0' && !stated->empty() && length >= 0) {
          transfer.upload.length = length;
        }
      }
      sendBodyThroughReads(transfer, easy);
      moveTo(transfer, TransferEvent::bodyStreamNeeded);
      break;
    }
  }
  // Files and streams were given the read callbacks with their length above.
  if (transfer.upload.kind == TaskSource::Body::none) {
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, &readCallback);
    curl_easy_setopt(easy, CURLOPT_READDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &seekCallback);
    curl_easy_setopt(easy, CURLOPT_SEEKDATA, &transfer);
  }
  std::lock_guard lock(transfer.shared->mutex);
  transfer.shared->bytesExpectedToSend = transfer.upload.length;
  return true;
}

void TransferSetup::askForBodyStream(Transfer& transfer) {
  if (!engine_.hasDelegate()) {
    moveTo(transfer, TransferEvent::bodyStreamSettled);
    engine_.finish(transfer,
                   makeError(URLError(URLError::Code::requestBodyStreamExhausted,
                                      engine_.currentURL(transfer), "no body stream was provided")));
    return;
  }
  auto answer = std::make_shared<OnceHandler<InputStreamPtr>>(
      [post = engine_.poster(), this, identifier = transfer.task->taskIdentifier()](
          InputStreamPtr s) { post([this, identifier, s] { provideBodyStream(identifier, s); }); });
  auto task = transfer.task;
  engine_.deliverCall(
      [task, answer](URLSessionDelegate& delegate,
                     const std::shared_ptr<URLSession>& session) mutable {
        std::function<void(InputStreamPtr)> handler = [answer](InputStreamPtr stream) {
          answer->call(std::move(stream));
        };
        answer.reset();  // from here only the handler holds the answer
        delegate.needNewBodyStream(session, task, std::move(handler));
      },
      transfer.keepAlive);
}

void TransferSetup::provideBodyStream(std::uint64_t identifier, InputStreamPtr stream) {
  Transfer* found = engine_.find(identifier);
  if (!found) return;
  Transfer& transfer = *found;
  if (transfer.phase != Phase::awaitingBodyStream) return;
  moveTo(transfer, TransferEvent::bodyStreamSettled);
  if (!stream || stream->streamStatus() != StreamStatus::notOpen) {
    engine_.finish(transfer, makeError(URLError(URLError::Code::requestBodyStreamExhausted,
                                                engine_.currentURL(transfer),
                                                stream ? "the body stream was read before"
                                                       : "no body stream was provided")));
    return;
  }
  stream->open();
  if (stream->streamStatus() == StreamStatus::error) {
    transfer.upload.stream = std::move(stream);
    engine_.finish(transfer, engine_.ending().bodyReadError(transfer));
    return;
  }
  transfer.upload.stream = std::move(stream);
  if (!engine_.attach(transfer)) {
    engine_.finish(transfer, makeError(URLError(URLError::Code::unknown,
                                                engine_.currentURL(transfer),
                                                "the transfer could not be started")));
    return;
  }
  engine_.updatePause(transfer);
}

void TransferSetup::reportSent(Transfer& transfer, curl_off_t uploaded) {
  {
    std::lock_guard lock(transfer.shared->mutex);
    transfer.shared->bytesSent = uploaded;
  }
  // A body sent again (after a redirect) counts afresh.
  if (uploaded < transfer.upload.reportedSent) transfer.upload.reportedSent = 0;
  const std::int64_t step = uploaded - transfer.upload.reportedSent;
  if (step <= 0) return;
  transfer.upload.reportedSent = uploaded;
  auto task = transfer.task;
  const std::int64_t total = uploaded;
  const std::int64_t expected = transfer.upload.length;
  engine_.deliverCall(
      [task, step, total, expected](URLSessionDelegate& delegate,
                                    const std::shared_ptr<URLSession>& session) {
        delegate.didSendBodyData(session, task, step, total, expected);
      },
      transfer.keepAlive);
}

// The connection of a web socket: libcurl opens it (TCP, TLS and trust, as for data tasks) in
// connect-only mode over HTTP/1.1, so ALPN offers only "http/1.1"; the upgrade and the frames
// are the connection object's.
void TransferSetup::setUpWebSocket(Transfer& transfer) {
  const URLRequest& request = *transfer.task->originalRequest();
  start(transfer, request);
  auto fail = [&](URLError::Code code, std::string detail) {
    engine_.finish(transfer, makeError(URLError(code, request.url, std::move(detail))));
  };
  if (!request.url) return fail(URLError::Code::badURL, "the request has no URL");
  const URL& url = *request.url;
  const std::string scheme = lowercase(url.scheme().value_or(""));
  const bool secure = scheme == "wss" || scheme == "https";
  if (!secure && scheme != "ws" && scheme != "http") {
    return fail(url.isAbsolute() ? URLError::Code::unsupportedURL : URLError::Code::badURL,
                "only ws, wss, http and https URLs open web sockets");
  }
  if (!url.host() || url.host()->empty()) return fail(URLError::Code::badURL, "no host");
  HTTPHeaderFields fields = request.allHTTPHeaderFields().value_or(HTTPHeaderFields());
  const URLSessionConfiguration& configuration = engine_.configuration();
  if (configuration.httpAdditionalHeaders) {
    for (const auto& [name, value] : *configuration.httpAdditionalHeaders) {
      if (!fields.contains(name)) fields.set(name, value);
    }
  }
  const std::string key = makeWebSocketKey();
  std::string problem;
  auto upgrade = makeWebSocketRequest(url, fields, key, problem);
  if (!upgrade) return fail(URLError::Code::badURL, problem);

  std::string host = url.host().value_or("");
  if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
  const std::string connectURL = (secure ? "https://" : "http://") + host + ":" +
                                 std::to_string(url.port().value_or(secure ? 443 : 80)) + "/";
  CURL* easy = curl_easy_init();
  transfer.easy = easy;
  curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
  curl_easy_setopt(easy, CURLOPT_URL, connectURL.c_str());
  curl_easy_setopt(easy, CURLOPT_CONNECT_ONLY, 1L);
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.errorBuffer);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  setTrustOptions(easy, transfer);
  curl_easy_setopt(easy, CURLOPT_SHARE, engine_.sessionHub().plainShare());
  const double timeout =
      std::min(configuration.timeoutIntervalForRequest, request.timeoutInterval);
  if (timeout > 0) {
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout * 1000.0));
  }

  auto& task = static_cast<URLSessionWebSocketTask&>(*transfer.task);
  transfer.webSocket = TaskInternals::connection(task);
  engine_.countWebSocket();
  Transfer* raw = &transfer;
  std::weak_ptr<URLSessionWebSocketTask> weakTask =
      std::static_pointer_cast<URLSessionWebSocketTask>(transfer.task);
  WebSocketConnection::TransferHooks hooks;
  hooks.deliver = [this, raw](WebSocketConnection::DelegateCall call) {
    engine_.deliverCall(std::move(call), raw->keepAlive);
  };
  hooks.setResponse = [raw](URLResponsePtr response) {
    std::lock_guard lock(raw->shared->mutex);
    raw->shared->response = std::move(response);
  };
  hooks.finish = [this, raw](ErrorPtr error) { engine_.finish(*raw, std::move(error)); };
  transfer.webSocket->start(weakTask, std::move(hooks), url, std::move(*upgrade), key,
                            offeredWebSocketProtocols(fields), timeout);
  if (!engine_.attach(transfer)) {
    return fail(URLError::Code::unknown, "the connection could not be started");
  }
}

}  // namespace platform::net_detail
