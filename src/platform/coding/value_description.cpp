#include "platform/coding/value_description.h"

#include <fmt/format.h>

namespace platform {

namespace {

std::string describeDictionary(const Value::Dictionary& dictionary) {
  std::string text = "{";
  bool first = true;
  for (const auto& [key, entry] : dictionary) {
    text += first ? " " : ", ";
    first = false;
    text += fmt::format("\"{}\": {}", key, describeValue(entry));
  }
  text += first ? "}" : " }";
  return text;
}

std::string describeArray(const Value::Array& array) {
  std::string text = "[";
  for (std::size_t i = 0; i < array.size(); ++i) {
    if (i > 0) text += ", ";
    text += describeValue(array[i]);
  }
  return text + "]";
}

}  // namespace

std::string describeValue(const Value& value) {
  const auto& storage = value.storage();
  if (std::holds_alternative<Value::Null>(storage)) return "null";
  if (const auto* b = std::get_if<bool>(&storage)) return *b ? "true" : "false";
  if (const auto* i = std::get_if<std::int64_t>(&storage)) return std::to_string(*i);
  if (const auto* u = std::get_if<std::uint64_t>(&storage)) return std::to_string(*u);
  if (const auto* d = std::get_if<double>(&storage)) return fmt::format("{}", *d);
  if (const auto* s = std::get_if<std::string>(&storage)) return fmt::format("\"{}\"", *s);
  if (const auto* bytes = std::get_if<Value::Bytes>(&storage)) {
    return fmt::format("<{} bytes>", bytes->size());
  }
  if (const auto* array = std::get_if<Value::Array>(&storage)) return describeArray(*array);
  return describeDictionary(*value.asDictionary());
}

}  // namespace platform
