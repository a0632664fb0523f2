#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

// Header fields of a request or a response: an ordered list of (name, value) whose names are
// unique when compared case-insensitively. Lookups ignore case; the first spelling of a name is
// the one kept.
class HTTPHeaderFields {
 public:
  using Field = std::pair<std::string, std::string>;

  HTTPHeaderFields() = default;
  // Later duplicates (in any case) replace the value of the earlier field, in its place.
  HTTPHeaderFields(std::initializer_list<Field> fields);
  explicit HTTPHeaderFields(const std::vector<Field>& fields);

  std::optional<std::string> value(std::string_view name) const;
  // The value without a copy; null when the field is missing. Valid until the fields change.
  const std::string* valueIfPresent(std::string_view name) const;
  bool contains(std::string_view name) const { return find(name) != nullptr; }
  // Sets (replacing in place) or, with no value, removes the field.
  void set(std::string_view name, std::optional<std::string> value);
  // Appends to an existing value as "old, new", or adds the field.
  void add(std::string_view name, std::string_view value);
  void remove(std::string_view name) { set(name, std::nullopt); }

  const std::vector<Field>& fields() const { return fields_; }
  std::size_t size() const { return fields_.size(); }
  bool empty() const { return fields_.empty(); }
  auto begin() const { return fields_.begin(); }
  auto end() const { return fields_.end(); }

  bool operator==(const HTTPHeaderFields&) const = default;

 private:
  const Field* find(std::string_view name) const;
  std::vector<Field> fields_;
};

// Case-insensitive comparison of two ASCII header names.
bool headerNamesEqual(std::string_view a, std::string_view b);

}  // namespace platform
