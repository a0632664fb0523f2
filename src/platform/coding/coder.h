#pragma once

// The coding model shared by every format: a type describes itself to a Decoder or an Encoder
// through keyed, unkeyed and single-value containers, and errors name the coding path of the
// value that failed.
//
// A type T is decodable when it has `static T decode(platform::Decoder&)` or when a free
// function `decode(platform::Decoder&, T&)` is found for it (by argument-dependent lookup).
// It is encodable when it has `void encode(platform::Encoder&) const` or a free
// `encode(platform::Encoder&, const T&)`. Built in: bool, every integer type, float, double,
// std::string, std::vector<T>, std::optional<T>, std::map<std::string, T> and
// platform::Value; std::vector<std::uint8_t> travels as a byte buffer (`encodeBytes`,
// `decodeBytes`) and platform::Date, with date_coding.h, as a date (`encodeDate`, `decodeDate`).

#include <concepts>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/coding/value.h"
#include "platform/foundation/date.h"
#include "platform/foundation/error.h"

namespace platform {

// One step of a coding path: a dictionary key, or an array index (then `intValue` is set and
// `stringValue` reads "Index N").
struct CodingKey {
  std::string stringValue;
  std::optional<int> intValue;

  static CodingKey key(std::string name) { return {std::move(name), std::nullopt}; }
  static CodingKey index(int i) { return {"Index " + std::to_string(i), i}; }
  bool operator==(const CodingKey&) const = default;
};
using CodingPath = std::vector<CodingKey>;

// "user.items[2].name"; "" for the top level.
std::string describeCodingPath(const CodingPath& path);

class DecodingError : public Error {
 public:
  enum class Kind { typeMismatch, valueNotFound, keyNotFound, dataCorrupted };
  struct Context {
    CodingPath codingPath;
    std::string debugDescription;
    ErrorPtr underlyingError;
  };

  // `subject`: the expected type (typeMismatch, valueNotFound) or the missing key
  // (keyNotFound); unused for dataCorrupted.
  DecodingError(Kind kind, Context context, std::string subject = {});

  static DecodingError typeMismatch(std::string expectedType, Context context) {
    return DecodingError(Kind::typeMismatch, std::move(context), std::move(expectedType));
  }
  static DecodingError valueNotFound(std::string expectedType, Context context) {
    return DecodingError(Kind::valueNotFound, std::move(context), std::move(expectedType));
  }
  static DecodingError keyNotFound(std::string key, Context context) {
    return DecodingError(Kind::keyNotFound, std::move(context), std::move(key));
  }
  static DecodingError dataCorrupted(Context context) {
    return DecodingError(Kind::dataCorrupted, std::move(context));
  }

  Kind kind() const { return kind_; }
  const Context& context() const { return context_; }
  const std::string& subject() const { return subject_; }

  // "The data couldn't be read because it is missing." (keyNotFound, valueNotFound) or
  // "The data couldn't be read because it isn't in the correct format." (the others).
  std::string localizedDescription() const override;
  // The kind, the subject, the coding path and the context's description.
  std::string debugDescription() const override;

 private:
  Kind kind_;
  Context context_;
  std::string subject_;
};

class EncodingError : public Error {
 public:
  struct Context {
    CodingPath codingPath;
    std::string debugDescription;
    ErrorPtr underlyingError;
  };
  // The only kind: a value the format cannot represent.
  EncodingError(std::string valueDescription, Context context)
      : valueDescription_(std::move(valueDescription)), context_(std::move(context)) {}

  const std::string& valueDescription() const { return valueDescription_; }
  const Context& context() const { return context_; }
  std::string localizedDescription() const override;
  std::string debugDescription() const override;

