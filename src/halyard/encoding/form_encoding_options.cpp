#include "halyard/encoding/form_encoding_options.h"

namespace halyard {

std::string ArrayEncoding::encode(const std::string& key, int index) const {
  switch (kind_) {
    case Kind::brackets:
      return key + "[]";
    case Kind::noBrackets:
      return key;
    case Kind::indexInBrackets:
      return key + "[" + std::to_string(index) + "]";
    case Kind::custom:
      return function_(key, index);
  }
  return key;
}

}  // namespace halyard
