#include "platform/coding/support/plist_fixtures.h"

#include <cstdlib>

namespace platform::testing {

namespace {

void appendBigEndian(Bytes& out, std::uint64_t value, int size) {
  for (int i = size - 1; i >= 0; --i)
    out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

Bytes header() {
  return bytesOf("bplist00");
}

// Appends the offset table (4-byte entries) and the trailer (references of `referenceSize`
// bytes).
void finish(Bytes& out, const std::vector<std::uint64_t>& offsets, std::uint64_t top,
            std::uint8_t referenceSize = 4) {
  const std::uint64_t tableOffset = out.size();
  for (auto offset : offsets)
    appendBigEndian(out, offset, 4);
  for (int i = 0; i < 6; ++i)
    out.push_back(0);
  out.push_back(4);  // offset size
  out.push_back(referenceSize);
  appendBigEndian(out, offsets.size(), 8);
  appendBigEndian(out, top, 8);
  appendBigEndian(out, tableOffset, 8);
}

}  // namespace

Bytes toBinary(plist_t root) {
  char* data = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(root, &data, &length);
  Bytes out(data, data + length);
  plist_to_bin_free(data);
  return out;
}

Bytes toXml(plist_t root) {
  char* data = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(root, &data, &length);
  Bytes out(data, data + length);
  plist_to_xml_free(data);
  return out;
}

Bytes bytesOf(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

Bytes binaryChain(std::uint32_t objects, int fanOut) {
  Bytes out = header();
  std::vector<std::uint64_t> offsets;
  for (std::uint32_t i = 0; i < objects; ++i) {
    offsets.push_back(out.size());
    if (i + 1 == objects) {
      out.push_back(0x09);  // true
      break;
    }
    out.push_back(static_cast<std::uint8_t>(0xA0 | fanOut));
    for (int f = 0; f < fanOut; ++f)
      appendBigEndian(out, i + 1, 4);
  }
  finish(out, offsets, 0);
  return out;
}

Bytes binaryWideInteger(std::uint64_t high, std::uint64_t low) {
  Bytes out = header();
  std::vector<std::uint64_t> offsets{out.size()};
  out.push_back(0xA1);
  appendBigEndian(out, 1, 4);
  offsets.push_back(out.size());
  out.push_back(0x14);
  appendBigEndian(out, high, 8);
  appendBigEndian(out, low, 8);
  finish(out, offsets, 0);
  return out;
}

Bytes binarySelfReference() {
  Bytes out = header();
  std::vector<std::uint64_t> offsets{out.size()};
  out.push_back(0xA1);
  appendBigEndian(out, 0, 4);
  finish(out, offsets, 0);
  return out;
}

Bytes binaryDictionaryWithAsciiName(const std::string& raw) {
  Bytes out = header();
  std::vector<std::uint64_t> offsets;
  offsets.push_back(out.size());
  out.push_back(0xD1);  // dictionary of one entry: key ref, value ref
  appendBigEndian(out, 1, 4);
  appendBigEndian(out, 2, 4);
  offsets.push_back(out.size());
  out.push_back(0x54);
  for (char c : std::string("name"))
    out.push_back(static_cast<std::uint8_t>(c));
  offsets.push_back(out.size());
  out.push_back(static_cast<std::uint8_t>(0x50 | raw.size()));  // short strings only
  for (char c : raw)
    out.push_back(static_cast<std::uint8_t>(c));
  finish(out, offsets, 0);
  return out;
}

std::string xmlNestedArrays(int levels) {
  std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">";
  for (int i = 0; i < levels; ++i)
    s += "<array>";
  s += "<true/>";
  for (int i = 0; i < levels; ++i)
    s += "</array>";
  s += "</plist>";
  return s;
}

std::string jsonNestedArrays(int levels) {
  return std::string(levels, '[') + "true" + std::string(levels, ']');
}

namespace {

// A marker with a count, and the count as an integer object when it does not fit the nibble.
void appendMarker(Bytes& out, std::uint8_t kind, std::uint64_t count) {
  if (count < 15) {
    out.push_back(static_cast<std::uint8_t>(kind << 4 | count));
    return;
  }
  out.push_back(static_cast<std::uint8_t>(kind << 4 | 0x0F));
  out.push_back(0x13);
  appendBigEndian(out, count, 8);
}

}  // namespace

Bytes binaryFromObjects(const std::vector<Bytes>& objects, std::uint64_t top) {
  Bytes out = header();
  std::vector<std::uint64_t> offsets;
  for (const Bytes& object : objects) {
    offsets.push_back(out.size());
    out.insert(out.end(), object.begin(), object.end());
  }
  finish(out, offsets, top, 2);
  return out;
}

Bytes binaryDictionaryObject(const std::vector<std::pair<std::uint16_t, std::uint16_t>>& entries) {
  Bytes out;
  appendMarker(out, 0xD, entries.size());
  for (const auto& entry : entries)
    appendBigEndian(out, entry.first, 2);
  for (const auto& entry : entries)
    appendBigEndian(out, entry.second, 2);
  return out;
}

Bytes binaryAsciiObject(std::string_view text) {
  Bytes out;
  appendMarker(out, 0x5, text.size());
  out.insert(out.end(), text.begin(), text.end());
  return out;
}

Bytes binaryUtf16Object(const std::vector<std::uint16_t>& units) {
  Bytes out;
  appendMarker(out, 0x6, units.size());
  for (auto unit : units)
    appendBigEndian(out, unit, 2);
  return out;
}

}  // namespace platform::testing
