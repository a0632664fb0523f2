#include <plist/plist.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/coding/value.h"
#include "platform/coding/value_plist_scan.h"
#include "platform/coding/value_plist_tree.h"
#include "platform/foundation/utf8.h"

namespace platform {

namespace {

using plist_detail::PlistTree;

struct MallocFree {
  void operator()(char* p) const { std::free(p); }
};

// libplist 2.2 keeps every integer as 64 unsigned bits and remembers only in a private
// length field whether the bits are a negative signed number or an unsigned one above
// INT64_MAX. Its XML writer is the one public place that reads that field, so a value in
// the ambiguous range is written out once to learn its sign.
bool isNegativeInteger(plist_t node) {
  char* xml = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(node, &xml, &length);
  if (!xml) return false;
  const bool negative = std::string_view(xml, length).find("<integer>-") != std::string_view::npos;
  plist_to_xml_free(xml);
  return negative;
}

std::uint64_t readBigEndian(const std::uint8_t* p, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size; ++i)
    value = (value << 8) | p[i];
  return value;
}

// "2001-01-01T00:00:00Z" for 0, as XML property lists write dates (whole seconds).
std::string dateText(double secondsSince2001) {
  constexpr std::time_t kReferenceDate = 978307200;  // 2001-01-01T00:00:00Z in Unix time
  const std::time_t time = kReferenceDate + static_cast<std::time_t>(std::floor(secondsSince2001));
  std::tm parts{};
  gmtime_r(&time, &parts);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return buffer;
}

// A copy of an XML document with the given element names replaced by "string".
std::vector<std::uint8_t> withNamesAsString(std::span<const std::uint8_t> data,
                                            const std::vector<XmlNameRange>& names) {
  static constexpr std::string_view kString = "string";
  std::vector<std::uint8_t> out;
  out.reserve(data.size() + names.size());
  std::size_t from = 0;
  for (const XmlNameRange& name : names) {
    out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(from),
               data.begin() + static_cast<std::ptrdiff_t>(name.offset));
    out.insert(out.end(), kString.begin(), kString.end());
    from = name.offset + name.length;
  }
  out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(from), data.end());
  return out;
}

class Converter {
 public:
  explicit Converter(const DecodeLimits& limits) : limits_(limits) {}

  std::expected<Value, DecodeError> run(plist_t root) {
    Value value = convert(root, 0);
    if (error_) return std::unexpected(std::move(*error_));
    return value;
  }

 private:
  Value fail(std::string message) {
    if (!error_) error_ = DecodeError{std::move(message)};
    return Value();
  }

  Value text(const char* data, std::uint64_t length) {
    std::string_view view(data ? data : "", data ? length : 0);
    if (!utf8::isValid(view)) return fail("text is not valid UTF-8");
    return Value(std::string(view));
  }

  Value convert(plist_t node, int depth) {
    if (error_) return Value();
    if (++elements_ > limits_.maxElements) {
      return fail("more than " + std::to_string(limits_.maxElements) + " elements");
    }
    switch (plist_get_node_type(node)) {
      case PLIST_BOOLEAN: {
        std::uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return Value(b != 0);
      }
      case PLIST_UINT:
        return plist_detail::integerValue(node);
      case PLIST_UID: {
        std::uint64_t u = 0;
        plist_get_uid_val(node, &u);
        if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
          return Value(static_cast<std::int64_t>(u));
        }
        return Value(u);
      }
      case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return Value(d);
      }
      case PLIST_DATE: {
        auto seconds = plist_detail::dateSeconds(node);
        if (!seconds) return fail(std::move(seconds.error().message));
        if (limits_.datesAsText) return Value(dateText(*seconds));
        return Value(*seconds);
      }
      case PLIST_STRING:
      case PLIST_KEY: {
        std::uint64_t length = 0;
        const char* data = plist_get_string_ptr(node, &length);
        return text(data, length);
      }
      case PLIST_DATA: {
        std::uint64_t length = 0;
        const char* data = plist_get_data_ptr(node, &length);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
        return Value(data ? Value::Bytes(bytes, bytes + length) : Value::Bytes());
      }
      case PLIST_ARRAY: {
        if (depth >= limits_.maxDepth) return tooDeep();
        Value::Array array;
        const std::uint32_t size = plist_array_get_size(node);
        array.reserve(std::min<std::size_t>(size, limits_.maxElements));
        for (std::uint32_t i = 0; i < size && !error_; ++i) {
          array.push_back(convert(plist_array_get_item(node, i), depth + 1));
        }
        return Value(std::move(array));
      }
      case PLIST_DICT: {
        if (depth >= limits_.maxDepth) return tooDeep();
        Value::Dictionary dictionary;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        std::unique_ptr<void, decltype(&std::free)> iterGuard(it, &std::free);
        while (!error_) {
          char* rawKey = nullptr;
          plist_t item = nullptr;
          plist_dict_next_item(node, it, &rawKey, &item);
          std::unique_ptr<char, MallocFree> key(rawKey);
          if (!item) break;
          std::string_view keyView(key ? key.get() : "");
          if (!utf8::isValid(keyView)) return fail("dictionary key is not valid UTF-8");
          Value value = convert(item, depth + 1);
          dictionary.insert_or_assign(std::string(keyView), std::move(value));
        }
        return Value(std::move(dictionary));
      }
      default:
        return fail("unsupported property list node");
    }
  }

  Value tooDeep() {
    return fail("nesting deeper than " + std::to_string(limits_.maxDepth) + " levels");
  }

  const DecodeLimits& limits_;
  std::size_t elements_ = 0;
  std::optional<DecodeError> error_;
};

}  // namespace

