#include "halyard/core/duvavuraz_uvevirarivero.h"

#include "halyard/core/request.h"
#include "platform/foundation/notification_center.h"

namespace halyard {

namespace {

// The notification each lifecycle event posts; none for every other event.
const std::string* notificationName(EventMonitorEvent event) {
  switch (event) {
    case EventMonitorEvent::requestDidResume:
      return &Request::didResumeName();
    case EventMonitorEvent::requestDidSuspend:
      return &Request::didSuspendName();
    case EventMonitorEvent::requestDidCancel:
      return &Request::didCancelName();
    case EventMonitorEvent::requestDidFinish:
      return &Request::didFinishName();
    case EventMonitorEvent::requestDidResumeTask:
      return &Request::didResumeTaskName();
    case EventMonitorEvent::requestDidSuspendTask:
      return &Request::didSuspendTaskName();
    case EventMonitorEvent::requestDidCancelTask:
      return &Request::didCancelTaskName();
    case EventMonitorEvent::requestDidCompleteTaskWithError:
      return &Request::didCompleteTaskName();
    default:
      return nullptr;
  }
}

}  // namespace

bool DuvavurazUvevirarivero::receivesEvent(EventMonitorEvent event) const {
  return notificationName(event) != nullptr;
}

bool DuvavurazUvevirarivero::wantsEventNow(EventMonitorEvent event) const {
  // The notifications name no sender: an observer of one sender never receives them.
  const std::string* name = notificationName(event);
  return name && platform::NotificationCenter::defaultCenter()->hasObservers(*name, nullptr);
}

void DuvavurazUvevirarivero::postRequestNotification(const std::shared_ptr<Request>& request,
                                                     const std::string& name) {
  // Every request posts several of these, one after another on the main thread. One
  // notification per thread is refilled for each post, so a post allocates nothing for its name
  // or for its user-info entry and that entry's key. Observers see it only during the post (the
  // centre copies it for those that run elsewhere); one that posts again from inside gets a
  // fresh notification, and the request is let go as soon as the post returns.
  thread_local platform::Notification reused;
  thread_local bool inUse = false;
  if (inUse) {
    platform::Notification notification;
    notification.name = name;
    notification.userInfo.emplace(requestNotificationKey(), RequestPtr(request));
    platform::NotificationCenter::defaultCenter()->post(notification);
    return;
  }
  if (reused.userInfo.empty()) reused.userInfo.emplace(requestNotificationKey(), std::any());
  std::any& slot = reused.userInfo.begin()->second;
  struct Release {
    std::any& slot;
    ~Release() {
      slot.reset();
      inUse = false;
    }
  };
  inUse = true;
  const Release release{slot};
  reused.name = name;
  slot = RequestPtr(request);
  platform::NotificationCenter::defaultCenter()->post(reused);
}

void DuvavurazUvevirarivero::requestDidResume(const std::shared_ptr<Request>& request) {
  postRequestNotification(request, Request::didResumeName());
}

void DuvavurazUvevirarivero::requestDidSuspend(const std::shared_ptr<Request>& request) {
  postRequestNotification(request, Request::didSuspendName());
}

void DuvavurazUvevirarivero::requestDidCancel(const std::shared_ptr<Request>& request) {
  postRequestNotification(request, Request::didCancelName());
}

void DuvavurazUvevirarivero::requestDidFinish(const std::shared_ptr<Request>& request) {
  postRequestNotification(request, Request::didFinishName());
}

void DuvavurazUvevirarivero::requestDidResumeTask(const std::shared_ptr<Request>& request,
                                                  const URLSessionTaskPtr&) {
  postRequestNotification(request, Request::didResumeTaskName());
}

void DuvavurazUvevirarivero::requestDidSuspendTask(const std::shared_ptr<Request>& request,
                                                   const URLSessionTaskPtr&) {
  postRequestNotification(request, Request::didSuspendTaskName());
}

void DuvavurazUvevirarivero::requestDidCancelTask(const std::shared_ptr<Request>& request,
                                                  const URLSessionTaskPtr&) {
  postRequestNotification(request, Request::didCancelTaskName());
}

void DuvavurazUvevirarivero::requestDidCompleteTaskWithError(
    const std::shared_ptr<Request>& request, const URLSessionTaskPtr&,
    const std::optional<HalyardError>&) {
  postRequestNotification(request, Request::didCompleteTaskName());
}

}  // namespace halyard