 private:
  std::string valueDescription_;
  Context context_;
};

class Decoder;
class Encoder;

// ---------------------------------------------------------------------------------------------
// Decodable

template <class T>
concept HasStaticDecode = requires(Decoder& decoder) {
  { T::decode(decoder) } -> std::convertible_to<T>;
};

namespace coding_detail {
template <class T>
concept HasFreeDecode = requires(Decoder& decoder, T& value) {
  decode(decoder, value);
};
template <class T>
concept HasMemberEncode = requires(const T& value, Encoder& encoder) {
  value.encode(encoder);
};
template <class T>
concept HasFreeEncode = requires(const T& value, Encoder& encoder) {
  encode(encoder, value);
};
template <class T>
struct IsVector : std::false_type {};
template <class T, class A>
struct IsVector<std::vector<T, A>> : std::true_type {};
template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};
template <class T>
struct IsStringMap : std::false_type {};
template <class T, class C, class A>
struct IsStringMap<std::map<std::string, T, C, A>> : std::true_type {};
}  // namespace coding_detail

// Integers other than bool (and other than plain char, which is text, not a number).
template <class T>
concept CodingInteger = std::integral<T> && !std::same_as<T, bool> && !std::same_as<T, char>;

// A name for T in error texts ("Int32", "String", "Array<…>").
template <class T>
std::string codingTypeName();

class KeyedDecodingContainer;
class UnkeyedDecodingContainer;
class SingleValueDecodingContainer;

// Reads one value of a document. Formats implement it.
class Decoder {
 public:
  virtual ~Decoder() = default;
  virtual const CodingPath& codingPath() const = 0;
  // The value as a dictionary; throws typeMismatch when it is not one (valueNotFound for null).
  virtual std::unique_ptr<KeyedDecodingContainer> container() = 0;
  // The value as an array; throws likewise.
  virtual std::unique_ptr<UnkeyedDecodingContainer> unkeyedContainer() = 0;
  virtual std::unique_ptr<SingleValueDecodingContainer> singleValueContainer() = 0;
};

// Decodes a T from `decoder` by whichever form T supports.
template <class T>
T decodeValue(Decoder& decoder);

class SingleValueDecodingContainer {
 public:
  virtual ~SingleValueDecodingContainer() = default;
  virtual const CodingPath& codingPath() const = 0;
  virtual bool decodeNil() = 0;  // whether the value is null
  virtual bool decodeBool() = 0;
  // An integer within [min, max]; a number outside, or with a fraction, is dataCorrupted.
  virtual std::int64_t decodeSigned(std::int64_t min, std::int64_t max,
                                    std::string_view typeName) = 0;
  virtual std::uint64_t decodeUnsigned(std::uint64_t max, std::string_view typeName) = 0;
  virtual double decodeDouble(std::string_view typeName) = 0;
  virtual std::string decodeString() = 0;
  // The value whatever its shape, as a loosely typed tree.
  virtual Value decodeDynamicValue() = 0;
  // Dates and byte buffers, for formats with a form of their own for them. The defaults read
  // what a date and a byte buffer encode to by themselves: the seconds since
  // 2001-01-01T00:00:00Z, and a list of unsigned numbers.
  virtual Date decodeDate();
  virtual std::vector<std::uint8_t> decodeBytes();
  // The decoder this container reads from, for nested decodable types.
  virtual Decoder& decoder() = 0;

  template <class T>
  T decode();
};

class KeyedDecodingContainer {
 public:
  virtual ~KeyedDecodingContainer() = default;
  virtual const CodingPath& codingPath() const = 0;
  virtual std::vector<std::string> allKeys() const = 0;  // in document order
  virtual bool contains(std::string_view key) const = 0;
  // Whether the key's value is null; keyNotFound when the key is missing.
  virtual bool decodeNil(std::string_view key) = 0;
  virtual bool decodeBool(std::string_view key) = 0;
  virtual std::int64_t decodeSigned(std::string_view key, std::int64_t min, std::int64_t max,
                                    std::string_view typeName) = 0;
  virtual std::uint64_t decodeUnsigned(std::string_view key, std::uint64_t max,
                                       std::string_view typeName) = 0;
  virtual double decodeDouble(std::string_view key, std::string_view typeName) = 0;
  virtual std::string decodeString(std::string_view key) = 0;
  // A decoder for the value under `key` (keyNotFound when missing).
  virtual std::unique_ptr<Decoder> decoderForKey(std::string_view key) = 0;
  virtual std::unique_ptr<KeyedDecodingContainer> nestedContainer(std::string_view key) = 0;
  virtual std::unique_ptr<UnkeyedDecodingContainer> nestedUnkeyedContainer(
      std::string_view key) = 0;

