#pragma once

#include <string>

#include "halyard/policies/event_monitor.h"

namespace halyard {

// Announces the lifecycle of every request to the whole process through the default
// notification centre: one notification per resume, suspend, cancel and finish of a request
// and of its tasks, with no sender and the request under `requestNotificationKey()`. Every
// session installs one ahead of its own monitors; it runs on the main queue, so the
// notifications are posted on the main thread in event order.
class DuvavurazUvevirarivero : public EventMonitor {
 public:
  // Only the eight lifecycle events are relayed to it.
  bool receivesEvent(EventMonitorEvent event) const override;
  // Only while somebody observes the event's notification: a post nobody can receive is left
  // out, with its hops to the main queue.
  bool wantsEventNow(EventMonitorEvent event) const override;
  void requestDidResume(const std::shared_ptr<Request>& request) override;
  void requestDidSuspend(const std::shared_ptr<Request>& request) override;
  void requestDidCancel(const std::shared_ptr<Request>& request) override;
  void requestDidFinish(const std::shared_ptr<Request>& request) override;
  void requestDidResumeTask(const std::shared_ptr<Request>& request,
                            const URLSessionTaskPtr& task) override;
  void requestDidSuspendTask(const std::shared_ptr<Request>& request,
                             const URLSessionTaskPtr& task) override;
  void requestDidCancelTask(const std::shared_ptr<Request>& request,
                            const URLSessionTaskPtr& task) override;
  void requestDidCompleteTaskWithError(const std::shared_ptr<Request>& request,
                                       const URLSessionTaskPtr& task,
                                       const std::optional<HalyardError>& error) override;

 private:
  static void postRequestNotification(const std::shared_ptr<Request>& request,
                                      const std::string& name);
};

}  // namespace halyard
