#include <plist/plist.h>

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
#include "platform/coding/value_utf8.h"

namespace platform {

namespace {

struct PlistFree {
  void operator()(void* node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

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

// "2001-01-01T00:00:00Z" for 0, as XML property lists write dates (whole seconds).
std::string dateText(std::int32_t secondsSince2001) {
  constexpr std::time_t kReferenceDate = 978307200;  // 2001-01-01T00:00:00Z in Unix time
  const std::time_t time = kReferenceDate + secondsSince2001;
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
    if (!isValidUtf8(view)) return fail("text is not valid UTF-8");
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
      case PLIST_UINT: {
        std::uint64_t u = 0;
        plist_get_uint_val(node, &u);
        if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
          return Value(static_cast<std::int64_t>(u));
        }
        if (isNegativeInteger(node)) return Value(static_cast<std::int64_t>(u));
        return Value(u);
      }
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
        std::int32_t seconds = 0;
        std::int32_t microseconds = 0;
        plist_get_date_val(node, &seconds, &microseconds);
        if (limits_.datesAsText) return Value(dateText(seconds));
        return Value(static_cast<double>(seconds) + static_cast<double>(microseconds) / 1e6);
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
          if (!isValidUtf8(keyView)) return fail("dictionary key is not valid UTF-8");
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

std::expected<Value, DecodeError> decodePropertyList(std::span<const std::uint8_t> data,
                                                     DecodeLimits limits) {
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
  PlistPtr root(raw);
  if (!root) {
    return std::unexpected(
        DecodeError{binary ? "malformed binary property list" : "malformed XML property list"});
  }
  try {
    return Converter(limits).run(root.get());
  } catch (const std::bad_alloc&) {
    return std::unexpected(DecodeError{"out of memory decoding property list"});
  }
}

}  // namespace platform
