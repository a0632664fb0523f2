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

bool isSendableHeaderValue(std::string_view value) {
  return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

std::size_t HTTPHeaderFields::NameHash::operator()(std::string_view name) const {
  // FNV-1a over the lower-case bytes.
  std::size_t hash = 14695981039346656037ull;
  for (char c : name) {
    auto u = static_cast<unsigned char>(c);
    if (u >= 'A' && u <= 'Z') u |= 0x20;
    hash = (hash ^ u) * 1099511628211ull;
  }
  return hash;
}

bool HTTPHeaderFields::NameEqual::operator()(std::string_view a, std::string_view b) const {
  return headerNamesEqual(a, b);
}

std::size_t HTTPHeaderFields::indexOf(std::string_view name) const {
  if (!index_.empty()) {
    auto found = index_.find(name);
    return found == index_.end() ? fields_.size() : found->second;
  }
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    if (headerNamesEqual(fields_[i].first, name)) return i;
  }
  return fields_.size();
}

void HTTPHeaderFields::append(std::string_view name, std::string value) {
  fields_.emplace_back(std::string(name), std::move(value));
  if (!index_.empty()) {
    index_.emplace(fields_.back().first, fields_.size() - 1);
  } else if (fields_.size() >= kIndexFrom) {
    index_.reserve(fields_.size() * 2);
    for (std::size_t i = 0; i < fields_.size(); ++i)
      index_.emplace(fields_[i].first, i);
  }
}

const std::string* HTTPHeaderFields::valueIfPresent(std::string_view name) const {
  auto field = find(name);
  return field ? &field->second : nullptr;
}

const HTTPHeaderFields::Field* HTTPHeaderFields::find(std::string_view name) const {
  const std::size_t at = indexOf(name);
  return at < fields_.size() ? &fields_[at] : nullptr;
}

std::optional<std::string> HTTPHeaderFields::value(std::string_view name) const {
  if (auto field = find(name)) return field->second;
  return std::nullopt;
}

void HTTPHeaderFields::set(std::string_view name, std::optional<std::string> value) {
  const std::size_t at = indexOf(name);
  if (!value) {
    if (at == fields_.size()) return;
    fields_.erase(fields_.begin() + static_cast<std::ptrdiff_t>(at));
    // Removal is rare: the positions after it move down by one.
    if (!index_.empty()) {
      if (auto found = index_.find(name); found != index_.end()) index_.erase(found);
      for (auto& [key, position] : index_) {
        if (position > at) --position;
      }
    }
    return;
  }
  if (at < fields_.size()) {
    fields_[at].second = std::move(*value);
  } else {
    append(name, std::move(*value));
  }
}

void HTTPHeaderFields::add(std::string_view name, std::string_view value) {
  const std::size_t at = indexOf(name);
  if (at < fields_.size()) {
    fields_[at].second += ", ";
    fields_[at].second += value;
  } else {
    append(name, std::string(value));
  }
}

}  // namespace platform
