#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "halyard/core/event_monitor.h"
#include "halyard/core/request.h"
#include "platform/foundation/file_manager.h"
#include "platform/net/url_credential.h"
#include "platform/net/url_session.h"

namespace halyard {

class ServerTrustManager;

// What the challenge rule decided: the platform's disposition, the credential to use, and the
// error a refused server trust leaves on the request.
struct ChallengeEvaluation {
  platform::URLSessionDelegate::AuthChallengeDisposition disposition;
  std::optional<platform::URLCredential> credential;
  std::optional<HalyardError> error;
};

// What the session delegate asks of its session.
class SessionStateProvider {
 public:
  virtual ~SessionStateProvider() = default;
  virtual std::shared_ptr<ServerTrustManager> serverTrustManager() const = 0;
  virtual std::shared_ptr<RedirectHandler> redirectHandler() const = 0;
  virtual std::shared_ptr<CachedResponseHandler> cachedResponseHandler() const = 0;
  virtual RequestPtr requestForTask(const URLSessionTaskPtr& task) = 0;
  virtual void didGatherMetricsForTask(const URLSessionTaskPtr& task) = 0;
  // `completion` runs once both the task's metrics and its completion have arrived.
  virtual void didCompleteTask(const URLSessionTaskPtr& task, std::function<void()> completion) = 0;
  virtual std::optional<platform::URLCredential> credentialForTask(
      const URLSessionTaskPtr& task, const platform::URLProtectionSpace& space) = 0;
  virtual void cancelRequestsForSessionInvalidation(const platform::ErrorPtr& error) = 0;
};

// The one receiver of a session's URL-loading callbacks. Each callback is reported to the event
// monitor first; then the request that owns the task is looked up through the state provider
// and handed the event, or the platform gets the neutral answer when there is no such request.
// Callbacks arrive on the session's delegate queue, which runs on its root queue.
//
// A finished download is moved here, with the file manager, to where its request's destination
// says; the request then learns the final location or why the move failed.
class SessionDelegate : public platform::URLSessionDelegate {
 public:
  explicit SessionDelegate(
      platform::FileManagerPtr fileManager = platform::FileManager::defaultManager())
      : fileManager_(fileManager ? std::move(fileManager)
                                 : platform::FileManager::defaultManager()) {}

  const platform::FileManagerPtr& fileManager() const { return fileManager_; }

  std::shared_ptr<SessionStateProvider> stateProvider() const { return stateProvider_.lock(); }
  void setStateProvider(std::weak_ptr<SessionStateProvider> provider) {
    stateProvider_ = std::move(provider);
  }
  const EventMonitorPtr& eventMonitor() const { return eventMonitor_; }
  // Set once, before any task exists.
  void setEventMonitor(EventMonitorPtr monitor) { eventMonitor_ = std::move(monitor); }

  // The request of `task` when it is a `R` (or derives from it).
  template <class R>
  std::shared_ptr<R> typedRequest(const URLSessionTaskPtr& task) const {
    auto provider = stateProvider();
    if (!provider) return nullptr;
    return std::dynamic_pointer_cast<R>(provider->requestForTask(task));
  }

  void didBecomeInvalidWithError(const SessionPtr& session, platform::ErrorPtr error) override;
  // Credentials for the HTTP schemes and client certificates (never after a failure); server
  // trust through the session's trust manager, whose refusal cancels the challenge and becomes
  // the request's error.
  void didReceiveChallenge(const SessionPtr& session, const TaskPtr& task,
                           const ChallengePtr& challenge,
                           ChallengeHandler completionHandler) override;
  ChallengeEvaluation attemptServerTrustEvaluation(const ChallengePtr& challenge) const;
  // The request's own cached-response handler, else the session's, else the proposal; without
  // a state provider the proposal at once.
  void willCacheResponse(
      const SessionPtr& session, const DataTaskPtr& task,
      const platform::CachedURLResponsePtr& proposedResponse,
      std::function<void(platform::CachedURLResponsePtr)> completionHandler) override;
  // The request's own redirect handler, else the session's, else the proposal unchanged.
  void willPerformHTTPRedirection(
      const SessionPtr& session, const TaskPtr& task, const platform::HTTPURLResponsePtr& response,
      const platform::URLRequest& newRequest,
      std::function<void(std::optional<platform::URLRequest>)> completionHandler) override;
  void taskIsWaitingForConnectivity(const SessionPtr& session, const TaskPtr& task) override;
  void didFinishCollectingMetrics(const SessionPtr& session, const TaskPtr& task,
                                  const platform::URLSessionTaskMetrics& metrics) override;
  void didCompleteWithError(const SessionPtr& session, const TaskPtr& task,
                            platform::ErrorPtr error) override;
  void didReceiveResponse(const SessionPtr& session, const DataTaskPtr& task,
                          const platform::URLResponsePtr& response,
                          std::function<void(ResponseDisposition)> completionHandler) override;
  void didReceiveData(const SessionPtr& session, const DataTaskPtr& task,
                      const platform::Bytes& data) override;
  void didReceiveOwnedData(const SessionPtr& session, const DataTaskPtr& task,
                           platform::Bytes&& data) override;
  void didSendBodyData(const SessionPtr& session, const TaskPtr& task, std::int64_t bytesSent,
                       std::int64_t totalBytesSent, std::int64_t totalBytesExpectedToSend) override;
  void needNewBodyStream(const SessionPtr& session, const TaskPtr& task,
                         std::function<void(platform::InputStreamPtr)> completionHandler) override;
  void didWriteData(const SessionPtr& session, const DownloadTaskPtr& task,
                    std::int64_t bytesWritten, std::int64_t totalBytesWritten,
                    std::int64_t totalBytesExpectedToWrite) override;
  void didResumeAtOffset(const SessionPtr& session, const DownloadTaskPtr& task,
                         std::int64_t fileOffset, std::int64_t expectedTotalBytes) override;
  // Moves the file (removing what is at the destination, making its folder, as the options
  // say) before it returns; the temporary file is gone after that.
  void didFinishDownloadingToURL(const SessionPtr& session, const DownloadTaskPtr& task,
                                 const platform::URL& location) override;
  // The web-socket callbacks are not reported to the event monitor.
  void didOpenWithProtocol(const SessionPtr& session, const WebSocketTaskPtr& task,
                           std::optional<std::string> protocol) override;
  // An empty reason reaches the request as none.
  void didCloseWithCode(const SessionPtr& session, const WebSocketTaskPtr& task,
                        platform::URLSessionWebSocketCloseCode closeCode,
                        std::optional<platform::Bytes> reason) override;

 private:
  // A piece of a data task's body for its request; `owned`, when given, is `data` itself, the
  // delegate's to take.
  void receiveBody(const SessionPtr& session, const DataTaskPtr& task, const platform::Bytes& data,
                   platform::Bytes* owned);

  const platform::FileManagerPtr fileManager_;
  std::weak_ptr<SessionStateProvider> stateProvider_;
  EventMonitorPtr eventMonitor_;
};

}  // namespace halyard
