#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>

#include "platform/coding/support/plist_fixtures.h"
#include "platform/coding/value.h"
#include "platform/foundation/utf8.h"

namespace platform {
namespace {

using testing::Bytes;
using testing::bytesOf;

struct Shape {
  int depth = 0;
  std::size_t elements = 0;
  bool textValid = true;
};

// Walks a decoded value to confirm the decoder kept its promises.
void measure(const Value& value, int level, Shape& shape) {
  ++shape.elements;
  if (const auto* text = value.asString()) {
    shape.textValid = shape.textValid && utf8::isValid(*text);
  } else if (const auto* array = value.asArray()) {
    shape.depth = std::max(shape.depth, level + 1);
    for (const auto& item : *array)
      measure(item, level + 1, shape);
  } else if (const auto* dictionary = value.asDictionary()) {
    shape.depth = std::max(shape.depth, level + 1);
    for (const auto& [key, item] : *dictionary) {
      shape.textValid = shape.textValid && utf8::isValid(key);
      measure(item, level + 1, shape);
    }
  }
}

void expectWithinLimits(const Value& value, const DecodeLimits& limits, const char* decoder) {
  Shape shape;
  measure(value, 0, shape);
  EXPECT_LE(shape.depth, limits.maxDepth) << decoder;
  EXPECT_LE(shape.elements, limits.maxElements) << decoder;
  EXPECT_TRUE(shape.textValid) << decoder;
}

std::vector<Bytes> seeds() {
  testing::PlistPtr root(plist_new_dict());
  plist_dict_set_item(root.get(), "name", plist_new_string("Pad \xC3\xA9"));
  plist_t size = plist_new_dict();
  plist_dict_set_item(size, "Width", plist_new_uint(1024));
  plist_dict_set_item(size, "Height", plist_new_uint(static_cast<std::uint64_t>(-768)));
  plist_dict_set_item(root.get(), "screenSize", size);
  plist_dict_set_item(root.get(), "ppi", plist_new_real(132.5));
  plist_t list = plist_new_array();
  plist_array_append_item(list, plist_new_data("\x01\x02", 2));
  plist_array_append_item(list, plist_new_date(1, 2));
  plist_array_append_item(list, plist_new_bool(1));
  plist_array_append_item(list, plist_new_uid(9));
  plist_array_append_item(list, plist_new_array());
  plist_dict_set_item(root.get(), "list", list);
  return {
      testing::toBinary(root.get()),
      testing::toXml(root.get()),
      bytesOf(R"({"name":"Pad \u00e9","screenSize":{"Width":1024,"Height":-768},)"
              R"("ppi":132.5,"list":[true,null,1e2,"x",[{}]]})"),
      testing::binaryChain(12, 2),
      testing::binaryChain(30, 1),
      bytesOf(testing::xmlNestedArrays(20)),
      bytesOf(testing::jsonNestedArrays(20)),
  };
}

class Mutator {
 public:
  explicit Mutator(std::uint64_t seed) : rng_(seed) {}

  std::size_t below(std::size_t n) {
    return n == 0 ? 0 : std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
  }

  Bytes randomBytes() {
    Bytes out(below(300));
    for (auto& b : out)
      b = static_cast<std::uint8_t>(below(256));
    if (below(4) == 0) {
      // Give the binary reader something past its magic number to chew on.
      const Bytes magic = bytesOf("bplist00");
      out.insert(out.begin(), magic.begin(), magic.end());
    }
    return out;
  }

