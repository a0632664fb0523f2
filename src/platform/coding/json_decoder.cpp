#include "platform/coding/json_decoder.h"

#include <cfloat>
#include <cmath>
#include <unordered_map>

#include <fmt/format.h>

#include "platform/coding/json_serialization.h"
#include "platform/coding/json_text.h"

namespace platform {

namespace {

using Json = nlohmann::ordered_json;

struct Document {
  Json root;
  JSONDecoder options;
};
using DocumentPtr = std::shared_ptr<const Document>;

std::string describeKind(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      return "null";
    case Json::value_t::boolean:
      return "a boolean";
    case Json::value_t::string:
      return "a string";
    case Json::value_t::array:
      return "an array";
    case Json::value_t::object:
      return "a dictionary";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float:
      return "a number";
    default:
      return "an unknown value";
  }
}

CodingPath appending(const CodingPath& path, CodingKey key) {
  CodingPath result = path;
  result.push_back(std::move(key));
  return result;
}

[[noreturn]] void throwMismatch(std::string_view type, const CodingPath& path, const Json& found) {
  if (found.is_null()) {
    throw DecodingError::valueNotFound(
        std::string(type),
        {path, fmt::format("Expected {} value but found null instead.", type), nullptr});
  }
  throw DecodingError::typeMismatch(
      std::string(type),
      {path, fmt::format("Expected to decode {} but found {} instead.", type, describeKind(found)),
       nullptr});
}

[[noreturn]] void throwDoesNotFit(std::string_view type, const CodingPath& path,
                                  const Json& found) {
  throw DecodingError::dataCorrupted(
      {path, fmt::format("Parsed JSON number <{}> does not fit in {}.", found.dump(), type),
       nullptr});
}

std::string snakeToCamel(const std::string& key) {
  // Leading and trailing underscores stay; the first word stays as it is and every later word
  // is capitalized ("user_NAME_id" → "userNameId").
  auto first = key.find_first_not_of('_');
  if (first == std::string::npos || key.find('_', first) == std::string::npos) return key;
  auto last = key.find_last_not_of('_');
  std::string result = key.substr(0, first);
  std::size_t wordIndex = 0;
  std::size_t pos = first;
  while (pos <= last) {
    auto end = key.find('_', pos);
    if (end == std::string::npos || end > last) end = last + 1;
    if (end > pos) {
      std::string word = key.substr(pos, end - pos);
      if (wordIndex > 0) {
        for (auto& c : word)
          c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        word[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(word[0])));
      }
      result += word;
      ++wordIndex;
    }
    pos = end + 1;
  }
  result += key.substr(last + 1);
  return result;
}

// Primitive reads shared by the three containers; `path` names the value being read.
struct Reader {
  const Document& document;

  bool readBool(const Json& value, const CodingPath& path) const {
    if (!value.is_boolean()) throwMismatch("Bool", path, value);
    return value.get<bool>();
  }

  std::int64_t readSigned(const Json& value, const CodingPath& path, std::int64_t min,
                          std::int64_t max, std::string_view type) const {
    if (value.is_number_integer() && !value.is_number_unsigned()) {
      auto v = value.get<std::int64_t>();
      if (v < min || v > max) throwDoesNotFit(type, path, value);
      return v;
    }
    if (value.is_number_unsigned()) {
      auto v = value.get<std::uint64_t>();
      if (v > static_cast<std::uint64_t>(max)) throwDoesNotFit(type, path, value);
      return static_cast<std::int64_t>(v);
    }
    if (value.is_number_float()) {
      double d = value.get<double>();
      // Exact integers written with a fraction part ("3.0") are integers all the same.
      if (!std::isfinite(d) || d != std::trunc(d) || d < -9223372036854775808.0 ||
          d >= 9223372036854775808.0) {
        throwDoesNotFit(type, path, value);
      }
      auto v = static_cast<std::int64_t>(d);
      if (v < min || v > max) throwDoesNotFit(type, path, value);
      return v;
    }
    throwMismatch(type, path, value);
  }

