#include "halyard/core/duvavuraz_uvevirarivero.h"

#include <mutex>
#include <utility>
#include <vector>

#include "halyard/core/request.h"
#include "platform/dispatch/main_queue.h"
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

// The events noted and not yet run, process-wide: the monitors are interchangeable, and one
// order across sessions is the order the events were raised in.
struct Noted {
  std::mutex mutex;
  std::vector<std::function<void(EventMonitor&)>> pending;
  // Whether a main-queue item is on its way to run `pending`, and whether it was queued without
  // waking the main thread (and nothing has woken it for the notes since).
  bool scheduled = false;
  bool quiet = false;
};

Noted& noted() {
  static Noted* const instance = new Noted;  // never destroyed: events may outlive statics
  return *instance;
}

}  // namespace

bool DuvavurazUvevirarivero::receivesEvent(EventMonitorEvent event) const {
  return notificationName(event) != nullptr;
}

void DuvavurazUvevirarivero::takeRaisedEvent(EventMonitorEvent kind,
                                             std::function<void(EventMonitor&)> event) {
  const std::string* name = notificationName(kind);
  const bool observed =
      name && platform::NotificationCenter::defaultCenter()->hasObservers(*name, nullptr);
  Noted& state = noted();
  bool schedule = false;
  bool wake = false;
  {
    const std::lock_guard lock(state.mutex);
    state.pending.push_back(std::move(event));
    schedule = !std::exchange(state.scheduled, true);
    if (schedule && !observed) {
      // Queued under the lock, so that a wake asked for below by a later note cannot come
      // before the item is in the queue.
      state.quiet = true;
      platform::enqueueOnMainQuietly([] { runNoted(); });
      return;
    }
    if (!schedule && observed && state.quiet) {
      // The item on its way was queued quietly; this note is heard, so the main thread is woken
      // to run the item where it stands.
      state.quiet = false;
      wake = true;
    }
  }
  if (schedule) {
    platform::DispatchQueue::main()->async([] { runNoted(); });
  } else if (wake) {
    platform::wakeMainQueue();
  }
}

void DuvavurazUvevirarivero::runNoted() {
  // The monitor that noted an event may be gone by now; any instance posts the same.
  static DuvavurazUvevirarivero poster;
  std::vector<std::function<void(EventMonitor&)>> batch;
  {
    const std::lock_guard lock(noted().mutex);
    batch.swap(noted().pending);
    noted().scheduled = false;
    noted().quiet = false;
  }
  // Events an observer raises while being told go to the next item, after this batch.
  for (auto& event : batch) {
    event(poster);
    event = nullptr;
  }
}

void DuvavurazUvevirarivero::postRequestNotification(const std::shared_ptr<Request>& request,
                                                     const std::string& name) {
  // Asked as the notification would be posted, so that an observer added after the event was
  // raised, before the main queue ran, hears of it. The notifications name no sender: an
  // observer of one sender never receives them.
  if (!platform::NotificationCenter::defaultCenter()->hasObservers(name, nullptr)) return;
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
