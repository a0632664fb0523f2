#pragma once

// Request events as asynchronous sequences.
//
// A `StreamOf` is a recipe, not a live stream: every `makeAsyncIterator` runs its builder again
// and feeds a fresh `platform::AsyncStream`, so one value can be looped over more than once.
// The iterator owns a token whose release ends its stream, so a consumer that leaves its loop
// early ends the iteration without waiting for the request.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "halyard/core/halyard_info.h"
#include "halyard/core/request.h"
#include "platform/concurrency/async_stream.h"
#include "platform/dispatch/dispatch_queue.h"

namespace halyard {

template <class Element>
class StreamOf {
 public:
  using Platform = platform::AsyncStream<Element>;
  using BufferingPolicy = typename Platform::BufferingPolicy;
  using Continuation = typename Platform::Continuation;
  using Builder = std::function<void(Continuation)>;

  class Iterator {
   public:
    // Awaitable; gives nothing once the stream has ended and its buffer is drained.
    auto next() const { return iterator_.next(); }

   private:
    friend class StreamOf;
    // Runs its action once, when the last copy of the iterator goes.
    class Token {
     public:
      explicit Token(std::function<void()> onDeinit) : onDeinit_(std::move(onDeinit)) {}
      Token(const Token&) = delete;
      Token& operator=(const Token&) = delete;
      ~Token() {
        if (onDeinit_) onDeinit_();
      }

     private:
      std::function<void()> onDeinit_;
    };
    Iterator(typename Platform::Iterator iterator, std::shared_ptr<Token> token)
        : iterator_(std::move(iterator)), token_(std::move(token)) {}
    typename Platform::Iterator iterator_;
    std::shared_ptr<Token> token_;
  };

  StreamOf(BufferingPolicy bufferingPolicy, std::function<void()> onTermination, Builder builder)
      : bufferingPolicy_(bufferingPolicy),
        onTermination_(std::move(onTermination)),
        builder_(std::move(builder)) {}

  const BufferingPolicy& bufferingPolicy() const { return bufferingPolicy_; }

  Iterator makeAsyncIterator() const {
    auto slot = std::make_shared<std::optional<Continuation>>();
    Platform stream(bufferingPolicy_, [&](Continuation continuation) {
      *slot = continuation;
      if (builder_) builder_(std::move(continuation));
    });
    auto token = std::make_shared<typename Iterator::Token>([slot, onTermination = onTermination_] {
      if (*slot) (*slot)->finish();
      if (onTermination) onTermination();
    });
    return Iterator(stream.makeAsyncIterator(), std::move(token));
  }

 private:
  BufferingPolicy bufferingPolicy_;
  std::function<void()> onTermination_;
  Builder builder_;
};

// The one concurrent queue every stream iteration's completion queue drains into.
inline const platform::DispatchQueuePtr& concurrencySingleEventQueue() {
  static const platform::DispatchQueuePtr queue = platform::DispatchQueue::concurrent(
      HalyardInfo::labelPrefix + ".concurrencySingleEventQueue");
  return queue;
}

// A serial queue of one iteration's own, so that its events keep their order while other
// iterations run beside it.
inline platform::DispatchQueuePtr makeStreamCompletionQueue(const platform::UUID& id) {
  return platform::DispatchQueue::serial(
      HalyardInfo::labelPrefix + ".concurrencyStreamCompletionQueue-" + id.uuidString(),
      concurrencySingleEventQueue());
}

namespace detail {

// Whether the request has ended for good: finished, or done with its serializer pass (a
// cancelled request never reaches `finished` but still ends that pass).
inline bool hasEnded(const Request::MutableState& s) {
  return s.state == Request::State::finished ||
         (s.responseSerializerProcessingFinished && !s.isFinishing);
}

}  // namespace detail

// The builder of every per-request stream: `install` puts a yielding handler into one of the
// request's slots, then the stream is bound to the request's end. The end check and the
// finish-handler append are one lock hold, so a request finishing in between cannot leave the
// loop waiting for ever. A stream made after the end still gets whatever `install` sent at
// once, since its finish is queued behind it on the request's queue.
template <class Element>
typename StreamOf<Element>::Builder makeRequestBoundStream(
    const std::shared_ptr<Request>& request,
    std::function<void(Request&, typename StreamOf<Element>::Continuation)> install) {
  using Continuation = typename StreamOf<Element>::Continuation;
  std::weak_ptr<Request> weak = request;
  return [weak, install = std::move(install)](Continuation continuation) {
    auto self = weak.lock();
    if (!self) {
      continuation.finish();
      return;
    }
    install(*self, continuation);
    const bool ended = self->mutableState().mutateValue([&](Request::MutableState& s) {
      if (detail::hasEnded(s)) return true;
      s.finishHandlers.push_back([continuation] { continuation.finish(); });
      return false;
    });
    if (ended) self->underlyingQueue()->async([continuation] { continuation.finish(); });
  };
}

}  // namespace halyard