  std::uint64_t readUnsigned(const Json& value, const CodingPath& path, std::uint64_t max,
                             std::string_view type) const {
    if (value.is_number_unsigned()) {
      auto v = value.get<std::uint64_t>();
      if (v > max) throwDoesNotFit(type, path, value);
      return v;
    }
    if (value.is_number_integer()) {
      auto v = value.get<std::int64_t>();
      if (v < 0 || static_cast<std::uint64_t>(v) > max) throwDoesNotFit(type, path, value);
      return static_cast<std::uint64_t>(v);
    }
    if (value.is_number_float()) {
      double d = value.get<double>();
      if (!std::isfinite(d) || d != std::trunc(d) || d < 0 || d >= 18446744073709551616.0 ||
          static_cast<std::uint64_t>(d) > max) {
        throwDoesNotFit(type, path, value);
      }
      return static_cast<std::uint64_t>(d);
    }
    throwMismatch(type, path, value);
  }

  double readDouble(const Json& value, const CodingPath& path, std::string_view type) const {
    if (value.is_number()) {
      double d = value.get<double>();
      if (type == "Float" && std::isfinite(d) && std::fabs(d) > FLT_MAX) {
        throwDoesNotFit(type, path, value);
      }
      return d;
    }
    const auto& options = document.options;
    if (value.is_string() &&
        options.nonConformingFloatDecodingStrategy ==
            JSONDecoder::NonConformingFloatDecodingStrategy::convertFromString) {
      const auto& text = value.get_ref<const std::string&>();
      if (text == options.positiveInfinity) return INFINITY;
      if (text == options.negativeInfinity) return -INFINITY;
      if (text == options.nan) return NAN;
    }
    throwMismatch(type, path, value);
  }

  std::string readString(const Json& value, const CodingPath& path) const {
    if (!value.is_string()) throwMismatch("String", path, value);
    return value.get<std::string>();
  }

  Value readDynamic(const Json& value) const {
    switch (value.type()) {
      case Json::value_t::null:
        return Value();
      case Json::value_t::boolean:
        return Value(value.get<bool>());
      case Json::value_t::number_integer:
        return Value(value.get<std::int64_t>());
      case Json::value_t::number_unsigned: {
        // Non-negative integers read as signed where they fit, as everywhere else.
        auto u = value.get<std::uint64_t>();
        if (u <= static_cast<std::uint64_t>(INT64_MAX)) return Value(static_cast<std::int64_t>(u));
        return Value(u);
      }
      case Json::value_t::number_float:
        return Value(value.get<double>());
      case Json::value_t::string:
        return Value(value.get<std::string>());
      case Json::value_t::array: {
        Value::Array array;
        array.reserve(value.size());
        for (const auto& element : value)
          array.push_back(readDynamic(element));
        return Value(std::move(array));
      }
      case Json::value_t::object: {
        Value::Dictionary dictionary;
        for (const auto& [key, element] : value.items()) {
          dictionary.insert_or_assign(key, readDynamic(element));
        }
        return Value(std::move(dictionary));
      }
      default:
        return Value();
    }
  }
};

std::unique_ptr<KeyedDecodingContainer> makeKeyed(DocumentPtr document, const Json& value,
                                                  CodingPath path);
std::unique_ptr<UnkeyedDecodingContainer> makeUnkeyed(DocumentPtr document, const Json& value,
                                                      CodingPath path);

class JSONValueDecoder;

class JSONSingleValueContainer final : public SingleValueDecodingContainer {
 public:
  JSONSingleValueContainer(JSONValueDecoder& decoder, const Document& document, const Json& value,
                           const CodingPath& path)
      : decoder_(decoder), reader_{document}, value_(value), path_(path) {}

  const CodingPath& codingPath() const override { return path_; }
  bool decodeNil() override { return value_.is_null(); }
  bool decodeBool() override { return reader_.readBool(value_, path_); }
  std::int64_t decodeSigned(std::int64_t min, std::int64_t max, std::string_view type) override {
    return reader_.readSigned(value_, path_, min, max, type);
  }
  std::uint64_t decodeUnsigned(std::uint64_t max, std::string_view type) override {
    return reader_.readUnsigned(value_, path_, max, type);
  }
  double decodeDouble(std::string_view type) override {
    return reader_.readDouble(value_, path_, type);
  }
  std::string decodeString() override { return reader_.readString(value_, path_); }
  Value decodeDynamicValue() override { return reader_.readDynamic(value_); }
  Decoder& decoder() override;

