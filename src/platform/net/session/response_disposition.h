#pragma once

#include <cstdint>
#include <memory>

#include "platform/net/url_session.h"

namespace platform::net_detail {

class TransferEngine;
struct DispositionAnswer;
struct Transfer;

// The response put to the task and, for a data task, to the delegate for its disposition, with
// the start of the body held while it decides: the task's end is prepared for the delegate
// queue when the whole response came meanwhile (see `DispositionAnswer`), the answer is taken
// on the I/O thread, and the held body is handed on once the task may receive. I/O thread
// only, except `endOnDelegateQueue`.
class ResponseDisposition {
 public:
  explicit ResponseDisposition(TransferEngine& engine) : engine_(engine) {}

  void deliverResponse(Transfer& transfer);
  // The response has arrived whole while its disposition is awaited: the task's end is put
  // with the answer, for the delegate queue to take on an `allow` (see `DispositionAnswer`).
  void prepareEnd(Transfer& transfer);
  // Takes a prepared end back for this thread; false when the delegate queue ended the task.
  bool reclaimEnd(Transfer& transfer);
  // On the delegate queue, right after the delegate's call that allowed the response: ends
  // the task with its prepared end; false when there is none, or the task was suspended,
  // cancelled or held since (the answer then goes to the I/O thread as any other).
  bool endOnDelegateQueue(DispositionAnswer& answer, URLSessionDelegate& delegate,
                          const std::shared_ptr<URLSession>& session,
                          const std::shared_ptr<URLSessionDataTask>& task);
  void answerDisposition(std::uint64_t identifier,
                         URLSessionDelegate::ResponseDisposition disposition);
  // Hands on the body held for the disposition once the task may receive, then the end that
  // waited behind it; true when the transfer ended.
  bool handOnHeldBody(Transfer& transfer);

 private:
  // The task that `endOnDelegateQueue` ended lets go of its transfer.
  void settleEnded(std::uint64_t identifier);

  TransferEngine& engine_;
};

}  // namespace platform::net_detail
