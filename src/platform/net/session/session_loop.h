#pragma once

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "platform/dispatch/spin_wait.h"
#include "platform/net/curl_easy_pool.h"
#include "platform/net/session/detail/once_handler.h"
#include "platform/net/session/session_hub.h"
#include "platform/net/session/task_commands.h"
#include "platform/net/session/transfer.h"
#include "platform/net/session/transfer_engine.h"
#include "platform/net/session/transfer_timers.h"
#include "platform/net/url_error.h"
#include "platform/net/url_session.h"

namespace platform::net_detail {

class TlsChallenges;

// The I/O loop: one thread that runs a share of the session's transfers on a libcurl multi
// handle, takes commands from other threads, and hands the delegate's calls to its queue.
//
// THE WAKE-UP PROTOCOL
//
// Who may sleep. Only the I/O thread, and only in `curl_multi_poll` at the end of a turn. Its
// spin before that never blocks, and nobody else waits on this loop. (The ThreadSanitizer
// build, which cannot pause a handshake, waits for a handshake's answer on the challenge's
// own condition variable instead; that wait checks its predicate under the challenge's lock
// and needs nothing from here.)
//
// Who must wake whom. Every other thread that leaves work for the I/O thread wakes it, by
// publishing the work first and calling `wake` after it, never the other way round:
//   - `post`, for every command: a task's resume, suspend, cancel and receive holds, the
//     delegate's answers to a response, a redirect, an HTTP challenge or a body-stream
//     request, a web socket's sends and closes, the session's invalidation. The command is
//     queued under `mutex_`.
//   - a handshake's challenge, once decided (answered, cancelled, timed out, or ended by
//     `shutdown`): its decision is written under the challenge's lock, and the paused
//     handshake reads it when libcurl resumes it in `curl_multi_perform`.
//   - `shutdown`: `stopping_` is set under `mutex_`.
// The I/O thread never has to wake itself: what it publishes during a turn raises the flag
// below, which it reads again before it sleeps.
//
// Two flags carry the protocol, both sequentially consistent:
//   the work flag  `posted_`, a count every `wake` raises by one; the I/O thread lowers the
//                  flag by taking the count as `seen_`, at the top of each turn, before it
//                  takes the commands and lets libcurl resume handshakes. The flag is up while
//                  the count is past `seen_`. (A count rather than a Boolean numbers the
//                  wakes, which lets `lostWakeUps` tell one wake from another; the protocol
//                  is the same.)
//   `asleep_`      raised by the I/O thread just before it polls; taken down by whichever side
//                  exchanges it first, and a poster that takes it down calls
//                  `curl_multi_wakeup`.
// A poster:    [publish work] -> posted_ += 1 -> if (asleep_.exchange(false)) wake-up
// The thread:  seen_ = posted_ -> [look at the work] ... asleep_ = true ->
//              if (posted_ != seen_) don't sleep, else poll -> asleep_.exchange(false)
//
// Why no wake-up can be lost. Take any piece of work and the raise of its `wake`.
//  (1) The raise comes before a turn's lowering (in the count's order of changes): then that
//      turn's look sees the work. The work and the look are ordered by the lock that guards
//      the work; had the look come first, the lowering would happen before the look, the
//      look before the work's publication, and that before the raise, so the raise would
//      come after the lowering instead.
//  (2) The raise comes after the lowering of the turn that is about to sleep. The thread's
//      `asleep_ = true` and its load of the count, and the poster's raise and exchange, are
//      four sequentially consistent operations with one total order. If the thread's load
//      comes after the poster's raise, it reads the flag up (only the thread lowers it, and
//      not before the next turn) and the thread does not sleep; the next turn is case (1). If
//      the load comes first, then `asleep_ = true` precedes the poster's exchange, which finds
//      the thread asleep and writes to libcurl's wake-up socket (unless someone took the flag
//      down first: another poster, who then sent the wake-up, or the thread itself, which
//      then did not sleep or is back from its poll). A write before the poll has begun makes the
//      poll return at once, so the thread wakes whether or not it had reached the poll. The turn
//      after is case (1) or (2) again.
// In every case the thread either sees the work in a turn it is awake for, or is woken by a
// byte on its socket: it never sleeps with work behind it.
//
// Wake-ups a thread turned out not to need are harmless: the next poll returns at once and
// the turn finds nothing. The spin's zero-timeout polls may swallow such a stray byte; that
// loses nothing, because the flag, not the socket, says whether there is work, and the spin
// reads the flag on every look. (Before this protocol a handshake's answer went to the socket
// alone, and a spin that swallowed it left the paused handshake waiting for libcurl's timer,
// about 200 ms.)
//
// Quiet commands. `postQuietly` queues a command under `mutex_` and wakes nobody: the I/O
// thread takes it at its next turn, woken by anything else or by its poll's time-out (a second
// at most). Only work that nobody waits for goes this way: letting go of a transfer whose task
// ended on the delegate queue (its completion already delivered, its count already taken off
// the loop's load). Whatever a thread does wait for is posted with a wake-up and queued after
// it, so it runs after it: an invalidation, which needs the ended transfers gone, the next
// task, which takes up the handle they gave back. (Once the session is being invalidated, the
// transfers are let go with a wake-up: the invalidation's end may wait for the last of them.) A
// quiet command raises no flag, so it is never counted as a lost wake-up.
//
// A data task's delivery hold. When the delegate falls behind a body, the I/O thread holds
// the transfer itself: one receive hold, flagged by `deliveryHold`. Only the I/O thread raises
// the flag, and it counts the hold first (`receiveHolds` += 1, then the flag up); whoever takes
// the flag down (an exchange that finds it up) owns the hold and lifts it: the delegate queue
// through `releaseReceiving`, which posts its wake-up as every command does, or the I/O thread
// itself when the delegate caught up before the transfer paused. Raised the other way round, a
// delegate could take the flag between the two steps, find no hold to lift, and leave the
// transfer paused under a hold nobody owns, which the idle timer skips.
//
// `lostWakeUps` counts the turns whose poll ran out, unwoken, although a wake whose raise that
// turn had not seen was over before the thread woke: its poster exchanged `asleep_`, found it
// down, sent nothing, and so relied on the thread seeing the flag before it slept. By (2) that
// cannot happen while the protocol holds; it is what a broken protocol looks like (a look
// left out or moved before `asleep_ = true`, an exchange before the raise). A poster still
// between its raise and its exchange when the time-out came is not counted: its wake-up is
// on its way, and the work waited for the poster, not for a timer. Each such quiet wake
// leaves its number in `quietWakes_` (the largest one), which the thread reads before it
// takes `asleep_` down itself, so a wake counted against a turn was over before that turn's
// exchange. Tests hold the count at zero.
class SessionLoop final : public std::enable_shared_from_this<SessionLoop>,
                          public TaskCommands,
                          public TransferEngine {
 public:
  SessionLoop(std::shared_ptr<SessionHub> hub, int hostConnections);
  ~SessionLoop();

  void start(const std::shared_ptr<URLSession>& owner) {
    owner_ = owner;
    multi_ = curl_multi_init();
    if (hostConnections_ > 0) {
      curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(hostConnections_));
    }
    auto self = shared_from_this();
    thread_ = std::thread([self] { self->run(); });
  }

