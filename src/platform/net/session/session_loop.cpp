#include "platform/net/session/session_loop.h"

#include <curl/curl.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <utility>

#include "platform/dispatch/spin_wait.h"
#include "platform/foundation/process_info.h"
#include "platform/net/session/downloads.h"
#include "platform/net/session/head_reader.h"
#include "platform/net/session/redirects.h"
#include "platform/net/session/response_disposition.h"
#include "platform/net/session/tls_challenges.h"
#include "platform/net/session/transfer_end.h"
#include "platform/net/session/transfer_setup.h"
#include "platform/net/tls_challenge.h"
#include "platform/net/web_socket_connection.h"

namespace platform::net_detail {

namespace {
std::atomic<std::uint64_t> gLostWakeUps{0};
}  // namespace

std::uint64_t lostWakeUps() {
  return gLostWakeUps.load(std::memory_order_relaxed);
}

SessionLoop::SessionLoop(std::shared_ptr<SessionHub> hub, int hostConnections)
    : hub_(std::move(hub)),
      configuration_(hub_->configuration()),
      delegateQueue_(hub_->delegateQueue()),
      hostConnections_(hostConnections),
      share_(hub_->cookieShare()),
      plainShare_(hub_->plainShare()),
      tls_(std::make_unique<TlsChallenges>(*this)),
      downloads_(std::make_unique<Downloads>(*this)),
      redirects_(std::make_unique<Redirects>(*this)),
      disposition_(std::make_unique<ResponseDisposition>(*this)),
      ending_(std::make_unique<TransferEnd>(*this)),
      setup_(std::make_unique<TransferSetup>(*this)),
      heads_(std::make_unique<HeadReader>(*this)) {}

SessionLoop::~SessionLoop() {
  if (multi_) curl_multi_cleanup(multi_);
}

void SessionLoop::shutdown() {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  tls_->endAll();
  wake();
  if (std::this_thread::get_id() == thread_.get_id()) {
    thread_.detach();  // the loop ends after this turn, holding its own reference
  } else if (thread_.joinable()) {
    thread_.join();
  }
}

void SessionLoop::run() {
  pthread_setname_np(pthread_self(), "tovarine-io");
  tlsCurrentLoop = this;
  while (true) {
    // Cleared before the thread looks at its work, so that whatever is published from here on
    // raises it again and is seen before the thread sleeps.
    seen_ = posted_.load(std::memory_order_seq_cst);
    // The two lists trade places every turn, keeping their memory.
    auto& commands = takenCommands_;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) break;
      commands.swap(commands_);
    }
    // A turn with work to do is usually followed by more within microseconds.
    const bool busy = !commands.empty() || !transfers_.empty();
    for (auto& command : commands)
      command();
    commands.clear();
    finished_.clear();