 private:
  JSONValueDecoder& decoder_;
  Reader reader_;
  const Json& value_;
  const CodingPath& path_;
};

class JSONValueDecoder final : public Decoder {
 public:
  JSONValueDecoder(DocumentPtr document, const Json& value, CodingPath path)
      : document_(std::move(document)), value_(value), path_(std::move(path)) {}

  const CodingPath& codingPath() const override { return path_; }
  std::unique_ptr<KeyedDecodingContainer> container() override {
    return makeKeyed(document_, value_, path_);
  }
  std::unique_ptr<UnkeyedDecodingContainer> unkeyedContainer() override {
    return makeUnkeyed(document_, value_, path_);
  }
  std::unique_ptr<SingleValueDecodingContainer> singleValueContainer() override {
    return std::make_unique<JSONSingleValueContainer>(*this, *document_, value_, path_);
  }

 private:
  DocumentPtr document_;
  const Json& value_;
  CodingPath path_;
};

Decoder& JSONSingleValueContainer::decoder() {
  return decoder_;
}

class JSONKeyedContainer final : public KeyedDecodingContainer {
 public:
  JSONKeyedContainer(DocumentPtr document, const Json& object, CodingPath path)
      : document_(std::move(document)), reader_{*document_}, path_(std::move(path)) {
    bool convert = document_->options.keyDecodingStrategy ==
                   JSONDecoder::KeyDecodingStrategy::convertFromSnakeCase;
    for (const auto& [key, value] : object.items()) {
      std::string name = convert ? snakeToCamel(key) : key;
      if (index_.emplace(name, &value).second) keys_.push_back(name);
    }
  }

  const CodingPath& codingPath() const override { return path_; }
  std::vector<std::string> allKeys() const override { return keys_; }
  bool contains(std::string_view key) const override {
    return index_.find(std::string(key)) != index_.end();
  }
  bool decodeNil(std::string_view key) override { return value(key).is_null(); }
  bool decodeBool(std::string_view key) override {
    return reader_.readBool(value(key), appending(path_, CodingKey::key(std::string(key))));
  }
  std::int64_t decodeSigned(std::string_view key, std::int64_t min, std::int64_t max,
                            std::string_view type) override {
    return reader_.readSigned(value(key), appending(path_, CodingKey::key(std::string(key))), min,
                              max, type);
  }
  std::uint64_t decodeUnsigned(std::string_view key, std::uint64_t max,
                               std::string_view type) override {
    return reader_.readUnsigned(value(key), appending(path_, CodingKey::key(std::string(key))), max,
                                type);
  }
  double decodeDouble(std::string_view key, std::string_view type) override {
    return reader_.readDouble(value(key), appending(path_, CodingKey::key(std::string(key))), type);
  }
  std::string decodeString(std::string_view key) override {
    return reader_.readString(value(key), appending(path_, CodingKey::key(std::string(key))));
  }
  std::unique_ptr<Decoder> decoderForKey(std::string_view key) override {
    const Json& v = value(key);
    return std::make_unique<JSONValueDecoder>(document_, v,
                                              appending(path_, CodingKey::key(std::string(key))));
  }
  std::unique_ptr<KeyedDecodingContainer> nestedContainer(std::string_view key) override {
    return makeKeyed(document_, value(key), appending(path_, CodingKey::key(std::string(key))));
  }
  std::unique_ptr<UnkeyedDecodingContainer> nestedUnkeyedContainer(std::string_view key) override {
    return makeUnkeyed(document_, value(key), appending(path_, CodingKey::key(std::string(key))));
  }

 private:
  const Json& value(std::string_view key) const {
    auto it = index_.find(std::string(key));
    if (it == index_.end()) {
      throw DecodingError::keyNotFound(
          std::string(key),
          {path_, fmt::format("No value associated with key \"{}\".", key), nullptr});
    }
    return *it->second;
  }

  DocumentPtr document_;
  Reader reader_;
  CodingPath path_;
  std::unordered_map<std::string, const Json*> index_;
  std::vector<std::string> keys_;
};

class JSONUnkeyedContainer final : public UnkeyedDecodingContainer {
 public:
  JSONUnkeyedContainer(DocumentPtr document, const Json& array, CodingPath path)
      : document_(std::move(document)),
        reader_{*document_},
        array_(array),
        path_(std::move(path)) {}