namespace plist_detail {

std::expected<double, DecodeError> dateSeconds(plist_t node) {
  // libplist's binary writer puts the date it holds, whole, as the big-endian double the
  // binary form has; reading that back is the one public way to the full value.
  char* raw = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(node, &raw, &length);
  std::unique_ptr<char, MallocFree> guard(raw);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(raw);
  constexpr std::uint32_t kTrailer = 32;
  if (!bytes || length < 8 + kTrailer) return std::unexpected(DecodeError{"unreadable date"});
  const std::uint8_t* trailer = bytes + length - kTrailer;
  const std::uint64_t offsetSize = trailer[6];
  const std::uint64_t top = readBigEndian(trailer + 16, 8);
  const std::uint64_t table = readBigEndian(trailer + 24, 8);
  if (offsetSize < 1 || offsetSize > 8 || table > length - kTrailer ||
      top >= (length - kTrailer - table) / offsetSize) {
    return std::unexpected(DecodeError{"unreadable date"});
  }
  const std::uint64_t at = readBigEndian(bytes + table + top * offsetSize, offsetSize);
  if (at + 9 > table || bytes[at] != 0x33) return std::unexpected(DecodeError{"unreadable date"});
  const std::uint64_t bits = readBigEndian(bytes + at + 1, 8);
  double seconds = 0;
  std::memcpy(&seconds, &bits, sizeof seconds);
  if (!std::isfinite(seconds)) return std::unexpected(DecodeError{"date is not a finite time"});
  return seconds;
}

Value integerValue(plist_t node) {
  std::uint64_t u = 0;
  plist_get_uint_val(node, &u);
  if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return Value(static_cast<std::int64_t>(u));
  }
  if (isNegativeInteger(node)) return Value(static_cast<std::int64_t>(u));
  return Value(u);
}

std::expected<Value, DecodeError> toValue(plist_t node, const DecodeLimits& limits) {
  try {
    return Converter(limits).run(node);
  } catch (const std::bad_alloc&) {
    return std::unexpected(DecodeError{"out of memory decoding property list"});
  }
}

std::expected<PlistTree, DecodeError> parse(std::span<const std::uint8_t> data,
                                            const DecodeLimits& limits) {
  if (data.size() > limits.maxBytes || data.size() > std::numeric_limits<std::uint32_t>::max()) {
    return std::unexpected(
        DecodeError{"property list larger than " + std::to_string(limits.maxBytes) + " bytes"});
  }
  if (data.empty()) return std::unexpected(DecodeError{"empty property list"});

  const bool binary = plist_is_binary(reinterpret_cast<const char*>(data.data()),
                                      static_cast<std::uint32_t>(data.size())) != 0;
  std::vector<XmlNameRange> looseNumbers;
  auto shapeError = binary ? checkBinaryPropertyListShape(data, limits)
                           : checkXmlPropertyListShape(data, limits, &looseNumbers);
  if (shapeError) return std::unexpected(std::move(*shapeError));
  // libplist reads "12abc" as 12 and an overflowing number as anything; such a number is
  // kept as the text it is, which no reader takes for a number.
  std::vector<std::uint8_t> rewritten;
  if (!looseNumbers.empty()) {
    rewritten = withNamesAsString(data, looseNumbers);
    data = rewritten;
  }
  const auto* chars = reinterpret_cast<const char*>(data.data());
  const auto length = static_cast<std::uint32_t>(data.size());

  plist_t raw = nullptr;
  plist_from_memory(chars, length, &raw);
  PlistTree root(raw);
  if (!root) {
    return std::unexpected(
        DecodeError{binary ? "malformed binary property list" : "malformed XML property list"});
  }
  return root;
}

}  // namespace plist_detail

DecodeLimits propertyListLimits() {
  DecodeLimits limits;
  limits.maxBytes = 8u << 20;
  limits.maxElements = 100'000;
  return limits;
}

std::expected<Value, DecodeError> decodePropertyList(std::span<const std::uint8_t> data,
                                                     DecodeLimits limits) {
  auto root = plist_detail::parse(data, limits);
  if (!root) return std::unexpected(std::move(root.error()));
  return plist_detail::toValue(root->get(), limits);
}

}  // namespace platform
