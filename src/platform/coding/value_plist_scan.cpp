#include "platform/coding/value_plist_scan.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace platform {

namespace {

constexpr std::size_t kBinaryHeaderSize = 8;
constexpr std::size_t kBinaryTrailerSize = 32;

DecodeError binaryError(std::string what) {
  return DecodeError{"malformed binary property list: " + std::move(what)};
}

std::uint64_t readBigEndian(const std::uint8_t* p, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size; ++i)
    value = (value << 8) | p[i];
  return value;
}

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

class BinaryShape {
 public:
  BinaryShape(std::span<const std::uint8_t> data, const DecodeLimits& limits)
      : data_(data), limits_(limits) {}

  std::optional<DecodeError> check() {
    if (data_.size() < kBinaryHeaderSize + kBinaryTrailerSize) {
      return binaryError("too short");
    }
    const std::uint8_t* trailer = data_.data() + data_.size() - kBinaryTrailerSize;
    offsetSize_ = trailer[6];
    refSize_ = trailer[7];
    objectCount_ = readBigEndian(trailer + 8, 8);
    const std::uint64_t top = readBigEndian(trailer + 16, 8);
    tableOffset_ = readBigEndian(trailer + 24, 8);
    const std::uint64_t tableEnd = data_.size() - kBinaryTrailerSize;

    // Writers only use these widths; refusing the others keeps this walk and the parser
    // reading the same numbers.
    auto isWidth = [](std::uint64_t n) { return n == 1 || n == 2 || n == 4 || n == 8; };
    if (!isWidth(offsetSize_) || !isWidth(refSize_)) {
      return binaryError("bad integer sizes in trailer");
    }
    if (objectCount_ == 0 || top >= objectCount_) return binaryError("bad object count");
    if (tableOffset_ < kBinaryHeaderSize || tableOffset_ > tableEnd ||
        objectCount_ > (tableEnd - tableOffset_) / offsetSize_) {
      return binaryError("offset table out of bounds");
    }
    return walk(top);
  }

 private:
  struct Object {
    bool container = false;
    std::uint64_t refCount = 0;  // keys and values of a dictionary both count
    std::uint64_t refsAt = 0;    // byte offset of the first reference
  };

  struct Frame {
    std::uint64_t index;
    Object object;
    std::uint64_t next = 0;      // the next reference to follow
    std::uint64_t elements = 1;  // this object and everything below it, per use
    int depth = 1;               // levels of containers from this one down
  };

  struct Seen {
    bool finished = false;
    int depth = 0;
    std::uint64_t elements = 1;
  };

  std::optional<DecodeError> readObject(std::uint64_t index, Object& object) const {
    const std::uint64_t offset =
        readBigEndian(data_.data() + tableOffset_ + index * offsetSize_, offsetSize_);
    if (offset < kBinaryHeaderSize || offset >= tableOffset_) {
      return binaryError("object offset out of bounds");
    }
    const std::uint8_t marker = data_[offset];
    const std::uint8_t kind = marker >> 4;
    object = Object{};
    if (marker == 0x14) {
      // A 16-byte integer. The parser keeps only its low 8 bytes, so anything needing more
      // would silently turn into a different number.
      if (tableOffset_ - offset < 17) return binaryError("truncated integer");
      for (std::uint64_t i = 1; i <= 8; ++i) {
        if (data_[offset + i] != 0) return binaryError("integer wider than 64 bits");
      }
      return std::nullopt;
    }
    // Arrays, both set kinds and dictionaries hold references; everything else is a leaf.
    if (kind != 0xA && kind != 0xB && kind != 0xC && kind != 0xD) return std::nullopt;
    std::uint64_t count = marker & 0x0F;
    std::uint64_t pos = offset + 1;
    if (count == 0x0F) {
      if (pos >= tableOffset_) return binaryError("truncated container size");
      const std::uint8_t sizeMarker = data_[pos];
      if ((sizeMarker >> 4) != 0x1 || (sizeMarker & 0x0F) > 3) {
        return binaryError("bad container size");
      }
      const std::uint64_t sizeBytes = std::uint64_t{1} << (sizeMarker & 0x0F);
      if (tableOffset_ - pos - 1 < sizeBytes) return binaryError("truncated container size");
      count = readBigEndian(data_.data() + pos + 1, sizeBytes);
      pos += 1 + sizeBytes;
    }
    const std::uint64_t available = (tableOffset_ - pos) / refSize_;
    const std::uint64_t perEntry = kind == 0xD ? 2 : 1;
    if (count > available / perEntry) return binaryError("container runs past its data");
    object.container = true;
    object.refCount = count * perEntry;
    object.refsAt = pos;
    return std::nullopt;
  }

