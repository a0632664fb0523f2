#pragma once

// The containers every tree-shaped format decodes through. A format parses its whole document
// into a tree first and hands these templates a reader for it; the containers keep the coding
// paths, find keys, walk arrays and raise the error kinds, so every format reports the same
// errors at the same paths. Internal to platform/coding.
//
// A Reader is a class with:
//   using Node = …;                       a cheap handle to a node of the tree
//   bool isNull(Node), isDictionary(Node), isArray(Node)
//   std::string describeKind(Node)        "a string", "a dictionary", …
//   std::size_t arraySize(Node);  Node arrayElement(Node, std::size_t)
//   void forEachEntry(Node, path, F)      calls F(std::string key, Node value) in document order
//   readBool, readSigned, readUnsigned, readDouble, readString, readDynamic, readDate,
//   readBytes (Node, const CodingPath&, …), which throw DecodingError at the given path.
// The reader owns the document; containers share it.

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "platform/coding/coder.h"

namespace platform::coding_detail {

inline CodingPath appending(const CodingPath& path, CodingKey key) {
  CodingPath result = path;
  result.push_back(std::move(key));
  return result;
}

// The error for a value of the wrong kind: valueNotFound for a null, typeMismatch otherwise.
template <class Reader>
[[noreturn]] void throwMismatch(const Reader& reader, std::string_view type, const CodingPath& path,
                                typename Reader::Node found) {
  if (reader.isNull(found)) {
    throw DecodingError::valueNotFound(
        std::string(type),
        {path, fmt::format("Expected {} value but found null instead.", type), nullptr});
  }
  throw DecodingError::typeMismatch(
      std::string(type),
      {path,
       fmt::format("Expected to decode {} but found {} instead.", type, reader.describeKind(found)),
       nullptr});
}

template <class Reader>
using ReaderPtr = std::shared_ptr<const Reader>;

template <class Reader>
std::unique_ptr<KeyedDecodingContainer> makeKeyed(ReaderPtr<Reader> reader,
                                                  typename Reader::Node node, CodingPath path);
template <class Reader>
std::unique_ptr<UnkeyedDecodingContainer> makeUnkeyed(ReaderPtr<Reader> reader,
                                                      typename Reader::Node node, CodingPath path);

template <class Reader>
class TreeValueDecoder;

template <class Reader>
class TreeSingleValueContainer final : public SingleValueDecodingContainer {
 public:
  using Node = typename Reader::Node;
  TreeSingleValueContainer(TreeValueDecoder<Reader>& decoder, const Reader& reader, Node node,
                           const CodingPath& path)
      : decoder_(decoder), reader_(reader), node_(node), path_(path) {}

  const CodingPath& codingPath() const override { return path_; }
  bool decodeNil() override { return reader_.isNull(node_); }
  bool decodeBool() override { return reader_.readBool(node_, path_); }
  std::int64_t decodeSigned(std::int64_t min, std::int64_t max, std::string_view type) override {
    return reader_.readSigned(node_, path_, min, max, type);
  }
  std::uint64_t decodeUnsigned(std::uint64_t max, std::string_view type) override {
    return reader_.readUnsigned(node_, path_, max, type);
  }
  double decodeDouble(std::string_view type) override {
    return reader_.readDouble(node_, path_, type);
  }
  std::string decodeString() override { return reader_.readString(node_, path_); }
  Value decodeDynamicValue() override { return reader_.readDynamic(node_, path_); }
  Date decodeDate() override { return reader_.readDate(node_, path_, *this); }
  std::vector<std::uint8_t> decodeBytes() override {
    return reader_.readBytes(node_, path_, *this);
  }
  Decoder& decoder() override;

 private:
  TreeValueDecoder<Reader>& decoder_;
  const Reader& reader_;
  Node node_;
  const CodingPath& path_;
};

template <class Reader>
class TreeValueDecoder final : public Decoder {
 public:
  using Node = typename Reader::Node;
  TreeValueDecoder(ReaderPtr<Reader> reader, Node node, CodingPath path)
      : reader_(std::move(reader)), node_(node), path_(std::move(path)) {}

