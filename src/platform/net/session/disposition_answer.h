#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

#include "platform/net/session/task_shared.h"
#include "platform/net/url_session.h"

namespace platform::net_detail {

class TransferEngine;

// The answer to a data task's response, which may come from any thread, or never (the handler's
// hold on it, dropped unanswered, cancels).
//
// When the whole response has arrived by the time the delegate is asked, which is the common
// case for a small answer, the I/O thread prepares the task's end here: its body and its
// metrics. An `allow` given during the delegate's own call then ends the task on the delegate
// queue as soon as the call returns, with the same calls in the same order the I/O thread
// would have made, instead of a round trip through the I/O thread and back. The prepared end
// goes to whichever side claims it first: the delegate queue, or the I/O thread (an answer
// given later or elsewhere, a cancel).
struct DispositionAnswer {
  enum End : int {
    unprepared,  // the response is still arriving
    prepared,    // `body` and `metrics` are written, and nobody claimed them yet
    claimedByLoop,
    endedOnDelegateQueue,
  };

  std::weak_ptr<TransferEngine> engine;
  std::shared_ptr<TaskShared> shared;
  std::uint64_t identifier = 0;
  std::atomic<bool> answered{false};
  std::atomic<int> end{unprepared};
  // Written by the I/O thread before `end` becomes `prepared`; then the claimer's.
  Bytes body;
  CachedURLResponsePtr proposal;  // to be stored, when the delegate agrees
  std::shared_ptr<URLCache> cache;
  URLRequest storeRequest;
  URLSessionTaskMetrics metrics;
  // Delegate queue only: `allow` was given during the delegate's call, and waits for it to return.
  bool allowedDuringCall = false;

  // The answer whose delegate call runs on this thread now.
  static thread_local DispositionAnswer* tlsInCall;
  // Marks the delegate's call on this thread for its length.
  class InCall {
   public:
    explicit InCall(DispositionAnswer& answer) : outer_(std::exchange(tlsInCall, &answer)) {}
    ~InCall() { tlsInCall = outer_; }
    InCall(const InCall&) = delete;
    InCall& operator=(const InCall&) = delete;

   private:
    DispositionAnswer* outer_;
  };

  void give(URLSessionDelegate::ResponseDisposition disposition);
  // Sends the answer to the I/O thread.
  void post(URLSessionDelegate::ResponseDisposition disposition);

  // What the delegate's handler holds: dropped unanswered, it cancels, so that a forgotten
  // answer cannot stall the task.
  struct HandlerHold {
    std::shared_ptr<DispositionAnswer> answer;
    ~HandlerHold() { answer->give(URLSessionDelegate::ResponseDisposition::cancel); }
  };
};

}  // namespace platform::net_detail
