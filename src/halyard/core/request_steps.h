#pragma once

// The validator and serializer steps the request kinds have in common. Each kind supplies what
// it gathered (a body, a file) and the event-monitor calls that name it; the order of checks,
// the retry decision and the hand-over to the caller's queue are the same for all.

#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "halyard/core/request.h"
#include "halyard/core/request_delegate.h"
#include "halyard/core/response_serializer.h"
#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/process_info.h"

namespace halyard::request_steps {

// Puts a response to the caller's disposition handler on its queue, or allows it at once when
// there is none; the answer goes back to the URL-loading layer on the request's queue. A cancel
// answered here is recorded, not `cancel()`: the layer stops the transfer on the disposition.
//
// Without a handler, a call already running on the request's queue (the session's delegate
// queue targets it) allows in place: the layer takes the answer up once the delegate's call
// returns, so nothing runs under the caller's lock, and a small response ends without a trip
// back through the layer's I/O thread.
template <class Stored>
void answerHTTPResponse(
    const std::shared_ptr<Request>& self, const std::optional<Stored>& stored,
    const platform::HTTPURLResponsePtr& response,
    std::function<void(platform::URLSessionDelegate::ResponseDisposition)> completionHandler) {
  using Disposition = platform::URLSessionDelegate::ResponseDisposition;
  if (!stored && self->underlyingQueue()->isCurrent()) {
    completionHandler(Disposition::allow);
    return;
  }
  if (!stored) {
    self->underlyingQueue()->async([completionHandler = std::move(completionHandler)] {
      completionHandler(Disposition::allow);
    });
    return;
  }
  stored->queue->async([self, response, handler = stored->handler,
                        completionHandler = std::move(completionHandler)] {
    handler(response, [self, completionHandler](Request::ResponseDisposition disposition) {
      if (disposition == Request::ResponseDisposition::cancel) {
        self->mutableState().mutateValue([](Request::MutableState& s) {
          s.state = Request::State::cancelled;
          if (!s.error) s.error = HalyardError::explicitlyCancelled();
        });
      }
      self->underlyingQueue()->async([completionHandler, disposition] {
        completionHandler(disposition == Request::ResponseDisposition::allow ? Disposition::allow
                                                                             : Disposition::cancel);
      });
    });
  });
}

// A disposition handler that shows each response to `handler` and always lets its body come.
inline std::function<void(const platform::HTTPURLResponsePtr&,
                          std::function<void(Request::ResponseDisposition)>)>
allowingAfter(std::function<void(const platform::HTTPURLResponsePtr&)> handler) {
  return [handler = std::move(handler)](const platform::HTTPURLResponsePtr& response,
                                        std::function<void(Request::ResponseDisposition)> answer) {
    handler(response);
    answer(Request::ResponseDisposition::allow);
  };
}

// A validator of `request`: once a response arrived without an error, `validation` judges the
// last URL request, the response and what `gathered` reads; a failure becomes the request's
// error, and `report` tells the event monitor either way. The request owns its validators, so
// the step may refer to it without owning it.
template <class R, class Gathered, class Validation, class Report>
std::function<void()> validationStep(R* request, Gathered (R::*gathered)() const,
                                     Validation validation, Report report) {
  return [request, gathered, validation = std::move(validation), report] {
    if (request->error()) return;
    const auto response = request->httpResponse();
    if (!response) return;
    const auto urlRequest = request->lastRequest();
    const Gathered what = (request->*gathered)();
    const ValidationResult result = validation(urlRequest, response, what);
    if (!result) {
      request->setError(toHalyardErrorOrElse(result.error(), [](const ErrorPtr& error) {
        return HalyardError::responseValidationFailed(
            HalyardError::ResponseValidationFailureReason::CustomValidationFailed{error});
      }));
    }
    if (const auto& monitor = request->eventMonitor()) {
      ((*monitor).*report)(std::static_pointer_cast<R>(request->shared_from_this()), urlRequest,
                           response, what, result);
    }
  };
}

// Appends a step to the request's serializer pass.
inline void appendSerializer(Request& request, std::function<void()> step) {
  request.mutableState().mutateValue([&](Request::MutableState& state) {
    request.appendResponseSerializer(state, std::move(step));
  });
}

// A serializer step: `serialize` runs during the serializer pass, timed; a throw becomes
// `customSerializationFailed` unless it is a HalyardError already. `finish` then gets the
// outcome and the seconds it took on the request's queue.
template <class Value, class Serialize, class Finish>
void appendSerializingStep(Request& request, Serialize serialize, Finish finish) {
  appendSerializer(request, [queue = request.underlyingQueue(), serialize = std::move(serialize),
                             finish = std::move(finish)] {
    const double start = platform::systemUptime();
    std::expected<Value, HalyardError> result = [&]() -> std::expected<Value, HalyardError> {
      try {
        return serialize();
      } catch (...) {
        return std::unexpected(toHalyardErrorOrElse(currentError(), [](const ErrorPtr& e) {
          return HalyardError::responseSerializationFailed(
              HalyardError::ResponseSerializationFailureReason::CustomSerializationFailed{e});
        }));
      }
    }();
    const double duration = platform::systemUptime() - start;
    queue->async([result = std::move(result), duration, finish]() mutable {
      finish(std::move(result), duration);
    });
  });
}

// Hands `response` to `completionHandler` on `queue` once the serializer pass lets it.
template <class Response, class Handler>
void deliver(const RequestPtr& request, const platform::DispatchQueuePtr& queue,
             const Handler& completionHandler, Response response) {
  // A completion runs at most once (the pass takes the list before running it), so the
  // response moves on to the caller's queue rather than being copied there.
  request->recordSerializerCompletion(
      [queue, completionHandler, response = std::move(response)]() mutable {
        queue->async([completionHandler = std::move(completionHandler),
                      response = std::move(response)] { completionHandler(response); });
      });
}

// Delivers a serialized response, unless it failed and the delegate has the request retried:
// a retry replaces the delivery; a decision not to retry with an error of its own delivers
// `failedWith(error)` instead.
//
// A failure the request already carried (a transport, validation or cancellation error, or the
// outcome of the decision taken when the task completed) has had its answer: it is delivered
// as it is, so no failure is put to the retrier twice.
template <class Response, class Handler, class FailedWith>
void deliverOrRetry(const RequestPtr& request, Response response, platform::DispatchQueuePtr queue,
                    Handler completionHandler, FailedWith failedWith) {
  auto delegate = request->delegate();
  // Checked and marked in one hold, so a cancel either comes first (and the failure is
  // delivered) or finds the mark and takes the pass over.
  const bool ask =
      response.result
          ? false
          : request->mutableState().mutateValue([&](Request::MutableState& state) {
              if (!delegate || state.error || state.state == Request::State::cancelled) {
                return false;
              }
              state.serializerRetryPending = true;
              return true;
            });
  if (!ask) {
    deliver(request, queue, completionHandler, std::move(response));
    return;
  }
  const HalyardError failure = response.result.error();
  delegate->decideRetryForRequest(
      request, failure,
      [request, delegate, response = std::move(response), queue = std::move(queue),
       completionHandler = std::move(completionHandler),
       failedWith = std::move(failedWith)](RetryResult decision) {
        const bool retrying = decision.retryRequired();
        const bool stillOurs =
            request->mutableState().mutateValue([&](Request::MutableState& state) {
              if (!state.serializerRetryPending) return false;
              // A retry keeps the mark until it starts, so a cancel before then still ends
              // the pass.
              if (!retrying) state.serializerRetryPending = false;
              return true;
            });
        // A cancel took the pass over while the decision was pending.
        if (!stillOurs) return;
        if (decision.isDoNotRetry()) {
          deliver(request, queue, completionHandler, response);
        } else if (decision.isDoNotRetryWithError()) {
          deliver(request, queue, completionHandler,
                  failedWith(toHalyardErrorOrFail(
                      decision.error(), "Received retryError was not already HalyardError")));
        } else if (decision.isRetry()) {
          delegate->retryRequestAfterDelay(request, std::nullopt);
        } else {
          delegate->retryRequestAfterDelay(request, decision.delay());
        }
      });
}

// Runs the download-progress handler on its queue. The handler in place then runs, even if it
// was replaced after the progress changed.
inline void scheduleDownloadProgressHandler(const RequestPtr& request) {
  if (auto entry = request->downloadProgressHandler()) {
    entry->queue->async([request] {
      if (auto current = request->downloadProgressHandler()) {
        current->handler(request->downloadProgress());
      }
    });
  }
}

// ---- The response handlers with the standard arguments --------------------------------------
// The main queue unless one is given, the pass-through preprocessor, no fixed encoding, empty
// bodies allowed for 204, 205 and HEAD, a new JSON decoder.

inline platform::DispatchQueuePtr orMainQueue(platform::DispatchQueuePtr queue) {
  return queue ? std::move(queue) : platform::DispatchQueue::main();
}

template <class R, class Handler>
R& standardResponseAsData(R& request, Handler completionHandler, platform::DispatchQueuePtr queue) {
  return request.responseAsData(
      orMainQueue(std::move(queue)), ResponseSerializer::defaultDataPreprocessor(),
      ResponseSerializer::standardEmptyResponseCodes(),
      ResponseSerializer::standardEmptyRequestMethods(), std::move(completionHandler));
}

template <class R, class Handler>
R& standardResponseAsString(R& request, Handler completionHandler,
                            platform::DispatchQueuePtr queue) {
  return request.responseAsString(
      orMainQueue(std::move(queue)), ResponseSerializer::defaultDataPreprocessor(), std::nullopt,
      ResponseSerializer::standardEmptyResponseCodes(),
      ResponseSerializer::standardEmptyRequestMethods(), std::move(completionHandler));
}

template <class T, class R, class Handler>
R& standardResponseAsDecodable(R& request, Handler completionHandler,
                               platform::DispatchQueuePtr queue) {
  return request.template responseAsDecodable<T>(
      orMainQueue(std::move(queue)), ResponseSerializer::defaultDataPreprocessor(),
      platform::JSONDecoder(), ResponseSerializer::standardEmptyResponseCodes(),
      ResponseSerializer::standardEmptyRequestMethods(), std::move(completionHandler));
}

}  // namespace halyard::request_steps
