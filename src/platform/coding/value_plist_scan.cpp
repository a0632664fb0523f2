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
    bool dictionary = false;
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

  std::uint64_t offsetOf(std::uint64_t index) const {
    return readBigEndian(data_.data() + tableOffset_ + index * offsetSize_, offsetSize_);
  }

  // The length that follows a marker whose low nibble is 0xF: an integer object of 1, 2, 4
  // or 8 bytes. `pos` moves past it.
  std::optional<DecodeError> readLength(std::uint64_t& pos, std::uint64_t& length) const {
    if (pos >= tableOffset_) return binaryError("truncated length");
    const std::uint8_t sizeMarker = data_[pos];
    if ((sizeMarker >> 4) != 0x1 || (sizeMarker & 0x0F) > 3) return binaryError("bad length");
    const std::uint64_t sizeBytes = std::uint64_t{1} << (sizeMarker & 0x0F);
    if (tableOffset_ - pos - 1 < sizeBytes) return binaryError("truncated length");
    length = readBigEndian(data_.data() + pos + 1, sizeBytes);
    pos += 1 + sizeBytes;
    return std::nullopt;
  }

  // Every object must be of a kind the parser knows and lie wholly before the offset table;
  // the parser trusts both. Where a text object starts, for the key checks.
  struct Text {
    bool utf16 = false;
    std::uint64_t at = 0;
    std::uint64_t units = 0;
  };

  std::optional<DecodeError> readObject(std::uint64_t index, Object& object,
                                        Text* text = nullptr) const {
    const std::uint64_t offset = offsetOf(index);
    if (offset < kBinaryHeaderSize || offset >= tableOffset_) {
      return binaryError("object offset out of bounds");
    }
    const std::uint8_t marker = data_[offset];
    const std::uint8_t kind = marker >> 4;
    const std::uint8_t low = marker & 0x0F;
    const std::uint64_t room = tableOffset_ - offset - 1;  // bytes after the marker
    object = Object{};
    auto fixed = [&](std::uint64_t size) -> std::optional<DecodeError> {
      if (room < size) return binaryError("truncated object");
      return std::nullopt;
    };
    switch (kind) {
      case 0x0:
        // false and true; the parser has no null or fill object.
        if (marker != 0x08 && marker != 0x09) return binaryError("unknown object");
        return std::nullopt;
      case 0x1:
        if (low > 4) return binaryError("bad integer size");
        if (auto error = fixed(std::uint64_t{1} << low)) return error;
        if (low == 4) {
          // A 16-byte integer. The parser keeps only its low 8 bytes, so anything needing
          // more would silently turn into a different number.
          for (std::uint64_t i = 1; i <= 8; ++i) {
            if (data_[offset + i] != 0) return binaryError("integer wider than 64 bits");
          }
        }
        return std::nullopt;
      case 0x2:
        if (low != 2 && low != 3) return binaryError("bad real size");
        return fixed(std::uint64_t{1} << low);
      case 0x3:
        if (marker != 0x33) return binaryError("bad date");
        return fixed(8);
      case 0x4:
      case 0x5:
      case 0x6: {
        std::uint64_t length = low;
        std::uint64_t pos = offset + 1;
        if (low == 0x0F) {
          if (auto error = readLength(pos, length)) return error;
        }
        const std::uint64_t unit = kind == 0x6 ? 2 : 1;
        if (length > (tableOffset_ - pos) / unit)
          return binaryError("text or data runs past its end");
        if (text) *text = Text{kind == 0x6, pos, length};
        if (kind == 0x6) return checkUtf16(pos, length);
        return std::nullopt;
      }
      case 0x8:
        // The parser reads identifiers of 1, 2, 4 or 8 bytes only.
        if (low != 0 && low != 1 && low != 3 && low != 7) return binaryError("bad UID size");
        return fixed(std::uint64_t{low} + 1);
      case 0xA:
      case 0xB:
      case 0xC:
      case 0xD:
        break;
      default:
        return binaryError("unknown object");
    }
    // Arrays, both set kinds and dictionaries hold references.
    std::uint64_t count = low;
    std::uint64_t pos = offset + 1;
    if (count == 0x0F) {
      if (auto error = readLength(pos, count)) return error;
    }
    const std::uint64_t available = (tableOffset_ - pos) / refSize_;
    const std::uint64_t perEntry = kind == 0xD ? 2 : 1;
    if (count > available / perEntry) return binaryError("container runs past its data");
    object.container = true;
    object.dictionary = kind == 0xD;
    object.refCount = count * perEntry;
    object.refsAt = pos;
    return std::nullopt;
  }

  // Surrogates must come in pairs; the parser's conversion to UTF-8 does not check.
  std::optional<DecodeError> checkUtf16(std::uint64_t at, std::uint64_t units) const {
    for (std::uint64_t i = 0; i < units; ++i) {
      const auto unit = static_cast<std::uint16_t>(readBigEndian(data_.data() + at + 2 * i, 2));
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        const std::uint16_t next =
            i + 1 < units
                ? static_cast<std::uint16_t>(readBigEndian(data_.data() + at + 2 * (i + 1), 2))
                : 0;
        if (next < 0xDC00 || next > 0xDFFF) return binaryError("unpaired UTF-16 surrogate");
        ++i;
      } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
        return binaryError("unpaired UTF-16 surrogate");
      }
    }
    return std::nullopt;
  }

  // A dictionary key must be text without NUL: the parser's key accessor asserts that a key's
  // length is that of a C string, and aborts the process otherwise.
  std::optional<DecodeError> checkKey(std::uint64_t index) const {
    Object object;
    Text text;
    text.units = UINT64_MAX;
    if (auto error = readObject(index, object, &text)) return error;
    const std::uint8_t kind = data_[offsetOf(index)] >> 4;
    if (kind != 0x5 && kind != 0x6) return binaryError("dictionary key is not text");
    const std::uint64_t unit = text.utf16 ? 2 : 1;
    for (std::uint64_t i = 0; i < text.units; ++i) {
      if (readBigEndian(data_.data() + text.at + i * unit, unit) == 0) {
        return binaryError("dictionary key holds a NUL character");
      }
    }
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
      const bool isKey = frame.object.dictionary && frame.next < frame.object.refCount / 2;
      ++frame.next;
      if (child >= objectCount_) return binaryError("reference out of bounds");
      if (isKey) {
        if (auto error = checkKey(child)) return error;
      }

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

namespace {

// A decimal integer the parser reads without loss: an optional sign, no leading zero (the
// parser would read "010" as octal), and within 64 bits.
bool isStrictInteger(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.size() > 20) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  if (text.size() > 1 && text.front() == '0') return false;
  if (text.size() < 19) return true;
  const std::string_view limit = negative ? "9223372036854775808" : "18446744073709551615";
  if (text.size() != limit.size()) return text.size() < limit.size();
  return text <= limit;
}

// A decimal number: digits with an optional fraction and exponent.
bool isStrictReal(std::string_view text) {
  std::size_t i = 0;
  auto digits = [&] {
    const std::size_t from = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
      ++i;
    return i - from;
  };
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
  std::size_t mantissa = digits();
  if (i < text.size() && text[i] == '.') {
    ++i;
    mantissa += digits();
  }
  if (mantissa == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    if (digits() == 0) return false;
  }
  return i == text.size();
}

// "2001-01-01T00:00:00Z", optionally with a fraction of a second: the one form of date XML
// property lists hold. The parser reads anything else ("nan", "garbage", nothing) as
// 1970-01-01 and reports success.
bool isDateText(std::string_view text) {
  auto number = [&](std::size_t at, std::size_t digits, int min, int max) {
    if (at + digits > text.size()) return false;
    int value = 0;
    for (std::size_t i = at; i < at + digits; ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
      value = value * 10 + (text[i] - '0');
    }
    return value >= min && value <= max;
  };
  auto at = [&](std::size_t i, char c) { return i < text.size() && text[i] == c; };
  if (!number(0, 4, 0, 9999) || !at(4, '-') || !number(5, 2, 1, 12) || !at(7, '-') ||
      !number(8, 2, 1, 31) || !at(10, 'T') || !number(11, 2, 0, 23) || !at(13, ':') ||
      !number(14, 2, 0, 59) || !at(16, ':') || !number(17, 2, 0, 60)) {
    return false;
  }
  std::size_t i = 19;
  if (at(i, '.')) {
    const std::size_t from = ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
      ++i;
    if (i == from) return false;
  }
  return i + 1 == text.size() && text[i] == 'Z';
}

// Character references the parser would turn into characters no document may hold (NUL
// among them, which makes a key abort the parser just as in a binary list).
std::optional<DecodeError> checkCharacterReferences(std::string_view text) {
  for (std::size_t at = text.find("&#"); at != std::string_view::npos;
       at = text.find("&#", at + 2)) {
    std::size_t i = at + 2;
    const bool hex = i < text.size() && (text[i] == 'x' || text[i] == 'X');
    if (hex) ++i;
    std::uint32_t value = 0;
    std::size_t count = 0;
    for (; i < text.size() && text[i] != ';'; ++i, ++count) {
      const char c = text[i];
      int digit = -1;
      if (c >= '0' && c <= '9') digit = c - '0';
      if (hex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
      if (hex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
      if (digit < 0 || count >= 8) return DecodeError{"malformed XML character reference"};
      value = value * (hex ? 16 : 10) + static_cast<std::uint32_t>(digit);
    }
    const bool allowed =
        value == 0x9 || value == 0xA || value == 0xD ||
        (value >= 0x20 && value <= 0x10FFFF && !(value >= 0xD800 && value <= 0xDFFF));
    if (count == 0 || i == text.size() || !allowed) {
      return DecodeError{"XML character reference to a character no document may hold"};
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<DecodeError> checkXmlPropertyListShape(std::span<const std::uint8_t> data,
                                                     const DecodeLimits& limits,
                                                     std::vector<XmlNameRange>* looseNumbers) {
  const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
  if (text.find('\0') != std::string_view::npos) return DecodeError{"NUL byte in XML"};
  if (static_cast<std::size_t>(std::count(text.begin(), text.end(), '&')) >
      limits.maxCharacterReferences) {
    return DecodeError{"more than " + std::to_string(limits.maxCharacterReferences) +
                       " character references in XML"};
  }
  if (auto error = checkCharacterReferences(text)) return error;
  const std::size_t maxOpen = static_cast<std::size_t>(std::max(limits.maxDepth, 0)) + 2;
  std::vector<std::string_view> open;
  std::size_t elements = 0;
  std::size_t pos = 0;

  auto skipPast = [&](std::size_t from, std::string_view terminator) -> bool {
    const std::size_t end = text.find(terminator, from);
    if (end == std::string_view::npos) return false;
    pos = end + terminator.size();
    return true;
  };
  // A number the parser would read leniently ("12abc" as 12) is handed over as text, so it
  // ends up as a value of the wrong type rather than as a different number.
  // False for a number that holds markup, which no writer produces.
  auto checkNumber = [&](std::string_view name, std::size_t nameStart, bool selfClosing) {
    if (!looseNumbers || (name != "integer" && name != "real")) return true;
    const XmlNameRange startName{nameStart, name.size()};
    if (selfClosing) {
      looseNumbers->push_back(startName);
      return true;
    }
    const std::size_t contentEnd = text.find('<', pos);
    if (contentEnd == std::string_view::npos) return true;  // reported as unclosed below
    const std::string closing = "</" + std::string(name) + ">";
    if (!text.substr(contentEnd).starts_with(closing)) return false;
    const std::string_view content = text.substr(pos, contentEnd - pos);
    const bool strict = name == "integer" ? isStrictInteger(content) : isStrictReal(content);
    if (strict) return true;
    looseNumbers->push_back(startName);
    looseNumbers->push_back(XmlNameRange{contentEnd + 2, name.size()});
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

    if (!closing) {
      // Each element but keys and the outer <plist> becomes one node of the parser's tree.
      if (name != "key" && name != "plist" && ++elements > limits.maxElements) {
        return DecodeError{"more than " + std::to_string(limits.maxElements) + " elements"};
      }
      if (!checkNumber(name, nameStart, selfClosing)) return DecodeError{"markup inside a number"};
      if (name == "date") {
        const std::size_t contentEnd = selfClosing ? pos : text.find('<', pos);
        if (selfClosing || contentEnd == std::string_view::npos ||
            !text.substr(contentEnd).starts_with("</date>") ||
            !isDateText(text.substr(pos, contentEnd - pos))) {
          return DecodeError{"a date that is not an ISO 8601 time"};
        }
      }
    }
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