  const CodingPath& codingPath() const override { return path_; }
  std::unique_ptr<KeyedDecodingContainer> container() override {
    return makeKeyed(reader_, node_, path_);
  }
  std::unique_ptr<UnkeyedDecodingContainer> unkeyedContainer() override {
    return makeUnkeyed(reader_, node_, path_);
  }
  std::unique_ptr<SingleValueDecodingContainer> singleValueContainer() override {
    return std::make_unique<TreeSingleValueContainer<Reader>>(*this, *reader_, node_, path_);
  }

 private:
  ReaderPtr<Reader> reader_;
  Node node_;
  CodingPath path_;
};

template <class Reader>
Decoder& TreeSingleValueContainer<Reader>::decoder() {
  return decoder_;
}

template <class Reader>
class TreeKeyedContainer final : public KeyedDecodingContainer {
 public:
  using Node = typename Reader::Node;
  TreeKeyedContainer(ReaderPtr<Reader> reader, Node object, CodingPath path)
      : reader_(std::move(reader)), path_(std::move(path)) {
    // The first of two equal keys wins.
    reader_->forEachEntry(object, path_, [this](std::string key, Node value) {
      if (index_.emplace(key, value).second) keys_.push_back(std::move(key));
    });
  }

  const CodingPath& codingPath() const override { return path_; }
  std::vector<std::string> allKeys() const override { return keys_; }
  bool contains(std::string_view key) const override {
    return index_.find(std::string(key)) != index_.end();
  }
  bool decodeNil(std::string_view key) override { return reader_->isNull(value(key)); }
  bool decodeBool(std::string_view key) override {
    return reader_->readBool(value(key), keyPath(key));
  }
  std::int64_t decodeSigned(std::string_view key, std::int64_t min, std::int64_t max,
                            std::string_view type) override {
    return reader_->readSigned(value(key), keyPath(key), min, max, type);
  }
  std::uint64_t decodeUnsigned(std::string_view key, std::uint64_t max,
                               std::string_view type) override {
    return reader_->readUnsigned(value(key), keyPath(key), max, type);
  }
  double decodeDouble(std::string_view key, std::string_view type) override {
    return reader_->readDouble(value(key), keyPath(key), type);
  }
  std::string decodeString(std::string_view key) override {
    return reader_->readString(value(key), keyPath(key));
  }
  std::unique_ptr<Decoder> decoderForKey(std::string_view key) override {
    return std::make_unique<TreeValueDecoder<Reader>>(reader_, value(key), keyPath(key));
  }
  std::unique_ptr<KeyedDecodingContainer> nestedContainer(std::string_view key) override {
    return makeKeyed(reader_, value(key), keyPath(key));
  }
  std::unique_ptr<UnkeyedDecodingContainer> nestedUnkeyedContainer(std::string_view key) override {
    return makeUnkeyed(reader_, value(key), keyPath(key));
  }

 private:
  CodingPath keyPath(std::string_view key) const {
    return appending(path_, CodingKey::key(std::string(key)));
  }
  Node value(std::string_view key) const {
    auto it = index_.find(std::string(key));
    if (it == index_.end()) {
      throw DecodingError::keyNotFound(
          std::string(key),
          {path_, fmt::format("No value associated with key \"{}\".", key), nullptr});
    }
    return it->second;
  }

  ReaderPtr<Reader> reader_;
  CodingPath path_;
  std::unordered_map<std::string, Node> index_;
  std::vector<std::string> keys_;
};

template <class Reader>
class TreeUnkeyedContainer final : public UnkeyedDecodingContainer {
 public:
  using Node = typename Reader::Node;
  TreeUnkeyedContainer(ReaderPtr<Reader> reader, Node array, CodingPath path)
      : reader_(std::move(reader)),
        array_(array),
        size_(reader_->arraySize(array)),
        path_(std::move(path)) {}

