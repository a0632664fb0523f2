#include "halyard/core/server_trust_manager.h"

#include "halyard/core/halyard_error.h"

namespace halyard {

ServerTrustEvaluatingPtr ServerTrustManager::evaluatorForHost(const std::string& host) const {
  if (auto it = evaluators.find(host); it != evaluators.end()) return it->second;
  if (allHostsMustBeEvaluated) {
    throw HalyardError::serverTrustEvaluationFailed(
        HalyardError::ServerTrustFailureReason::NoRequiredEvaluator{host});
  }
  return nullptr;
}

}  // namespace halyard
