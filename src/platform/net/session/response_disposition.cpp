#include "platform/net/session/response_disposition.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <utility>

#include "platform/net/session/curl_callbacks.h"
#include "platform/net/session/detail/session_helpers.h"
#include "platform/net/session/disposition_answer.h"
#include "platform/net/session/downloads.h"
#include "platform/net/session/session_hub.h"
#include "platform/net/session/transfer.h"
#include "platform/net/session/transfer_end.h"
#include "platform/net/session/transfer_engine.h"
#include "platform/net/session/transfer_timers.h"

namespace platform::net_detail {

void ResponseDisposition::deliverResponse(Transfer& transfer) {
  moveTo(transfer, TransferEvent::responseDelivered);
  transfer.openChunk = nullptr;  // a new response's body never joins the last one's
  URLResponsePtr response;
  if (!transfer.transactions.empty() && transfer.transactions.back().response) {
    response = transfer.transactions.back().response;
  } else {
    auto url = engine_.currentURL(transfer);
    if (!url) return;
    response = std::make_shared<const HTTPURLResponse>(HTTPURLResponse::fromHeaderLines(
        *url, transfer.response.status, transfer.response.version, transfer.response.lines, true));
  }
  {
    std::lock_guard lock(transfer.shared->mutex);
    transfer.shared->response = response;
    transfer.shared->bytesExpectedToReceive = response->expectedContentLength();
  }
  if (isDownload(transfer)) {
    // A download is not asked about: its body goes into the file.
    if (auto http = std::dynamic_pointer_cast<const HTTPURLResponse>(response)) {
      engine_.downloads().onResponse(transfer, *http);
    }
    return;
  }
  if (!engine_.hasDelegate()) return;  // nobody to ask: the body flows
  moveTo(transfer, TransferEvent::responseRaised);

  auto answer = std::make_shared<DispositionAnswer>();
  answer->engine = engine_.weakEngine();
  answer->shared = transfer.shared;
  answer->identifier = transfer.task->taskIdentifier();
  transfer.response.answer = answer;
  auto task = std::static_pointer_cast<URLSessionDataTask>(transfer.task);
  engine_.deliverCall(
      [task, response, answer = std::move(answer)](
          URLSessionDelegate& delegate, const std::shared_ptr<URLSession>& session) mutable {
        std::function<void(URLSessionDelegate::ResponseDisposition)> handler =
            [hold = std::make_shared<DispositionAnswer::HandlerHold>(answer)](
                URLSessionDelegate::ResponseDisposition d) { hold->answer->give(d); };
        {
          const DispositionAnswer::InCall inCall(*answer);
          delegate.didReceiveResponse(session, task, response, std::move(handler));
        }
        if (answer->allowedDuringCall) {
          answer->allowedDuringCall = false;
          auto engine = answer->engine.lock();
          if (!engine ||
              !engine->disposition().endOnDelegateQueue(*answer, delegate, session, task)) {
            answer->post(URLSessionDelegate::ResponseDisposition::allow);
          }
        }
      },
      transfer.keepAlive);
}

thread_local DispositionAnswer* DispositionAnswer::tlsInCall = nullptr;

void DispositionAnswer::give(URLSessionDelegate::ResponseDisposition disposition) {
  if (answered.exchange(true)) return;
  if (disposition == URLSessionDelegate::ResponseDisposition::allow && tlsInCall == this) {
    allowedDuringCall = true;  // taken up when the delegate's call returns
    return;
  }
  post(disposition);
}

void DispositionAnswer::post(URLSessionDelegate::ResponseDisposition disposition) {
  if (auto engine = this->engine.lock()) {
    engine->runLater(
        [engine, id = identifier, disposition] {
          engine->disposition().answerDisposition(id, disposition);
        },
        false);
  }
}

void ResponseDisposition::prepareEnd(Transfer& transfer) {
  // Only a plain data task whose end needs nothing more of the I/O thread: no upload stream
  // to close, no stored body to serve, no failure or bound still to report.
  if (!transfer.response.answer || transfer.task->kind() != URLSessionTask::Kind::data ||
      transfer.upload.stream || transfer.response.failureAfterHeldBody || transfer.limitError ||
      transfer.phase == Phase::cancelled || transfer.cache.deliversStoredBody()) {
    return;
  }
  const std::int64_t maximum = engine_.bodyBound(transfer);
  if (maximum > 0 &&
      transfer.bodyReceived + static_cast<std::int64_t>(transfer.response.heldBody.size()) >
          maximum) {
    return;
  }
  DispositionAnswer& answer = *transfer.response.answer;
  answer.body = std::move(transfer.response.heldBody);
  transfer.response.heldBody.clear();
  // The cache is left as it is, for the end this thread would deliver if it took it back.
  if ((answer.proposal = transfer.cache.proposalWith(answer.body))) {
    answer.cache = transfer.cache.cache();
    answer.storeRequest = transfer.cache.storeRequest();
  }
  answer.metrics = engine_.ending().metricsOf(transfer, Date::now());
  answer.end.store(DispositionAnswer::prepared, std::memory_order_release);
}

bool ResponseDisposition::reclaimEnd(Transfer& transfer) {
  if (!transfer.response.answer) return true;
  auto answer = std::move(transfer.response.answer);
  int end = answer->end.load(std::memory_order_acquire);
  while (end != DispositionAnswer::endedOnDelegateQueue &&
         !answer->end.compare_exchange_weak(end, DispositionAnswer::claimedByLoop)) {
  }
  if (end == DispositionAnswer::endedOnDelegateQueue) return false;
  if (end == DispositionAnswer::prepared) {
    transfer.response.heldBody = std::move(answer->body);
    transfer.transactions = std::move(answer->metrics.transactionMetrics);
  }
  return true;
}

bool ResponseDisposition::endOnDelegateQueue(DispositionAnswer& answer, URLSessionDelegate& delegate,
                                             const std::shared_ptr<URLSession>& session,
                                             const std::shared_ptr<URLSessionDataTask>& task) {
  TaskShared& shared = *answer.shared;
  {
    std::lock_guard lock(shared.mutex);
    // Suspended, cancelled or held since the response came: the I/O thread sees to it.
    if (shared.state != URLSessionTask::State::running || shared.receiveHolds.load() > 0) {
      return false;
    }
    int prepared = DispositionAnswer::prepared;
    if (!answer.end.compare_exchange_strong(prepared, DispositionAnswer::endedOnDelegateQueue,
                                            std::memory_order_acq_rel)) {
      return false;
    }
    shared.state = URLSessionTask::State::completed;
    shared.error = nullptr;
    shared.bytesReceived += static_cast<std::int64_t>(answer.body.size());
  }
  engine_.sessionHub().taskCompleted(answer.identifier);
  answer.metrics.taskInterval.duration =
      std::max(0.0, Date::now() - answer.metrics.taskInterval.start);
  if (!answer.body.empty()) delegate.didReceiveOwnedData(session, task, std::move(answer.body));
  Bytes().swap(answer.body);
  if (answer.proposal) {
    askToCache(delegate, session, task, std::exchange(answer.proposal, nullptr),
               std::move(answer.cache), std::move(answer.storeRequest));
  }
  delegate.didFinishCollectingMetrics(session, task, answer.metrics);
  delegate.didCompleteWithError(session, task, nullptr);
  // The transfer itself is the I/O thread's to let go, at its next turn: nobody waits for
  // that, so the thread is not woken for it, unless the session is being invalidated, whose
  // end may wait for this transfer to go. (An invalidation that starts after the look below
  // posts a look of its own, which finds this task already taken off the hub's list.) The task
  // stops counting towards the loop's load now, for the tasks placed meanwhile.
  engine_.taskGone(shared);
  auto settle = [engine = engine_.weakEngine().lock(), id = answer.identifier] {
    engine->disposition().settleEnded(id);
  };
  engine_.runLater(std::move(settle), !engine_.sessionHub().invalidating());
  return true;
}

void ResponseDisposition::settleEnded(std::uint64_t identifier) {
  Transfer* transfer = engine_.find(identifier);
  if (!transfer) return;
  engine_.taskGone(*transfer->shared);
  engine_.retire(identifier);
}

void ResponseDisposition::answerDisposition(std::uint64_t identifier,
                                            URLSessionDelegate::ResponseDisposition disposition) {
  Transfer* found = engine_.find(identifier);
  if (!found) return;
  Transfer& transfer = *found;
  if (!awaitsDisposition(transfer.phase)) return;
  if (!reclaimEnd(transfer)) return;  // ended on the delegate queue
  if (disposition == URLSessionDelegate::ResponseDisposition::cancel) {
    moveTo(transfer, TransferEvent::cancel);
    {
      std::lock_guard lock(transfer.shared->mutex);
      if (transfer.shared->state != URLSessionTask::State::completed) {
        transfer.shared->state = URLSessionTask::State::canceling;
      }
    }
    engine_.finish(transfer, engine_.cancelledError(transfer));
    return;
  }
  moveTo(transfer, TransferEvent::dispositionAnswered);
  if (transfer.phase == Phase::endingAfterHeldBody && transfer.response.heldBody.empty()) {
    engine_.finish(transfer, nullptr);
    return;
  }
  if (transfer.lastActivityUptime > 0) engine_.timers().touch(transfer);
  engine_.updatePause(transfer);  // hands on a held body, and its end
}

bool ResponseDisposition::handOnHeldBody(Transfer& transfer) {
  if (transfer.response.heldBody.empty() || transfer.phase == Phase::cancelled ||
      awaitsDisposition(transfer.phase) || transfer.activity == Activity::suspended ||
      transfer.shared->receiveHolds.load() > 0) {
    return false;
  }
  const auto held = transfer.response.heldBody.size();
  const size_t result = receiveBody(
      &transfer, reinterpret_cast<const char*>(transfer.response.heldBody.data()), held);
  if (result == CURL_WRITEFUNC_PAUSE) return false;  // held on until the delegate catches up
  Bytes().swap(transfer.response.heldBody);
  if (result != held) {
    engine_.detach(transfer);
    engine_.finish(transfer, transfer.limitError);
    return true;
  }
  if (transfer.phase == Phase::endingAfterHeldBody) {
    engine_.finish(transfer, nullptr);
    return true;
  }
  if (auto failure = transfer.response.failureAfterHeldBody) {
    transfer.response.failureAfterHeldBody.reset();
    engine_.ending().onDone(transfer, *failure);
    return true;
  }
  return false;
}

}  // namespace platform::net_detail
