#include "platform/net/http_header_fields.h"

#include <algorithm>

namespace platform {

bool headerNamesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  // ASCII only, whatever the process's locale: names are tokens, and a byte outside ASCII
  // matches only itself.
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    if (x == y) continue;
    if ((x ^ y) != 0x20) return false;
    const unsigned char lower = x | 0x20;
    if (lower < 'a' || lower > 'z') return false;
  }
  return true;
}

HTTPHeaderFields::HTTPHeaderFields(std::initializer_list<Field> fields) {
  for (const auto& [name, value] : fields)
    set(name, value);
}

HTTPHeaderFields::HTTPHeaderFields(const std::vector<Field>& fields) {
  for (const auto& [name, value] : fields)
    set(name, value);
}

const std::string* HTTPHeaderFields::valueIfPresent(std::string_view name) const {
  auto field = find(name);
  return field ? &field->second : nullptr;
}

const HTTPHeaderFields::Field* HTTPHeaderFields::find(std::string_view name) const {
  for (const auto& field : fields_) {
    if (headerNamesEqual(field.first, name)) return &field;
  }
  return nullptr;
}

std::optional<std::string> HTTPHeaderFields::value(std::string_view name) const {
  if (auto field = find(name)) return field->second;
  return std::nullopt;
}

void HTTPHeaderFields::set(std::string_view name, std::optional<std::string> value) {
  auto it = std::find_if(fields_.begin(), fields_.end(),
                         [&](const Field& f) { return headerNamesEqual(f.first, name); });
  if (!value) {
    if (it != fields_.end()) fields_.erase(it);
    return;
  }
  if (it != fields_.end()) {
    it->second = std::move(*value);
  } else {
    fields_.emplace_back(std::string(name), std::move(*value));
  }
}

void HTTPHeaderFields::add(std::string_view name, std::string_view value) {
  auto it = std::find_if(fields_.begin(), fields_.end(),
                         [&](const Field& f) { return headerNamesEqual(f.first, name); });
  if (it != fields_.end()) {
    it->second += ", ";
    it->second += value;
  } else {
    fields_.emplace_back(std::string(name), std::string(value));
  }
}

}  // namespace platform
