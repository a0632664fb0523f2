#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "halyard/core/parameter_encoding.h"
#include "halyard/encoding/form_encoding_options.h"

namespace halyard {

// Writes a parameter dictionary as "key=value" pairs joined by "&", into the URL's query or the
// body. Nested dictionaries and lists become bracketed keys ("user[name]", "ids[]").
class URLEncoding : public ParameterEncoding {
 public:
  enum class Destination { methodDependent, queryString, httpBody };

  using ArrayEncoding = halyard::ArrayEncoding;
  using BoolEncoding = halyard::BoolEncoding;

  using QueryComponent = std::pair<std::string, std::string>;  // escaped key, escaped value

  explicit URLEncoding(Destination destination = Destination::methodDependent,
                       ArrayEncoding arrayEncoding = ArrayEncoding::brackets(),
                       BoolEncoding boolEncoding = BoolEncoding::numeric)
      : destination(destination),
        arrayEncoding(std::move(arrayEncoding)),
        boolEncoding(boolEncoding) {}

  static URLEncoding methodDependentPreset() { return URLEncoding(); }
  static URLEncoding queryStringPreset() { return URLEncoding(Destination::queryString); }
  static URLEncoding httpBodyPreset() { return URLEncoding(Destination::httpBody); }

  // The query for GET, HEAD and DELETE (or always, or never, as `destination` says); otherwise
  // the body with the form content type, unless the request names a content type already. A
  // request without a method always gets a body. Throws what building the request throws, and
  // `parameterEncodingFailed(missingURL)` when the query is chosen and there is no URL.
  platform::URLRequest encodeParameterDictionary(
      const URLRequestConvertible& urlRequest,
      const std::optional<Parameters>& parameters) const override;

  // The escaped pairs one value stands for: one for a scalar, one per leaf of a dictionary or
  // list. Null is written "null", bytes as Base64, numbers as the JSON writer writes them.
  std::vector<QueryComponent> makeQueryComponents(const std::string& key,
                                                  const platform::Value& value) const;
  // Every byte outside the query-value set becomes "%XY".
  static std::string percentEscape(std::string_view text);
  // Pairs of the keys in text order, joined by "&".
  std::string makeQuery(const Parameters& parameters) const;

  Destination destination;
  ArrayEncoding arrayEncoding;
  BoolEncoding boolEncoding;

 private:
  void appendComponents(const std::string& key, const platform::Value& value,
                        std::vector<QueryComponent>& out) const;
};

}  // namespace halyard
