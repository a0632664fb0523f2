#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace platform {

// Header fields of a request or a response: an ordered list of (name, value) whose names are
// unique when compared case-insensitively. Lookups ignore case; the first spelling of a name is
// the one kept. Past a handful of fields the names are indexed, so that a head of many fields is
// built in linear time whatever a server sends.
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

  bool operator==(const HTTPHeaderFields& other) const { return fields_ == other.fields_; }

 private:
  // Names compared and hashed without regard to ASCII case, looked up by view.
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const;
  };
  struct NameEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
  };
  // Below this many fields a scan is cheaper than keeping an index.
  static constexpr std::size_t kIndexFrom = 16;

  std::size_t indexOf(std::string_view name) const;  // size() when missing
  void append(std::string_view name, std::string value);
  const Field* find(std::string_view name) const;
  std::vector<Field> fields_;
  // Position of each field by name; empty while there are fewer than `kIndexFrom` fields.
  std::unordered_map<std::string, std::size_t, NameHash, NameEqual> index_;
};

// Case-insensitive comparison of two ASCII header names.
bool headerNamesEqual(std::string_view a, std::string_view b);

// Whether a value may go into a request head as it is: a CR, LF or NUL in it would end the
// field early and let the rest pass for fields of its own.
bool isSendableHeaderValue(std::string_view value);

}  // namespace platform
