#include "halyard/core/request_task_map.h"

#include "platform/foundation/log.h"

namespace halyard {

void RequestTaskMap::setTask(const URLSessionTaskPtr& task, const RequestPtr& request) {
  tasksToRequests_[task] = TaskEntry{request, Events{}};
}

void RequestTaskMap::removeTask(const URLSessionTaskPtr& task) {
  auto found = tasksToRequests_.find(task);
  if (found == tasksToRequests_.end()) {
    platform::fatal("RequestTaskMap consistency error: no request corresponding to task found.");
  }
  tasksToRequests_.erase(found);
}

RequestPtr RequestTaskMap::requestForTask(const URLSessionTaskPtr& task) const {
  auto found = tasksToRequests_.find(task);
  return found == tasksToRequests_.end() ? nullptr : found->second.request;
}

std::optional<RequestTaskMap::Events> RequestTaskMap::eventsForTask(
    const URLSessionTaskPtr& task) const {
  auto found = tasksToRequests_.find(task);
  if (found == tasksToRequests_.end()) return std::nullopt;
  return found->second.events;
}

void RequestTaskMap::setEvents(const URLSessionTaskPtr& task, Events events) {
  // Events are only ever set for a mapped task.
  auto found = tasksToRequests_.find(task);
  if (found == tasksToRequests_.end()) {
    platform::fatal("RequestTaskMap consistency error: events for a task that is not mapped.");
  }
  found->second.events = events;
}

std::vector<RequestPtr> RequestTaskMap::requests() const {
  std::vector<RequestPtr> result;
  result.reserve(tasksToRequests_.size());
  for (const auto& [task, entry] : tasksToRequests_)
    result.push_back(entry.request);
  return result;
}

}  // namespace halyard
