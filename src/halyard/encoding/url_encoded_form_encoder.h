#pragma once

// Writes any encodable value as application/x-www-form-urlencoded text. The value first writes
// itself into a tree of texts, lists and keyed pairs through the coder interface; the tree is
// then flattened into "key=value" pairs joined by "&", nested keys and list elements turned
// into compound keys ("user[name]", "ids[]"), every key and value percent-escaped.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "halyard/encoding/form_encoding_options.h"
#include "platform/coding/coder.h"
#include "platform/foundation/date.h"
#include "platform/foundation/error.h"
#include "platform/net/percent_encoding.h"
#include "platform/time/date_formatter.h"

namespace halyard {

class URLEncodedFormEncoder {
 public:
  using Bytes = std::vector<std::uint8_t>;

  using ArrayEncoding = halyard::ArrayEncoding;
  using BoolEncoding = halyard::BoolEncoding;

  class DataEncoding {
   public:
    enum class Kind { custom, deferredToData, base64 };
    using Function = std::function<std::string(const Bytes&)>;  // may throw

    static DataEncoding custom(Function function) { return {Kind::custom, std::move(function)}; }
    static DataEncoding deferredToData() { return {Kind::deferredToData, nullptr}; }
    static DataEncoding base64() { return {Kind::base64, nullptr}; }

    Kind kind() const { return kind_; }
    const Function& function() const { return function_; }

   private:
    DataEncoding(Kind kind, Function function) : kind_(kind), function_(std::move(function)) {}
    Kind kind_;
    Function function_;
  };

  class DateEncoding {
   public:
    enum class Kind {
      formatted,
      custom,
      deferredToDate,
      secondsSince1970,
      millisecondsSince1970,
      iso8601
    };
    using Function = std::function<std::string(platform::Date)>;  // may throw

    // The formatter is used under a process-wide lock while encoding, since one formatter must
    // not serve two threads at once; the caller must not use it elsewhere meanwhile.
    static DateEncoding formatted(std::shared_ptr<platform::DateFormatter> formatter) {
      return {Kind::formatted, std::move(formatter), nullptr};
    }
    static DateEncoding custom(Function function) {
      return {Kind::custom, nullptr, std::move(function)};
    }
    static DateEncoding deferredToDate() { return {Kind::deferredToDate, nullptr, nullptr}; }
    static DateEncoding secondsSince1970() { return {Kind::secondsSince1970, nullptr, nullptr}; }
    static DateEncoding millisecondsSince1970() {
      return {Kind::millisecondsSince1970, nullptr, nullptr};
    }
    // "2001-01-01T00:00:00Z": the internet date-time form in GMT, without fractions.
    static DateEncoding iso8601() { return {Kind::iso8601, nullptr, nullptr}; }

    Kind kind() const { return kind_; }
    const std::shared_ptr<platform::DateFormatter>& formatter() const { return formatter_; }
    const Function& function() const { return function_; }

   private:
    DateEncoding(Kind kind, std::shared_ptr<platform::DateFormatter> formatter, Function function)
        : kind_(kind), formatter_(std::move(formatter)), function_(std::move(function)) {}
    Kind kind_;
    std::shared_ptr<platform::DateFormatter> formatter_;
    Function function_;
  };

  // Applied to the complete key of every pair, brackets and dots included, before escaping.
  class KeyEncoding {
   public:
    enum class Kind {
      custom,
      useDefaultKeys,
      convertToSnakeCase,
      convertToKebabCase,
      capitalized,
      uppercased,
      lowercased
    };
    using Function = std::function<std::string(const std::string&)>;

    static KeyEncoding custom(Function function) { return {Kind::custom, std::move(function)}; }
    static KeyEncoding useDefaultKeys() { return {Kind::useDefaultKeys, nullptr}; }
    static KeyEncoding convertToSnakeCase() { return {Kind::convertToSnakeCase, nullptr}; }
    static KeyEncoding convertToKebabCase() { return {Kind::convertToKebabCase, nullptr}; }
    static KeyEncoding capitalized() { return {Kind::capitalized, nullptr}; }
    static KeyEncoding uppercased() { return {Kind::uppercased, nullptr}; }
    static KeyEncoding lowercased() { return {Kind::lowercased, nullptr}; }

