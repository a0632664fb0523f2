#include "platform/net/session/curl_callbacks.h"
#include "platform/net/session/session_loop.h"

#include <curl/curl.h>

#include <utility>

#include "platform/net/http_auth_challenge.h"
#include "platform/net/session/detail/once_handler.h"
#include "platform/net/session/detail/session_helpers.h"
#include "platform/net/session/transfer.h"
#include "platform/net/url_error.h"

namespace platform::net_detail {

namespace {

constexpr long kMaximumRedirects = 16;

}  // namespace

namespace {

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

bool SessionLoop::considerRedirect(Transfer& transfer, int status) {
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
  transfer.redirect.nextDropsBody =
      (status == 303 && method != "HEAD") || ((status == 301 || status == 302) && method == "POST");
  if (transfer.redirect.nextDropsBody) {
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
  if (!hasDelegate() || !response) {
    if (downgrade) return false;
    transfer.redirect.next = std::move(proposed);
    moveTo(transfer, TransferEvent::nextChosen);
    return true;
  }
  moveTo(transfer, TransferEvent::redirectRaised);
  // Dropped unanswered, the handler leaves the redirect unfollowed.
  auto once = std::make_shared<OnceHandler<std::optional<URLRequest>>>(
      [weak = weak_from_this(),
       id = transfer.task->taskIdentifier()](std::optional<URLRequest> request) {
        if (auto loop = weak.lock()) {
          loop->post([loop, id, request = std::move(request)]() mutable {
            loop->answerRedirect(id, std::move(request));
          });
        }
      });
  auto task = transfer.task;
  deliver(
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

void SessionLoop::answerRedirect(std::uint64_t identifier, std::optional<URLRequest> request) {
  auto it = transfers_.find(identifier);
  if (it == transfers_.end()) return;
  Transfer& transfer = *it->second;
  if (!awaitsRedirect(transfer.phase)) return;
  const bool transferDone = transfer.phase == Phase::awaitingRedirectEnded;
  moveTo(transfer, TransferEvent::redirectAnswered);
  if (request) {
    // What the handler gives is loaded as it is; the body goes only where the method keeps it.
    if (!request->url) request->url = currentURL(transfer);
    transfer.redirect.next = std::move(request);
    moveTo(transfer, TransferEvent::nextChosen);
    if (transferDone) {
      loadNextRequest(transfer);
    } else {
      updatePause(transfer);
    }
    return;
  }
  // Not followed: the redirect is the answer.
  deliverResponse(transfer);
  if (transferDone) {
    if (transfer.phase == Phase::awaitingDisposition) {
      moveTo(transfer, TransferEvent::transferEnded);
    } else {
      finish(transfer, nullptr);
    }
    return;
  }
  updatePause(transfer);
}

bool SessionLoop::considerAuthentication(Transfer& transfer, int status) {
  if (status != 401 || transfer.transactions.empty()) return false;
  // A challenge already waits for this transfer: its answer decides.
  if (awaitsRedirect(transfer.phase)) return true;
  auto url = currentURL(transfer);
  if (!url) return false;
  std::vector<std::string> fields;
  for (const auto& line : transfer.response.lines) {
    if (lowercase(line.substr(0, 17)) == "www-authenticate:") fields.push_back(line.substr(17));
  }
  return takeAuthenticationStep(transfer, transfer.redirect.auth.unauthorized(
                                              *url, fields, transfer.transactions.back().response,
                                              configuration_.urlCredentialStorage));
}

bool SessionLoop::settleAuthentication(Transfer& transfer) {
  moveTo(transfer, TransferEvent::ownHandshakeEnded);
  if (!takeAuthenticationStep(transfer, transfer.redirect.auth.settle())) return false;
  if (transfer.phase == Phase::awaitingRedirect) {
    moveTo(transfer, TransferEvent::transferEnded);
  } else if (transfer.phase == Phase::followingRedirect) {
    loadNextRequest(transfer);
  }
  return true;
}

bool SessionLoop::takeAuthenticationStep(Transfer& transfer, HTTPAuthentication::Step step) {
  using Step = HTTPAuthentication::Step;
  // Without a delegate every challenge gets default handling.
  if (step == Step::challenge && !delegate()) {
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
      transfer.redirect.next = currentRequestOf(transfer);
      moveTo(transfer, TransferEvent::nextChosen);
      return true;
    case Step::challenge:
      moveTo(transfer, TransferEvent::challengeRaised);
      raiseAuthentication(transfer);
      return true;
  }
  return false;
}

void SessionLoop::raiseAuthentication(Transfer& transfer) {
  // Dropped unanswered, the handler cancels.
  struct Answer {
    URLSessionDelegate::AuthChallengeDisposition disposition =
        URLSessionDelegate::AuthChallengeDisposition::cancelAuthenticationChallenge;
    std::optional<URLCredential> credential;
  };
  auto once = std::make_shared<OnceHandler<Answer>>(
      [weak = weak_from_this(), id = transfer.task->taskIdentifier()](Answer answer) {
        if (auto loop = weak.lock()) {
          loop->post([loop, id, answer = std::move(answer)]() mutable {
            loop->answerAuthentication(id, answer.disposition, std::move(answer.credential));
          });
        }
      });
  auto task = transfer.task;
  deliver(
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

void SessionLoop::answerAuthentication(std::uint64_t identifier,
                                       URLSessionDelegate::AuthChallengeDisposition disposition,
                                       std::optional<URLCredential> credential) {
  auto it = transfers_.find(identifier);
  if (it == transfers_.end()) return;
  Transfer& transfer = *it->second;
  if (!awaitsRedirect(transfer.phase)) return;
  using Step = HTTPAuthentication::Step;
  switch (transfer.redirect.auth.answer(disposition, credential)) {
    case Step::challenge:
      raiseAuthentication(transfer);  // the next scheme offered
      return;
    case Step::cancel:
      moveTo(transfer, TransferEvent::cancel);
      removeFromMulti(transfer);
      finish(transfer, cancelledError(transfer));
      return;
    case Step::replay:
      answerRedirect(identifier, currentRequestOf(transfer));
      return;
    case Step::deliver:
    case Step::ignore:
      answerRedirect(identifier, std::nullopt);
      return;
  }
}

void SessionLoop::loadNextRequest(Transfer& transfer) {
  URLRequest request = std::move(*transfer.redirect.next);
  moveTo(transfer, TransferEvent::nextLoaded);
  const bool replay = transfer.redirect.auth.replaying();
  if (!replay) ++transfer.redirect.count;
  removeFromMulti(transfer);
  auto fail = [&](URLError::Code code, std::string detail) {
    finish(transfer, makeError(URLError(code, request.url, std::move(detail))));
  };
  {
    std::lock_guard lock(transfer.shared->mutex);
    transfer.shared->currentRequest = request;
  }
  transfer.redirect.requestReplaced = true;
  transfer.response.awaitingHead = true;
  transfer.response.inHead = false;
  transfer.response.status = 0;
  transfer.response.lines.clear();
  transfer.response.delivered = false;
  transfer.errorBuffer[0] = 0;

  const std::string method = request.httpMethod.value_or("GET");
  const bool keepsBody =
      !transfer.redirect.nextDropsBody && transfer.upload.kind != TaskSource::Body::none;
  const bool isUpload = transfer.task->kind() == URLSessionTask::Kind::upload && keepsBody;
  URLRequest sent = request;
  // The answer to the challenge takes the place of the request's own.
  if (replay) sent.setValueForHTTPHeaderField(std::nullopt, "Authorization");
  if (std::string problem; !buildHeaders(transfer, sent, isUpload, problem)) {
    return fail(URLError::Code::badURL, problem);
  }
  // The hop runs on a handle of its own (see CurlEasyPool); the connection stays in the multi
  // handle's cache for it.
  CURL* easy = easyPool_.renew(transfer.easy);
  transfer.easy = easy;
  if (easy == nullptr) return fail(URLError::Code::unknown, "the transfer could not be made");
  setRequestOptions(transfer, *request.url);
  transfer.redirect.auth.applyTo(easy, transfer.headers, method, *request.url);
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.headers);
  const auto streamed = [&] { sendBodyThroughReads(transfer, easy); };
  if (transfer.redirect.nextDropsBody) {
    // A new GET (or HEAD): no body, and no method of the old request left behind.
    if (method == "HEAD") curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    transfer.upload.kind = TaskSource::Body::none;
    transfer.upload.data.clear();
  } else if (transfer.upload.kind == TaskSource::Body::file) {
    if (::lseek(transfer.upload.fd, 0, SEEK_SET) < 0) {
      return fail(URLError::Code::cannotOpenFile, "the body file cannot be read again");
    }
    transfer.upload.offset = 0;
    streamed();
  } else if (transfer.upload.kind == TaskSource::Body::stream) {
    if (transfer.upload.offset > 0) {
      return fail(URLError::Code::requestBodyStreamExhausted,
                  "the body stream cannot be sent again");
    }
    streamed();
  } else if (transfer.upload.kind == TaskSource::Body::data || !transfer.upload.data.empty() ||
             request.httpBody || method == "POST") {
    // An upload of nothing still states its length, as on the first request.
    if (request.httpBody && transfer.task->kind() != URLSessionTask::Kind::upload) {
      transfer.upload.data = *request.httpBody;
    }
    setInMemoryBody(easy, transfer.upload.data);
  } else if (method == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  }
  if (!transfer.redirect.nextDropsBody && method != "GET" && method != "POST" && method != "HEAD") {
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
  }
  transfer.redirect.nextDropsBody = false;
  if (!addToMulti(transfer)) {
    return fail(URLError::Code::unknown, "the transfer could not be started");
  }
  updatePause(transfer);
}

}  // namespace platform::net_detail
