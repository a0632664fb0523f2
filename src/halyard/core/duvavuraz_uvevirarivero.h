#pragma once

#include <string>

#include "halyard/core/event_monitor.h"

namespace halyard {

// The event monitor that posts the request notifications.
//
// It announces the lifecycle of every request to the whole process through the default
// notification centre: one notification per resume, suspend, cancel and finish of a request
// and of its tasks, with no sender and the request under `requestNotificationKey()`. Every
// session installs one ahead of its own monitors; it runs on the main queue, so the
// notifications are posted on the main thread in event order.
class DuvavurazUvevirarivero : public EventMonitor {
 public:
  // Only the eight lifecycle events are relayed to it.
  bool receivesEvent(EventMonitorEvent event) const override;
  // Each event is noted where it is raised, and the notes reach the main queue together: one
  // main-queue item per run of events instead of two hops per event. Whether anybody observes a
  // notification is asked there, as it is posted, so an observer added on the main thread after
  // the event but before the post still hears of it. While nobody observes a note's
  // notification when it is raised, its item goes to the main queue without waking the main
  // thread: it runs in its place with the next drain, so it is still posted to an observer
  // added meanwhile, and an idle main thread is not woken to post what nobody hears.
  bool takesEventsWhereRaised() const override { return true; }
  void takeRaisedEvent(EventMonitorEvent kind, std::function<void(EventMonitor&)> event) override;
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
  // On the main queue: runs every noted event, in order.
  static void runNoted();
};

}  // namespace halyard