  // The value under `key` as a T; keyNotFound when missing, valueNotFound when null (unless T
  // is an optional).
  template <class T>
  T decode(std::string_view key);
  // Nothing when the key is missing or null.
  template <class T>
  std::optional<T> decodeIfPresent(std::string_view key);
};

class UnkeyedDecodingContainer {
 public:
  virtual ~UnkeyedDecodingContainer() = default;
  virtual const CodingPath& codingPath() const = 0;
  virtual std::optional<int> count() const = 0;
  virtual bool isAtEnd() const = 0;
  virtual int currentIndex() const = 0;
  // When the next element is null, moves past it and answers true; else answers false.
  // Every other read moves past the element only when it succeeds; at the end it throws
  // valueNotFound.
  virtual bool decodeNil() = 0;
  virtual bool decodeBool() = 0;
  virtual std::int64_t decodeSigned(std::int64_t min, std::int64_t max,
                                    std::string_view typeName) = 0;
  virtual std::uint64_t decodeUnsigned(std::uint64_t max, std::string_view typeName) = 0;
  virtual double decodeDouble(std::string_view typeName) = 0;
  virtual std::string decodeString() = 0;
  // A decoder for the next element; moves past it.
  virtual std::unique_ptr<Decoder> decoderForNextElement() = 0;
  virtual std::unique_ptr<KeyedDecodingContainer> nestedContainer() = 0;
  virtual std::unique_ptr<UnkeyedDecodingContainer> nestedUnkeyedContainer() = 0;

  template <class T>
  T decode();
  template <class T>
  std::optional<T> decodeIfPresent();  // nothing (and moves on) for null; throws at the end
};

// ---------------------------------------------------------------------------------------------
// Encodable

class KeyedEncodingContainer;
class UnkeyedEncodingContainer;
class SingleValueEncodingContainer;

// Writes one value of a document. Formats implement it. Containers write straight into the
// document being built and may be used in any order; asking twice for the keyed container
// of one value gives the same object back.
class Encoder {
 public:
  virtual ~Encoder() = default;
  virtual const CodingPath& codingPath() const = 0;
  virtual std::unique_ptr<KeyedEncodingContainer> container() = 0;
  virtual std::unique_ptr<UnkeyedEncodingContainer> unkeyedContainer() = 0;
  virtual std::unique_ptr<SingleValueEncodingContainer> singleValueContainer() = 0;
};

template <class T>
void encodeValue(Encoder& encoder, const T& value);

class SingleValueEncodingContainer {
 public:
  virtual ~SingleValueEncodingContainer() = default;
  virtual const CodingPath& codingPath() const = 0;
  virtual void encodeNil() = 0;
  virtual void encodeBool(bool value) = 0;
  virtual void encodeSigned(std::int64_t value) = 0;
  virtual void encodeUnsigned(std::uint64_t value) = 0;
  // Throws EncodingError for NaN and the infinities when the format has no form for them.
  virtual void encodeDouble(double value) = 0;
  // Throws EncodingError when the format needs valid UTF-8 and `value` is not.
  virtual void encodeString(std::string_view value) = 0;
  virtual void encodeDynamicValue(const Value& value) = 0;
  // Dates and byte buffers reach the format as what they are, so a format with a form of its
  // own for them can use it. The defaults write what a date and a byte buffer encode to by
  // themselves: the seconds since 2001-01-01T00:00:00Z, and a list of unsigned numbers.
  virtual void encodeDate(Date value);
  virtual void encodeBytes(const std::vector<std::uint8_t>& value);
  virtual Encoder& encoder() = 0;

  template <class T>
  void encode(const T& value);
};

