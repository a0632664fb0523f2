#pragma once

#include "platform/net/percent_encoding.h"

namespace halyard {

// What may stand unescaped in a query or form value: the URL-query set without the characters
// that delimit pairs or that servers read specially (":#[]@!$&'()*+,;="). Left allowed are
// ASCII letters, digits and "-._~/?". Built once and shared by every query and form writer.
const platform::URLCharacterSet& queryValueAllowedCharacters();

}  // namespace halyard
