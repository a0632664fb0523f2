#pragma once

// libplist's parsed tree, for readers that walk it themselves (the generic reader and the
// typed property-list decoder). Internal to platform/coding.

#include <plist/plist.h>

#include <expected>
#include <memory>
#include <span>

#include "platform/coding/value.h"

namespace platform::plist_detail {

struct PlistFree {
  void operator()(void* node) const { plist_free(node); }
};
using PlistTree = std::unique_ptr<void, PlistFree>;

// Checks the raw bytes against `limits` (size, depth, element count, character references,
// malformed objects and dates) and only then lets libplist parse them.
std::expected<PlistTree, DecodeError> parse(std::span<const std::uint8_t> data,
                                            const DecodeLimits& limits);

// A date node's seconds since 2001-01-01T00:00:00Z, whole: libplist's own accessor keeps only
// 32 bits of them. An error for NaN and the infinities.
std::expected<double, DecodeError> dateSeconds(plist_t node);

// An integer node as the generic reader stores it (std::int64_t where it fits).
Value integerValue(plist_t node);

// The subtree at `node` as a loosely typed value; `limits` bounds its depth and size again.
std::expected<Value, DecodeError> toValue(plist_t node, const DecodeLimits& limits);

}  // namespace platform::plist_detail