class KeyedEncodingContainer {
 public:
  virtual ~KeyedEncodingContainer() = default;
  virtual const CodingPath& codingPath() const = 0;
  virtual void encodeNil(std::string_view key) = 0;
  virtual void encodeBool(bool value, std::string_view key) = 0;
  virtual void encodeSigned(std::int64_t value, std::string_view key) = 0;
  virtual void encodeUnsigned(std::uint64_t value, std::string_view key) = 0;
  virtual void encodeDouble(double value, std::string_view key) = 0;
  virtual void encodeString(std::string_view value, std::string_view key) = 0;
  // An encoder whose value lands under `key`.
  virtual std::unique_ptr<Encoder> encoderForKey(std::string_view key) = 0;
  virtual std::unique_ptr<KeyedEncodingContainer> nestedContainer(std::string_view key) = 0;
  virtual std::unique_ptr<UnkeyedEncodingContainer> nestedUnkeyedContainer(
      std::string_view key) = 0;

  // What an absent optional written with `encodeIfPresent` leaves under `key`: nothing by
  // default; a format that treats absence as null answers with its `encodeNil`.
  virtual void encodeAbsent(std::string_view key);

  template <class T>
  void encode(const T& value, std::string_view key);
  // Writes `value`, or `encodeAbsent(key)` when it is empty.
  template <class T>
  void encodeIfPresent(const std::optional<T>& value, std::string_view key);
};

class UnkeyedEncodingContainer {
 public:
  virtual ~UnkeyedEncodingContainer() = default;
  virtual const CodingPath& codingPath() const = 0;
  virtual int count() const = 0;
  virtual void encodeNil() = 0;
  virtual void encodeBool(bool value) = 0;
  virtual void encodeSigned(std::int64_t value) = 0;
  virtual void encodeUnsigned(std::uint64_t value) = 0;
  virtual void encodeDouble(double value) = 0;
  virtual void encodeString(std::string_view value) = 0;
  virtual std::unique_ptr<Encoder> encoderForNextElement() = 0;
  virtual std::unique_ptr<KeyedEncodingContainer> nestedContainer() = 0;
  virtual std::unique_ptr<UnkeyedEncodingContainer> nestedUnkeyedContainer() = 0;

  template <class T>
  void encode(const T& value);
};

// ---------------------------------------------------------------------------------------------
// Implementation of the templates.

template <class T>
std::string codingTypeName() {
  if constexpr (std::same_as<T, bool>) {
    return "Bool";
  } else if constexpr (CodingInteger<T>) {
    return std::string(std::is_signed_v<T> ? "Int" : "UInt") + std::to_string(sizeof(T) * 8);
  } else if constexpr (std::same_as<T, float>) {
    return "Float";
  } else if constexpr (std::floating_point<T>) {
    return "Double";
  } else if constexpr (std::same_as<T, std::string>) {
    return "String";
  } else if constexpr (coding_detail::IsVector<T>::value) {
    return "Array<" + codingTypeName<typename T::value_type>() + ">";
  } else if constexpr (coding_detail::IsOptional<T>::value) {
    return "Optional<" + codingTypeName<typename T::value_type>() + ">";
  } else if constexpr (coding_detail::IsStringMap<T>::value) {
    return "Dictionary<String, " + codingTypeName<typename T::mapped_type>() + ">";
  } else if constexpr (std::same_as<T, Value>) {
    return "Value";
  } else {
    return "Object";
  }
}

