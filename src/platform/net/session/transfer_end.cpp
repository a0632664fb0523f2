#include "platform/net/session/transfer_end.h"

#include <algorithm>
#include <utility>

#include "platform/foundation/process_info.h"
#include "platform/net/session/detail/session_helpers.h"
#include "platform/net/session/downloads.h"
#include "platform/net/session/redirects.h"
#include "platform/net/session/response_disposition.h"
#include "platform/net/session/session_hub.h"
#include "platform/net/session/task_commands.h"
#include "platform/net/session/transfer.h"
#include "platform/net/session/transfer_engine.h"
#include "platform/net/session/transfer_timers.h"
#include "platform/net/url_session_cache.h"

namespace platform::net_detail {

void TransferEnd::cancel(const std::shared_ptr<URLSessionTask>& task, int closeCode,
                         std::optional<Bytes> closeReason) {
  Transfer* found = engine_.find(task->taskIdentifier());
  if (!found) {
    // Ended on its own between the cancel and this command: it reported already.
    {
      std::lock_guard lock(TaskInternals::shared(*task)->mutex);
      if (TaskInternals::shared(*task)->state == URLSessionTask::State::completed) return;
    }
    // Never started: it still reports metrics and completion.
    Transfer& transfer = engine_.add(task, nullptr);
    transfer.fetchStart = Date::now();
    finish(transfer, makeError(URLError(URLError::Code::cancelled, task->originalRequest()
                                                                       ? task->originalRequest()->url
                                                                       : std::nullopt)));
    return;
  }
  Transfer& transfer = *found;
  if (transfer.phase == Phase::cancelled) return;
  // An open web socket closes with a handshake and completes by itself.
  if (transfer.webSocket && transfer.webSocket->cancel(closeCode, std::move(closeReason))) return;
  if (transfer.tls.challengeWait) {
    // The handshake ends by itself once its wait is over; the transfer then fails as
    // cancelled. Taking the connection away mid-handshake would strand it.
    transfer.tls.challengeWait->end(URLError::Code::cancelled);
    return;
  }
  moveTo(transfer, TransferEvent::cancel);
  finish(transfer, engine_.cancelledError(transfer));
}

void TransferEnd::cancelProducingResumeData(
    const std::shared_ptr<URLSessionTask>& task,
    const std::shared_ptr<OnceHandler<std::optional<Bytes>>>& handler) {
  Transfer* found = engine_.find(task->taskIdentifier());
  if (!found || found->phase == Phase::cancelled) {
    // Never started, or already ending: nothing to continue from.
    cancel(task);
    handler->call(std::nullopt);
    return;
  }
  Transfer& transfer = *found;
  if (transfer.tls.challengeWait) {
    // As for a plain cancel: the handshake ends by itself once its wait is over and the
    // transfer then fails as cancelled; taking the connection away mid-handshake would strand
    // it. Nothing of this connection's body has come yet, so the data is what the transfer
    // could continue from already.
    handler->call(engine_.downloads().resumeData(transfer));
    transfer.tls.challengeWait->end(URLError::Code::cancelled);
    return;
  }
  moveTo(transfer, TransferEvent::cancel);
  engine_.detach(transfer);
  auto resumeData = engine_.downloads().resumeData(transfer);
  // The handler hears of the data before the task's completion goes out, so whoever keeps
  // it has it when the completion arrives.
  handler->call(resumeData);
  auto error = URLError(URLError::Code::cancelled, engine_.currentURL(transfer));
  finish(transfer, makeError(error.withResumeData(std::move(resumeData))));
}

void TransferEnd::serveFromCache(Transfer& transfer, const URLRequest& request) {
  transfer.transactions.push_back(transfer.cache.localTransaction(request, Date::now()));
  engine_.deliverResponse(transfer);
  if (transfer.phase == Phase::awaitingDisposition) {
    moveTo(transfer, TransferEvent::transferEnded);  // the body follows the delegate's allow
    return;
  }
  finish(transfer, nullptr);
}

void TransferEnd::completeFromCache(Transfer& transfer) {
  auto task = std::dynamic_pointer_cast<URLSessionDataTask>(transfer.task);
  if (!task) return;
  if (auto body = transfer.cache.takeStoredBody()) {
    {
      std::lock_guard lock(transfer.shared->mutex);
      transfer.shared->bytesReceived += static_cast<std::int64_t>(body->size());
    }
    if (!body->empty()) {
      engine_.deliverCall(
          [task, chunk = std::move(*body)](URLSessionDelegate& delegate,
                                           const std::shared_ptr<URLSession>& session) mutable {
            delegate.didReceiveOwnedData(session, task, std::move(chunk));
          },
          transfer.keepAlive);
    }
  }
  auto proposal = transfer.cache.takeProposal();
  if (!proposal) return;
  auto cache = transfer.cache.cache();
  auto request = transfer.cache.takeStoreRequest();
  if (!engine_.hasDelegate()) return TransferCache::store(cache, proposal, request);
  engine_.deliverCall(
      [task, proposal, cache, request = std::move(request)](
          URLSessionDelegate& delegate, const std::shared_ptr<URLSession>& session) mutable {
        askToCache(delegate, session, task, proposal, std::move(cache), std::move(request));
      },
      transfer.keepAlive);
}

namespace {

// How a transfer ended in libcurl, decided once from its state and libcurl's result.
enum class Ending {
  webSocketConnected,   // a web socket's upgrade is through: the handle stays for its frames
  cancelled,            // its end was reported already
  failedAfterHeldBody,  // the failure waits behind the body held for the disposition
  overBound,            // the body passed its bound, or could not be kept
  downloadWritten,      // a download's body is in its file, or writing it failed
  bodyExhausted,        // the upload's body would have had to be sent again
  bodyUnreadable,       // reading the upload's body failed
  tooManyRedirects,
  ownHandshakeOver,   // libcurl's own handshake ended with a 401 that is now judged
  redirectUndecided,  // the delegate has yet to answer the redirect or the challenge
  nextRequest,        // the next request goes out
  answered,           // the response is the task's
  failed,             // libcurl failed it
};

Ending endingOf(const Transfer& transfer, CURLcode result) {
  const bool ok = result == CURLE_OK;
  const Phase phase = transfer.phase;
  if (phase == Phase::cancelled) return Ending::cancelled;
  if (transfer.webSocket && ok) return Ending::webSocketConnected;
  if (!ok && !transfer.response.heldBody.empty()) return Ending::failedAfterHeldBody;
  if (transfer.limitError) return Ending::overBound;
  // A download whose head led elsewhere goes on to the next request like any other task.
  if (isDownload(transfer) && !awaitsRedirect(phase) && !drainsBody(phase) &&
      (ok || transfer.download.error)) {
    return Ending::downloadWritten;
  }
  if (transfer.life.bodySupply == BodySupply::exhausted) return Ending::bodyExhausted;
  if (transfer.upload.error) return Ending::bodyUnreadable;
  if (!ok) return Ending::failed;
  switch (phase) {
    case Phase::refusingRedirect:
      return Ending::tooManyRedirects;
    case Phase::inOwnHandshake:
      return Ending::ownHandshakeOver;
    case Phase::awaitingRedirect:
      return Ending::redirectUndecided;
    case Phase::followingRedirect:
      return Ending::nextRequest;
    default:
      return Ending::answered;
  }
}

}  // namespace

void TransferEnd::onDone(Transfer& transfer, CURLcode result) {
  const Ending ending = endingOf(transfer, result);
  if (ending == Ending::webSocketConnected) {
    transfer.webSocket->connected(transfer.easy);
    return;
  }
  engine_.detach(transfer);
  // A head cut short keeps none of the cookies it set.
  if (result != CURLE_OK && transfer.life.head == Head::reading && transfer.cookieJar) {
    transfer.cookieJar->headFailed(transfer.easy, transfer.response.lines);
  }
  switch (ending) {
    case Ending::webSocketConnected:
    case Ending::cancelled:
      return;
    case Ending::failedAfterHeldBody:
      transfer.response.failureAfterHeldBody = result;
      return;
    case Ending::overBound:
      return finish(transfer, transfer.limitError);
    case Ending::downloadWritten:
      if (transfer.life.delivery == Delivery::pending && result == CURLE_OK) {
        engine_.deliverResponse(transfer);
      }
      if (transfer.download.error) return finish(transfer, transfer.download.error);
      return engine_.downloads().complete(transfer);
    case Ending::bodyExhausted:
      return finish(transfer, makeError(URLError(URLError::Code::requestBodyStreamExhausted,
                                                 engine_.currentURL(transfer),
                                                 "the body stream cannot be sent again")));
    case Ending::bodyUnreadable:
      return finish(transfer, bodyReadError(transfer));
    case Ending::tooManyRedirects:
      return finish(transfer, makeError(URLError(URLError::Code::httpTooManyRedirects,
                                                 engine_.currentURL(transfer),
                                                 "more than 16 redirects")));
    case Ending::ownHandshakeOver:
      if (engine_.redirects().settleAuthentication(transfer)) return;
      return endWithResponse(transfer);  // its 401 is the answer
    case Ending::redirectUndecided:
      return moveTo(transfer, TransferEvent::transferEnded);
    case Ending::nextRequest:
      return engine_.loadNextRequest(transfer);
    case Ending::answered:
      return endWithResponse(transfer);
    case Ending::failed:
      return endWithFailure(transfer, result);
  }
}

void TransferEnd::endWithResponse(Transfer& transfer) {
  if (transfer.life.delivery == Delivery::pending) engine_.deliverResponse(transfer);
  if (transfer.phase == Phase::awaitingDisposition || !transfer.response.heldBody.empty()) {
    const bool awaited = transfer.phase == Phase::awaitingDisposition;
    moveTo(transfer, TransferEvent::transferEnded);
    if (awaited) engine_.disposition().prepareEnd(transfer);
    return;
  }
  finish(transfer, nullptr);
}

void TransferEnd::endWithFailure(Transfer& transfer, CURLcode result) {
  URLError::Code code =
      codeForFailedTransfer(result, transfer.errorBuffer, engine_.currentURL(transfer));
  if (transfer.tls.handshakeFailure) {
    code = *transfer.tls.handshakeFailure;
  } else if (transfer.life.clientCertificate != ClientCertificate::unasked &&
             transfer.life.delivery == Delivery::pending) {
    code = transfer.life.clientCertificate == ClientCertificate::sent
               ? URLError::Code::clientCertificateRejected
               : URLError::Code::clientCertificateRequired;
  }
  if (code == URLError::Code::cancelled) {
    finish(transfer, engine_.cancelledError(transfer));
    return;
  }
  bool connectivity = code == URLError::Code::cannotConnectToHost ||
                      code == URLError::Code::cannotFindHost ||
                      code == URLError::Code::notConnectedToInternet;
  if (connectivity && engine_.configuration().waitsForConnectivity &&
      transfer.life.delivery == Delivery::pending) {
    if (tryMove(transfer, TransferEvent::waitingTold)) {  // once
      auto task = transfer.task;
      engine_.deliverCall(
          [task](URLSessionDelegate& delegate, const std::shared_ptr<URLSession>& session) {
            delegate.taskIsWaitingForConnectivity(session, task);
          },
          transfer.keepAlive);
    }
    moveTo(transfer, TransferEvent::connectivityLost);
    transfer.retryAtUptime = systemUptime() + 1.0;
    engine_.timers().noteDeadline(transfer.retryAtUptime);
    return;
  }
  std::string detail = transfer.errorBuffer[0] ? std::string(transfer.errorBuffer)
                                               : std::string(curl_easy_strerror(result));
  if (isOversizedHead(result, transfer.errorBuffer)) {
    detail = "the response head was too large (" + detail + ")";
  }
  finish(transfer, failureOf(transfer, URLError(code, engine_.currentURL(transfer), detail)));
}

ErrorPtr TransferEnd::failureOf(Transfer& transfer, const URLError& error) {
  return isDownload(transfer) ? engine_.downloads().failure(transfer, error) : makeError(error);
}

ErrorPtr TransferEnd::bodyReadError(const Transfer& transfer) {
  ErrorPtr cause = transfer.upload.error;
  if (!cause && transfer.upload.stream) cause = transfer.upload.stream->streamError();
  return makeError(URLError(
      URLError::Code::requestBodyStreamExhausted, engine_.currentURL(transfer),
      "reading the body failed" + (cause ? ": " + cause->debugDescription() : std::string())));
}

URLSessionTaskMetrics TransferEnd::metricsOf(Transfer& transfer, Date end) {
  URLSessionTaskMetrics metrics;
  metrics.taskInterval.start = TaskInternals::createdAt(*transfer.task);
  metrics.taskInterval.duration = std::max(0.0, end - TaskInternals::createdAt(*transfer.task));
  metrics.redirectCount = transfer.redirect.count;
  metrics.transactionMetrics = std::move(transfer.transactions);
  if (transfer.easy && !metrics.transactionMetrics.empty()) {
    auto& last = metrics.transactionMetrics.back();
    curl_off_t nameLookup = 0, connect = 0, appConnect = 0, preTransfer = 0, startTransfer = 0,
               total = 0, redirectTime = 0;
    curl_easy_getinfo(transfer.easy, CURLINFO_NAMELOOKUP_TIME_T, &nameLookup);
    curl_easy_getinfo(transfer.easy, CURLINFO_CONNECT_TIME_T, &connect);
    curl_easy_getinfo(transfer.easy, CURLINFO_APPCONNECT_TIME_T, &appConnect);
    curl_easy_getinfo(transfer.easy, CURLINFO_PRETRANSFER_TIME_T, &preTransfer);
    curl_easy_getinfo(transfer.easy, CURLINFO_STARTTRANSFER_TIME_T, &startTransfer);
    curl_easy_getinfo(transfer.easy, CURLINFO_TOTAL_TIME_T, &total);
    curl_easy_getinfo(transfer.easy, CURLINFO_REDIRECT_TIME_T, &redirectTime);
    // libcurl counts every phase from the start of the transfer, redirects included.
    Date start = transfer.fetchStart;
    last.fetchStartDate = start + static_cast<double>(redirectTime) / 1e6;
    long reused = 0;
    curl_easy_getinfo(transfer.easy, CURLINFO_NUM_CONNECTS, &reused);
    last.isReusedConnection = reused == 0;
    if (!last.isReusedConnection) {
      last.domainLookupStartDate = last.fetchStartDate;
      last.domainLookupEndDate = dateAfter(start, nameLookup);
      last.connectStartDate = last.domainLookupEndDate;
      last.connectEndDate = dateAfter(start, appConnect > 0 ? appConnect : connect);
      if (appConnect > 0) {
        last.secureConnectionStartDate = dateAfter(start, connect);
        last.secureConnectionEndDate = dateAfter(start, appConnect);
      }
    }
    last.requestStartDate = dateAfter(start, preTransfer);
    last.requestEndDate = last.requestStartDate;
    if (!last.responseStartDate) last.responseStartDate = dateAfter(start, startTransfer);
    last.responseEndDate = dateAfter(start, total);
    long version = 0;
    curl_easy_getinfo(transfer.easy, CURLINFO_HTTP_VERSION, &version);
    if (version != 0) {
      engine_.sessionHub().noteProtocol(engine_.currentURL(transfer), version == CURL_HTTP_VERSION_2_0);
    }
    if (version == CURL_HTTP_VERSION_2_0) {
      last.networkProtocolName = "h2";
    } else if (version == CURL_HTTP_VERSION_1_0) {
      last.networkProtocolName = "http/1.0";
    } else if (version != 0) {
      last.networkProtocolName = "http/1.1";
    }
    char* ip = nullptr;
    curl_easy_getinfo(transfer.easy, CURLINFO_PRIMARY_IP, &ip);
    if (ip && *ip) last.remoteAddress = std::string(ip);
    long port = 0;
    curl_easy_getinfo(transfer.easy, CURLINFO_PRIMARY_PORT, &port);
    if (port > 0) last.remotePort = static_cast<int>(port);
    curl_off_t uploaded = 0, downloaded = 0;
    curl_easy_getinfo(transfer.easy, CURLINFO_SIZE_UPLOAD_T, &uploaded);
    curl_easy_getinfo(transfer.easy, CURLINFO_SIZE_DOWNLOAD_T, &downloaded);
    last.countOfRequestBodyBytesSent = uploaded;
    last.countOfResponseBodyBytesReceived = downloaded;
  }
  return metrics;
}

void TransferEnd::finish(Transfer& transfer, ErrorPtr error) {
  // Ended on the delegate queue, which said so.
  if (!engine_.disposition().reclaimEnd(transfer)) return;
  if (!error) completeFromCache(transfer);
  engine_.detach(transfer);
  moveTo(transfer, TransferEvent::end);
  URLSessionTaskMetrics metrics = metricsOf(transfer, Date::now());

  {
    std::lock_guard lock(transfer.shared->mutex);
    transfer.shared->state = URLSessionTask::State::completed;
    transfer.shared->error = error;
  }
  engine_.sessionHub().taskCompleted(transfer.task->taskIdentifier());
  engine_.taskGone(*transfer.shared);
  if (transfer.task->kind() == URLSessionTask::Kind::webSocket) {
    TaskInternals::connection(static_cast<URLSessionWebSocketTask&>(*transfer.task))->ended(error);
  }

  auto task = transfer.task;
  auto session = engine_.sessionOf(transfer);
  engine_.deliverCall(
      [task, metrics = std::move(metrics)](URLSessionDelegate& delegate,
                                           const std::shared_ptr<URLSession>& s) {
        delegate.didFinishCollectingMetrics(s, task, metrics);
      },
      session);
  engine_.deliverCall(
      [task, error](URLSessionDelegate& delegate, const std::shared_ptr<URLSession>& s) {
        delegate.didCompleteWithError(s, task, error);
      },
      session);

  engine_.retire(task->taskIdentifier());
}

void TransferEnd::finishQuietly(Transfer& transfer) {
  transfer.download.release(transfer.life.download == Download::fileHandedOn);
  std::lock_guard lock(transfer.shared->mutex);
  if (transfer.shared->state != URLSessionTask::State::completed) {
    transfer.shared->state = URLSessionTask::State::completed;
    transfer.shared->error = makeError(URLError(URLError::Code::cancelled));
  }
}

}  // namespace platform::net_detail