    int running = 0;
    curl_multi_perform(multi_, &running);
    std::vector<std::shared_ptr<WebSocketConnection>> webSockets;
    if (webSocketTransfers_ > 0) {
      for (auto& [identifier, transfer] : transfers_) {
        if (transfer->webSocket) webSockets.push_back(transfer->webSocket);
      }
    }
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      Transfer* transfer = nullptr;
      curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
      CURLcode result = message->data.result;
      if (transfer) ending_->onDone(*transfer, result);
    }
    if (systemUptime() >= timers_.due()) timers_.fire(transfers_, *this);
    // Web sockets move their bytes themselves, over the sockets libcurl opened.
    std::vector<curl_waitfd> waits;
    double webSocketDeadline = 0;
    for (auto& webSocket : webSockets) {
      webSocket->service();
      if (auto wait = webSocket->waitDescriptor()) waits.push_back(*wait);
      const double next = webSocket->deadline();
      if (next > 0 && (webSocketDeadline == 0 || next < webSocketDeadline)) {
        webSocketDeadline = next;
      }
    }

    long curlTimeout = -1;
    curl_multi_timeout(multi_, &curlTimeout);
    double wait = 1.0;
    if (curlTimeout >= 0) wait = std::min(wait, static_cast<double>(curlTimeout) / 1000.0);
    wait = std::min(wait, std::max(0.0, timers_.due() - systemUptime()));
    if (webSocketDeadline > 0) {
      wait = std::min(wait, std::max(0.0, webSocketDeadline - systemUptime()));
    }
    flushDeliveries();
    // After a turn with work (transfers under way or just ended, commands), the next thing to
    // do (an answer from the delegate, the server's reply, the next request) usually comes
    // within microseconds: watching for it saves a wake-up through the poll.
    const std::int64_t spinStart = spin_detail::nowNanos();
    if (wait > 0 && busy && spinForWork(waits)) continue;
    // Asleep from here: the last look at the flag comes after the store, so any work it
    // misses is published after the store and its poster sees the thread asleep.
    asleep_.store(true, std::memory_order_seq_cst);
    if (workPosted()) {
      asleep_.store(false, std::memory_order_relaxed);
      continue;
    }
    int ready = 0;
    const int waitMillis = static_cast<int>(wait * 1000.0 + 0.999);
    const std::int64_t pollStart = spin_detail::nowNanos();
    curl_multi_poll(multi_, waits.data(), static_cast<unsigned>(waits.size()), waitMillis, &ready);
    // Read before the thread takes `asleep_` down: a quiet wake it names was over by then.
    const std::uint64_t quiet = quietWakes_.load(std::memory_order_seq_cst);
    // A poster that found the thread asleep took the flag down and sent the wake-up.
    const bool woken = !asleep_.exchange(false, std::memory_order_seq_cst);
    const bool timedOut =
        ready == 0 && !woken &&
        spin_detail::nowNanos() - pollStart >= std::int64_t(waitMillis) * 1'000'000;
    if (timedOut && quiet > seen_) gLostWakeUps.fetch_add(1, std::memory_order_relaxed);
    // Woken by work, not by the clock: a longer spin would have caught it.
    if (busy && (ready > 0 || woken)) {
      spinBudget_.cameAfterSpin(spin_detail::nowNanos() - spinStart);
    }
  }

  // Stopped: end what is left without telling anyone (the session is gone). Handshakes that
  // wait for an answer were told to give up; one more turn lets them unwind.
  tls_->endAll();
  {
    int running = 0;
    curl_multi_perform(multi_, &running);
  }
  for (auto& [identifier, transfer] : transfers_) {
    removeFromMulti(*transfer);
    ending_->finishQuietly(*transfer);
    if (transfer->webSocket) {
      transfer->webSocket->ended(makeError(URLError(URLError::Code::cancelled)));
    }
  }
  transfers_.clear();
  webSocketTransfers_ = 0;
  finished_.clear();
  flushDeliveries();
  tlsCurrentLoop = nullptr;
  std::deque<std::function<void()>> leftover;
  {
    std::lock_guard lock(mutex_);
    leftover.swap(commands_);
  }
}

bool SessionLoop::spinForWork(std::vector<curl_waitfd>& waits) {
  int looks = 0;
  return spinUntil(spinBudget_, [&] {
    if (posted_.load(std::memory_order_acquire) != seen_) return true;
    // A look at the sockets is a system call: one every few microseconds.
    if (++looks % 32 != 0) return false;
    int ready = 0;
    curl_multi_poll(multi_, waits.data(), static_cast<unsigned>(waits.size()), 0, &ready);
    return ready > 0;
  });
}

thread_local const SessionLoop* SessionLoop::tlsCurrentLoop = nullptr;

void SessionLoop::resumeTask(const std::shared_ptr<URLSessionTask>& task,
                             std::shared_ptr<URLSession> session) {
  Transfer* transfer = find(task->taskIdentifier());
  if (!transfer) {
    Transfer& added = add(task, std::move(session));
    if (task->kind() == URLSessionTask::Kind::webSocket) {
      setup_->setUpWebSocket(added);
    } else {
      setup_->setUp(added);
    }
    return;
  }
  if (!tryMove(*transfer, TransferEvent::resume)) return;  // cancelled
  if (transfer->webSocket) transfer->webSocket->setSuspended(false);
  transfer->keepAlive = std::move(session);
  if (transfer->lastActivityUptime > 0) timers_.touch(*transfer);
  updatePause(*transfer);
}

Transfer& SessionLoop::add(const std::shared_ptr<URLSessionTask>& task,
                           std::shared_ptr<URLSession> session) {
  auto& transfer = transfers_[task->taskIdentifier()];
  transfer = std::make_unique<Transfer>();
  transfer->loop = this;
  transfer->tlsChallenges = tls_.get();
  transfer->task = task;
  transfer->shared = TaskInternals::shared(*task);
  transfer->keepAlive = session ? std::move(session) : owner_.lock();
  return *transfer;
}

void SessionLoop::retire(std::uint64_t identifier) {
  auto it = transfers_.find(identifier);
  if (it != transfers_.end()) {
    // The transfer may still be referenced by the caller's frame; it goes at the next turn.
    if (it->second->webSocket) --webSocketTransfers_;
    finished_.push_back(std::move(it->second));
    transfers_.erase(it);
  }
  checkInvalidation();
}

void SessionLoop::removeFromMulti(Transfer& transfer) {
  if (transfer.link != Link::attached) return;
  curl_multi_remove_handle(multi_, transfer.easy);
  moveTo(transfer, TransferEvent::detach);
}

