#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace platform::testing {

using Bytes = std::vector<std::uint8_t>;

struct PlistFree {
  void operator()(void* node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// Serialises a libplist tree with libplist's own writers.
Bytes toBinary(plist_t root);
Bytes toXml(plist_t root);

Bytes bytesOf(std::string_view text);

// Raw binary property lists for shapes no writer produces. Object i of a chain is an array
// holding `fanOut` references to object i + 1; the last object is `true`. With a fan-out of
// two, n objects expand to 2^n values.
Bytes binaryChain(std::uint32_t objects, int fanOut);
// An array holding one 16-byte integer with the given high and low 64 bits.
Bytes binaryWideInteger(std::uint64_t high, std::uint64_t low);
// One array that holds a reference to itself.
Bytes binarySelfReference();
// A dictionary {"name": <ASCII string object holding `raw` bytes>}, for text checks.
Bytes binaryDictionaryWithAsciiName(const std::string& raw);

// A binary property list of already encoded objects (marker and body; references inside
// them two bytes wide), with object `top` at the top.
Bytes binaryFromObjects(const std::vector<Bytes>& objects, std::uint64_t top = 0);
// Encoded objects for it: a dictionary of two-byte references, a text object.
Bytes binaryDictionaryObject(const std::vector<std::pair<std::uint16_t, std::uint16_t>>& entries);
Bytes binaryAsciiObject(std::string_view text);
Bytes binaryUtf16Object(const std::vector<std::uint16_t>& units);

// `levels` nested arrays around `true`, as XML and as JSON.
std::string xmlNestedArrays(int levels);
std::string jsonNestedArrays(int levels);

}  // namespace platform::testing
