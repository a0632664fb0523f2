#pragma once

#include "platform/coding/coder.h"
#include "platform/foundation/date.h"

namespace platform {

// A date's default coding: one number, its seconds since 2001-01-01T00:00:00Z. Writing exactly
// the stored double makes every round trip lossless. Found by argument-dependent lookup, so any
// Encodable type holding a `Date` codes it this way without further ado.
void encode(Encoder& encoder, const Date& date);
// Reads the format's date (that number, where the format has no dates of its own); anything
// else is the container's typeMismatch (valueNotFound for null).
void decode(Decoder& decoder, Date& date);

}  // namespace platform