bool SessionLoop::addToMulti(Transfer& transfer) {
  if (curl_multi_add_handle(multi_, transfer.easy) != CURLM_OK) return false;
  moveTo(transfer, TransferEvent::attach);
  return true;
}

void SessionLoop::updatePause(Transfer& transfer) {
  if (disposition_->handOnHeldBody(transfer)) return;
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


void SessionLoop::deliverResponse(Transfer& transfer) { disposition_->deliverResponse(transfer); }

void SessionLoop::loadNextRequest(Transfer& transfer) { setup_->loadNextRequest(transfer); }

void SessionLoop::finish(Transfer& transfer, ErrorPtr error) {
  ending_->finish(transfer, std::move(error));
}

ErrorPtr SessionLoop::failureOf(Transfer& transfer, const URLError& error) {
  return ending_->failureOf(transfer, error);
}

bool SessionLoop::prepareTurnDeliveries(std::shared_ptr<URLSession> session) {
  auto delegate = this->delegate();
  if (!delegate) return false;
  if (!session) session = owner_.lock();
  if (!session) return false;
  turnDeliveries_.delegate = std::move(delegate);
  turnDeliveries_.session = std::move(session);
  turnDeliveries_.ready = true;
  return true;
}

void SessionLoop::flushDeliveries() {
  auto& turn = turnDeliveries_;
  // A few calls per operation: the delegate queue shares its thread with other work (a
  // client's own requests being set up), which must not wait behind a whole busy turn.
  constexpr std::size_t kCallsPerOperation = 4;
  for (std::size_t first = 0; first < turn.calls.size(); first += kCallsPerOperation) {
    const std::size_t last = std::min(turn.calls.size(), first + kCallsPerOperation);
    std::vector<std::function<void(URLSessionDelegate*, const std::shared_ptr<URLSession>&)>> calls(
        std::make_move_iterator(turn.calls.begin() + std::ptrdiff_t(first)),
        std::make_move_iterator(turn.calls.begin() + std::ptrdiff_t(last)));
    delegateQueue_->addOperation(
        [delegate = turn.delegate, session = turn.session, calls = std::move(calls)]() mutable {
          for (auto& call : calls) {
            call(delegate.get(), session);
            call = nullptr;  // what it holds goes as soon as it has run, as it did on its own
          }
        });
  }
  turn = TurnDeliveries{};
  ++deliveryTurn_;
}

std::shared_ptr<URLSession> SessionLoop::sessionOf(const Transfer& transfer) const {
  return transfer.keepAlive ? transfer.keepAlive : owner_.lock();
}

void SessionLoop::cancelLater(std::uint64_t identifier) {
  post([this, identifier] {
    auto it = transfers_.find(identifier);
    if (it == transfers_.end() || it->second->phase == Phase::cancelled) return;
    Transfer& transfer = *it->second;
    moveTo(transfer, TransferEvent::cancel);
    finish(transfer, cancelledError(transfer));
  });
}

bool SessionLoop::resume(std::shared_ptr<URLSessionTask> task) {
  auto session = owner();
  return session && post([loop = this, task = std::move(task), session = std::move(session)] {
           loop->resumeTask(task, session);
         });
}

bool SessionLoop::suspend(std::uint64_t identifier) {
  return post([loop = this, identifier] { loop->suspendTask(identifier); });
}

bool SessionLoop::cancel(std::shared_ptr<URLSessionTask> task, int closeCode,
                         std::optional<Bytes> closeReason) {
  return post([loop = this, task = std::move(task), closeCode,
               closeReason = std::move(closeReason)]() mutable {
    loop->ending_->cancel(task, closeCode, std::move(closeReason));
  });
}

bool SessionLoop::cancelProducingResumeData(
    std::shared_ptr<URLSessionTask> task,
    std::shared_ptr<OnceHandler<std::optional<Bytes>>> handler) {
  return post([loop = this, task = std::move(task), handler = std::move(handler)] {
    loop->ending_->cancelProducingResumeData(task, handler);
  });
}

bool SessionLoop::receiveHoldChanged(std::uint64_t identifier) {
  return post([loop = this, identifier] { loop->updateReceiveHold(identifier); });
}

WebSocketConnection::SessionHooks SessionLoop::webSocketHooks() {
  return {[weak = weak_from_this()](std::function<void()> command) {
            auto loop = weak.lock();
            return loop && loop->post(std::move(command));
          },
          [weak = weak_from_this(), queue = delegateQueue()](std::function<void()> call) {
            if (auto loop = weak.lock()) {
              loop->onDelegateQueue(std::move(call));
            } else {
              queue->addOperation(std::move(call));
            }
          }};
}

}  // namespace platform::net_detail
