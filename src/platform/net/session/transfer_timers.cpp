#include "platform/net/session/transfer_timers.h"

#include <algorithm>
#include <limits>

#include "platform/foundation/process_info.h"
#include "platform/net/session/transfer.h"
#include "platform/net/session/transfer_engine.h"
#include "platform/net/url_error.h"

namespace platform::net_detail {

double TransferTimers::idleLimit(const Transfer& transfer) const {
  return std::min(configuration_.timeoutIntervalForRequest,
                  transfer.task->originalRequest()->timeoutInterval);
}

void TransferTimers::touch(Transfer& transfer) {
  const double now = systemUptime();
  transfer.lastActivityUptime = now;
  const double limit = idleLimit(transfer);
  if (limit > 0) noteDeadline(now + limit);
}

void TransferTimers::noteStarted(const Transfer& transfer) {
  if (configuration_.timeoutIntervalForResource > 0)
    noteDeadline(transfer.startUptime + configuration_.timeoutIntervalForResource);
}

TransferTimers::Walk TransferTimers::check(const TransferMap& transfers, double now) const {
  Walk walk;
  for (const auto& [identifier, transfer] : transfers) {
    if (transfer->phase == Phase::cancelled) continue;
    if (transfer->tls.challengeWait) continue;  // the wait keeps its own deadline
    if (transfer->webSocket && transfer->webSocket->isConnected()) continue;
    const bool waiting = transfer->link == Link::awaitingConnectivity;
    if (transfer->link != Link::attached && !waiting) continue;
    if (waiting && now >= transfer->retryAtUptime &&
        now - transfer->startUptime < configuration_.timeoutIntervalForResource) {
      walk.retry.push_back(transfer.get());
      continue;
    }
    if (waiting) {
      if (now - transfer->startUptime >= configuration_.timeoutIntervalForResource) {
        walk.expired.push_back(transfer.get());
      }
      continue;
    }
    const double idle = idleLimit(*transfer);
    bool held = transfer->activity == Activity::suspended || awaitsDisposition(transfer->phase) ||
                transfer->shared->receiveHolds.load() > 0;
    bool idleExpired = !held && idle > 0 && transfer->lastActivityUptime > 0 &&
                       now - transfer->lastActivityUptime >= idle;
    bool overall = configuration_.timeoutIntervalForResource > 0 &&
                   now - transfer->startUptime >= configuration_.timeoutIntervalForResource;
    if (idleExpired || overall) walk.expired.push_back(transfer.get());
  }
  return walk;
}

void TransferTimers::fire(const TransferMap& transfers, TransferEngine& engine) {
  const auto walk = check(transfers, systemUptime());
  for (Transfer* transfer : walk.retry) {
    // Try the connection again, from a clean slate.
    transfer->retryAtUptime = 0;
    transfer->response.status = 0;
    transfer->response.lines.clear();
    transfer->transactions.clear();
    transfer->lastActivityUptime = 0;
    transfer->errorBuffer[0] = 0;
    moveTo(*transfer, TransferEvent::connectivityRetry);
    if (!engine.attach(*transfer)) {
      engine.finish(*transfer,
                    makeError(URLError(URLError::Code::unknown, engine.currentURL(*transfer),
                                       "the transfer could not be started")));
      continue;
    }
    // Back in the transfers the walk times, with its resource time-out.
    noteStarted(*transfer);
  }
  for (Transfer* transfer : walk.expired) {
    engine.detach(*transfer);
    engine.finish(
        *transfer,
        engine.failureOf(*transfer, URLError(URLError::Code::timedOut, engine.currentURL(*transfer),
                                             "no progress within the time-out")));
  }
  rearm(transfers);
}

void TransferTimers::rearm(const TransferMap& transfers) {
  const double deadline = nextDeadline(transfers);
  due_ = deadline > 0 ? deadline : std::numeric_limits<double>::infinity();
}

double TransferTimers::nextDeadline(const TransferMap& transfers) const {
  double next = 0;
  auto consider = [&](double t) {
    if (t > 0 && (next == 0 || t < next)) next = t;
  };
  for (const auto& [identifier, transfer] : transfers) {
    if (transfer->link == Link::awaitingConnectivity) consider(transfer->retryAtUptime);
    if (transfer->link != Link::attached) continue;
    if (transfer->webSocket && transfer->webSocket->isConnected()) continue;
    const double idle = idleLimit(*transfer);
    if (transfer->lastActivityUptime > 0 && idle > 0 && transfer->activity != Activity::suspended &&
        !awaitsDisposition(transfer->phase) && transfer->shared->receiveHolds.load() == 0) {
      consider(transfer->lastActivityUptime + idle);
    }
    if (configuration_.timeoutIntervalForResource > 0) {
      consider(transfer->startUptime + configuration_.timeoutIntervalForResource);
    }
  }
  return next;
}

}  // namespace platform::net_detail
