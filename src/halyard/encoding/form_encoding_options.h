#pragma once

#include <functional>
#include <string>
#include <utility>

namespace halyard {

// How lists and Booleans are written as "key=value" pairs. Parameter encoding and the
// encodable-value form encoder flatten values the same way, so they share these choices.

// The key of element `index` of a list stored under `key`.
class ArrayEncoding {
 public:
  enum class Kind { brackets, noBrackets, indexInBrackets, custom };
  using Function = std::function<std::string(const std::string& key, int index)>;

  static ArrayEncoding brackets() { return {Kind::brackets, nullptr}; }
  static ArrayEncoding noBrackets() { return {Kind::noBrackets, nullptr}; }
  static ArrayEncoding indexInBrackets() { return {Kind::indexInBrackets, nullptr}; }
  static ArrayEncoding custom(Function function) { return {Kind::custom, std::move(function)}; }

  Kind kind() const { return kind_; }
  std::string encode(const std::string& key, int index) const;

 private:
  ArrayEncoding(Kind kind, Function function) : kind_(kind), function_(std::move(function)) {}
  Kind kind_;
  Function function_;
};

enum class BoolEncoding { numeric, literal };

}  // namespace halyard