  Bytes mutate(Bytes in) {
    static constexpr std::uint8_t kInteresting[] = {
        0x00, 0x01, 0x0F, 0x10, 0x13, 0x14, 0x1F, 0x33, 0x5F, 0x6F, 0x7F, 0x80, 0xA1,
        0xAF, 0xD1, 0xDF, 0xFE, 0xFF, '<',  '>',  '[',  '{',  '"',  '\\', '/'};
    const std::size_t rounds = 1 + below(8);
    for (std::size_t r = 0; r < rounds; ++r) {
      switch (below(7)) {
        case 0:
          if (!in.empty()) in[below(in.size())] ^= static_cast<std::uint8_t>(1u << below(8));
          break;
        case 1:
          if (!in.empty()) in[below(in.size())] = kInteresting[below(sizeof kInteresting)];
          break;
        case 2:
          in.insert(in.begin() + static_cast<std::ptrdiff_t>(below(in.size() + 1)),
                    static_cast<std::uint8_t>(below(256)));
          break;
        case 3:
          if (!in.empty()) in.erase(in.begin() + static_cast<std::ptrdiff_t>(below(in.size())));
          break;
        case 4:
          in.resize(below(in.size() + 1));
          break;
        case 5: {
          // Duplicate a slice somewhere else.
          if (in.empty()) break;
          const std::size_t from = below(in.size());
          const std::size_t length = 1 + below(std::min<std::size_t>(32, in.size() - from));
          Bytes slice(in.begin() + static_cast<std::ptrdiff_t>(from),
                      in.begin() + static_cast<std::ptrdiff_t>(from + length));
          in.insert(in.begin() + static_cast<std::ptrdiff_t>(below(in.size() + 1)), slice.begin(),
                    slice.end());
          break;
        }
        default:
          // Hit the trailer of a binary list, where the sizes and offsets live.
          if (in.size() >= 32)
            in[in.size() - 1 - below(32)] = static_cast<std::uint8_t>(below(256));
          break;
      }
    }
    return in;
  }

 private:
  std::mt19937_64 rng_;
};

TEST(ValueDecodersFuzz, RandomAndMutatedInputsNeverBreakTheDecoders) {
  const auto corpus = seeds();
  Mutator mutator(0x70BA51DEULL);
  DecodeLimits tight;
  tight.maxDepth = 8;
  tight.maxElements = 500;
  tight.maxBytes = 4096;

  constexpr int kInputs = 20000;
  int accepted = 0;
  for (int i = 0; i < kInputs; ++i) {
    const Bytes input =
        i % 5 == 0 ? mutator.randomBytes() : mutator.mutate(corpus[mutator.below(corpus.size())]);
    for (const DecodeLimits& limits : {DecodeLimits{}, tight}) {
      if (auto v = decodePropertyList(input, limits)) {
        ++accepted;
        expectWithinLimits(*v, limits, "property list");
      }
      if (auto v = decodeJSON(input, limits)) {
        ++accepted;
        expectWithinLimits(*v, limits, "JSON");
      }
      if (auto d = dictionaryWithContentsOfData(input, limits)) {
        ++accepted;
        expectWithinLimits(Value(std::move(*d)), limits, "dictionary");
      }
    }
    if (::testing::Test::HasFailure()) {
      ADD_FAILURE() << "input #" << i << " of " << input.size() << " bytes";
      break;
    }
  }
  // Mutations are light enough that some inputs still decode; otherwise the success paths
  // above would go unexercised.
  EXPECT_GT(accepted, 100);
}

// Writes random but well-framed binary property lists: every object kind the format has (and
// some it has not), texts in both encodings with NULs and lone surrogates in them, keys of
// every kind, shared objects. Framing is right, so the inputs reach the parser's object code
// rather than failing at the trailer.
class BinaryDocumentWriter {
 public:
  explicit BinaryDocumentWriter(std::uint64_t seed) : rng_(seed) {}

  Bytes document() {
    objects_.clear();
    nulKey_ = false;
    const std::uint16_t top = dictionary(0);
    return testing::binaryFromObjects(objects_, top);
  }
  bool hadNulKey() const { return nulKey_; }

 private:
  std::size_t below(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
  }
  std::uint8_t byte() { return static_cast<std::uint8_t>(below(256)); }

  std::uint16_t add(Bytes object) {
    objects_.push_back(std::move(object));
    return static_cast<std::uint16_t>(objects_.size() - 1);
  }

  Bytes text(bool key) {
    static constexpr std::uint16_t kUnits[] = {0, 'A', 'z', 0xE9, 0x20AC, 0xD83D, 0xDE00, 0xDC00};
    static constexpr char kChars[] = {'\0', 'a', 'Z', ' ', '\xC3', '\xA9', '\xFF'};
    const std::size_t length = below(6);
    if (below(2) == 0) {
      std::vector<std::uint16_t> units;
      for (std::size_t i = 0; i < length; ++i) {
        units.push_back(kUnits[below(std::size(kUnits))]);
      }
      if (key && std::find(units.begin(), units.end(), 0) != units.end()) nulKey_ = true;
      return testing::binaryUtf16Object(units);
    }
    std::string chars;
    for (std::size_t i = 0; i < length; ++i) {
      chars.push_back(kChars[below(std::size(kChars))]);
    }
    if (key && chars.find('\0') != std::string::npos) nulKey_ = true;
    return testing::binaryAsciiObject(chars);
  }

