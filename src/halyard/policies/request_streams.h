#pragma once

// The request streams: each handler slot of a request read as an asynchronous sequence.
// Include this to call `Request::uploadProgressStream` and its siblings.

#include <memory>
#include <string>

#include "halyard/core/data_request.h"
#include "halyard/core/data_stream_request.h"
#include "halyard/core/request.h"
#include "halyard/policies/stream_of.h"

namespace halyard {

inline StreamOf<ProgressPtr> Request::uploadProgressStream(
    platform::AsyncStream<ProgressPtr>::BufferingPolicy bufferingPolicy) {
  using C = StreamOf<ProgressPtr>::Continuation;
  return StreamOf<ProgressPtr>(
      bufferingPolicy, nullptr,
      makeRequestBoundStream<ProgressPtr>(shared_from_this(), [](Request& r, C c) {
        r.setUploadProgressHandler(r.underlyingQueue(),
                                   [c](const ProgressPtr& progress) { c.yield(progress); });
      }));
}

inline StreamOf<ProgressPtr> Request::downloadProgressStream(
    platform::AsyncStream<ProgressPtr>::BufferingPolicy bufferingPolicy) {
  using C = StreamOf<ProgressPtr>::Continuation;
  return StreamOf<ProgressPtr>(
      bufferingPolicy, nullptr,
      makeRequestBoundStream<ProgressPtr>(shared_from_this(), [](Request& r, C c) {
        r.setDownloadProgressHandler(r.underlyingQueue(),
                                     [c](const ProgressPtr& progress) { c.yield(progress); });
      }));
}

inline StreamOf<platform::URLRequest> Request::urlRequestStream(
    platform::AsyncStream<platform::URLRequest>::BufferingPolicy bufferingPolicy) {
  using C = StreamOf<platform::URLRequest>::Continuation;
  return StreamOf<platform::URLRequest>(
      bufferingPolicy, nullptr,
      makeRequestBoundStream<platform::URLRequest>(shared_from_this(), [](Request& r, C c) {
        r.setURLRequestCreationHandler(r.underlyingQueue(),
                                       [c](const platform::URLRequest& u) { c.yield(u); });
      }));
}

inline StreamOf<URLSessionTaskPtr> Request::urlSessionTaskStream(
    platform::AsyncStream<URLSessionTaskPtr>::BufferingPolicy bufferingPolicy) {
  using C = StreamOf<URLSessionTaskPtr>::Continuation;
  return StreamOf<URLSessionTaskPtr>(
      bufferingPolicy, nullptr,
      makeRequestBoundStream<URLSessionTaskPtr>(shared_from_this(), [](Request& r, C c) {
        r.setTaskCreationHandler(r.underlyingQueue(),
                                 [c](const URLSessionTaskPtr& t) { c.yield(t); });
      }));
}

inline StreamOf<std::string> Request::cURLDescriptionStream(
    platform::AsyncStream<std::string>::BufferingPolicy bufferingPolicy) {
  using C = StreamOf<std::string>::Continuation;
  return StreamOf<std::string>(
      bufferingPolicy, nullptr,
      makeRequestBoundStream<std::string>(shared_from_this(), [](Request& r, C c) {
        r.cURLDescriptionOnQueue(r.underlyingQueue(), [c](const std::string& t) { c.yield(t); });
      }));
}

inline StreamOf<platform::HTTPURLResponsePtr> DataRequest::httpResponseStream(
    platform::AsyncStream<platform::HTTPURLResponsePtr>::BufferingPolicy bufferingPolicy) {
  using C = StreamOf<platform::HTTPURLResponsePtr>::Continuation;
  return StreamOf<platform::HTTPURLResponsePtr>(
      bufferingPolicy, nullptr,
      makeRequestBoundStream<platform::HTTPURLResponsePtr>(shared_from_this(), [](Request& r, C c) {
        auto& self = static_cast<DataRequest&>(r);
        self.setResponseDispositionHandler(
            self.underlyingQueue(), [c](const platform::HTTPURLResponsePtr& response,
                                        std::function<void(ResponseDisposition)> disposition) {
              c.yield(response);
              disposition(ResponseDisposition::allow);
            });
      }));
}

inline StreamOf<platform::HTTPURLResponsePtr> DataStreamRequest::httpResponseStream(
    platform::AsyncStream<platform::HTTPURLResponsePtr>::BufferingPolicy bufferingPolicy) {
  using C = StreamOf<platform::HTTPURLResponsePtr>::Continuation;
  return StreamOf<platform::HTTPURLResponsePtr>(
      bufferingPolicy, nullptr,
      makeRequestBoundStream<platform::HTTPURLResponsePtr>(shared_from_this(), [](Request& r, C c) {
        auto& self = static_cast<DataStreamRequest&>(r);
        self.setResponseDispositionHandler(
            self.underlyingQueue(), [c](const platform::HTTPURLResponsePtr& response,
                                        std::function<void(ResponseDisposition)> disposition) {
              c.yield(response);
              disposition(ResponseDisposition::allow);
            });
      }));
}

}  // namespace halyard
