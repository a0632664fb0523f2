#include "platform/coding/coder.h"

namespace platform {

std::string describeCodingPath(const CodingPath& path) {
  std::string out;
  for (const auto& key : path) {
    if (key.intValue) {
      out += "[" + std::to_string(*key.intValue) + "]";
    } else {
      if (!out.empty()) out += ".";
      out += key.stringValue;
    }
  }
  return out;
}

DecodingError::DecodingError(Kind kind, Context context, std::string subject)
    : kind_(kind), context_(std::move(context)), subject_(std::move(subject)) {}

void SingleValueEncodingContainer::encodeDate(Date value) {
  encodeDouble(value.timeIntervalSinceReferenceDate());
}

void SingleValueEncodingContainer::encodeBytes(const std::vector<std::uint8_t>& value) {
  auto container = encoder().unkeyedContainer();
  for (std::uint8_t byte : value)
    container->encodeUnsigned(byte);
}

Date SingleValueDecodingContainer::decodeDate() {
  return Date(decodeDouble("Double"));
}

std::vector<std::uint8_t> SingleValueDecodingContainer::decodeBytes() {
  auto container = decoder().unkeyedContainer();
  std::vector<std::uint8_t> bytes;
  if (auto n = container->count()) bytes.reserve(static_cast<std::size_t>(*n));
  while (!container->isAtEnd())
    bytes.push_back(container->decode<std::uint8_t>());
  return bytes;
}

void KeyedEncodingContainer::encodeAbsent(std::string_view) {}

std::string DecodingError::localizedDescription() const {
  switch (kind_) {
    case Kind::keyNotFound:
    case Kind::valueNotFound:
      return "The data couldn't be read because it is missing.";
    case Kind::typeMismatch:
    case Kind::dataCorrupted:
      break;
  }
  return "The data couldn't be read because it isn't in the correct format.";
}

std::string DecodingError::debugDescription() const {
  std::string text;
  switch (kind_) {
    case Kind::typeMismatch:
      text = "typeMismatch(" + subject_ + ")";
      break;
    case Kind::valueNotFound:
      text = "valueNotFound(" + subject_ + ")";
      break;
    case Kind::keyNotFound:
      text = "keyNotFound(\"" + subject_ + "\")";
      break;
    case Kind::dataCorrupted:
      text = "dataCorrupted";
      break;
  }
  std::string path = describeCodingPath(context_.codingPath);
  if (!path.empty()) text += " at \"" + path + "\"";
  text += ": " + context_.debugDescription;
  if (context_.underlyingError) {
    text += " (underlying: " + context_.underlyingError->debugDescription() + ")";
  }
  return text;
}

std::string EncodingError::localizedDescription() const {
  return "The data couldn't be written because it isn't in the correct format.";
}

std::string EncodingError::debugDescription() const {
  std::string text = "invalidValue(" + valueDescription_ + ")";
  std::string path = describeCodingPath(context_.codingPath);
  if (!path.empty()) text += " at \"" + path + "\"";
  text += ": " + context_.debugDescription;
  return text;
}

}  // namespace platform
