#pragma once

#include <string>

#include "platform/coding/value.h"

namespace platform {

// A value as one line of text for people reading a console: dictionaries as
// `{ "key": value, ... }` in key order (`{}` when empty), arrays as `[a, b]`, texts in double
// quotes as they stand, bytes as `<N bytes>`. Nothing is escaped; a caller printing text that
// came from outside escapes the whole line.
std::string describeValue(const Value& value);

}  // namespace platform
