#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/net/url_error.h"
#include "platform/net/url_session.h"

namespace platform::net_detail {

class Downloads;
class HeadReader;
class Redirects;
class ResponseDisposition;
class SessionHub;
struct TaskShared;
struct Transfer;
class TransferEnd;
class TransferSetup;
class CurlEasyPool;
class TransferTimers;

// What a part of the engine (TLS challenges, download files, …) asks of the I/O loop that runs
// its transfers, and all it may ask: the delegate's calls, queued in the turn's order, a
// command for a later turn, and the session's clocks. The loop keeps the rest to itself.
class TransferEngine {
 public:
  using DelegateCall = std::function<void(URLSessionDelegate&, const std::shared_ptr<URLSession>&)>;

  // Queues `call` for the delegate, after everything delivered before it; false when there is
  // no delegate, or no session to name.
  virtual bool deliverCall(DelegateCall call, std::shared_ptr<URLSession> session) = 0;
  // Hands the calls queued this turn to the delegate queue now: their answer is waited for
  // within the turn.
  virtual void flushDeliveries() = 0;
  // The delegate, if the session still has one.
  virtual std::shared_ptr<URLSessionDelegate> delegate() const = 0;
  // The session a transfer's calls name: the one that keeps it alive, else the owner.
  virtual std::shared_ptr<URLSession> sessionOf(const Transfer& transfer) const = 0;
  // Ends the task: its metrics and completion go to the delegate, and the transfer leaves.
  virtual void finish(Transfer& transfer, ErrorPtr error) = 0;
  // Ends the task as cancelled at the loop's next turn, unless it is over by then. Any thread.
  virtual void cancelLater(std::uint64_t identifier) = 0;
  // What makes the loop look again at what it waits for, from any thread, for as long as the
  // loop lives (nothing after).
  virtual std::function<void()> waker() = 0;
  // The URL the transfer's current request names, and that request.
  virtual std::optional<URL> currentURL(const Transfer& transfer) = 0;
  virtual std::optional<URLRequest> currentRequest(const Transfer& transfer) = 0;
  // The loop's transfer of the task `identifier`, if it has not left.
  virtual Transfer* find(std::uint64_t identifier) = 0;
  // What runs a command on the I/O thread, from any thread, for as long as the loop lives;
  // false when it was not taken.
  using Command = std::function<void()>;
  virtual std::function<bool(Command)> poster() = 0;
  // The transfer's response is put to the task (and to the delegate, for its disposition).
  virtual void deliverResponse(Transfer& transfer) = 0;
  // The transfer pauses or moves on as its task, its holds and its phase now say.
  virtual void updatePause(Transfer& transfer) = 0;
  // Goes on with the transfer's next request (`redirect.next`), on a fresh handle.
  virtual void loadNextRequest(Transfer& transfer) = 0;
  // Hands the transfer's handle to libcurl (false when libcurl did not take it), or takes it
  // back.
  virtual bool attach(Transfer& transfer) = 0;
  virtual void detach(Transfer& transfer) = 0;
  // The error a transfer fails with: `error`, with what a download could continue from.
  virtual ErrorPtr failureOf(Transfer& transfer, const URLError& error) = 0;
  virtual const URLSessionConfiguration& configuration() const = 0;
  virtual TransferTimers& timers() = 0;

  // The engine's other parts, for a part that hands a transfer on to one of them.
  virtual Downloads& downloads() = 0;
  virtual Redirects& redirects() = 0;
  virtual ResponseDisposition& disposition() = 0;
  virtual TransferEnd& ending() = 0;
  virtual TransferSetup& setup() = 0;
  virtual HeadReader& heads() = 0;
  // Where the transfers' easy handles come from.
  virtual CurlEasyPool& easyPool() = 0;
  // A transfer of the loop's list became a web socket, which the loop services every turn.
  virtual void countWebSocket() = 0;
  // What the session's loops share: its cookies, its list of tasks, its invalidation.
  virtual SessionHub& sessionHub() = 0;
  // Whether the session has a delegate, without taking hold of it.
  virtual bool hasDelegate() const = 0;
  // The engine, for an answer that may come from any thread after the loop is gone.
  virtual std::weak_ptr<TransferEngine> weakEngine() = 0;
  // Runs `command` on the I/O thread, from any thread; `quietly` without waking it, for work
  // nobody waits for (see the loop's "Quiet commands"). False when the loop has stopped.
  virtual bool runLater(Command command, bool quietly) = 0;
  // A transfer for `task` in the loop's list, which keeps `session` alive while it may call the
  // delegate.
  virtual Transfer& add(const std::shared_ptr<URLSessionTask>& task,
                        std::shared_ptr<URLSession> session) = 0;
  // The transfer of the task `identifier` leaves the loop's list (at the next turn: its caller
  // may still hold it); an invalidation waiting for it may then be told.
  virtual void retire(std::uint64_t identifier) = 0;
  // The task ended, or went away without ending: it no longer counts among the loop's.
  virtual void taskGone(TaskShared& shared) = 0;
  // How many body bytes the transfer may take: a download's and a streamed body's bounds are
  // their own.
  virtual std::int64_t bodyBound(const Transfer& transfer) const = 0;

  // The error of a task cancelled at the transfer's current request.
  ErrorPtr cancelledError(const Transfer& transfer) {
    return makeError(URLError(URLError::Code::cancelled, currentURL(transfer)));
  }

 protected:
  ~TransferEngine() = default;
};

}  // namespace platform::net_detail