  const CodingPath& codingPath() const override { return path_; }
  std::optional<int> count() const override { return static_cast<int>(size_); }
  bool isAtEnd() const override { return index_ >= size_; }
  int currentIndex() const override { return static_cast<int>(index_); }

  bool decodeNil() override {
    if (isAtEnd()) throwAtEnd("Optional");
    if (!reader_->isNull(reader_->arrayElement(array_, index_))) return false;
    ++index_;
    return true;
  }
  bool decodeBool() override { return advance(reader_->readBool(next("Bool"), elementPath())); }
  std::int64_t decodeSigned(std::int64_t min, std::int64_t max, std::string_view type) override {
    return advance(reader_->readSigned(next(type), elementPath(), min, max, type));
  }
  std::uint64_t decodeUnsigned(std::uint64_t max, std::string_view type) override {
    return advance(reader_->readUnsigned(next(type), elementPath(), max, type));
  }
  double decodeDouble(std::string_view type) override {
    return advance(reader_->readDouble(next(type), elementPath(), type));
  }
  std::string decodeString() override {
    return advance(reader_->readString(next("String"), elementPath()));
  }
  std::unique_ptr<Decoder> decoderForNextElement() override {
    Node element = next("Decoder");
    auto decoder = std::make_unique<TreeValueDecoder<Reader>>(reader_, element, elementPath());
    ++index_;
    return decoder;
  }
  std::unique_ptr<KeyedDecodingContainer> nestedContainer() override {
    Node element = next("Dictionary");
    auto container = makeKeyed(reader_, element, elementPath());
    ++index_;
    return container;
  }
  std::unique_ptr<UnkeyedDecodingContainer> nestedUnkeyedContainer() override {
    Node element = next("Array");
    auto container = makeUnkeyed(reader_, element, elementPath());
    ++index_;
    return container;
  }

 private:
  template <class T>
  T advance(T value) {
    ++index_;
    return value;
  }
  CodingPath elementPath() const {
    return appending(path_, CodingKey::index(static_cast<int>(index_)));
  }
  [[noreturn]] void throwAtEnd(std::string_view type) const {
    throw DecodingError::valueNotFound(std::string(type),
                                       {elementPath(), "Unkeyed container is at end.", nullptr});
  }
  Node next(std::string_view type) const {
    if (isAtEnd()) throwAtEnd(type);
    return reader_->arrayElement(array_, index_);
  }

  ReaderPtr<Reader> reader_;
  Node array_;
  std::size_t size_;
  CodingPath path_;
  std::size_t index_ = 0;
};

template <class Reader>
std::unique_ptr<KeyedDecodingContainer> makeKeyed(ReaderPtr<Reader> reader,
                                                  typename Reader::Node node, CodingPath path) {
  if (!reader->isDictionary(node)) {
    if (reader->isNull(node)) {
      throw DecodingError::valueNotFound(
          "Dictionary",
          {path, "Cannot get keyed decoding container -- found null value instead.", nullptr});
    }
    throwMismatch(*reader, "Dictionary", path, node);
  }
  return std::make_unique<TreeKeyedContainer<Reader>>(std::move(reader), node, std::move(path));
}

template <class Reader>
std::unique_ptr<UnkeyedDecodingContainer> makeUnkeyed(ReaderPtr<Reader> reader,
                                                      typename Reader::Node node, CodingPath path) {
  if (!reader->isArray(node)) {
    if (reader->isNull(node)) {
      throw DecodingError::valueNotFound(
          "Array",
          {path, "Cannot get unkeyed decoding container -- found null value instead.", nullptr});
    }
    throwMismatch(*reader, "Array", path, node);
  }
  return std::make_unique<TreeUnkeyedContainer<Reader>>(std::move(reader), node, std::move(path));
}

}  // namespace platform::coding_detail
