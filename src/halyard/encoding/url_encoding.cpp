#include "halyard/encoding/url_encoding.h"

#include <algorithm>
#include <variant>

#include "halyard/core/halyard_error.h"
#include "halyard/core/http_method.h"
#include "halyard/core/value_text.h"
#include "halyard/encoding/query_value_characters.h"
#include "platform/coding/json_text.h"
#include "platform/net/url_components.h"

namespace halyard {

namespace {

const char* const kFormContentType = "application/x-www-form-urlencoded; charset=utf-8";

bool encodesInQuery(const std::optional<std::string>& method) {
  return *method == HTTPMethod::GET.rawValue || *method == HTTPMethod::HEAD.rawValue ||
         *method == HTTPMethod::DELETE.rawValue;
}

}  // namespace

std::string URLEncoding::percentEscape(std::string_view text) {
  return platform::addingPercentEncoding(text, queryValueAllowedCharacters());
}

void URLEncoding::appendComponents(const std::string& key, const platform::Value& value,
                                   std::vector<QueryComponent>& out) const {
  auto scalar = [&](const std::string& text) {
    out.emplace_back(percentEscape(key), percentEscape(text));
  };
  struct Visitor {
    const URLEncoding& self;
    const std::string& key;
    std::vector<QueryComponent>& out;
    decltype(scalar)& write;
    void operator()(const platform::Value::Dictionary& dictionary) const {
      for (const auto& [entryKey, entry] : dictionary)
        self.appendComponents(key + "[" + entryKey + "]", entry, out);
    }
    void operator()(const platform::Value::Array& array) const {
      for (std::size_t i = 0; i < array.size(); ++i)
        self.appendComponents(self.arrayEncoding.encode(key, static_cast<int>(i)), array[i], out);
    }
    // Only a bool is a Boolean: integers of every width are numbers, written in decimal.
    void operator()(bool b) const {
      if (self.boolEncoding == BoolEncoding::numeric) {
        write(b ? "1" : "0");
      } else {
        write(b ? "true" : "false");
      }
    }
    void operator()(std::int64_t i) const { write(std::to_string(i)); }
    void operator()(std::uint64_t u) const { write(std::to_string(u)); }
    void operator()(double d) const { write(platform::json_detail::formatDouble(d)); }
    void operator()(const std::string& s) const { write(s); }
    void operator()(const platform::Value::Null&) const { write("null"); }
    void operator()(const platform::Value::Bytes& bytes) const { write(base64(bytes)); }
  };
  std::visit(Visitor{*this, key, out, scalar}, value.storage());
}

std::vector<URLEncoding::QueryComponent> URLEncoding::makeQueryComponents(
    const std::string& key, const platform::Value& value) const {
  std::vector<QueryComponent> out;
  appendComponents(key, value, out);
  return out;
}

std::string URLEncoding::makeQuery(const Parameters& parameters) const {
  // A std::map iterates its keys in text order already.
  std::vector<QueryComponent> components;
  for (const auto& [key, value] : parameters)
    appendComponents(key, value, components);
  std::string query;
  for (std::size_t i = 0; i < components.size(); ++i) {
    if (i > 0) query += '&';
    query += components[i].first;
    query += '=';
    query += components[i].second;
  }
  return query;
}

platform::URLRequest URLEncoding::encodeParameterDictionary(
    const URLRequestConvertible& urlRequest, const std::optional<Parameters>& parameters) const {
  platform::URLRequest request = urlRequest.toURLRequest();
  if (!parameters) return request;

  const bool inQuery =
      request.httpMethod &&
      (destination == Destination::queryString ||
       (destination == Destination::methodDependent && encodesInQuery(request.httpMethod)));
  if (inQuery) {
    if (!request.url) {
      throw HalyardError::parameterEncodingFailed(
          HalyardError::ParameterEncodingFailureReason::MissingURL{});
    }
    if (parameters->empty()) return request;
    platform::URLComponents components(*request.url);
    const auto& existing = components.percentEncodedQuery();
    components.setPercentEncodedQuery((existing ? *existing + "&" : std::string()) +
                                      makeQuery(*parameters));
    auto url = components.url();
    // Replacing the query of a URL that parsed cannot make it unreadable; should it ever, the
    // request fails rather than going out without its parameters.
    if (!url) {
      throw HalyardError::parameterEncodingFailed(
          HalyardError::ParameterEncodingFailureReason::MissingURL{});
    }
    request.url = std::move(*url);
    return request;
  }

  if (!request.valueForHTTPHeaderField("Content-Type")) {
    request.setValueForHTTPHeaderField(kFormContentType, "Content-Type");
  }
  const std::string query = makeQuery(*parameters);
  request.httpBody = platform::Bytes(query.begin(), query.end());
  return request;
}

ParameterEncodingPtr defaultParameterEncoding() {
  return std::make_shared<const URLEncoding>();
}

}  // namespace halyard
