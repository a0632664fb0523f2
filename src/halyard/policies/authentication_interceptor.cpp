#include "halyard/policies/authentication_interceptor.h"

namespace halyard {

std::string AuthenticationError::localizedDescription() const {
  switch (kind_) {
    case Kind::missingCredential:
      return "No credential is available to authenticate the request.";
    case Kind::excessiveRefresh:
      return "The credential was refreshed too often within the refresh window.";
    case Kind::refreshCompletionDropped:
      return "The authenticator dropped its refresh completion without calling it.";
  }
  return {};
}

}  // namespace halyard