    Kind kind() const { return kind_; }
    std::string encode(const std::string& key) const;
    // Words start at each upper-case letter; a run of capitals is one word up to the capital
    // before the next lower-case letter ("myURLValue" → "my_url_value"). The words are
    // lower-cased and joined with `separator`.
    static std::string splitCamelCase(const std::string& key, const std::string& separator);

   private:
    KeyEncoding(Kind kind, Function function) : kind_(kind), function_(std::move(function)) {}
    Kind kind_;
    Function function_;
  };

  // The text a nested key adds to its parent's key.
  struct KeyPathEncoding {
    std::function<std::string(const std::string& subkey)> encoding;
    static KeyPathEncoding bracketed();  // "[" + subkey + "]"
    static KeyPathEncoding dotted();     // "." + subkey
  };

  // The text written for a nil value, or none to leave the key out.
  struct NilEncoding {
    std::function<std::optional<std::string>()> encoding;
    static NilEncoding omitKey();
    static NilEncoding emptyValue();
    static NilEncoding nullLiteral();
  };

  enum class SpaceEncoding { percentEscaped, plusReplaced };

  // The value did not write a keyed object at the top level.
  class Error : public platform::Error {
   public:
    enum class Kind { invalidRootObject };
    static Error invalidRootObject(std::string description) {
      return Error(std::move(description));
    }
    Kind kind() const { return Kind::invalidRootObject; }
    // What the value produced, as "string(\"x\")", "array([...])".
    const std::string& description() const { return description_; }
    std::string localizedDescription() const override;
    std::string debugDescription() const override;

   private:
    explicit Error(std::string description) : description_(std::move(description)) {}
    std::string description_;
  };

  explicit URLEncodedFormEncoder(
      bool alphabetizeKeyValuePairs = true, ArrayEncoding arrayEncoding = ArrayEncoding::brackets(),
      BoolEncoding boolEncoding = BoolEncoding::numeric,
      DataEncoding dataEncoding = DataEncoding::base64(),
      DateEncoding dateEncoding = DateEncoding::deferredToDate(),
      KeyEncoding keyEncoding = KeyEncoding::useDefaultKeys(),
      KeyPathEncoding keyPathEncoding = KeyPathEncoding::bracketed(),
      NilEncoding nilEncoding = NilEncoding::omitKey(),
      SpaceEncoding spaceEncoding = SpaceEncoding::percentEscaped,
      std::optional<platform::URLCharacterSet> allowedCharacters = std::nullopt);

  bool alphabetizeKeyValuePairs() const { return alphabetizeKeyValuePairs_; }
  const ArrayEncoding& arrayEncoding() const { return arrayEncoding_; }
  BoolEncoding boolEncoding() const { return boolEncoding_; }
  const DataEncoding& dataEncoding() const { return dataEncoding_; }
  const DateEncoding& dateEncoding() const { return dateEncoding_; }
  const KeyEncoding& keyEncoding() const { return keyEncoding_; }
  const KeyPathEncoding& keyPathEncoding() const { return keyPathEncoding_; }
  const NilEncoding& nilEncoding() const { return nilEncoding_; }
  SpaceEncoding spaceEncoding() const { return spaceEncoding_; }
  // Read and replaced under the encoder's lock, so one encoder can serve several threads while
  // another replaces the set; an encoding in progress keeps the set it started with.
  platform::URLCharacterSet allowedCharacters() const;
  void setAllowedCharacters(platform::URLCharacterSet characters);

  // Throws Error, an EncodingError, or whatever the value or a custom conversion throws.
  template <class T>
  std::string encodeToString(const T& value) const {
    return encodeWith(
        [&value](platform::Encoder& encoder) { platform::encodeValue(encoder, value); });
  }
  // The UTF-8 bytes of `encodeToString`.
  template <class T>
  Bytes encodeToData(const T& value) const {
    const std::string text = encodeToString(value);
    return Bytes(text.begin(), text.end());
  }

  std::string encodeWith(const std::function<void(platform::Encoder&)>& write) const;

 private:
  const bool alphabetizeKeyValuePairs_;
  const ArrayEncoding arrayEncoding_;
  const BoolEncoding boolEncoding_;
  const DataEncoding dataEncoding_;
  const DateEncoding dateEncoding_;
  const KeyEncoding keyEncoding_;
  const KeyPathEncoding keyPathEncoding_;
  const NilEncoding nilEncoding_;
  const SpaceEncoding spaceEncoding_;
  mutable std::mutex allowedCharactersLock_;
  platform::URLCharacterSet allowedCharacters_;
};

}  // namespace halyard
