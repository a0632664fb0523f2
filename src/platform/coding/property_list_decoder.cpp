#include "platform/coding/property_list_decoder.h"

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <string>

#include <fmt/format.h>

#include "platform/coding/tree_decoder.h"
#include "platform/coding/value_plist_tree.h"
#include "platform/foundation/utf8.h"

namespace platform {

namespace {

using coding_detail::throwMismatch;

[[noreturn]] void throwCorrupted(const CodingPath& path, std::string description) {
  throw DecodingError::dataCorrupted({path, std::move(description), nullptr});
}

// libplist's tree and the decoder's limits, read through the shared containers. A property
// list has no null, so no value is ever nil.
struct PlistReader {
  using Node = plist_t;
  plist_detail::PlistTree root;
  DecodeLimits limits;

  static plist_type type(Node node) { return plist_get_node_type(node); }

  bool isNull(Node) const { return false; }
  bool isDictionary(Node node) const { return type(node) == PLIST_DICT; }
  bool isArray(Node node) const { return type(node) == PLIST_ARRAY; }
  std::string describeKind(Node node) const {
    switch (type(node)) {
      case PLIST_BOOLEAN:
        return "a boolean";
      case PLIST_UINT:
      case PLIST_REAL:
        return "a number";
      case PLIST_STRING:
      case PLIST_KEY:
        return "a string";
      case PLIST_DATE:
        return "a date";
      case PLIST_DATA:
        return "data";
      case PLIST_ARRAY:
        return "an array";
      case PLIST_DICT:
        return "a dictionary";
      case PLIST_UID:
        return "a UID";
      default:
        return "an unknown value";
    }
  }
  std::size_t arraySize(Node node) const { return plist_array_get_size(node); }
  Node arrayElement(Node node, std::size_t index) const {
    return plist_array_get_item(node, static_cast<std::uint32_t>(index));
  }
  template <class F>
  void forEachEntry(Node node, const CodingPath& path, F&& f) const {
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(node, &it);
    std::unique_ptr<void, decltype(&std::free)> iterGuard(it, &std::free);
    while (true) {
      char* rawKey = nullptr;
      plist_t item = nullptr;
      plist_dict_next_item(node, it, &rawKey, &item);
      std::unique_ptr<char, decltype(&std::free)> key(rawKey, &std::free);
      if (!item) break;
      std::string_view keyView(key ? key.get() : "");
      if (!utf8::isValid(keyView)) throwCorrupted(path, "A dictionary key is not valid UTF-8.");
      f(std::string(keyView), item);
    }
  }

  bool readBool(Node node, const CodingPath& path) const {
    if (type(node) != PLIST_BOOLEAN) throwMismatch(*this, "Bool", path, node);
    std::uint8_t b = 0;
    plist_get_bool_val(node, &b);
    return b != 0;
  }

  // An integer, or a real that is a whole number, as the generic reader stores it.
  Value readInteger(Node node, const CodingPath& path, std::string_view type) const {
    if (this->type(node) == PLIST_UINT) return plist_detail::integerValue(node);
    if (this->type(node) != PLIST_REAL) throwMismatch(*this, type, path, node);
    double d = 0;
    plist_get_real_val(node, &d);
    if (!std::isfinite(d) || d != std::trunc(d) || d < -9223372036854775808.0 ||
        d >= 18446744073709551616.0) {
      throwDoesNotFit(type, path, fmt::format("{}", d));
    }
    if (d < 9223372036854775808.0) return Value(static_cast<std::int64_t>(d));
    return Value(static_cast<std::uint64_t>(d));
  }

  std::int64_t readSigned(Node node, const CodingPath& path, std::int64_t min, std::int64_t max,
                          std::string_view type) const {
    const Value v = readInteger(node, path, type);
    if (const auto* s = std::get_if<std::int64_t>(&v.storage()); s && *s >= min && *s <= max) {
      return *s;
    }
    throwDoesNotFit(type, path, describeNumber(v));
  }

