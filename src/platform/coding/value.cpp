#include "platform/coding/value.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace platform {

bool Value::holdsContainers() const {
  auto nested = [](const Value& child) {
    return std::holds_alternative<Array>(child.storage_) ||
           std::holds_alternative<Dictionary>(child.storage_);
  };
  if (const auto* array = std::get_if<Array>(&storage_)) {
    return std::any_of(array->begin(), array->end(), nested);
  }
  if (const auto* dictionary = std::get_if<Dictionary>(&storage_)) {
    return std::any_of(dictionary->begin(), dictionary->end(),
                       [&](const auto& entry) { return nested(entry.second); });
  }
  return false;
}

void Value::releaseNested() noexcept {
  // Each container taken off the list has its containers moved onto it first, so destroying it
  // only destroys leaves and empty shells.
  std::vector<Storage> pending;
  pending.push_back(std::exchange(storage_, Null{}));
  auto detach = [&pending](Value& child) {
    if (std::holds_alternative<Array>(child.storage_) ||
        std::holds_alternative<Dictionary>(child.storage_)) {
      pending.push_back(std::exchange(child.storage_, Null{}));
    }
  };
  while (!pending.empty()) {
    Storage container = std::move(pending.back());
    pending.pop_back();
    if (auto* array = std::get_if<Array>(&container)) {
      for (auto& child : *array)
        detach(child);
    } else if (auto* dictionary = std::get_if<Dictionary>(&container)) {
      for (auto& [key, child] : *dictionary)
        detach(child);
    }
  }
}

bool Value::isNumber() const {
  return std::holds_alternative<std::int64_t>(storage_) ||
         std::holds_alternative<std::uint64_t>(storage_) ||
         std::holds_alternative<double>(storage_);
}

std::optional<std::int32_t> Value::exactInt32() const {
  constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
  constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
  if (const auto* i = std::get_if<std::int64_t>(&storage_)) {
    if (*i < kMin || *i > kMax) return std::nullopt;
    return static_cast<std::int32_t>(*i);
  }
  if (const auto* u = std::get_if<std::uint64_t>(&storage_)) {
    if (*u > static_cast<std::uint64_t>(kMax)) return std::nullopt;
    return static_cast<std::int32_t>(*u);
  }
  if (const auto* d = std::get_if<double>(&storage_)) {
    // Range first: converting an out-of-range double to an integer is undefined.
    if (!std::isfinite(*d) || *d < static_cast<double>(kMin) || *d > static_cast<double>(kMax)) {
      return std::nullopt;
    }
    if (std::trunc(*d) != *d) return std::nullopt;
    return static_cast<std::int32_t>(*d);
  }
  return std::nullopt;
}

std::optional<double> Value::asDouble() const {
  if (const auto* i = std::get_if<std::int64_t>(&storage_)) return static_cast<double>(*i);
  if (const auto* u = std::get_if<std::uint64_t>(&storage_)) return static_cast<double>(*u);
  if (const auto* d = std::get_if<double>(&storage_)) return *d;
  return std::nullopt;
}

const Value* Value::find(const std::string& key) const {
  const auto* dictionary = asDictionary();
  if (!dictionary) return nullptr;
  auto it = dictionary->find(key);
  return it == dictionary->end() ? nullptr : &it->second;
}

namespace {

bool isJsonWhitespace(std::uint8_t c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

std::expected<Value::Dictionary, DecodeError> dictionaryWithContentsOfData(
    std::span<const std::uint8_t> data, DecodeLimits limits) {
  limits.datesAsText = true;
  if (data.size() > limits.maxBytes) {
    return std::unexpected(
        DecodeError{"document larger than " + std::to_string(limits.maxBytes) + " bytes"});
  }
  static constexpr char kBinaryMagic[] = "bplist00";
  std::expected<Value, DecodeError> decoded;
  if (data.size() >= 8 && std::memcmp(data.data(), kBinaryMagic, 8) == 0) {
    decoded = decodePropertyList(data, limits);
  } else {
    // Sniff the first meaningful byte: an XML property list opens with a markup
    // declaration or tag, a JSON object with a brace.
    std::size_t i = 0;
    if (data.size() >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) i = 3;
    while (i < data.size() && isJsonWhitespace(data[i]))
      ++i;
    if (i == data.size()) return std::unexpected(DecodeError{"empty document"});
    if (data[i] == '{') {
      decoded = decodeJSON(data, limits);
    } else if (data[i] == '<') {
      decoded = decodePropertyList(data, limits);
    } else {
      return std::unexpected(DecodeError{"neither a property list nor a JSON object"});
    }
  }
  if (!decoded) return std::unexpected(std::move(decoded.error()));
  if (!decoded->asDictionary()) {
    return std::unexpected(DecodeError{"top level is not a dictionary"});
  }
  return std::get<Value::Dictionary>(std::move(*decoded).take());
}

}  // namespace platform
