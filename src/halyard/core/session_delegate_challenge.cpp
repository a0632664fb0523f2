#include "halyard/core/server_trust_manager.h"
#include "halyard/core/session_delegate.h"

namespace halyard {

using Disposition = platform::URLSessionDelegate::AuthChallengeDisposition;
using platform::URLProtectionSpace;

namespace {

// A custom evaluator's failure that is not an error of this system.
class EvaluatorFailure : public platform::Error {
 public:
  explicit EvaluatorFailure(std::string text) : text_(std::move(text)) {}
  std::string localizedDescription() const override { return text_; }

 private:
  std::string text_;
};

}  // namespace

void SessionDelegate::didReceiveChallenge(const SessionPtr& session, const TaskPtr& task,
                                          const ChallengePtr& challenge,
                                          ChallengeHandler completionHandler) {
  if (eventMonitor_) eventMonitor_->taskDidReceiveChallenge(session, task, challenge);

  ChallengeEvaluation evaluation{Disposition::performDefaultHandling, std::nullopt, std::nullopt};
  const auto& method = challenge->protectionSpace().authenticationMethod();
  const bool credentialMethod = method == URLProtectionSpace::methodHTTPBasic ||
                                method == URLProtectionSpace::methodHTTPDigest ||
                                method == URLProtectionSpace::methodNTLM ||
                                method == URLProtectionSpace::methodNegotiate ||
                                method == URLProtectionSpace::methodClientCertificate;
  if (credentialMethod) {
    if (challenge->previousFailureCount() != 0) {
      evaluation = {Disposition::rejectProtectionSpace, std::nullopt, std::nullopt};
    } else if (auto provider = stateProvider()) {
      if (auto credential = provider->credentialForTask(task, challenge->protectionSpace())) {
        evaluation = {Disposition::useCredential, std::move(credential), std::nullopt};
      }
    }
  } else if (method == URLProtectionSpace::methodServerTrust) {
    evaluation = attemptServerTrustEvaluation(challenge);
  }

  if (evaluation.error) {
    if (auto request = typedRequest<Request>(task)) {
      request->recordEarlyTaskFailure(task, *evaluation.error);
    }
  }
  completionHandler(evaluation.disposition, std::move(evaluation.credential));
}

ChallengeEvaluation SessionDelegate::attemptServerTrustEvaluation(
    const ChallengePtr& challenge) const {
  const ChallengeEvaluation defaultHandling{Disposition::performDefaultHandling, std::nullopt,
                                            std::nullopt};
  const auto& space = challenge->protectionSpace();
  const std::string& host = space.host();
  if (space.authenticationMethod() != URLProtectionSpace::methodServerTrust ||
      !space.serverTrust()) {
    return defaultHandling;
  }
  auto provider = stateProvider();
  if (!provider) return defaultHandling;
  auto manager = provider->serverTrustManager();
  if (!manager) return defaultHandling;
  try {
    auto evaluator = manager->evaluatorForHost(host);
    if (!evaluator) return defaultHandling;
    evaluator->evaluateTrust(space.serverTrust(), host);
    return {Disposition::useCredential, platform::URLCredential(space.serverTrust()), std::nullopt};
  } catch (const HalyardError& error) {
    return {Disposition::cancelAuthenticationChallenge, std::nullopt, error};
  } catch (const platform::Error& error) {
    // The error keeps its own type: the pointer shares ownership of the thrown object.
    auto thrown = std::make_shared<std::exception_ptr>(std::current_exception());
    return {Disposition::cancelAuthenticationChallenge, std::nullopt,
            HalyardError::serverTrustEvaluationFailed(
                HalyardError::ServerTrustFailureReason::CustomEvaluationFailed{
                    platform::ErrorPtr(thrown, &error)})};
  } catch (const std::exception& error) {
    return {Disposition::cancelAuthenticationChallenge, std::nullopt,
            HalyardError::serverTrustEvaluationFailed(
                HalyardError::ServerTrustFailureReason::CustomEvaluationFailed{
                    platform::makeError(EvaluatorFailure(error.what()))})};
  }
}

}  // namespace halyard
