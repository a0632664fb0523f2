#include "platform/net/session/session_loop.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <utility>

#include "platform/net/session/curl_callbacks.h"
#include "platform/net/session/detail/session_helpers.h"
#include "platform/net/session/disposition_answer.h"
#include "platform/net/session/transfer.h"

namespace platform::net_detail {

void SessionLoop::deliverResponse(Transfer& transfer) {
  transfer.response.delivered = true;
  transfer.openChunk = nullptr;  // a new response's body never joins the last one's
  URLResponsePtr response;
  if (!transfer.transactions.empty() && transfer.transactions.back().response) {
    response = transfer.transactions.back().response;
  } else {
    auto url = currentURL(transfer);
    if (!url) return;
    response = std::make_shared<const HTTPURLResponse>(HTTPURLResponse::fromHeaderLines(
        *url, transfer.response.status, transfer.response.version, transfer.response.lines, true));
  }
  {
    std::lock_guard lock(transfer.shared->mutex);
    transfer.shared->response = response;
    transfer.shared->bytesExpectedToReceive = response->expectedContentLength();
  }
  if (transfer.download.active) {
    // A download is not asked about: its body goes into the file.
    if (auto http = std::dynamic_pointer_cast<const HTTPURLResponse>(response)) {
      downloads_.onResponse(transfer, *http);
    }
    return;
  }
  if (!hasDelegate()) return;  // nobody to ask: the body flows
  moveTo(transfer, TransferEvent::responseRaised);

  auto answer = std::make_shared<DispositionAnswer>();
  answer->loop = weak_from_this();
  answer->shared = transfer.shared;
  answer->identifier = transfer.task->taskIdentifier();
  transfer.response.answer = answer;
  auto task = std::static_pointer_cast<URLSessionDataTask>(transfer.task);
  deliver(
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
          auto loop = answer->loop.lock();
          if (!loop || !loop->endOnDelegateQueue(*answer, delegate, session, task)) {
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
  if (auto c = loop.lock()) {
    c->post([c, id = identifier, disposition] { c->answerDisposition(id, disposition); });
  }
}

void SessionLoop::prepareEnd(Transfer& transfer) {
  // Only a plain data task whose end needs nothing more of the I/O thread: no upload stream
  // to close, no stored body to serve, no failure or bound still to report.
  if (!transfer.response.answer || transfer.task->kind() != URLSessionTask::Kind::data ||
      transfer.upload.stream || transfer.response.failureAfterHeldBody || transfer.limitError ||
      transfer.phase == Phase::cancelled || transfer.cache.deliversStoredBody()) {
    return;
  }
  const std::int64_t maximum = bodyBound(transfer);
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
  answer.metrics = metricsOf(transfer, Date::now());
  answer.end.store(DispositionAnswer::prepared, std::memory_order_release);
}

bool SessionLoop::reclaimEnd(Transfer& transfer) {
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

bool SessionLoop::endOnDelegateQueue(DispositionAnswer& answer, URLSessionDelegate& delegate,
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
  hub_->taskCompleted(answer.identifier);
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
  taskGone(shared);
  auto settle = [loop = shared_from_this(), id = answer.identifier] { loop->settleEnded(id); };
  if (hub_->invalidating()) {
    post(std::move(settle));
  } else {
    postQuietly(std::move(settle));
  }
  return true;
}

void SessionLoop::settleEnded(std::uint64_t identifier) {
  auto it = transfers_.find(identifier);
  if (it == transfers_.end()) return;
  taskGone(*it->second->shared);
  retire(it);
}

void SessionLoop::answerDisposition(std::uint64_t identifier,
                                    URLSessionDelegate::ResponseDisposition disposition) {
  auto it = transfers_.find(identifier);
  if (it == transfers_.end()) return;
  Transfer& transfer = *it->second;
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
    finish(transfer, cancelledError(transfer));
    return;
  }
  moveTo(transfer, TransferEvent::dispositionAnswered);
  if (transfer.phase == Phase::endingAfterHeldBody && transfer.response.heldBody.empty()) {
    finish(transfer, nullptr);
    return;
  }
  if (transfer.lastActivityUptime > 0) timers_.touch(transfer);
  updatePause(transfer);  // hands on a held body, and its end
}

bool SessionLoop::handOnHeldBody(Transfer& transfer) {
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
    removeFromMulti(transfer);
    finish(transfer, transfer.limitError);
    return true;
  }
  if (transfer.phase == Phase::endingAfterHeldBody) {
    finish(transfer, nullptr);
    return true;
  }
  if (auto failure = transfer.response.failureAfterHeldBody) {
    transfer.response.failureAfterHeldBody.reset();
    onDone(transfer, *failure);
    return true;
  }
  return false;
}

void SessionLoop::updatePause(Transfer& transfer) {
  if (handOnHeldBody(transfer)) return;
  if (!transfer.easy || transfer.link != Link::attached) return;
  if (transfer.activity == Activity::suspended) {
    curl_easy_pause(transfer.easy, CURLPAUSE_ALL);
    transfer.keepAlive.reset();
  } else if (transfer.shared->receiveHolds.load() > 0) {
    curl_easy_pause(transfer.easy, CURLPAUSE_RECV);
  } else if (!awaitsDisposition(transfer.phase) && !awaitsRedirect(transfer.phase)) {
    curl_easy_pause(transfer.easy, CURLPAUSE_CONT);
  }
}

void SessionLoop::updateReceiveHold(std::uint64_t identifier) {
  auto it = transfers_.find(identifier);
  if (it == transfers_.end() || it->second->phase == Phase::cancelled) return;
  Transfer& transfer = *it->second;
  if (transfer.lastActivityUptime > 0) timers_.touch(transfer);
  updatePause(transfer);
}

void SessionLoop::suspendTask(std::uint64_t identifier) {
  auto it = transfers_.find(identifier);
  if (it == transfers_.end()) return;
  Transfer& transfer = *it->second;
  if (!tryMove(transfer, TransferEvent::suspend)) return;  // cancelled
  if (transfer.webSocket) transfer.webSocket->setSuspended(true);
  updatePause(transfer);
}

}  // namespace platform::net_detail
