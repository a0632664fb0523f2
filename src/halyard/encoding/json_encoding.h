#pragma once

#include "halyard/core/parameter_encoding.h"
#include "platform/coding/json_serialization.h"
#include "platform/foundation/error.h"

namespace halyard {

// Writes a parameter dictionary, or any JSON object, as a JSON body. Object keys come out in
// text order, since dictionaries are ordered by key.
class JSONEncoding : public ParameterEncoding {
 public:
  // The value is not one the JSON writer accepts (a top level that is neither a list nor a
  // dictionary, NaN or an infinity, bytes, text that is not UTF-8).
  class Error : public platform::Error {
   public:
    enum class Kind { invalidJSONObject };
    static Error invalidJSONObject() { return Error(); }
    Kind kind() const { return Kind::invalidJSONObject; }
    std::string localizedDescription() const override;
    std::string debugDescription() const override { return "invalidJSONObject"; }
  };

  // `platform::JSONSerialization::WritingOptions` flags.
  explicit JSONEncoding(unsigned options = 0) : options(options) {}

  static JSONEncoding defaultPreset() { return JSONEncoding(); }
  static JSONEncoding prettyPrintedPreset() {
    return JSONEncoding(platform::JSONSerialization::prettyPrinted);
  }

  // Sets "Content-Type: application/json" unless the request names a content type. Throws
  // what building the request throws, and `parameterEncodingFailed(jsonEncodingFailed(…))`.
  platform::URLRequest encodeParameterDictionary(
      const URLRequestConvertible& urlRequest,
      const std::optional<Parameters>& parameters) const override;
  platform::URLRequest encodeJSONObject(const URLRequestConvertible& urlRequest,
                                        const std::optional<platform::Value>& jsonObject) const;

  unsigned options;
};

}  // namespace halyard