  // Stops the I/O thread; running transfers end without further callbacks.
  void shutdown();

  // Runs `command` on the I/O thread. False when the session has stopped.
  bool post(std::function<void()> command) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return false;
      commands_.push_back(std::move(command));
    }
    wake();
    return true;
  }

  // Queues `command` for the I/O thread's next turn without waking it: for work nobody waits
  // for (letting go of what an ended task held). See "Quiet commands" above. False when the
  // session has stopped.
  bool postQuietly(std::function<void()> command) {
    std::lock_guard lock(mutex_);
    if (stopping_) return false;
    commands_.push_back(std::move(command));
    return true;
  }

  // Tells the I/O thread that work was published for it: a command queued, a handshake's
  // answer given, the session stopping. Called after the work is visible; from any thread.
  void wake() {
    const std::uint64_t number = posted_.fetch_add(1, std::memory_order_seq_cst) + 1;
    if (asleep_.exchange(false, std::memory_order_seq_cst)) {
      curl_multi_wakeup(multi_);
      return;
    }
    // Quiet: the thread was awake (or another poster woke it), and must see the raise itself.
    std::uint64_t last = quietWakes_.load(std::memory_order_seq_cst);
    while (last < number &&
           !quietWakes_.compare_exchange_weak(last, number, std::memory_order_seq_cst)) {
    }
  }

  const URLSessionConfiguration& configuration() const override { return configuration_; }
  const std::shared_ptr<OperationQueue>& delegateQueue() const { return delegateQueue_; }

  const std::shared_ptr<SessionHub>& hub() const { return hub_; }
  std::shared_ptr<URLSessionDelegate> delegate() const override { return hub_->delegate(); }
  bool hasDelegate() const override { return hub_->hasDelegate(); }
  std::shared_ptr<URLSession> owner() const { return owner_.lock(); }

  // The share of the session's tasks this loop takes: the connections per host it may open.
  long weight() const { return std::max(hostConnections_, 1); }
  // Tasks on this loop that have not ended: how busy it is, for placing new tasks.
  std::atomic<int>& assignedTasks() { return assignedTasks_; }
  // The task ended, or went away without ending: it no longer counts.
  void taskGone(TaskShared& shared) override {
    if (!shared.countedGone.exchange(true)) assignedTasks_.fetch_sub(1, std::memory_order_relaxed);
  }

  // Looks again whether an invalidation can be told, after everything before it.
  void checkInvalidation();
  // Tells the delegate that the session became invalid (the last of the loops does).
  void deliverInvalidation();

  // Delivers `call` on the delegate queue, when there is a delegate and a session to name;
  // false when it was not queued.
  //
  // Calls made on the I/O thread are gathered over the loop's turn and handed to the delegate
  // queue a few at a time when the turn ends (`flushDeliveries`), in the order they were
  // made: fewer queue hand-offs than one per callback, and the delegate and the session are
  // looked up once per turn. Calls from other threads go at once.
  template <class Call>
  bool deliver(Call&& call, std::shared_ptr<URLSession> session = nullptr) {
    if (tlsCurrentLoop == this) {
      if (!turnDeliveries_.ready && !prepareTurnDeliveries(std::move(session))) return false;
      turnDeliveries_.calls.emplace_back(
          [call = std::forward<Call>(call)](URLSessionDelegate* delegate,
                                            const std::shared_ptr<URLSession>& session) mutable {
            call(*delegate, session);
          });
      return true;
    }
    auto delegate = this->delegate();
    if (!delegate) return false;
    if (!session) session = owner_.lock();
    if (!session) return false;
    delegateQueue_->addOperation(
        [delegate = std::move(delegate), session = std::move(session),
         call = std::forward<Call>(call)]() mutable { call(*delegate, session); });
    return true;
  }

  // The body piece `transfer` queued this turn, still open to the turn's later pieces; none
  // once the turn's deliveries went to the delegate queue.
  Bytes* openChunk(const Transfer& transfer) const {
    return transfer.openChunkTurn == deliveryTurn_ ? transfer.openChunk : nullptr;
  }
  void openChunk(Transfer& transfer, Bytes* chunk) {
    transfer.openChunk = chunk;
    transfer.openChunkTurn = deliveryTurn_;
  }

  // Runs `call` on the delegate queue whether or not there is a delegate, after whatever was
  // delivered before it.
  void onDelegateQueue(std::function<void()> call) {
    if (tlsCurrentLoop != this) {
      delegateQueue_->addOperation(std::move(call));
      return;
    }
    turnDeliveries_.calls.emplace_back(
        [call = std::move(call)](URLSessionDelegate*, const std::shared_ptr<URLSession>&) {
          call();
        });
  }

  // --- What a task asks for, from any thread ---
  bool resume(std::shared_ptr<URLSessionTask> task) override;
  bool suspend(std::uint64_t identifier) override;
  bool cancel(std::shared_ptr<URLSessionTask> task, int closeCode,
              std::optional<Bytes> closeReason) override;
  bool cancelProducingResumeData(
      std::shared_ptr<URLSessionTask> task,
      std::shared_ptr<OnceHandler<std::optional<Bytes>>> handler) override;
  bool receiveHoldChanged(std::uint64_t identifier) override;
  WebSocketConnection::SessionHooks webSocketHooks() override;

  // --- Commands, run on the I/O thread ---

  // `session` was taken by the caller of `resume`, so a session dropped right after resuming
  // a task still lives until the task ends.
  void resumeTask(const std::shared_ptr<URLSessionTask>& task, std::shared_ptr<URLSession> session);
  // A receive hold changed: pause or continue reading. A release also restarts the idle
  // clock, since the time spent held was not the server's.
  void updateReceiveHold(std::uint64_t identifier);
  void suspendTask(std::uint64_t identifier);

 private:
  // --- What the engine's parts ask of the loop (see TransferEngine) ---
  bool deliverCall(DelegateCall call, std::shared_ptr<URLSession> session) override {
    return deliver(std::move(call), std::move(session));
  }
  std::shared_ptr<URLSession> sessionOf(const Transfer& transfer) const override;
  void cancelLater(std::uint64_t identifier) override;
  std::function<void()> waker() override {
    return [weak = weak_from_this()] {
      if (auto loop = weak.lock()) loop->wake();
    };
  }
  TransferTimers& timers() override { return timers_; }
  bool attach(Transfer& transfer) override { return addToMulti(transfer); }
  void detach(Transfer& transfer) override { removeFromMulti(transfer); }
  ErrorPtr failureOf(Transfer& transfer, const URLError& error) override;
  Transfer* find(std::uint64_t identifier) override {
    auto it = transfers_.find(identifier);
    return it == transfers_.end() ? nullptr : it->second.get();
  }
  std::function<bool(Command)> poster() override {
    return [weak = weak_from_this()](Command command) {
      auto loop = weak.lock();
      return loop && loop->post(std::move(command));
    };
  }
  Downloads& downloads() override { return *downloads_; }
  Redirects& redirects() override { return *redirects_; }
  ResponseDisposition& disposition() override { return *disposition_; }
  TransferEnd& ending() override { return *ending_; }
  TransferSetup& setup() override { return *setup_; }
  HeadReader& heads() override { return *heads_; }
  CurlEasyPool& easyPool() override { return easyPool_; }
  void countWebSocket() override { ++webSocketTransfers_; }
  SessionHub& sessionHub() override { return *hub_; }
  std::weak_ptr<TransferEngine> weakEngine() override {
    return std::static_pointer_cast<TransferEngine>(shared_from_this());
  }
  bool runLater(Command command, bool quietly) override {
    return quietly ? postQuietly(std::move(command)) : post(std::move(command));
  }
  Transfer& add(const std::shared_ptr<URLSessionTask>& task,
                std::shared_ptr<URLSession> session) override;
  void retire(std::uint64_t identifier) override;
  void deliverResponse(Transfer& transfer) override;
  void updatePause(Transfer& transfer) override;
  void loadNextRequest(Transfer& transfer) override;
  void finish(Transfer& transfer, ErrorPtr error) override;

  std::optional<URLRequest> currentRequest(const Transfer& transfer) override {
    std::lock_guard lock(transfer.shared->mutex);
    return transfer.shared->currentRequest;
  }

  // A download's body goes to a file and a streamed one to its reader, each with a bound of its
  // own; every other body is handed over in memory.
  std::int64_t bodyBound(const Transfer& transfer) const override {
    if (isDownload(transfer)) return configuration_.maximumDownloadBytes;
    if (transfer.task->kind() == URLSessionTask::Kind::data &&
        static_cast<const URLSessionDataTask&>(*transfer.task).streamsBody()) {
      return configuration_.maximumStreamedBodyBytes;
    }
    return configuration_.maximumBodyBytes;
  }

  std::optional<URL> currentURL(const Transfer& transfer) override {
    std::lock_guard lock(transfer.shared->mutex);
    if (transfer.shared->currentRequest) return transfer.shared->currentRequest->url;
    return std::nullopt;
  }

  void run();
  using Transfers = TransferMap;
  void removeFromMulti(Transfer& transfer);
  // Hands the transfer's handle to libcurl; false when libcurl did not take it.
  bool addToMulti(Transfer& transfer);
  // Spins briefly for a command or a ready socket; true when one came.
  bool spinForWork(std::vector<curl_waitfd>& waits);
  // The delegate and the session this turn's deliveries go to; false when there is none.
  bool prepareTurnDeliveries(std::shared_ptr<URLSession> session);
  // Hands this turn's deliveries to the delegate queue, a few per operation.
  void flushDeliveries() override;

  // The session whose I/O loop the calling thread runs, if any.
  static thread_local const SessionLoop* tlsCurrentLoop;

  const std::shared_ptr<SessionHub> hub_;
  const URLSessionConfiguration& configuration_;  // the hub's
  const std::shared_ptr<OperationQueue> delegateQueue_;
  const int hostConnections_;  // connections per host this loop may open; 0: no bound
  std::weak_ptr<URLSession> owner_;
  std::atomic<int> assignedTasks_{0};

  mutable std::mutex mutex_;
  std::deque<std::function<void()>> commands_;
  std::deque<std::function<void()>> takenCommands_;  // I/O thread only: the turn's commands
  bool stopping_ = false;
  // The wake-up protocol's two flags (see the class comment).
  std::atomic<std::uint64_t> posted_{0};
  std::uint64_t seen_ = 0;  // I/O thread only
  std::atomic<bool> asleep_{false};
  // The number of the last wake that found `asleep_` down (see `lostWakeUps` above).
  std::atomic<std::uint64_t> quietWakes_{0};
  // The flag is up: a wake came since the turn began.
  bool workPosted() const { return posted_.load(std::memory_order_seq_cst) != seen_; }
  // I/O thread only. The loop waits on the network and on its tasks' answers, both on the
  // critical path of a request: it spins longer than the dispatch workers, though not through a
  // whole round trip of the client's own threads.
  SpinBudget spinBudget_{80'000};

  std::thread thread_;
  CURLM* multi_ = nullptr;
  CURLSH* const share_;       // the hub's
  CURLSH* const plainShare_;  // the hub's

  // I/O thread only.
  TransferTimers timers_{configuration_};
  const std::unique_ptr<TlsChallenges> tls_;  // its waits are ended from any thread
  const std::unique_ptr<Downloads> downloads_;
  const std::unique_ptr<Redirects> redirects_;
  const std::unique_ptr<ResponseDisposition> disposition_;
  const std::unique_ptr<TransferEnd> ending_;
  const std::unique_ptr<TransferSetup> setup_;
  const std::unique_ptr<HeadReader> heads_;
  // How many of `transfers_` are web sockets, which the loop services itself every turn; the
  // loop looks for them only when there are some.
  std::size_t webSocketTransfers_ = 0;
  // Before the transfers, so it outlives those that hand their handles back to it.
  CurlEasyPool easyPool_;
  Transfers transfers_;
  std::vector<std::unique_ptr<Transfer>> finished_;
  // Calls made during the current turn, not yet handed to the delegate queue. Those made by
  // `onDelegateQueue` do not look at the delegate, which may be missing.
  struct TurnDeliveries {
    bool ready = false;  // `delegate` and `session` were looked up this turn
    std::shared_ptr<URLSessionDelegate> delegate;
    std::shared_ptr<URLSession> session;
    std::vector<std::function<void(URLSessionDelegate*, const std::shared_ptr<URLSession>&)>> calls;
  };
  TurnDeliveries turnDeliveries_;
  // Counts the hand-offs of `turnDeliveries_`: a piece queued under an older number is gone.
  std::uint64_t deliveryTurn_ = 1;
};

}  // namespace platform::net_detail
