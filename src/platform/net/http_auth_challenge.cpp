#include "platform/net/http_auth_challenge.h"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>

#include "platform/net/percent_encoding.h"

namespace platform::net_detail {

namespace {

std::string lowercase(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

bool isTokenChar(char c) {
  auto u = static_cast<unsigned char>(c);
  if (std::isalnum(u)) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isToken68Char(char c) {
  auto u = static_cast<unsigned char>(c);
  return std::isalnum(u) || std::string_view("-._~+/").find(c) != std::string_view::npos;
}

// A cursor over one field value, with the pieces of the RFC 7235 grammar.
class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  bool atEnd() const { return pos_ >= text_.size(); }
  char peek() const { return atEnd() ? '\0' : text_[pos_]; }
  std::size_t position() const { return pos_; }
  void seek(std::size_t position) { pos_ = position; }
  void skipSpace() {
    while (!atEnd() && (peek() == ' ' || peek() == '\t'))
      ++pos_;
  }
  void skipSpaceAndCommas() {
    while (!atEnd() && (peek() == ' ' || peek() == '\t' || peek() == ','))
      ++pos_;
  }
  std::string token() {
    const std::size_t start = pos_;
    while (!atEnd() && isTokenChar(peek()))
      ++pos_;
    return std::string(text_.substr(start, pos_ - start));
  }
  // A token68 that ends the challenge (followed by the end or a comma); nothing otherwise,
  // with the cursor unmoved.
  std::optional<std::string> token68() {
    const std::size_t start = pos_;
    while (!atEnd() && isToken68Char(peek()))
      ++pos_;
    if (pos_ == start) return std::nullopt;
    while (!atEnd() && peek() == '=')
      ++pos_;
    const std::size_t end = pos_;
    skipSpace();
    if (atEnd() || peek() == ',') return std::string(text_.substr(start, end - start));
    pos_ = start;
    return std::nullopt;
  }
  std::optional<std::string> quotedString() {
    if (peek() != '"') return std::nullopt;
    std::string out;
    for (++pos_; !atEnd(); ++pos_) {
      char c = text_[pos_];
      if (c == '"') {
        ++pos_;
        return out;
      }
      if (c == '\\') {
        if (++pos_ >= text_.size()) return std::nullopt;
        c = text_[pos_];
      }
      out.push_back(c);
    }
    return std::nullopt;  // unterminated
  }
  // Whether an auth-param ("name = …") starts here; the cursor stays.
  bool atParameter() {
    const std::size_t start = pos_;
    const bool named = !token().empty();
    skipSpace();
    const bool is = named && peek() == '=';
    pos_ = start;
    return is;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

// The parameters of one challenge; false when the grammar breaks.
bool parseParameters(Scanner& scanner, AuthOffer& offer) {
  while (true) {
    const std::string name = lowercase(scanner.token());
    if (name.empty()) return false;
    scanner.skipSpace();
    if (scanner.peek() != '=') return false;
    scanner.seek(scanner.position() + 1);
    scanner.skipSpace();
    const bool isQuoted = scanner.peek() == '"';
    std::optional<std::string> value = isQuoted ? scanner.quotedString() : scanner.token();
    if (!value || (!isQuoted && value->empty())) return false;
    // A parameter named twice keeps its first value (RFC 7235 §2.1 forbids the repetition).
    offer.parameters.emplace(name, std::move(*value));
    scanner.skipSpace();
    if (scanner.atEnd()) return true;
    if (scanner.peek() != ',') return false;
    scanner.skipSpaceAndCommas();
    if (scanner.atEnd() || !scanner.atParameter()) return true;  // the next challenge
  }
}

void parseField(std::string_view value, std::vector<AuthOffer>& offers) {
  Scanner scanner(value);
  while (true) {
    scanner.skipSpaceAndCommas();
    if (scanner.atEnd()) return;
    AuthOffer offer;
    offer.scheme = lowercase(scanner.token());
    if (offer.scheme.empty()) return;
    const bool spaced = scanner.peek() == ' ' || scanner.peek() == '\t';
    scanner.skipSpace();
    if (scanner.atEnd() || scanner.peek() == ',') {
      offers.push_back(std::move(offer));
      continue;
    }
    if (!spaced) return;
    // A token68 ends its challenge; "name=value" starts parameters.
    if (auto token = scanner.token68()) {
      offer.token68 = std::move(*token);
      offers.push_back(std::move(offer));
      continue;
    }
    const bool complete = parseParameters(scanner, offer);
    // A value holding a line break or NUL would be echoed into a head of ours (a Digest nonce
    // or opaque): such a challenge is not one this client answers.
    const bool sendable =
        std::all_of(offer.parameters.begin(), offer.parameters.end(),
                    [](const auto& item) { return isSendableHeaderValue(item.second); });
    if (sendable) offers.push_back(std::move(offer));
    if (!complete) return;
  }
}

std::string hexOf(const unsigned char* bytes, std::size_t length) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(length * 2);
  for (std::size_t i = 0; i < length; ++i) {
    out.push_back(digits[bytes[i] >> 4]);
    out.push_back(digits[bytes[i] & 0xF]);
  }
  return out;
}

std::string hashHex(const EVP_MD* algorithm, std::string_view text) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest.data(), &length, algorithm, nullptr) != 1) {
    return {};
  }
  return hexOf(digest.data(), length);
}

struct DigestAlgorithm {
  const EVP_MD* md = nullptr;
  bool session = false;
};

std::optional<DigestAlgorithm> digestAlgorithmOf(const AuthOffer& offer) {
  const std::string name = lowercase(offer.parameter("algorithm").value_or("MD5"));
  if (name == "md5") return DigestAlgorithm{EVP_md5(), false};
  if (name == "md5-sess") return DigestAlgorithm{EVP_md5(), true};
  if (name == "sha-256") return DigestAlgorithm{EVP_sha256(), false};
  if (name == "sha-256-sess") return DigestAlgorithm{EVP_sha256(), true};
  return std::nullopt;
}

// Whether the challenge names qualities of protection, and "auth" among them.
std::optional<bool> offersAuthQuality(const AuthOffer& offer) {
  auto qop = offer.parameter("qop");
  if (!qop) return std::nullopt;
  std::size_t start = 0;
  while (start <= qop->size()) {
    std::size_t end = qop->find(',', start);
    if (end == std::string::npos) end = qop->size();
    std::string item = qop->substr(start, end - start);
    item.erase(0, item.find_first_not_of(" \t"));
    item.erase(item.find_last_not_of(" \t") + 1);
    if (lowercase(item) == "auth") return true;
    start = end + 1;
  }
  return false;
}

// A quoted-string of `text`: backslash before '"' and '\'.
std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

// The user name parameter: quoted when it can be, otherwise in the extended notation of
// RFC 8187 that RFC 7616 §3.4.4 asks for.
std::string userParameter(std::string_view user) {
  const bool plain = std::all_of(user.begin(), user.end(), [](char c) {
    auto u = static_cast<unsigned char>(c);
    return u >= 0x20 && u < 0x7F;
  });
  if (plain) return "username=" + quoted(user);
  // RFC 8187's attr-char: what a value in that notation may carry unescaped.
  static const URLCharacterSet attributeCharacters(
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789!#$&+-.^_`|~");
  return "username*=UTF-8''" + addingPercentEncoding(user, attributeCharacters);
}

std::string randomHex(std::size_t bytes) {
  std::vector<unsigned char> buffer(bytes);
  if (RAND_bytes(buffer.data(), static_cast<int>(buffer.size())) != 1) return {};
  return hexOf(buffer.data(), buffer.size());
}

}  // namespace

std::optional<std::string> AuthOffer::parameter(const std::string& name) const {
  auto it = parameters.find(name);
  if (it == parameters.end()) return std::nullopt;
  return it->second;
}

std::vector<AuthOffer> parseAuthenticateFields(const std::vector<std::string>& values) {
  std::vector<AuthOffer> offers;
  for (const auto& value : values)
    parseField(value, offers);
  return offers;
}

std::optional<AuthScheme> authSchemeOf(const AuthOffer& offer) {
  if (offer.scheme == "digest") return AuthScheme::digest;
  if (offer.scheme == "basic") return AuthScheme::basic;
  if (offer.scheme == "ntlm") return AuthScheme::ntlm;
  if (offer.scheme == "negotiate") return AuthScheme::negotiate;
  return std::nullopt;
}

const char* authenticationMethodFor(AuthScheme scheme) {
  switch (scheme) {
    case AuthScheme::digest:
      return URLProtectionSpace::methodHTTPDigest;
    case AuthScheme::basic:
      return URLProtectionSpace::methodHTTPBasic;
    case AuthScheme::ntlm:
      return URLProtectionSpace::methodNTLM;
    case AuthScheme::negotiate:
      return URLProtectionSpace::methodNegotiate;
  }
  return URLProtectionSpace::methodDefault;
}

bool canAnswerDigest(const AuthOffer& offer) {
  if (offer.scheme != "digest" || !offer.parameter("nonce")) return false;
  if (!digestAlgorithmOf(offer)) return false;
  return offersAuthQuality(offer).value_or(true);
}

std::optional<std::string> digestAuthorization(const AuthOffer& offer, const DigestInput& input) {
  if (!canAnswerDigest(offer)) return std::nullopt;
  const DigestAlgorithm algorithm = *digestAlgorithmOf(offer);
  const std::string realm = offer.parameter("realm").value_or("");
  const std::string nonce = *offer.parameter("nonce");
  const bool qop = offersAuthQuality(offer).value_or(false);
  char nc[9];
  std::snprintf(nc, sizeof nc, "%08x", static_cast<unsigned>(input.nonceCount));

  std::string ha1 = hashHex(algorithm.md, input.user + ":" + realm + ":" + input.password);
  if (algorithm.session) ha1 = hashHex(algorithm.md, ha1 + ":" + nonce + ":" + input.cnonce);
  const std::string ha2 = hashHex(algorithm.md, input.method + ":" + input.uri);
  const std::string response = qop ? hashHex(algorithm.md, ha1 + ":" + nonce + ":" + nc + ":" +
                                                               input.cnonce + ":auth:" + ha2)
                                   : hashHex(algorithm.md, ha1 + ":" + nonce + ":" + ha2);
  if (ha1.empty() || ha2.empty() || response.empty()) return std::nullopt;

  std::string out = "Digest " + userParameter(input.user) + ", realm=" + quoted(realm) +
                    ", nonce=" + quoted(nonce) + ", uri=" + quoted(input.uri);
  if (auto name = offer.parameter("algorithm")) out += ", algorithm=" + *name;
  out += ", response=" + quoted(response);
  if (auto opaque = offer.parameter("opaque")) out += ", opaque=" + quoted(*opaque);
  if (qop) out += ", qop=auth, nc=" + std::string(nc) + ", cnonce=" + quoted(input.cnonce);
  return out;
}

HTTPAuthentication::Step HTTPAuthentication::unauthorized(
    const URL& url, const std::vector<std::string>& fields, URLResponsePtr response,
    const std::shared_ptr<URLCredentialStorage>& storage) {
  url_ = url;
  response_ = std::move(response);
  storage_ = storage;
  fields_ = fields;
  if (inUse_ && (inUse_->scheme == AuthScheme::ntlm || inUse_->scheme == AuthScheme::negotiate)) {
    // libcurl carries its own handshake on, sometimes with requests of its own: only the 401
    // it ends with counts, once the transfer is over (`settle`).
    discardingBody_ = true;
    deferred_ = true;
    return Step::ignore;
  }
  return evaluate();
}

HTTPAuthentication::Step HTTPAuthentication::settle() {
  deferred_ = false;
  return evaluate();
}

HTTPAuthentication::Step HTTPAuthentication::evaluate() {
  auto parsed = parseAuthenticateFields(fields_);
  // A server that names a new realm with every 401 would otherwise be answered forever.
  if (replays_ >= kMaximumReplays) {
    inUse_.reset();
    pending_.reset();
    return Step::deliver;
  }
  offers_.clear();
  for (auto& offer : parsed) {
    auto scheme = authSchemeOf(offer);
    if (!scheme) continue;
    if (*scheme == AuthScheme::digest && !canAnswerDigest(offer)) continue;
    offers_.emplace_back(*scheme, std::move(offer));
  }
  // Preferred first; offers of one scheme keep the server's order.
  std::stable_sort(offers_.begin(), offers_.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  current_ = 0;

  if (inUse_ && inUse_->scheme == AuthScheme::digest) {
    // A Digest answer refused as stale had the right password and an old nonce: it goes again
    // with the new nonce, without counting as a failure and without asking anyone.
    const auto realm = inUse_->offer.parameter("realm");
    for (const auto& [scheme, offer] : offers_) {
      if (scheme != AuthScheme::digest || offer.parameter("realm") != realm) continue;
      if (lowercase(offer.parameter("stale").value_or("")) != "true") continue;
      pending_ = Pending{offer, scheme, inUse_->space, inUse_->credential};
      inUse_.reset();
      return Step::replay;
    }
  }
  // The credential sent with this request did not pass.
  if (inUse_) {
    ++failures_[inUse_->space];
    if (inUse_->scheme != AuthScheme::basic) refusedSecrets_.push_back(inUse_->credential);
  }
  inUse_.reset();
  pending_.reset();
  if (offers_.empty()) return Step::deliver;
  return raise();
}

HTTPAuthentication::Step HTTPAuthentication::raise() {
  const auto& [scheme, offer] = offers_[current_];
  const std::string protocol = lowercase(url_->scheme().value_or("http"));
  URLProtectionSpace space(lowercase(url_->host().value_or("")),
                           url_->port().value_or(protocol == "https" ? 443 : 80), protocol,
                           offer.parameter("realm"), authenticationMethodFor(scheme));
  const int failures = failures_.contains(space) ? failures_.at(space) : 0;
  challenge_ = std::make_shared<const URLAuthenticationChallenge>(space, defaultCredential(space),
                                                                  failures, response_);
  return Step::challenge;
}

std::optional<URLCredential> HTTPAuthentication::defaultCredential(
    const URLProtectionSpace& space) const {
  if (storage_) {
    auto stored = storage_->defaultCredential(space);
    if (stored && stored->kind() == URLCredential::Kind::password) return stored;
  }
  if (url_) {
    auto user = url_->user();
    if (user && !user->empty()) {
      return URLCredential(*user, url_->password().value_or(""), URLCredential::Persistence::none);
    }
  }
  return std::nullopt;
}

HTTPAuthentication::Step HTTPAuthentication::answer(
    Disposition disposition, const std::optional<URLCredential>& credential) {
  if (!challenge_ || current_ >= offers_.size()) return Step::deliver;
  const auto& space = challenge_->protectionSpace();
  switch (disposition) {
    case Disposition::cancelAuthenticationChallenge:
      return Step::cancel;
    case Disposition::useCredential:
      // Only a user and password can answer; anything else counts as no credential, and
      // without one the 401 stands.
      if (credential && credential->kind() == URLCredential::Kind::password) {
        return replayWith(*credential);
      }
      return Step::deliver;
    case Disposition::performDefaultHandling:
      // Only a first attempt: a stored credential that failed would fail again forever.
      if (challenge_->previousFailureCount() == 0) {
        if (auto stored = defaultCredential(space)) return replayWith(*stored);
      }
      return Step::deliver;
    case Disposition::rejectProtectionSpace:
      if (++current_ < offers_.size()) return raise();
      return Step::deliver;
  }
  return Step::deliver;
}

HTTPAuthentication::Step HTTPAuthentication::replayWith(const URLCredential& credential) {
  const auto& [scheme, offer] = offers_[current_];
  // A password a challenge-response scheme kept secret, and that the server refused there,
  // never goes out in clear over an unencrypted connection for a weaker scheme to try.
  if (scheme == AuthScheme::basic && lowercase(url_->scheme().value_or("http")) != "https") {
    for (const auto& refused : refusedSecrets_) {
      if (refused.user() == credential.user() && refused.password() == credential.password()) {
        return Step::deliver;
      }
    }
  }
  pending_ = Pending{offer, scheme, challenge_->protectionSpace(), credential};
  return Step::replay;
}

void HTTPAuthentication::applyTo(CURL* easy, curl_slist*& headers, const std::string& method,
                                 const URL& url) {
  if (!pending_) return forget(easy);
  inUse_ = std::move(pending_);
  pending_.reset();
  ++replays_;
  // libcurl never carries these to another host on its own; the layer's redirects call
  // `forget` first.
  curl_easy_setopt(easy, CURLOPT_UNRESTRICTED_AUTH, 0L);
  const auto& credential = inUse_->credential;
  if (inUse_->scheme == AuthScheme::digest) {
    curl_easy_setopt(easy, CURLOPT_HTTPAUTH, CURLAUTH_NONE);
    curl_easy_setopt(easy, CURLOPT_USERNAME, nullptr);
    curl_easy_setopt(easy, CURLOPT_PASSWORD, nullptr);
    std::string uri = url.percentEncodedPath();
    if (uri.empty()) uri = "/";
    if (auto query = url.query()) uri += "?" + *query;
    const std::string nonce = inUse_->offer.parameter("nonce").value_or("");
    DigestInput input{credential.user(), credential.password(), method, uri,
                      randomHex(16),     ++nonceCounts_[nonce]};
    if (auto value = digestAuthorization(inUse_->offer, input);
        value && isSendableHeaderValue(*value)) {
      headers = curl_slist_append(headers, ("Authorization: " + *value).c_str());
    }
    return;
  }
  const unsigned long curlScheme = inUse_->scheme == AuthScheme::basic  ? CURLAUTH_BASIC
                                   : inUse_->scheme == AuthScheme::ntlm ? CURLAUTH_NTLM
                                                                        : CURLAUTH_NEGOTIATE;
  curl_easy_setopt(easy, CURLOPT_HTTPAUTH, curlScheme);
  curl_easy_setopt(easy, CURLOPT_USERNAME, credential.user().c_str());
  curl_easy_setopt(easy, CURLOPT_PASSWORD, credential.password().c_str());
}

void HTTPAuthentication::forget(CURL* easy) {
  pending_.reset();
  inUse_.reset();
  discardingBody_ = false;
  deferred_ = false;
  // Nothing is sent before a server asks, not even the user information of the URL.
  curl_easy_setopt(easy, CURLOPT_UNRESTRICTED_AUTH, 0L);
  curl_easy_setopt(easy, CURLOPT_HTTPAUTH, CURLAUTH_NONE);
  curl_easy_setopt(easy, CURLOPT_USERNAME, nullptr);
  curl_easy_setopt(easy, CURLOPT_PASSWORD, nullptr);
}

}  // namespace platform::net_detail
