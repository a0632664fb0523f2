#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/net/url_session.h"

namespace platform::net_detail {

class ChallengeWait;

// What a task and the I/O thread share about it.
struct TaskShared {
  mutable std::mutex mutex;
  URLSessionTask::State state = URLSessionTask::State::suspended;
  std::optional<URLRequest> currentRequest;
  URLResponsePtr response;
  ErrorPtr error;
  std::int64_t bytesReceived = 0;
  std::int64_t bytesExpectedToReceive = 0;
  std::int64_t bytesSent = 0;
  std::int64_t bytesExpectedToSend = 0;
  std::string description;
  std::atomic<bool> countedGone{false};  // no longer counted among its loop's tasks
  // Receive holds of a data task; read by the write callback without the lock.
  std::atomic<int> receiveHolds{0};
  // Body bytes handed to the delegate queue and not yet taken by the delegate; past a bound
  // the transfer holds itself (one hold, `deliveryHold`) until the delegate caught up.
  std::atomic<std::int64_t> undeliveredBytes{0};
  std::atomic<bool> deliveryHold{false};
  // The challenge the task's handshake waits on, so a cancel from any thread ends the wait
  // even while the I/O thread itself is the one waiting.
  std::weak_ptr<ChallengeWait> challengeWait;
};

}  // namespace platform::net_detail
