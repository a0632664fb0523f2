#include "platform/net/session/redirects.h"

#include <mutex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/net/http_text.h"
#include "platform/net/session/detail/once_handler.h"
#include "platform/net/session/transfer.h"
#include "platform/net/session/transfer_engine.h"

namespace platform::net_detail {

namespace {

using http_text::lowercase;

constexpr long kMaximumRedirects = 16;

bool isRedirectStatus(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Scheme, host and port, compared as the web compares origins.
std::tuple<std::string, std::string, int> originOf(const URL& url) {
  const std::string scheme = lowercase(url.scheme().value_or(""));
  return {scheme, lowercase(url.host().value_or("")),
          url.port().value_or(scheme == "https" ? 443 : 80)};
}

}  // namespace

bool Redirects::considerRedirect(Transfer& transfer, int status) {
  if (!isRedirectStatus(status) || transfer.transactions.empty()) return false;
  std::optional<std::string> location;
  for (const auto& line : transfer.response.lines) {
    if (lowercase(line.substr(0, 9)) != "location:") continue;
    auto value = line.substr(9);
    const auto first = value.find_first_not_of(" \t");
    location = first == std::string::npos ? std::string() : value.substr(first);
    break;
  }
  std::optional<URLRequest> current;
  {
    std::lock_guard lock(transfer.shared->mutex);
    current = transfer.shared->currentRequest;
  }
  if (!location || location->empty() || !current || !current->url) return false;
  auto target = URL::fromString(*location, *current->url);
  if (!target) return false;
  const auto [scheme, host, port] = originOf(*target);
  if ((scheme != "http" && scheme != "https") || host.empty()) return false;
  if (transfer.redirect.count >= kMaximumRedirects) {
    moveTo(transfer, TransferEvent::redirectRefused);
    return true;
  }

  URLRequest proposed = *current;
  proposed.url = *target;
  const std::string method = proposed.httpMethod.value_or("GET");
  const bool dropsBody =
      (status == 303 && method != "HEAD") || ((status == 301 || status == 302) && method == "POST");
  moveTo(transfer, dropsBody ? TransferEvent::nextDropsBody : TransferEvent::nextKeepsBody);
  if (dropsBody) {
    proposed.httpMethod = method == "HEAD" ? "HEAD" : "GET";
    proposed.httpBody.reset();
    for (const char* name : {"Content-Type", "Content-Length", "Content-Encoding"}) {
      proposed.setValueForHTTPHeaderField(std::nullopt, name);
    }
  }
  // The caller's credentials and cookies were meant for the origin it named.
  if (originOf(*current->url) != originOf(*target)) {
    for (const char* name : {"Authorization", "Proxy-Authorization", "Cookie"}) {
      proposed.setValueForHTTPHeaderField(std::nullopt, name);
    }
  }
  const bool downgrade =
      lowercase(current->url->scheme().value_or("")) == "https" && scheme == "http";
  auto response =
      std::dynamic_pointer_cast<const HTTPURLResponse>(transfer.transactions.back().response);
  if (!engine_.delegate() || !response) {
    if (downgrade) return false;
    transfer.redirect.next = std::move(proposed);
    moveTo(transfer, TransferEvent::nextChosen);
    return true;
  }
  moveTo(transfer, TransferEvent::redirectRaised);
  // Dropped unanswered, the handler leaves the redirect unfollowed.
  auto once = std::make_shared<OnceHandler<std::optional<URLRequest>>>(
      [post = engine_.poster(), this,
       id = transfer.task->taskIdentifier()](std::optional<URLRequest> request) {
        post([this, id, request = std::move(request)]() mutable {
          answerRedirect(id, std::move(request));
        });
      });
  auto task = transfer.task;
  engine_.deliverCall(
      [task, response, proposed = std::move(proposed), once](
          URLSessionDelegate& delegate, const std::shared_ptr<URLSession>& session) mutable {
        std::function<void(std::optional<URLRequest>)> handler =
            [once](std::optional<URLRequest> request) { once->call(std::move(request)); };
        once.reset();
        delegate.willPerformHTTPRedirection(session, task, response, proposed, std::move(handler));
      },
      transfer.keepAlive);
  return true;
}

void Redirects::answerRedirect(std::uint64_t identifier, std::optional<URLRequest> request) {
  Transfer* found = engine_.find(identifier);
  if (!found) return;
  Transfer& transfer = *found;
  if (!awaitsRedirect(transfer.phase)) return;
  const bool transferDone = transfer.phase == Phase::awaitingRedirectEnded;
  moveTo(transfer, TransferEvent::redirectAnswered);
  if (request) {
    // What the handler gives is loaded as it is; the body goes only where the method keeps it.
    if (!request->url) request->url = engine_.currentURL(transfer);
    transfer.redirect.next = std::move(request);
    moveTo(transfer, TransferEvent::nextChosen);
    if (transferDone) {
      engine_.loadNextRequest(transfer);
    } else {
      engine_.updatePause(transfer);
    }
    return;
  }
  // Not followed: the redirect is the answer.
  engine_.deliverResponse(transfer);
  if (transferDone) {
    if (transfer.phase == Phase::awaitingDisposition) {
      moveTo(transfer, TransferEvent::transferEnded);
    } else {
      engine_.finish(transfer, nullptr);
    }
    return;
  }
  engine_.updatePause(transfer);
}

bool Redirects::considerAuthentication(Transfer& transfer, int status) {
  if (status != 401 || transfer.transactions.empty()) return false;
  // A challenge already waits for this transfer: its answer decides.
  if (awaitsRedirect(transfer.phase)) return true;
  auto url = engine_.currentURL(transfer);
  if (!url) return false;
  std::vector<std::string> fields;
  for (const auto& line : transfer.response.lines) {
    if (lowercase(line.substr(0, 17)) == "www-authenticate:") fields.push_back(line.substr(17));
  }
  return takeStep(transfer, transfer.redirect.auth.unauthorized(
                                *url, fields, transfer.transactions.back().response,
                                engine_.configuration().urlCredentialStorage));
}

bool Redirects::settleAuthentication(Transfer& transfer) {
  moveTo(transfer, TransferEvent::ownHandshakeEnded);
  if (!takeStep(transfer, transfer.redirect.auth.settle())) return false;
  if (transfer.phase == Phase::awaitingRedirect) {
    moveTo(transfer, TransferEvent::transferEnded);
  } else if (transfer.phase == Phase::followingRedirect) {
    engine_.loadNextRequest(transfer);
  }
  return true;
}

bool Redirects::takeStep(Transfer& transfer, HTTPAuthentication::Step step) {
  using Step = HTTPAuthentication::Step;
  // Without a delegate every challenge gets default handling.
  if (step == Step::challenge && !engine_.delegate()) {
    step = transfer.redirect.auth.answer(
        URLSessionDelegate::AuthChallengeDisposition::performDefaultHandling, std::nullopt);
  }
  switch (step) {
    case Step::deliver:
    case Step::cancel:
      return false;
    case Step::ignore:
      moveTo(transfer, TransferEvent::ownHandshakeGoesOn);
      return true;
    case Step::replay:
      transfer.redirect.next = engine_.currentRequest(transfer);
      moveTo(transfer, TransferEvent::nextChosen);
      return true;
    case Step::challenge:
      moveTo(transfer, TransferEvent::challengeRaised);
      raiseAuthentication(transfer);
      return true;
  }
  return false;
}

void Redirects::raiseAuthentication(Transfer& transfer) {
  // Dropped unanswered, the handler cancels.
  struct Answer {
    URLSessionDelegate::AuthChallengeDisposition disposition =
        URLSessionDelegate::AuthChallengeDisposition::cancelAuthenticationChallenge;
    std::optional<URLCredential> credential;
  };
  auto once = std::make_shared<OnceHandler<Answer>>(
      [post = engine_.poster(), this, id = transfer.task->taskIdentifier()](Answer answer) {
        post([this, id, answer = std::move(answer)]() mutable {
          answerAuthentication(id, answer.disposition, std::move(answer.credential));
        });
      });
  auto task = transfer.task;
  engine_.deliverCall(
      [task, challenge = transfer.redirect.auth.challenge(), once](
          URLSessionDelegate& delegate, const std::shared_ptr<URLSession>& session) mutable {
        URLSessionDelegate::ChallengeHandler handler =
            [once](URLSessionDelegate::AuthChallengeDisposition disposition,
                   std::optional<URLCredential> credential) {
              once->call(Answer{disposition, std::move(credential)});
            };
        once.reset();
        delegate.didReceiveChallenge(session, task, challenge, std::move(handler));
      },
      transfer.keepAlive);
}

void Redirects::answerAuthentication(std::uint64_t identifier,
                                     URLSessionDelegate::AuthChallengeDisposition disposition,
                                     std::optional<URLCredential> credential) {
  Transfer* found = engine_.find(identifier);
  if (!found) return;
  Transfer& transfer = *found;
  if (!awaitsRedirect(transfer.phase)) return;
  using Step = HTTPAuthentication::Step;
  switch (transfer.redirect.auth.answer(disposition, credential)) {
    case Step::challenge:
      raiseAuthentication(transfer);  // the next scheme offered
      return;
    case Step::cancel:
      moveTo(transfer, TransferEvent::cancel);
      engine_.detach(transfer);
      engine_.finish(transfer,
                     makeError(URLError(URLError::Code::cancelled, engine_.currentURL(transfer))));
      return;
    case Step::replay:
      answerRedirect(identifier, engine_.currentRequest(transfer));
      return;
    case Step::deliver:
    case Step::ignore:
      answerRedirect(identifier, std::nullopt);
      return;
  }
}

}  // namespace platform::net_detail
