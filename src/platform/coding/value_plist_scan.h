#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/coding/value.h"

namespace platform {

// libplist parses recursively and expands shared objects of a binary property list into
// copies, so a deep or self-multiplying document exhausts its stack or the heap before it
// returns. These checks walk the raw bytes without recursion and refuse such documents
// before libplist sees them. They are deliberately stricter than the parser: whatever they
// let through nests at most `maxDepth` containers and expands to at most `maxElements`
// objects.

// A binary property list ("bplist00"): the trailer, the offset table and every reference
// reachable from the top object are checked; shared objects are counted once per use and
// a reference cycle is an error.
std::optional<DecodeError> checkBinaryPropertyListShape(std::span<const std::uint8_t> data,
                                                        const DecodeLimits& limits);

// Where an element name stands in an XML document.
struct XmlNameRange {
  std::size_t offset = 0;
  std::size_t length = 0;
};

// An XML property list: markup must balance, elements nest at most `maxDepth` + 2 levels
// (the <plist> element and a scalar element around the containers) and there are at most
// `maxElements` of them; no NUL byte, at most `maxCharacterReferences` references (every '&'
// counts) and none to a character XML forbids; every date is an ISO 8601 time.
// When `looseNumbers` is given, it receives the names of the start and end tags of every
// <integer> or <real> whose text is not a number the parser reads without loss (a number
// holding markup is an error).
std::optional<DecodeError> checkXmlPropertyListShape(
    std::span<const std::uint8_t> data, const DecodeLimits& limits,
    std::vector<XmlNameRange>* looseNumbers = nullptr);

}  // namespace platform
