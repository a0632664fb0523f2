#include "halyard/core/duvavuraz_uvevirarivero.h"

#include "halyard/core/request.h"
#include "platform/foundation/notification_center.h"

namespace halyard {

bool DuvavurazUvevirarivero::receivesEvent(EventMonitorEvent event) const {
  switch (event) {
    case EventMonitorEvent::requestDidResume:
    case EventMonitorEvent::requestDidSuspend:
    case EventMonitorEvent::requestDidCancel:
    case EventMonitorEvent::requestDidFinish:
    case EventMonitorEvent::requestDidResumeTask:
    case EventMonitorEvent::requestDidSuspendTask:
    case EventMonitorEvent::requestDidCancelTask:
    case EventMonitorEvent::requestDidCompleteTaskWithError:
      return true;
    default:
      return false;
  }
}

bool DuvavurazUvevirarivero::wantsEventNow(EventMonitorEvent event) const {
  const std::string* name = nullptr;
  switch (event) {
    case EventMonitorEvent::requestDidResume:
      name = &Request::didResumeName();
      break;
    case EventMonitorEvent::requestDidSuspend:
      name = &Request::didSuspendName();
      break;
    case EventMonitorEvent::requestDidCancel:
      name = &Request::didCancelName();
      break;
    case EventMonitorEvent::requestDidFinish:
      name = &Request::didFinishName();
      break;
    case EventMonitorEvent::requestDidResumeTask:
      name = &Request::didResumeTaskName();
      break;
    case EventMonitorEvent::requestDidSuspendTask:
      name = &Request::didSuspendTaskName();
      break;
    case EventMonitorEvent::requestDidCancelTask:
      name = &Request::didCancelTaskName();
      break;
    case EventMonitorEvent::requestDidCompleteTaskWithError:
      name = &Request::didCompleteTaskName();
      break;
    default:
      return false;
  }
  // The notifications name no sender: an observer of one sender never receives them.
  return platform::NotificationCenter::defaultCenter()->hasObservers(*name, nullptr);
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
