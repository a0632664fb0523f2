#pragma once

#include <map>
#include <memory>
#include <string>

#include "platform/security/sec_trust.h"

namespace halyard {

// Decides whether a server's certificate chain is accepted for a host: returns when it is,
// throws (a `HalyardError`, or any error of a custom evaluator) when it is not.
class ServerTrustEvaluating {
 public:
  virtual ~ServerTrustEvaluating() = default;
  virtual void evaluateTrust(const platform::SecTrustPtr& trust, const std::string& host) const = 0;
};

using ServerTrustEvaluatingPtr = std::shared_ptr<const ServerTrustEvaluating>;

// The evaluator of each host. Hosts are looked up exactly as given.
class ServerTrustManager {
 public:
  explicit ServerTrustManager(std::map<std::string, ServerTrustEvaluatingPtr> evaluators,
                              bool allHostsMustBeEvaluated = true)
      : allHostsMustBeEvaluated(allHostsMustBeEvaluated), evaluators(std::move(evaluators)) {}
  virtual ~ServerTrustManager() = default;

  // None for a host without an evaluator, unless every host must be evaluated: then that
  // throws `noRequiredEvaluator`.
  virtual ServerTrustEvaluatingPtr evaluatorForHost(const std::string& host) const;

  const bool allHostsMustBeEvaluated;
  const std::map<std::string, ServerTrustEvaluatingPtr> evaluators;
};

}  // namespace halyard