  const CodingPath& codingPath() const override { return path_; }
  std::optional<int> count() const override { return static_cast<int>(array_.size()); }
  bool isAtEnd() const override { return index_ >= array_.size(); }
  int currentIndex() const override { return static_cast<int>(index_); }

  bool decodeNil() override {
    if (isAtEnd()) throwAtEnd("Optional");
    if (!array_[index_].is_null()) return false;
    ++index_;
    return true;
  }
  bool decodeBool() override { return advance(reader_.readBool(next("Bool"), elementPath())); }
  std::int64_t decodeSigned(std::int64_t min, std::int64_t max, std::string_view type) override {
    return advance(reader_.readSigned(next(type), elementPath(), min, max, type));
  }
  std::uint64_t decodeUnsigned(std::uint64_t max, std::string_view type) override {
    return advance(reader_.readUnsigned(next(type), elementPath(), max, type));
  }
  double decodeDouble(std::string_view type) override {
    return advance(reader_.readDouble(next(type), elementPath(), type));
  }
  std::string decodeString() override {
    return advance(reader_.readString(next("String"), elementPath()));
  }
  std::unique_ptr<Decoder> decoderForNextElement() override {
    const Json& element = next("Decoder");
    auto decoder = std::make_unique<JSONValueDecoder>(document_, element, elementPath());
    ++index_;
    return decoder;
  }
  std::unique_ptr<KeyedDecodingContainer> nestedContainer() override {
    const Json& element = next("Dictionary");
    auto container = makeKeyed(document_, element, elementPath());
    ++index_;
    return container;
  }
  std::unique_ptr<UnkeyedDecodingContainer> nestedUnkeyedContainer() override {
    const Json& element = next("Array");
    auto container = makeUnkeyed(document_, element, elementPath());
    ++index_;
    return container;
  }

 private:
  template <class T>
  T advance(T value) {
    ++index_;
    return value;
  }
  CodingPath elementPath() const {
    return appending(path_, CodingKey::index(static_cast<int>(index_)));
  }
  [[noreturn]] void throwAtEnd(std::string_view type) const {
    throw DecodingError::valueNotFound(std::string(type),
                                       {elementPath(), "Unkeyed container is at end.", nullptr});
  }
  const Json& next(std::string_view type) const {
    if (isAtEnd()) throwAtEnd(type);
    return array_[index_];
  }

  DocumentPtr document_;
  Reader reader_;
  const Json& array_;
  CodingPath path_;
  std::size_t index_ = 0;
};

std::unique_ptr<KeyedDecodingContainer> makeKeyed(DocumentPtr document, const Json& value,
                                                  CodingPath path) {
  if (!value.is_object()) {
    if (value.is_null()) {
      throw DecodingError::valueNotFound(
          "Dictionary",
          {path, "Cannot get keyed decoding container -- found null value instead.", nullptr});
    }
    throwMismatch("Dictionary", path, value);
  }
  return std::make_unique<JSONKeyedContainer>(std::move(document), value, std::move(path));
}

std::unique_ptr<UnkeyedDecodingContainer> makeUnkeyed(DocumentPtr document, const Json& value,
                                                      CodingPath path) {
  if (!value.is_array()) {
    if (value.is_null()) {
      throw DecodingError::valueNotFound(
          "Array",
          {path, "Cannot get unkeyed decoding container -- found null value instead.", nullptr});
    }
    throwMismatch("Array", path, value);
  }
  return std::make_unique<JSONUnkeyedContainer>(std::move(document), value, std::move(path));
}

}  // namespace

std::unique_ptr<Decoder> JSONDecoder::topLevelDecoder(std::span<const std::uint8_t> data) const {
  auto document = std::make_shared<Document>();
  document->options = *this;
  try {
    document->root = json_detail::parse(data, maximumDepth);
  } catch (const json_detail::SyntaxError& e) {
    throw DecodingError::dataCorrupted(
        {{}, "The given data was not valid JSON.", makeError(JSONSerializationError(e.what()))});
  }
  const Json& root = document->root;
  return std::make_unique<JSONValueDecoder>(std::move(document), root, CodingPath{});
}

}  // namespace platform
