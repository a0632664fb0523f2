#include "halyard/core/request_task_map.h"

#include "platform/foundation/log.h"

namespace halyard {

void RequestTaskMap::setTask(const URLSessionTaskPtr& task, const RequestPtr& request) {
  requestsToTasks_[request] = task;
  tasksToRequests_[task] = request;
  taskEvents_[task] = Events{};
}

void RequestTaskMap::removeTask(const URLSessionTaskPtr& task) {
  auto found = tasksToRequests_.find(task);
  if (found == tasksToRequests_.end()) {
    platform::fatal("RequestTaskMap consistency error: no request corresponding to task found.");
  }
  const RequestPtr request = found->second;
  tasksToRequests_.erase(found);
  requestsToTasks_.erase(request);
  taskEvents_.erase(task);
}

RequestPtr RequestTaskMap::requestForTask(const URLSessionTaskPtr& task) const {
  auto found = tasksToRequests_.find(task);
  return found == tasksToRequests_.end() ? nullptr : found->second;
}

URLSessionTaskPtr RequestTaskMap::taskForRequest(const RequestPtr& request) const {
  auto found = requestsToTasks_.find(request);
  return found == requestsToTasks_.end() ? nullptr : found->second;
}

std::optional<RequestTaskMap::Events> RequestTaskMap::eventsForTask(
    const URLSessionTaskPtr& task) const {
  auto found = taskEvents_.find(task);
  if (found == taskEvents_.end()) return std::nullopt;
  return found->second;
}

void RequestTaskMap::setEvents(const URLSessionTaskPtr& task, Events events) {
  taskEvents_[task] = events;
}

std::vector<RequestPtr> RequestTaskMap::requests() const {
  std::vector<RequestPtr> result;
  result.reserve(tasksToRequests_.size());
  for (const auto& [task, request] : tasksToRequests_)
    result.push_back(request);
  return result;
}

}  // namespace halyard