namespace coding_detail {

// Reads a primitive T through a container's primitive operations (`key` is the key of a keyed
// container, nothing otherwise). Returns false, reading nothing, when T is not primitive.
template <class T, class Container, class... Key>
bool decodePrimitive(Container& c, T& out, Key&&... key) {
  if constexpr (std::same_as<T, bool>) {
    out = c.decodeBool(key...);
    return true;
  } else if constexpr (CodingInteger<T> && std::is_signed_v<T>) {
    out = static_cast<T>(c.decodeSigned(key..., std::numeric_limits<T>::min(),
                                        std::numeric_limits<T>::max(), codingTypeName<T>()));
    return true;
  } else if constexpr (CodingInteger<T>) {
    out = static_cast<T>(
        c.decodeUnsigned(key..., std::numeric_limits<T>::max(), codingTypeName<T>()));
    return true;
  } else if constexpr (std::floating_point<T>) {
    out = static_cast<T>(c.decodeDouble(key..., codingTypeName<T>()));
    return true;
  } else if constexpr (std::same_as<T, std::string>) {
    out = c.decodeString(key...);
    return true;
  } else {
    return false;
  }
}

// Writes a primitive T likewise; false when T is not primitive.
template <class T, class Container, class... Key>
bool encodePrimitive(Container& c, const T& value, Key&&... key) {
  if constexpr (std::same_as<T, bool>) {
    c.encodeBool(value, key...);
    return true;
  } else if constexpr (CodingInteger<T> && std::is_signed_v<T>) {
    c.encodeSigned(static_cast<std::int64_t>(value), key...);
    return true;
  } else if constexpr (CodingInteger<T>) {
    c.encodeUnsigned(static_cast<std::uint64_t>(value), key...);
    return true;
  } else if constexpr (std::floating_point<T>) {
    c.encodeDouble(static_cast<double>(value), key...);
    return true;
  } else if constexpr (std::convertible_to<const T&, std::string_view>) {
    c.encodeString(std::string_view(value), key...);
    return true;
  } else {
    return false;
  }
}

}  // namespace coding_detail

template <class T>
T decodeValue(Decoder& decoder) {
  using coding_detail::IsOptional;
  using coding_detail::IsStringMap;
  using coding_detail::IsVector;
  if constexpr (HasStaticDecode<T>) {
    return T::decode(decoder);
  } else if constexpr (coding_detail::HasFreeDecode<T>) {
    T value{};
    decode(decoder, value);
    return value;
  } else if constexpr (std::same_as<T, std::vector<std::uint8_t>>) {
    return decoder.singleValueContainer()->decodeBytes();
  } else if constexpr (IsOptional<T>::value) {
    if (decoder.singleValueContainer()->decodeNil()) return std::nullopt;
    return T(decodeValue<typename T::value_type>(decoder));
  } else if constexpr (std::same_as<T, Value>) {
    return decoder.singleValueContainer()->decodeDynamicValue();
  } else if constexpr (IsVector<T>::value) {
    auto container = decoder.unkeyedContainer();
    T result;
    if (auto n = container->count()) result.reserve(static_cast<std::size_t>(*n));
    while (!container->isAtEnd()) {
      result.push_back(container->template decode<typename T::value_type>());
    }
    return result;
  } else if constexpr (IsStringMap<T>::value) {
    auto container = decoder.container();
    T result;
    for (const auto& key : container->allKeys()) {
      result.emplace(key, container->template decode<typename T::mapped_type>(key));
    }
    return result;
  } else {
    static_assert(std::same_as<T, bool> || CodingInteger<T> || std::floating_point<T> ||
                      std::same_as<T, std::string>,
                  "T is not decodable: give it `static T decode(platform::Decoder&)` or a free "
                  "`decode(platform::Decoder&, T&)`");
    T value{};
    coding_detail::decodePrimitive(*decoder.singleValueContainer(), value);
    return value;
  }
}

template <class T>
T SingleValueDecodingContainer::decode() {
  T value{};
  if constexpr (std::same_as<T, bool> || CodingInteger<T> || std::floating_point<T> ||
                std::same_as<T, std::string>) {
    coding_detail::decodePrimitive(*this, value);
    return value;
  } else {
    return decodeValue<T>(decoder());
  }
}

template <class T>
T KeyedDecodingContainer::decode(std::string_view key) {
  if constexpr (std::same_as<T, bool> || CodingInteger<T> || std::floating_point<T> ||
                std::same_as<T, std::string>) {
    T value{};
    coding_detail::decodePrimitive(*this, value, key);
    return value;
  } else {
    auto sub = decoderForKey(key);
    return decodeValue<T>(*sub);
  }
}

template <class T>
std::optional<T> KeyedDecodingContainer::decodeIfPresent(std::string_view key) {
  if (!contains(key) || decodeNil(key)) return std::nullopt;
  return decode<T>(key);
}

