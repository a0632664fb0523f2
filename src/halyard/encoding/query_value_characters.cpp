#include "halyard/encoding/query_value_characters.h"

namespace halyard {

const platform::URLCharacterSet& queryValueAllowedCharacters() {
  static const platform::URLCharacterSet set =
      platform::URLCharacterSet::urlQueryAllowed().removing(":#[]@!$&'()*+,;=");
  return set;
}

}  // namespace halyard
