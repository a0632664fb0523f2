#pragma once

// An HTTP server on 127.0.0.1 for the downloader's tests. It counts hits per path, tracks how
// many answers it is producing at once, and can hold the answers of a path until the test
// releases them, so that "in flight" is a fact rather than a matter of timing.

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "support/http_test_server.h"

namespace imagetest {

class ImageServer {
 public:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

  ImageServer() : server_(/*onePerConnection=*/true) {
    server_.server().new_task_queue = [] { return new httplib::ThreadPool(16); };
    server_.server().Get(".*", [this](const httplib::Request& request,
                                      httplib::Response& response) { answer(request, response); });
    base_ = server_.start();
  }
  ~ImageServer() {
    releaseAll();
    server_.stop();
  }

  std::string url(const std::string& path) const { return base_ + path; }

  void serve(const std::string& path, std::string body, std::string contentType, int status = 200) {
    route(path, [body = std::move(body), contentType = std::move(contentType), status](
                    const httplib::Request&, httplib::Response& response) {
      response.status = status;
      if (!body.empty() || !contentType.empty()) response.set_content(body, contentType);
    });
  }
  void route(const std::string& path, Handler handler) {
    std::lock_guard lock(mutex_);
    routes_[path] = std::move(handler);
  }

  // Answers for `path` wait until `release`.
  void hold(const std::string& path) {
    std::lock_guard lock(mutex_);
    held_.insert(path);
  }
  void release(const std::string& path) {
    std::lock_guard lock(mutex_);
    held_.erase(path);
    changed_.notify_all();
  }
  void releaseAll() {
    std::lock_guard lock(mutex_);
    held_.clear();
    released_ = true;
    changed_.notify_all();
  }

  int hits(const std::string& path) const {
    std::lock_guard lock(mutex_);
    auto found = hits_.find(path);
    return found == hits_.end() ? 0 : found->second;
  }
  int totalHits() const {
    std::lock_guard lock(mutex_);
    int total = 0;
    for (const auto& [path, count] : hits_)
      total += count;
    return total;
  }
  // Answers being produced now, and the most at any one time.
  int inFlight() const {
    std::lock_guard lock(mutex_);
    return inFlight_;
  }
  int maxInFlight() const {
    std::lock_guard lock(mutex_);
    return maxInFlight_;
  }
  // How many answers for `path` are waiting on a hold.
  int waiting(const std::string& path) const {
    std::lock_guard lock(mutex_);
    auto found = waiting_.find(path);
    return found == waiting_.end() ? 0 : found->second;
  }
  std::string lastAuthorization() const {
    std::lock_guard lock(mutex_);
    return lastAuthorization_;
  }

 private:
  void answer(const httplib::Request& request, httplib::Response& response) {
    Handler handler;
    {
      std::unique_lock lock(mutex_);
      ++hits_[request.path];
      ++inFlight_;
      maxInFlight_ = std::max(maxInFlight_, inFlight_);
      if (request.has_header("Authorization")) {
        lastAuthorization_ = request.get_header_value("Authorization");
      }
      ++waiting_[request.path];
      // Never longer than a test may take, so a failing test cannot hang the shutdown.
      changed_.wait_for(lock, std::chrono::seconds(30),
                        [&] { return released_ || !held_.contains(request.path); });
      --waiting_[request.path];
      auto found = routes_.find(request.path);
      if (found != routes_.end()) handler = found->second;
    }
    if (handler) {
      handler(request, response);
    } else {
      response.status = 404;
      response.set_content("no such picture", "text/plain");
    }
    std::lock_guard lock(mutex_);
    --inFlight_;
  }

  testsupport::HttpTestServer server_;
  std::string base_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, Handler> routes_;
  std::set<std::string> held_;
  std::map<std::string, int> hits_;
  std::map<std::string, int> waiting_;
  bool released_ = false;
  int inFlight_ = 0;
  int maxInFlight_ = 0;
  std::string lastAuthorization_;
};

}  // namespace imagetest
