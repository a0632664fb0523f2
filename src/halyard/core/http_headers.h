#pragma once

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace halyard {

// One header name and value.
struct HTTPHeader {
  std::string name;
  std::string value;

  bool operator==(const HTTPHeader&) const = default;
  std::string description() const { return name + ": " + value; }

  static HTTPHeader makeAccept(std::string value) { return {"Accept", std::move(value)}; }
  static HTTPHeader makeAcceptCharset(std::string value) {
    return {"Accept-Charset", std::move(value)};
  }
  static HTTPHeader makeAcceptLanguage(std::string value) {
    return {"Accept-Language", std::move(value)};
  }
  static HTTPHeader makeAcceptEncoding(std::string value) {
    return {"Accept-Encoding", std::move(value)};
  }
  static HTTPHeader makeBasicAuthorization(std::string_view username, std::string_view password);
  static HTTPHeader makeAuthorization(std::string value) {
    return {"Authorization", std::move(value)};
  }
  static HTTPHeader makeBearerAuthorization(std::string_view token) {
    return {"Authorization", "Bearer " + std::string(token)};
  }
  static HTTPHeader makeContentDisposition(std::string value) {
    return {"Content-Disposition", std::move(value)};
  }
  static HTTPHeader makeContentEncoding(std::string value) {
    return {"Content-Encoding", std::move(value)};
  }
  static HTTPHeader makeContentType(std::string value) {
    return {"Content-Type", std::move(value)};
  }
  static HTTPHeader makeUserAgent(std::string value) { return {"User-Agent", std::move(value)}; }
  static HTTPHeader makeWebSocketProtocol(std::string value) {
    return {"Sec-WebSocket-Protocol", std::move(value)};
  }

  // The default values, each built once on first use and never refreshed.
  static const HTTPHeader& standardAcceptEncoding();
  static const HTTPHeader& standardAcceptLanguage();
  static const HTTPHeader& standardUserAgent();
};

// An ordered list of headers whose names match without regard to case. Adding a header whose
// name is already present replaces that header in place, so a list built through these
// operations holds one header per name, at the position where the name first entered.
class HTTPHeaders {
 public:
  using Dictionary = std::map<std::string, std::string>;
  using const_iterator = std::vector<HTTPHeader>::const_iterator;

  HTTPHeaders() = default;
  HTTPHeaders(std::initializer_list<HTTPHeader> headers);
  explicit HTTPHeaders(const std::vector<HTTPHeader>& headers);
  explicit HTTPHeaders(const Dictionary& dictionary);
  static HTTPHeaders fromPairs(const std::vector<std::pair<std::string, std::string>>& pairs);

  void replaceOrAppend(std::string name, std::string value);
  void replaceOrAppend(HTTPHeader header) {
    replaceOrAppend(std::move(header.name), std::move(header.value));
  }
  void add(HTTPHeader header) { replaceOrAppend(std::move(header)); }
  void update(HTTPHeader header) { replaceOrAppend(std::move(header)); }
  void mergeDictionary(const Dictionary& dictionary);
  void removeNamed(std::string_view name);

  std::optional<std::string> valueForName(std::string_view name) const;
  std::optional<std::string> operator[](std::string_view name) const { return valueForName(name); }
  // The subscript's write side: a value replaces or appends, no value removes.
  void setValueForName(std::string_view name, std::optional<std::string> value);

  void sortByName();
  HTTPHeaders sortedByName() const;

  Dictionary toDictionary() const;
  std::vector<std::string> nameValueLines() const;
  std::string description() const;

  const std::vector<HTTPHeader>& headers() const { return headers_; }
  std::size_t size() const { return headers_.size(); }
  bool empty() const { return headers_.empty(); }
  const HTTPHeader& operator[](std::size_t position) const { return headers_.at(position); }
  const_iterator begin() const { return headers_.begin(); }
  const_iterator end() const { return headers_.end(); }

  bool operator==(const HTTPHeaders&) const = default;

  // Accept-Encoding, Accept-Language and User-Agent, in that order; built once on first use.
  static const HTTPHeaders& defaultHeaders();

 private:
  std::vector<HTTPHeader>::iterator find(std::string_view name);
  std::vector<HTTPHeader>::const_iterator find(std::string_view name) const;

  std::vector<HTTPHeader> headers_;
};

// Lowercases ASCII letters; header names are tokens, which are ASCII.
std::string lowercasedHeaderName(std::string_view name);
bool headerNamesMatch(std::string_view lhs, std::string_view rhs);

namespace detail {

// "a;q=1.0, b;q=0.9, ..." with the weight of position i computed as i × (−0.1) + 1.0.
std::string qualityWeightedList(const std::vector<std::string>& tokens);

// The user's preferred languages as BCP 47 tags ("de_DE.UTF-8" → "de-DE"), read from the
// locale variables the way gettext does: LANGUAGE (a colon-separated list) unless the locale
// is "C", then LC_ALL, LC_MESSAGES, LANG. A process without any language is treated as "en".
std::vector<std::string> preferredLanguages(
    const std::function<std::optional<std::string>(const char*)>& environment);

// The User-Agent text from the bundle's information dictionary (absent when there is none),
// the process's first argument and the kernel release (uname's release, e.g. "6.1.0-18-amd64").
std::string makeUserAgent(const std::optional<std::map<std::string, std::string>>& info,
                          std::string_view firstArgument, std::string_view kernelRelease);

}  // namespace detail

}  // namespace halyard

template <>
struct std::hash<halyard::HTTPHeader> {
  std::size_t operator()(const halyard::HTTPHeader& header) const;
};
template <>
struct std::hash<halyard::HTTPHeaders> {
  std::size_t operator()(const halyard::HTTPHeaders& headers) const;
};