  std::optional<DecodeError> walk(std::uint64_t top) {
    Object root;
    if (auto error = readObject(top, root)) return error;
    if (!root.container) return std::nullopt;
    if (limits_.maxDepth < 1) return tooDeep();

    std::unordered_map<std::uint64_t, Seen> seen;
    std::vector<Frame> stack;
    stack.push_back(Frame{top, root});
    seen[top] = Seen{};

    while (!stack.empty()) {
      Frame& frame = stack.back();
      if (frame.next == frame.object.refCount) {
        const Frame done = frame;
        seen[done.index] = Seen{true, done.depth, done.elements};
        stack.pop_back();
        if (stack.empty()) break;
        if (auto error = absorb(stack.back(), done.depth, done.elements)) return error;
        continue;
      }
      const std::uint64_t child =
          readBigEndian(data_.data() + frame.object.refsAt + frame.next * refSize_, refSize_);
      ++frame.next;
      if (child >= objectCount_) return binaryError("reference out of bounds");

      if (auto it = seen.find(child); it != seen.end()) {
        if (!it->second.finished) return binaryError("an object contains itself");
        if (auto error = absorb(frame, it->second.depth, it->second.elements)) return error;
        continue;
      }
      // Each distinct object adds at least one element to the total.
      if (seen.size() >= limits_.maxElements) return tooManyElements();
      Object object;
      if (auto error = readObject(child, object)) return error;
      if (!object.container) {
        seen[child] = Seen{true, 0, 1};
        if (auto error = absorb(frame, 0, 1)) return error;
        continue;
      }
      if (stack.size() >= static_cast<std::size_t>(std::max(limits_.maxDepth, 0))) {
        return tooDeep();
      }
      seen[child] = Seen{};
      stack.push_back(Frame{child, object});  // invalidates `frame`
    }
    return std::nullopt;
  }

  std::optional<DecodeError> absorb(Frame& parent, int childDepth, std::uint64_t childElements) {
    parent.depth = std::max(parent.depth, childDepth + 1);
    if (parent.depth > limits_.maxDepth) return tooDeep();
    parent.elements = saturatingAdd(parent.elements, childElements);
    if (parent.elements > limits_.maxElements) return tooManyElements();
    return std::nullopt;
  }

  DecodeError tooDeep() const {
    return DecodeError{"nesting deeper than " + std::to_string(limits_.maxDepth) + " levels"};
  }

  DecodeError tooManyElements() const {
    return DecodeError{"more than " + std::to_string(limits_.maxElements) + " elements"};
  }

  std::span<const std::uint8_t> data_;
  const DecodeLimits& limits_;
  std::uint64_t offsetSize_ = 0;
  std::uint64_t refSize_ = 0;
  std::uint64_t objectCount_ = 0;
  std::uint64_t tableOffset_ = 0;
};

bool isNameEnd(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '/' || c == '>';
}

}  // namespace

std::optional<DecodeError> checkBinaryPropertyListShape(std::span<const std::uint8_t> data,
                                                        const DecodeLimits& limits) {
  return BinaryShape(data, limits).check();
}

std::optional<DecodeError> checkXmlPropertyListShape(std::span<const std::uint8_t> data,
                                                     const DecodeLimits& limits) {
  const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
  const std::size_t maxOpen = static_cast<std::size_t>(std::max(limits.maxDepth, 0)) + 2;
  std::vector<std::string_view> open;
  std::size_t pos = 0;

  auto skipPast = [&](std::size_t from, std::string_view terminator) -> bool {
    const std::size_t end = text.find(terminator, from);
    if (end == std::string_view::npos) return false;
    pos = end + terminator.size();
    return true;
  };

  while ((pos = text.find('<', pos)) != std::string_view::npos) {
    const std::string_view rest = text.substr(pos);
    if (rest.starts_with("<!--")) {
      if (!skipPast(pos + 4, "-->")) return DecodeError{"unterminated XML comment"};
      continue;
    }
    if (rest.starts_with("<![CDATA[")) {
      if (!skipPast(pos + 9, "]]>")) return DecodeError{"unterminated CDATA section"};
      continue;
    }
    if (rest.starts_with("<?")) {
      if (!skipPast(pos + 2, "?>")) return DecodeError{"unterminated XML declaration"};
      continue;
    }
    if (rest.starts_with("<!")) {
      // A document type declaration. Stopping at its first '>' can only make the scan see
      // more markup than the parser does, never less.
      if (!skipPast(pos + 2, ">")) return DecodeError{"unterminated XML declaration"};
      continue;
    }
    const bool closing = rest.starts_with("</");
    std::size_t nameStart = pos + (closing ? 2 : 1);
    std::size_t nameEnd = nameStart;
    while (nameEnd < text.size() && !isNameEnd(text[nameEnd]))
      ++nameEnd;
    if (nameEnd == nameStart || nameEnd == text.size()) return DecodeError{"malformed XML tag"};
    const std::string_view name = text.substr(nameStart, nameEnd - nameStart);

    // Find the end of the tag, stepping over quoted attribute values.
    std::size_t i = nameEnd;
    char quote = 0;
    for (; i < text.size(); ++i) {
      const char c = text[i];
      if (quote) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '>') {
        break;
      }
    }
    if (i == text.size()) return DecodeError{"unterminated XML tag"};
    const bool selfClosing = text[i - 1] == '/';
    pos = i + 1;

    if (closing) {
      if (open.empty() || open.back() != name) return DecodeError{"mismatched XML end tag"};
      open.pop_back();
    } else if (!selfClosing) {
      if (open.size() >= maxOpen) {
        return DecodeError{"nesting deeper than " + std::to_string(limits.maxDepth) + " levels"};
      }
      open.push_back(name);
    }
  }
  if (!open.empty()) return DecodeError{"unclosed XML element"};
  return std::nullopt;
}

}  // namespace platform
