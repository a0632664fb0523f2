// The two texts a request gives of itself: a curl command line that replays it, and a one-line
// description.
//
// The command line is meant to be pasted into a shell, so every value in it (header values,
// cookies a server set, bodies) is one single-quoted shell word: nothing in a value can expand,
// run or end the word early.

#include <string>
#include <vector>

#include "halyard/core/http_headers.h"
#include "halyard/core/request.h"
#include "halyard/core/request_delegate.h"
#include "platform/foundation/utf8.h"
#include "platform/net/http_cookie_storage.h"

namespace halyard {

namespace {

std::string shellQuoted(std::string_view text) {
  std::string out = "'";
  for (const char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  out += '\'';
  return out;
}

bool isLettersOnly(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
  }
  return true;
}

void addHeaders(HTTPHeaders& headers, const platform::HTTPHeaderFields& fields) {
  HTTPHeaders::Dictionary dictionary;
  for (const auto& [name, value] : fields)
    dictionary.emplace(name, value);
  HTTPHeaders converted;
  converted.mergeDictionary(dictionary);
  for (const auto& header : converted) {
    if (header.name == "Cookie") continue;
    headers.replaceOrAppend(header);
  }
}

}  // namespace

std::string Request::curlCommandText() const {
  const auto request = lastRequest();
  if (!request || !request->url || request->url->host().value_or("").empty() ||
      !request->httpMethod) {
    return "$ curl command could not be created";
  }
  const auto& url = *request->url;
  const std::string host = *url.host();
  std::vector<std::string> components{"$ curl -v"};
  const auto& method = *request->httpMethod;
  components.push_back("-X " + (isLettersOnly(method) ? method : shellQuoted(method)));

  const auto delegate = this->delegate();
  const platform::URLSessionConfiguration* configuration =
      delegate ? &delegate->urlConfiguration() : nullptr;

  if (configuration && configuration->urlCredentialStorage) {
    // The realm is not known before a challenge; the host stands in for it.
    const platform::URLProtectionSpace space(host, url.port().value_or(0), url.scheme(), host,
                                             platform::URLProtectionSpace::methodHTTPBasic);
    auto userPassword = [&](const platform::URLCredential& credential) {
      if (credential.user().empty() || !credential.hasPassword()) return;
      components.push_back("-u " + shellQuoted(credential.user() + ":" + credential.password()));
    };
    if (const auto stored = configuration->urlCredentialStorage->credentials(space)) {
      for (const auto& [user, credential] : *stored)
        userPassword(credential);
    } else if (const auto own = credential()) {
      userPassword(*own);
    }
  }

  if (configuration && configuration->httpShouldSetCookies && configuration->httpCookieStorage) {
    const auto cookies = configuration->httpCookieStorage->cookies(url);
    if (!cookies.empty()) {
      std::string joined;
      for (const auto& cookie : cookies) {
        if (!joined.empty()) joined += ';';
        joined += cookie.name + "=" + cookie.value;
      }
      components.push_back("-b " + shellQuoted(joined));
    }
  }

  HTTPHeaders headers;
  if (configuration && configuration->httpAdditionalHeaders) {
    addHeaders(headers, *configuration->httpAdditionalHeaders);
  }
  if (const auto& own = request->allHTTPHeaderFields()) addHeaders(headers, *own);
  for (const auto& header : headers) {
    // curl drops a header written "Name:"; "Name;" sends it with an empty value.
    components.push_back("-H " + shellQuoted(header.value.empty()
                                                 ? header.name + ";"
                                                 : header.name + ": " + header.value));
  }

  if (request->httpBody) {
    const auto body = platform::utf8::decodeLossy(*request->httpBody);
    // curl reads a file for "-d @name"; "--data-raw" sends the text as it stands.
    components.push_back((body.starts_with('@') ? "--data-raw " : "-d ") + shellQuoted(body));
  }

  components.push_back(shellQuoted(url.absoluteString()));

  std::string text;
  for (std::size_t i = 0; i < components.size(); ++i) {
    if (i > 0) text += " \\\n\t";
    text += components[i];
  }
  return text;
}

Request& Request::cURLDescriptionOnQueue(platform::DispatchQueuePtr queue,
                                         std::function<void(const std::string&)> handler) {
  mutableState_.mutateValue([&](MutableState& s) {
    if (!s.requests.empty()) {
      queue->async([self = shared_from_this(), handler = std::move(handler)] {
        handler(self->curlCommandText());
      });
    } else {
      s.cURLHandler = CURLHandlerEntry{std::move(queue), std::move(handler)};
    }
  });
  return *this;
}

void Request::runPendingCURLHandler(MutableState& state) {
  if (!state.cURLHandler) return;
  auto entry = std::move(*state.cURLHandler);
  state.cURLHandler.reset();
  entry.queue->async([self = shared_from_this(), handler = std::move(entry.handler)] {
    handler(self->curlCommandText());
  });
}

std::string Request::description() const {
  const auto taskRequests = this->taskRequests();
  const auto request = taskRequests.empty() ? lastRequest() : taskRequests.back();
  if (!request || !request->url || !request->httpMethod) return "No request created yet.";
  std::string text = *request->httpMethod + " " + request->url->absoluteString();
  if (const auto response = httpResponse()) {
    text += " (" + std::to_string(response->statusCode()) + ")";
  }
  return text;
}

}  // namespace halyard
