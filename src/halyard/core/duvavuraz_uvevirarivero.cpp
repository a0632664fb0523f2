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

void DuvavurazUvevirarivero::postRequestNotification(const std::shared_ptr<Request>& request,
                                                     const std::string& name) {
  platform::Notification notification;
  notification.name = name;
  notification.userInfo.emplace(requestNotificationKey(), RequestPtr(request));
  platform::NotificationCenter::defaultCenter()->post(notification);
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