  Bytes leaf() {
    Bytes out;
    auto randomBytes = [&](std::size_t n) {
      for (std::size_t i = 0; i < n; ++i)
        out.push_back(byte());
    };
    switch (below(10)) {
      case 0:
        out.push_back(below(2) ? 0x08 : 0x09);
        break;
      case 1:
        out.push_back(below(2) ? 0x00 : 0x0F);  // null and fill
        break;
      case 2: {
        const std::size_t n = below(5);
        out.push_back(static_cast<std::uint8_t>(0x10 | n));
        if (n == 4 && below(2)) {
          out.insert(out.end(), 8, 0);
          randomBytes(8);
        } else {
          randomBytes(std::size_t{1} << n);
        }
        break;
      }
      case 3: {
        const std::size_t n = 1 + below(3);
        out.push_back(static_cast<std::uint8_t>(0x20 | n));
        randomBytes(std::size_t{1} << n);
        break;
      }
      case 4:
        out.push_back(0x33);
        randomBytes(8);
        break;
      case 5: {
        const std::size_t n = below(20);
        out.push_back(static_cast<std::uint8_t>(0x40 | std::min<std::size_t>(n, 14)));
        randomBytes(std::min<std::size_t>(n, 14));
        break;
      }
      case 6:
      case 7:
        return text(false);
      case 8: {
        const std::size_t n = below(8);
        out.push_back(static_cast<std::uint8_t>(0x80 | n));
        randomBytes(n + 1);
        break;
      }
      default:
        out.push_back(static_cast<std::uint8_t>(std::array{0x70, 0x90, 0xE0, 0xF0}[below(4)]));
        randomBytes(4);
        break;
    }
    return out;
  }

  std::uint16_t value(int depth) {
    if (!objects_.empty() && below(10) == 0) {
      return static_cast<std::uint16_t>(below(objects_.size()));  // a shared object
    }
    if (depth >= 3 || below(3) != 0) return add(leaf());
    if (below(2) == 0) return dictionary(depth + 1);
    std::vector<std::uint16_t> items;
    for (std::size_t i = below(4); i > 0; --i)
      items.push_back(value(depth + 1));
    Bytes out;
    out.push_back(static_cast<std::uint8_t>(std::array{0xA0, 0xB0, 0xC0}[below(3)] | items.size()));
    for (auto item : items) {
      out.push_back(static_cast<std::uint8_t>(item >> 8));
      out.push_back(static_cast<std::uint8_t>(item));
    }
    return add(out);
  }

  std::uint16_t dictionary(int depth) {
    std::vector<std::pair<std::uint16_t, std::uint16_t>> entries;
    for (std::size_t i = 1 + below(4); i > 0; --i) {
      const std::uint16_t key = below(12) == 0 ? add(leaf()) : add(text(true));
      entries.emplace_back(key, value(depth));
    }
    return add(testing::binaryDictionaryObject(entries));
  }

  std::mt19937_64 rng_;
  std::vector<Bytes> objects_;
  bool nulKey_ = false;
};

TEST(ValueDecodersFuzz, WellFramedBinaryListsOfEveryObjectKindNeverBreakTheDecoders) {
  BinaryDocumentWriter writer(0x5EEDF00DULL);
  // A key with a NUL in it aborted the parser; of these inputs some thousands carry one.
  constexpr int kInputs = 20000;
  int nulKeys = 0;
  int accepted = 0;
  for (int i = 0; i < kInputs; ++i) {
    const Bytes input = writer.document();
    nulKeys += writer.hadNulKey() ? 1 : 0;
    if (auto d = dictionaryWithContentsOfData(input)) {
      ++accepted;
      expectWithinLimits(Value(std::move(*d)), DecodeLimits{}, "dictionary");
    }
    if (auto v = decodePropertyList(input)) expectWithinLimits(*v, DecodeLimits{}, "property list");
    if (::testing::Test::HasFailure()) {
      ADD_FAILURE() << "input #" << i << " of " << input.size() << " bytes";
      break;
    }
  }
  EXPECT_GT(nulKeys, 1000);
  EXPECT_GT(accepted, 100);
}

}  // namespace
}  // namespace platform
