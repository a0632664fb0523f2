#include "halyard/core/request_interceptor.h"

namespace halyard {

void RequestAdapter::adaptForSession(const platform::URLRequest& urlRequest,
                                     const std::shared_ptr<Session>&, AdaptCompletion completion) {
  completion(AdaptationResult(urlRequest));
}

void RequestAdapter::adaptWithState(const platform::URLRequest& urlRequest,
                                    const RequestAdapterState& state, AdaptCompletion completion) {
  adaptForSession(urlRequest, state.session, std::move(completion));
}

void RequestRetrier::decideRetry(const std::shared_ptr<Request>&, const std::shared_ptr<Session>&,
                                 const platform::ErrorPtr&, RetryCompletion completion) {
  completion(RetryResult::doNotRetry());
}

void Adapter::adaptForSession(const platform::URLRequest& urlRequest,
                              const std::shared_ptr<Session>& session, AdaptCompletion completion) {
  adaptHandler_(urlRequest, session, std::move(completion));
}

void Adapter::adaptWithState(const platform::URLRequest& urlRequest,
                             const RequestAdapterState& state, AdaptCompletion completion) {
  adaptHandler_(urlRequest, state.session, std::move(completion));
}

void Retrier::decideRetry(const std::shared_ptr<Request>& request,
                          const std::shared_ptr<Session>& session, const platform::ErrorPtr& error,
                          RetryCompletion completion) {
  retryHandler_(request, session, error, std::move(completion));
}

Interceptor::Interceptor(AdaptHandler adaptHandler, RetryHandler retryHandler)
    : adapters_{std::make_shared<Adapter>(std::move(adaptHandler))},
      retriers_{std::make_shared<Retrier>(std::move(retryHandler))} {}

Interceptor::Interceptor(std::shared_ptr<RequestAdapter> adapter,
                         std::shared_ptr<RequestRetrier> retrier)
    : adapters_{std::move(adapter)}, retriers_{std::move(retrier)} {}

Interceptor::Interceptor(Adapters adapters, Retriers retriers, const Interceptors& interceptors)
    : adapters_(std::move(adapters)), retriers_(std::move(retriers)) {
  for (const auto& interceptor : interceptors) {
    adapters_.push_back(interceptor);
    retriers_.push_back(interceptor);
  }
}

void Interceptor::adaptForSession(const platform::URLRequest& urlRequest,
                                  const std::shared_ptr<Session>& session,
                                  AdaptCompletion completion) {
  adaptChain(urlRequest, session, adapters_, std::move(completion));
}

namespace {

// One link of an adapter chain: the first pending adapter (applied by `adapt`) adapts the
// request, then `next` goes on with the rest from its output; a failure ends the chain. The
// chain may continue on another thread after the caller let go of the interceptor, so the
// link keeps it alive.
template <class Adapt, class Next>
void adaptFirstThen(const platform::URLRequest& urlRequest, Interceptor::Adapters pendingAdapters,
                    std::shared_ptr<Interceptor> keepAlive, Adapt adapt, Next next,
                    AdaptCompletion completion) {
  if (pendingAdapters.empty()) {
    completion(AdaptationResult(urlRequest));
    return;
  }
  auto adapter = pendingAdapters.front();
  pendingAdapters.erase(pendingAdapters.begin());
  adapt(
      *adapter, urlRequest,
      [keepAlive = std::move(keepAlive), next = std::move(next), rest = std::move(pendingAdapters),
       completion = std::move(completion)](AdaptationResult result) mutable {
        if (!result) {
          completion(std::move(result));
          return;
        }
        next(*result, std::move(rest), std::move(completion));
      });
}

}  // namespace

void Interceptor::adaptChain(const platform::URLRequest& urlRequest,
                             const std::shared_ptr<Session>& session, Adapters pendingAdapters,
                             AdaptCompletion completion) {
  adaptFirstThen(
      urlRequest, std::move(pendingAdapters), weak_from_this().lock(),
      [&session](RequestAdapter& adapter, const platform::URLRequest& request,
                 AdaptCompletion done) {
        adapter.adaptForSession(request, session, std::move(done));
      },
      [this, session](const platform::URLRequest& request, Adapters rest, AdaptCompletion done) {
        adaptChain(request, session, std::move(rest), std::move(done));
      },
      std::move(completion));
}

void Interceptor::adaptWithState(const platform::URLRequest& urlRequest,
                                 const RequestAdapterState& state, AdaptCompletion completion) {
  adaptChainWithState(urlRequest, state, adapters_, std::move(completion));
}

void Interceptor::adaptChainWithState(const platform::URLRequest& urlRequest,
                                      const RequestAdapterState& state, Adapters pendingAdapters,
                                      AdaptCompletion completion) {
  adaptFirstThen(
      urlRequest, std::move(pendingAdapters), weak_from_this().lock(),
      [&state](RequestAdapter& adapter, const platform::URLRequest& request, AdaptCompletion done) {
        adapter.adaptWithState(request, state, std::move(done));
      },
      [this, state](const platform::URLRequest& request, Adapters rest, AdaptCompletion done) {
        adaptChainWithState(request, state, std::move(rest), std::move(done));
      },
      std::move(completion));
}

void Interceptor::decideRetry(const std::shared_ptr<Request>& request,
                              const std::shared_ptr<Session>& session,
                              const platform::ErrorPtr& error, RetryCompletion completion) {
  decideRetryChain(request, session, error, retriers_, std::move(completion));
}

void Interceptor::decideRetryChain(const std::shared_ptr<Request>& request,
                                   const std::shared_ptr<Session>& session,
                                   const platform::ErrorPtr& error, Retriers pendingRetriers,
                                   RetryCompletion completion) {
  if (pendingRetriers.empty()) {
    completion(RetryResult::doNotRetry());
    return;
  }
  auto retrier = pendingRetriers.front();
  pendingRetriers.erase(pendingRetriers.begin());
  auto keepAlive = weak_from_this().lock();
  retrier->decideRetry(request, session, error,
                       [this, keepAlive, request, session, error, rest = std::move(pendingRetriers),
                        completion = std::move(completion)](RetryResult result) mutable {
                         if (result.isDoNotRetry()) {
                           decideRetryChain(request, session, error, std::move(rest),
                                            std::move(completion));
                         } else {
                           completion(std::move(result));
                         }
                       });
}

std::shared_ptr<Adapter> adapterUsing(AdaptHandler adaptHandler) {
  return std::make_shared<Adapter>(std::move(adaptHandler));
}

std::shared_ptr<Retrier> retrierUsing(RetryHandler retryHandler) {
  return std::make_shared<Retrier>(std::move(retryHandler));
}

std::shared_ptr<Interceptor> interceptorWithHandlers(AdaptHandler adaptHandler,
                                                     RetryHandler retryHandler) {
  return std::make_shared<Interceptor>(std::move(adaptHandler), std::move(retryHandler));
}

std::shared_ptr<Interceptor> interceptorWithPair(std::shared_ptr<RequestAdapter> adapter,
                                                 std::shared_ptr<RequestRetrier> retrier) {
  return std::make_shared<Interceptor>(std::move(adapter), std::move(retrier));
}

std::shared_ptr<Interceptor> interceptorWithLists(Interceptor::Adapters adapters,
                                                  Interceptor::Retriers retriers,
                                                  const Interceptor::Interceptors& interceptors) {
  return std::make_shared<Interceptor>(std::move(adapters), std::move(retriers), interceptors);
}

}  // namespace halyard
