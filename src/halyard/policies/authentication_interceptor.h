#pragma once

#include <atomic>
#include <concepts>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "halyard/core/halyard_info.h"
#include "halyard/core/protected.h"
#include "halyard/core/request.h"
#include "halyard/core/request_interceptor.h"
#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/process_info.h"
#include "platform/net/http_url_response.h"

namespace halyard {

// Why the authentication interceptor failed a request on its own.
class AuthenticationError : public platform::Error {
 public:
  enum class Kind {
    missingCredential,
    excessiveRefresh,
    // The authenticator let its refresh completion go without calling it.
    refreshCompletionDropped,
  };
  explicit AuthenticationError(Kind kind) : kind_(kind) {}
  Kind kind() const { return kind_; }
  bool operator==(const AuthenticationError& other) const { return kind_ == other.kind_; }
  std::string localizedDescription() const override;

 private:
  Kind kind_;
};

// What the interceptor needs of a credential and of the application's authenticator.
template <class A>
concept Authenticator = requires {
  typename A::Credential;
}
&&requires(const A& authenticator, const typename A::Credential& credential,
           platform::URLRequest& request, const platform::URLRequest& sent,
           const std::shared_ptr<Session>& session, const platform::HTTPURLResponse& response,
           const platform::ErrorPtr& error,
           std::function<void(std::expected<typename A::Credential, platform::ErrorPtr>)> done) {
  { credential.requiresRefresh() } -> std::convertible_to<bool>;
  authenticator.applyCredential(credential, request);
  // Calls `done` once, on any thread.
  authenticator.refreshCredential(credential, session, done);
  {
    authenticator.didRequestFailDueToAuthentication(sent, response, error)
    } -> std::convertible_to<bool>;
  {
    authenticator.isRequestAuthenticatedWithCredential(sent, credential)
    } -> std::convertible_to<bool>;
};

// Signs every request with a credential and refreshes it when it expires or the server
// rejects it. Requests that arrive during a refresh wait for it; a sliding window stops refresh
// loops.
//
// Beyond the plain scheme: a retry judged against a credential that was replaced meanwhile is
// simply retried (a generation number, raised by every refresh and every assignment, tells);
// a refresh completion acts once, and only for its own refresh; a completion dropped without
// being called fails the held work instead of holding it forever; timestamps that left the
// window are forgotten.
template <Authenticator A>
class AuthenticationInterceptor
    : public RequestInterceptor,
      public std::enable_shared_from_this<AuthenticationInterceptor<A>> {
 public:
  using Credential = typename A::Credential;
  using RefreshResult = std::expected<Credential, platform::ErrorPtr>;

  struct RefreshWindow {
    double interval = 30.0;
    int maximumAttempts = 5;
  };

  static std::shared_ptr<AuthenticationInterceptor> make(
      std::shared_ptr<const A> authenticator, std::optional<Credential> credential = std::nullopt,
      std::optional<RefreshWindow> refreshWindow = RefreshWindow()) {
    return std::shared_ptr<AuthenticationInterceptor>(new AuthenticationInterceptor(
        std::move(authenticator), std::move(credential), refreshWindow));
  }

  std::optional<Credential> credential() const {
    return state_.readValue([](const MutableState& s) { return s.credential; });
  }
  // Held operations are left alone.
  void setCredential(std::optional<Credential> credential) {
    state_.mutateValue([&](MutableState& s) {
      s.credential = std::move(credential);
      ++s.generation;
    });
  }

  void adaptForSession(const platform::URLRequest& urlRequest,
                       const std::shared_ptr<Session>& session,
                       AdaptCompletion completion) override {
    enum class Decision { adapt, missing, deferred };
    std::optional<Credential> credential;
    const Decision decision = state_.mutateValue([&](MutableState& s) {
      if (s.isRefreshing) {
        s.adaptOperations.push_back({urlRequest, session, completion});
        return Decision::deferred;
      }
      if (!s.credential) return Decision::missing;
      if (s.credential->requiresRefresh()) {
        s.adaptOperations.push_back({urlRequest, session, completion});
        refresh(s, *s.credential, session);
        return Decision::deferred;
      }
      credential = s.credential;
      return Decision::adapt;
    });
    switch (decision) {
      case Decision::adapt: {
        auto signed_ = urlRequest;
        authenticator_->applyCredential(*credential, signed_);
        completion(AdaptationResult(std::move(signed_)));
        return;
      }
      case Decision::missing:
        completion(std::unexpected(platform::makeError(
            AuthenticationError(AuthenticationError::Kind::missingCredential))));
        return;
      case Decision::deferred:
        return;
    }
  }

  void decideRetry(const std::shared_ptr<Request>& request, const std::shared_ptr<Session>& session,
                   const platform::ErrorPtr& error, RetryCompletion completion) override {
    const auto urlRequest = request->lastRequest();
    if (!urlRequest) return completion(RetryResult::doNotRetry());
    const auto task = request->lastTask();
    const auto response =
        task ? std::dynamic_pointer_cast<const platform::HTTPURLResponse>(task->response())
             : nullptr;
    if (!response) return completion(RetryResult::doNotRetry());
    if (!authenticator_->didRequestFailDueToAuthentication(*urlRequest, *response, error)) {
      return completion(RetryResult::doNotRetry());
    }
    auto [credential, generation] = state_.readValue(
        [](const MutableState& s) { return std::make_pair(s.credential, s.generation); });
    if (!credential) {
      return completion(RetryResult::doNotRetryWithError(
          platform::makeError(AuthenticationError(AuthenticationError::Kind::missingCredential))));
    }
    if (!authenticator_->isRequestAuthenticatedWithCredential(*urlRequest, *credential)) {
      return completion(RetryResult::retry());
    }
    const bool replaced = state_.mutateValue([&](MutableState& s) {
      // Replaced since it was read: the request is simply tried again with the new one.
      if (s.generation != generation) return true;
      s.requestsToRetry.push_back(completion);
      if (!s.isRefreshing) refresh(s, *credential, session);
      return false;
    });
    if (replaced) completion(RetryResult::retry());
  }

  // For tests: how many refresh timestamps are kept.
  std::size_t keptRefreshTimestamps() const {
    return state_.readValue([](const MutableState& s) { return s.refreshTimestamps.size(); });
  }

 private:
  struct AdaptOperation {
    platform::URLRequest urlRequest;
    std::shared_ptr<Session> session;
    AdaptCompletion completion;
  };
  struct MutableState {
    std::optional<Credential> credential;
    bool isRefreshing = false;
    std::vector<double> refreshTimestamps;
    std::optional<RefreshWindow> refreshWindow;
    std::vector<AdaptOperation> adaptOperations;
    std::vector<RetryCompletion> requestsToRetry;
    std::uint64_t generation = 0;
    std::uint64_t refreshNumber = 0;  // of the refresh running now, when one runs
  };

  AuthenticationInterceptor(std::shared_ptr<const A> authenticator,
                            std::optional<Credential> credential,
                            std::optional<RefreshWindow> refreshWindow)
      : authenticator_(std::move(authenticator)),
        queue_(platform::DispatchQueue::serial(HalyardInfo::labelPrefix +
                                               ".authentication.inspector")) {
    state_.mutateValue([&](MutableState& s) {
      s.credential = std::move(credential);
      s.refreshWindow = refreshWindow;
    });
  }

  static bool isRefreshExcessive(MutableState& s, double now) {
    if (!s.refreshWindow) return false;
    const double since = now - s.refreshWindow->interval;
    long recent = 0;
    for (double t : s.refreshTimestamps)
      recent += since <= t ? 1 : 0;
    return recent >= s.refreshWindow->maximumAttempts;
  }

  // The refresh completion: acts once, and only while its own refresh is the running one.
  // Dropped without a call, it fails the held work.
  struct RefreshCompletion {
    std::weak_ptr<AuthenticationInterceptor> owner;
    std::uint64_t number;
    std::atomic<bool> done{false};
    void call(std::optional<RefreshResult> result) {
      if (done.exchange(true)) return;
      auto interceptor = owner.lock();
      if (!interceptor) return;
      interceptor->state_.mutateValue([&](MutableState& s) {
        if (!s.isRefreshing || s.refreshNumber != number) return;
        if (!result) {
          interceptor->handleRefreshFailure(
              s, platform::makeError(
                     AuthenticationError(AuthenticationError::Kind::refreshCompletionDropped)));
        } else if (*result) {
          interceptor->handleRefreshSuccess(s, std::move(**result));
        } else {
          interceptor->handleRefreshFailure(s, result->error());
        }
      });
    }
    ~RefreshCompletion() { call(std::nullopt); }
  };

  // Runs with the state's lock held.
  void refresh(MutableState& s, const Credential& credential,
               const std::shared_ptr<Session>& session) {
    const double now = platform::systemUptime();
    if (isRefreshExcessive(s, now)) {
      handleRefreshFailure(
          s, platform::makeError(AuthenticationError(AuthenticationError::Kind::excessiveRefresh)));
      return;
    }
    // Entries that left the window never count again; keeping them would only grow the list.
    if (s.refreshWindow) {
      const double since = now - s.refreshWindow->interval;
      std::erase_if(s.refreshTimestamps, [since](double t) { return t < since; });
    } else {
      s.refreshTimestamps.clear();
    }
    s.refreshTimestamps.push_back(now);
    s.isRefreshing = true;
    const std::uint64_t number = ++s.refreshNumber;
    auto completion = std::make_shared<RefreshCompletion>();
    completion->owner = this->weak_from_this();
    completion->number = number;
    // Only the queued work may hold the completion: dropped there before this returns, a
    // reference kept here would run its destructor under the state's lock, which it takes.
    queue_->async([authenticator = authenticator_, credential, session,
                   completion = std::move(completion)]() mutable {
      std::function<void(RefreshResult)> done = [completion](RefreshResult result) {
        completion->call(std::move(result));
      };
      completion.reset();  // from here only `done` holds it
      authenticator->refreshCredential(credential, session, std::move(done));
    });
  }

  void handleRefreshSuccess(MutableState& s, Credential credential) {
    s.credential = std::move(credential);
    ++s.generation;
    auto operations = std::exchange(s.adaptOperations, {});
    auto retries = std::exchange(s.requestsToRetry, {});
    s.isRefreshing = false;
    queue_->async([self = this->shared_from_this(), operations = std::move(operations),
                   retries = std::move(retries)] {
      for (const auto& operation : operations) {
        self->adaptForSession(operation.urlRequest, operation.session, operation.completion);
      }
      for (const auto& retry : retries)
        retry(RetryResult::retry());
    });
  }

  void handleRefreshFailure(MutableState& s, platform::ErrorPtr error) {
    auto operations = std::exchange(s.adaptOperations, {});
    auto retries = std::exchange(s.requestsToRetry, {});
    s.isRefreshing = false;
    queue_->async([operations = std::move(operations), retries = std::move(retries), error] {
      for (const auto& operation : operations)
        operation.completion(std::unexpected(error));
      for (const auto& retry : retries)
        retry(RetryResult::doNotRetryWithError(error));
    });
  }

  const std::shared_ptr<const A> authenticator_;
  const platform::DispatchQueuePtr queue_;
  Protected<MutableState> state_;
};

}  // namespace halyard