template <class T>
T UnkeyedDecodingContainer::decode() {
  if constexpr (std::same_as<T, bool> || CodingInteger<T> || std::floating_point<T> ||
                std::same_as<T, std::string>) {
    T value{};
    coding_detail::decodePrimitive(*this, value);
    return value;
  } else {
    auto sub = decoderForNextElement();
    return decodeValue<T>(*sub);
  }
}

template <class T>
std::optional<T> UnkeyedDecodingContainer::decodeIfPresent() {
  if (decodeNil()) return std::nullopt;
  return decode<T>();
}

template <class T>
void encodeValue(Encoder& encoder, const T& value) {
  using coding_detail::IsOptional;
  using coding_detail::IsStringMap;
  using coding_detail::IsVector;
  if constexpr (coding_detail::HasMemberEncode<T>) {
    value.encode(encoder);
  } else if constexpr (coding_detail::HasFreeEncode<T>) {
    encode(encoder, value);
  } else if constexpr (std::same_as<T, std::vector<std::uint8_t>>) {
    encoder.singleValueContainer()->encodeBytes(value);
  } else if constexpr (IsOptional<T>::value) {
    if (value) {
      encodeValue(encoder, *value);
    } else {
      encoder.singleValueContainer()->encodeNil();
    }
  } else if constexpr (std::same_as<T, Value>) {
    encoder.singleValueContainer()->encodeDynamicValue(value);
  } else if constexpr (IsVector<T>::value && !std::same_as<T, std::vector<bool>>) {
    auto container = encoder.unkeyedContainer();
    for (const auto& element : value)
      container->encode(element);
  } else if constexpr (std::same_as<T, std::vector<bool>>) {
    auto container = encoder.unkeyedContainer();
    for (bool element : value)
      container->encodeBool(element);
  } else if constexpr (IsStringMap<T>::value) {
    auto container = encoder.container();
    for (const auto& [key, element] : value)
      container->encode(element, key);
  } else {
    static_assert(std::same_as<T, bool> || CodingInteger<T> || std::floating_point<T> ||
                      std::convertible_to<const T&, std::string_view>,
                  "T is not encodable: give it `void encode(platform::Encoder&) const` or a "
                  "free `encode(platform::Encoder&, const T&)`");
    coding_detail::encodePrimitive(*encoder.singleValueContainer(), value);
  }
}

template <class T>
void SingleValueEncodingContainer::encode(const T& value) {
  if (!coding_detail::encodePrimitive(*this, value)) encodeValue(encoder(), value);
}

template <class T>
void KeyedEncodingContainer::encode(const T& value, std::string_view key) {
  if constexpr (coding_detail::IsOptional<T>::value) {
    if (!value) {
      encodeNil(key);
      return;
    }
    encode(*value, key);
  } else if constexpr (std::same_as<T, bool> || CodingInteger<T> || std::floating_point<T> ||
                       std::convertible_to<const T&, std::string_view>) {
    coding_detail::encodePrimitive(*this, value, key);
  } else {
    auto sub = encoderForKey(key);
    encodeValue(*sub, value);
  }
}

template <class T>
void KeyedEncodingContainer::encodeIfPresent(const std::optional<T>& value, std::string_view key) {
  if (value) {
    encode(*value, key);
  } else {
    encodeAbsent(key);
  }
}

template <class T>
void UnkeyedEncodingContainer::encode(const T& value) {
  if constexpr (std::same_as<T, bool> || CodingInteger<T> || std::floating_point<T> ||
                std::convertible_to<const T&, std::string_view>) {
    coding_detail::encodePrimitive(*this, value);
  } else {
    auto sub = encoderForNextElement();
    encodeValue(*sub, value);
  }
}

// The typed entry points of a decoder of whole documents, over the `topLevelDecoder` it
// offers for the bytes of one document.
template <class Document>
class DocumentDecoding {
 public:
  template <class T>
  T decode(std::span<const std::uint8_t> data) const {
    auto decoder = static_cast<const Document&>(*this).topLevelDecoder(data);
    return decodeValue<T>(*decoder);
  }
  template <class T>
  T decode(std::string_view text) const {
    return decode<T>(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  }
};

}  // namespace platform
