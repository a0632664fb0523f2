#include "platform/coding/json_decoder.h"

#include <cfloat>
#include <cmath>

#include <fmt/format.h>

#include "platform/coding/json_serialization.h"
#include "platform/coding/json_text.h"
#include "platform/coding/tree_decoder.h"

namespace platform {

namespace {

using Json = nlohmann::ordered_json;

using coding_detail::throwMismatch;

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

// The parsed document and the decoder's options, read through the shared containers; `path`
// names the value being read.
struct JsonReader {
  using Node = const Json*;
  Json root;
  JSONDecoder options;

  bool isNull(Node node) const { return node->is_null(); }
  bool isDictionary(Node node) const { return node->is_object(); }
  bool isArray(Node node) const { return node->is_array(); }
  std::string describeKind(Node node) const { return platform::describeKind(*node); }
  std::size_t arraySize(Node node) const { return node->size(); }
  Node arrayElement(Node node, std::size_t index) const { return &(*node)[index]; }
  template <class F>
  void forEachEntry(Node node, const CodingPath&, F&& f) const {
    const bool convert =
        options.keyDecodingStrategy == JSONDecoder::KeyDecodingStrategy::convertFromSnakeCase;
    for (const auto& [key, value] : node->items())
      f(convert ? snakeToCamel(key) : key, &value);
  }
  Date readDate(Node, const CodingPath&, SingleValueDecodingContainer& container) const {
    return container.SingleValueDecodingContainer::decodeDate();
  }
  std::vector<std::uint8_t> readBytes(Node, const CodingPath&,
                                      SingleValueDecodingContainer& container) const {
    return container.SingleValueDecodingContainer::decodeBytes();
  }
  Value readDynamic(Node node, const CodingPath&) const { return json_detail::valueOf(*node); }

  bool readBool(Node node, const CodingPath& path) const {
    const Json& value = *node;
    if (!value.is_boolean()) throwMismatch(*this, "Bool", path, node);
    return value.get<bool>();
  }

  std::int64_t readSigned(Node node, const CodingPath& path, std::int64_t min, std::int64_t max,
                          std::string_view type) const {
    const Json& value = *node;
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
    throwMismatch(*this, type, path, node);
  }

  std::uint64_t readUnsigned(Node node, const CodingPath& path, std::uint64_t max,
                             std::string_view type) const {
    const Json& value = *node;
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
    throwMismatch(*this, type, path, node);
  }

  double readDouble(Node node, const CodingPath& path, std::string_view type) const {
    const Json& value = *node;
    if (value.is_number()) {
      double d = value.get<double>();
      if (type == "Float" && std::isfinite(d) && std::fabs(d) > FLT_MAX) {
        throwDoesNotFit(type, path, value);
      }
      return d;
    }
    if (value.is_string() &&
        options.nonConformingFloatDecodingStrategy ==
            JSONDecoder::NonConformingFloatDecodingStrategy::convertFromString) {
      const auto& text = value.get_ref<const std::string&>();
      if (text == options.positiveInfinity) return INFINITY;
      if (text == options.negativeInfinity) return -INFINITY;
      if (text == options.nan) return NAN;
    }
    throwMismatch(*this, type, path, node);
  }

  std::string readString(Node node, const CodingPath& path) const {
    const Json& value = *node;
    if (!value.is_string()) throwMismatch(*this, "String", path, node);
    return value.get<std::string>();
  }
};
}  // namespace

std::unique_ptr<Decoder> JSONDecoder::topLevelDecoder(std::span<const std::uint8_t> data) const {
  auto document = std::make_shared<JsonReader>();
  document->options = *this;
  try {
    document->root = json_detail::parse(data, maximumDepth);
  } catch (const json_detail::SyntaxError& e) {
    throw DecodingError::dataCorrupted(
        {{}, "The given data was not valid JSON.", makeError(JSONSerializationError(e.what()))});
  }
  const Json* root = &document->root;
  return std::make_unique<coding_detail::TreeValueDecoder<JsonReader>>(
      std::shared_ptr<const JsonReader>(std::move(document)), root, CodingPath{});
}

}  // namespace platform