  std::uint64_t readUnsigned(Node node, const CodingPath& path, std::uint64_t max,
                             std::string_view type) const {
    const Value v = readInteger(node, path, type);
    if (const auto* s = std::get_if<std::int64_t>(&v.storage());
        s && *s >= 0 && static_cast<std::uint64_t>(*s) <= max) {
      return static_cast<std::uint64_t>(*s);
    }
    if (const auto* u = std::get_if<std::uint64_t>(&v.storage()); u && *u <= max) return *u;
    throwDoesNotFit(type, path, describeNumber(v));
  }

  double readDouble(Node node, const CodingPath& path, std::string_view type) const {
    if (this->type(node) == PLIST_UINT) return *plist_detail::integerValue(node).asDouble();
    if (this->type(node) != PLIST_REAL) throwMismatch(*this, type, path, node);
    double d = 0;
    plist_get_real_val(node, &d);
    if (type == "Float" && std::isfinite(d) && std::fabs(d) > FLT_MAX) {
      throwDoesNotFit(type, path, fmt::format("{}", d));
    }
    return d;
  }

  std::string readString(Node node, const CodingPath& path) const {
    if (type(node) != PLIST_STRING && type(node) != PLIST_KEY) {
      throwMismatch(*this, "String", path, node);
    }
    std::uint64_t length = 0;
    const char* data = plist_get_string_ptr(node, &length);
    std::string_view text(data ? data : "", data ? length : 0);
    if (!utf8::isValid(text)) throwCorrupted(path, "The text is not valid UTF-8.");
    return std::string(text);
  }

  Date readDate(Node node, const CodingPath& path, SingleValueDecodingContainer&) const {
    if (type(node) != PLIST_DATE) throwMismatch(*this, "Date", path, node);
    auto seconds = plist_detail::dateSeconds(node);
    if (!seconds) throwCorrupted(path, "The date is not a finite time.");
    return Date(*seconds);
  }

  std::vector<std::uint8_t> readBytes(Node node, const CodingPath& path,
                                      SingleValueDecodingContainer&) const {
    if (type(node) != PLIST_DATA) throwMismatch(*this, "Data", path, node);
    std::uint64_t length = 0;
    const char* data = plist_get_data_ptr(node, &length);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
    return data ? std::vector<std::uint8_t>(bytes, bytes + length) : std::vector<std::uint8_t>();
  }

  Value readDynamic(Node node, const CodingPath& path) const {
    auto value = plist_detail::toValue(node, limits);
    if (!value) throwCorrupted(path, value.error().message);
    return std::move(*value);
  }

 private:
  static std::string describeNumber(const Value& v) {
    if (const auto* s = std::get_if<std::int64_t>(&v.storage())) return std::to_string(*s);
    if (const auto* u = std::get_if<std::uint64_t>(&v.storage())) return std::to_string(*u);
    return "?";
  }
  [[noreturn]] static void throwDoesNotFit(std::string_view type, const CodingPath& path,
                                           const std::string& number) {
    throwCorrupted(
        path, fmt::format("Parsed property list number <{}> does not fit in {}.", number, type));
  }
};

}  // namespace

std::unique_ptr<Decoder> PropertyListDecoder::topLevelDecoder(
    std::span<const std::uint8_t> data) const {
  auto tree = plist_detail::parse(data, limits);
  if (!tree) {
    throw DecodingError::dataCorrupted({{},
                                        "The given data was not a valid property list.",
                                        makeError(PropertyListError(tree.error().message))});
  }
  auto reader = std::make_shared<PlistReader>();
  reader->root = std::move(*tree);
  reader->limits = limits;
  plist_t root = reader->root.get();
  return std::make_unique<coding_detail::TreeValueDecoder<PlistReader>>(
      std::shared_ptr<const PlistReader>(std::move(reader)), root, CodingPath{});
}

}  // namespace platform
