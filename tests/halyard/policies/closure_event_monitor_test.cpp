#include "halyard/policies/closure_event_monitor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "halyard/core/composite_event_monitor.h"
#include "halyard/core/request.h"

namespace {

using halyard::ClosureEventMonitor;
using halyard::EventMonitor;
using halyard::EventMonitorEvent;
using halyard::HalyardError;

// What the closures saw: "<event being raised>:<arguments>".
struct Log {
  std::string raising;
  std::vector<std::string> calls;
};

std::string describe(std::int64_t value) {
  return std::to_string(value);
}
std::string describe(const platform::URLRequest& request) {
  return request.url->path();
}
std::string describe(const platform::URL& url) {
  return url.path();
}
template <class T>
std::string describe(const T&) {
  return "_";
}

// Converts to a closure of any signature; records which event was being raised and the
// arguments it was given.
struct Recorder {
  Log* log;
  template <class... Args>
  void operator()(const Args&... args) const {
    std::string text = log->raising + ":";
    ((text += describe(args) + ","), ...);
    log->calls.push_back(text);
  }
};

platform::URLRequest urlRequest(const std::string& path) {
  return platform::URLRequest(*platform::URL::fromString("http://127.0.0.1" + path));
}

// Raises all 44 events in requirement order, noting each one's name in the log first.
void raiseAll(EventMonitor& m, Log& log) {
  const halyard::URLSessionPtr session;
  const halyard::URLSessionTaskPtr task;
  const halyard::URLSessionDataTaskPtr dataTask;
  const halyard::URLSessionDownloadTaskPtr downloadTask;
  const halyard::RequestPtr request;
  const std::shared_ptr<halyard::DataRequest> dataRequest;
  const std::shared_ptr<halyard::DataStreamRequest> streamRequest;
  const std::shared_ptr<halyard::UploadRequest> upload;
  const std::shared_ptr<halyard::DownloadRequest> download;
  const auto error = HalyardError::explicitlyCancelled();
  const auto file = *platform::URL::fromString("file:///tmp/file");
  const halyard::ValidationResult valid;
  const halyard::DataResponse<std::optional<platform::Bytes>> dataResponse{
      {}, nullptr, {}, nullptr, 0, std::optional<platform::Bytes>()};
  const halyard::DataResponse<halyard::AnyValue> anyDataResponse{
      {}, nullptr, {}, nullptr, 0, halyard::AnyValue::of(1)};
  const halyard::DownloadResponse<std::optional<platform::URL>> downloadResponse{
      {}, nullptr, {}, {}, nullptr, 0, std::optional<platform::URL>()};
  const halyard::DownloadResponse<halyard::AnyValue> anyDownloadResponse{
      {}, nullptr, {}, {}, nullptr, 0, halyard::AnyValue::of(1)};
  auto raise = [&](const char* name, const std::function<void()>& event) {
    log.raising = name;
    event();
  };
  raise("2", [&] { m.sessionDidBecomeInvalidWithError(session, nullptr); });
  raise("3", [&] { m.taskDidReceiveChallenge(session, task, nullptr); });
  raise("4", [&] { m.taskDidSendBodyData(session, task, 1, 2, 3); });
  raise("5", [&] { m.taskNeedNewBodyStream(session, task); });
  raise("6", [&] { m.taskWillPerformHTTPRedirection(session, task, nullptr, urlRequest("/n")); });
  raise("7", [&] { m.taskDidFinishCollectingMetrics(session, task, nullptr); });
  raise("8", [&] { m.taskDidComplete(session, task, nullptr); });
  raise("9", [&] { m.taskIsWaitingForConnectivity(session, task); });
  raise("10", [&] { m.dataTaskDidReceiveResponse(session, dataTask, nullptr); });
  raise("11", [&] { m.dataTaskDidReceiveData(session, dataTask, platform::Bytes{1}); });
  raise("12", [&] { m.dataTaskWillCacheResponse(session, dataTask, nullptr); });
  raise("13", [&] { m.downloadTaskDidResumeAtOffset(session, downloadTask, 7, 8); });
  raise("14", [&] { m.downloadTaskDidWriteData(session, downloadTask, 4, 5, 6); });
  raise("15", [&] { m.downloadTaskDidFinishDownloadingToURL(session, downloadTask, file); });
  raise("16", [&] { m.requestDidCreateInitialURLRequest(request, urlRequest("/i")); });
  raise("17", [&] { m.requestDidFailToCreateURLRequestWithError(request, error); });
  raise("18", [&] {
    m.requestDidAdaptInitialRequestToAdaptedRequest(request, urlRequest("/i"), urlRequest("/a"));
  });
  raise("19",
        [&] { m.requestDidFailToAdaptURLRequestWithError(request, urlRequest("/i"), error); });
  raise("20", [&] { m.requestDidCreateURLRequest(request, urlRequest("/u")); });
  raise("21", [&] { m.requestDidCreateTask(request, task); });
  raise("22", [&] { m.requestDidGatherMetrics(request, nullptr); });
  raise("23", [&] { m.requestDidFailTaskEarlyWithError(request, task, error); });
  raise("24", [&] { m.requestDidCompleteTaskWithError(request, task, error); });
  raise("25", [&] { m.requestIsRetrying(request); });
  raise("26", [&] { m.requestDidFinish(request); });
  raise("27", [&] { m.requestDidResume(request); });
  raise("28", [&] { m.requestDidResumeTask(request, task); });
  raise("29", [&] { m.requestDidSuspend(request); });
  raise("30", [&] { m.requestDidSuspendTask(request, task); });
  raise("31", [&] { m.requestDidCancel(request); });
  raise("32", [&] { m.requestDidCancelTask(request, task); });
  raise("33", [&] {
    m.requestDidValidateRequestResponseDataWithResult(dataRequest, urlRequest("/v"), nullptr,
                                                      std::nullopt, valid);
  });
  raise("34", [&] { m.requestDidParseResponse(dataRequest, dataResponse); });
  raise("35", [&] { m.requestDidParseResponseValue(dataRequest, anyDataResponse); });
  raise("36", [&] {
    m.requestDidValidateRequestResponseWithResult(streamRequest, std::nullopt, nullptr, valid);
  });
  raise("37", [&] { m.requestDidParseStreamValue(streamRequest, halyard::AnyValue::of(1)); });
  raise("38", [&] { m.requestDidCreateUploadable(upload, nullptr); });
  raise("39", [&] { m.requestDidFailToCreateUploadableWithError(upload, error); });
  raise("40", [&] { m.requestDidProvideInputStream(upload, nullptr); });
  raise("41", [&] { m.requestDidFinishDownloadingUsingTaskWithResult(download, task, file); });
  raise("42", [&] { m.requestDidCreateDestinationURL(download, file); });
  raise("43", [&] {
    m.requestDidValidateRequestResponseFileURLWithResult(download, std::nullopt, nullptr, file,
                                                         valid);
  });
  raise("44", [&] { m.requestDidParseDownloadResponse(download, downloadResponse); });
  raise("45", [&] { m.requestDidParseDownloadResponseValue(download, anyDownloadResponse); });
}

struct Row {
  std::function<void(ClosureEventMonitor&, const Recorder&)> set;
  const char* expected;  // the one call: "<event number>:<arguments>,"
};

TEST(ClosureEventMonitorTest, EachClosureIsCalledByItsEventOnlyWithItsArguments) {
  using M = ClosureEventMonitor;
  const std::vector<Row> rows{
      {[](M& m, const Recorder& r) { m.setSessionDidBecomeInvalidWithError(r); }, "2:_,_,"},
      {[](M& m, const Recorder& r) { m.setTaskDidReceiveChallenge(r); }, "3:_,_,_,"},
      {[](M& m, const Recorder& r) { m.setTaskDidSendBodyData(r); }, "4:_,_,1,2,3,"},
      {[](M& m, const Recorder& r) { m.setTaskNeedNewBodyStream(r); }, "5:_,_,"},
      {[](M& m, const Recorder& r) { m.setTaskWillPerformHTTPRedirection(r); }, "6:_,_,_,/n,"},
      {[](M& m, const Recorder& r) { m.setTaskDidFinishCollectingMetrics(r); }, "7:_,_,_,"},
      {[](M& m, const Recorder& r) { m.setTaskDidComplete(r); }, "8:_,_,_,"},
      {[](M& m, const Recorder& r) { m.setTaskIsWaitingForConnectivity(r); }, "9:_,_,"},
      {[](M& m, const Recorder& r) { m.setDataTaskDidReceiveResponse(r); }, "10:_,_,_,"},
      {[](M& m, const Recorder& r) { m.setDataTaskDidReceiveData(r); }, "11:_,_,_,"},
      {[](M& m, const Recorder& r) { m.setDataTaskWillCacheResponse(r); }, "12:_,_,_,"},
      {[](M& m, const Recorder& r) { m.setDownloadTaskDidFinishDownloadingToURL(r); },
       "15:_,_,/tmp/file,"},
      {[](M& m, const Recorder& r) { m.setDownloadTaskDidWriteData(r); }, "14:_,_,4,5,6,"},
      {[](M& m, const Recorder& r) { m.setDownloadTaskDidResumeAtOffset(r); }, "13:_,_,7,8,"},
      {[](M& m, const Recorder& r) { m.setRequestDidCreateInitialURLRequest(r); }, "16:_,/i,"},
      {[](M& m, const Recorder& r) { m.setRequestDidFailToCreateURLRequestWithError(r); },
       "17:_,_,"},
      {[](M& m, const Recorder& r) { m.setRequestDidAdaptInitialRequestToAdaptedRequest(r); },
       "18:_,/i,/a,"},
      {[](M& m, const Recorder& r) { m.setRequestDidFailToAdaptURLRequestWithError(r); },
       "19:_,/i,_,"},
      {[](M& m, const Recorder& r) { m.setRequestDidCreateURLRequest(r); }, "20:_,/u,"},
      {[](M& m, const Recorder& r) { m.setRequestDidCreateTask(r); }, "21:_,_,"},
      {[](M& m, const Recorder& r) { m.setRequestDidGatherMetrics(r); }, "22:_,_,"},
      {[](M& m, const Recorder& r) { m.setRequestDidFailTaskEarlyWithError(r); }, "23:_,_,_,"},
      {[](M& m, const Recorder& r) { m.setRequestDidCompleteTaskWithError(r); }, "24:_,_,_,"},
      {[](M& m, const Recorder& r) { m.setRequestIsRetrying(r); }, "25:_,"},
      {[](M& m, const Recorder& r) { m.setRequestDidFinish(r); }, "26:_,"},
      {[](M& m, const Recorder& r) { m.setRequestDidResume(r); }, "27:_,"},
      {[](M& m, const Recorder& r) { m.setRequestDidResumeTask(r); }, "28:_,_,"},
      {[](M& m, const Recorder& r) { m.setRequestDidSuspend(r); }, "29:_,"},
      {[](M& m, const Recorder& r) { m.setRequestDidSuspendTask(r); }, "30:_,_,"},
      {[](M& m, const Recorder& r) { m.setRequestDidCancel(r); }, "31:_,"},
      {[](M& m, const Recorder& r) { m.setRequestDidCancelTask(r); }, "32:_,_,"},
      {[](M& m, const Recorder& r) { m.setRequestDidValidateRequestResponseDataWithResult(r); },
       "33:_,_,_,_,_,"},
      {[](M& m, const Recorder& r) { m.setRequestDidParseResponse(r); }, "34:_,_,"},
      {[](M& m, const Recorder& r) { m.setRequestDidValidateRequestResponseWithResult(r); },
       "36:_,_,_,_,"},
      {[](M& m, const Recorder& r) { m.setRequestDidCreateUploadable(r); }, "38:_,_,"},
      {[](M& m, const Recorder& r) { m.setRequestDidFailToCreateUploadableWithError(r); },
       "39:_,_,"},
      {[](M& m, const Recorder& r) { m.setRequestDidProvideInputStream(r); }, "40:_,_,"},
      {[](M& m, const Recorder& r) { m.setRequestDidFinishDownloadingUsingTaskWithResult(r); },
       "41:_,_,_,"},
      {[](M& m, const Recorder& r) { m.setRequestDidCreateDestinationURL(r); }, "42:_,/tmp/file,"},
      {[](M& m, const Recorder& r) { m.setRequestDidValidateRequestResponseFileURLWithResult(r); },
       "43:_,_,_,_,_,"},
      {[](M& m, const Recorder& r) { m.setRequestDidParseDownloadResponse(r); }, "44:_,_,"},
  };
  ASSERT_EQ(rows.size(), 41u);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.expected);
    ClosureEventMonitor monitor;
    Log log;
    row.set(monitor, Recorder{&log});
    raiseAll(monitor, log);
    EXPECT_EQ(log.calls, std::vector<std::string>{row.expected});
  }
}

TEST(ClosureEventMonitorTest, FreshMonitorAndGenericEventsCallNothing) {
  Log log;
  ClosureEventMonitor fresh;
  raiseAll(fresh, log);
  EXPECT_TRUE(log.calls.empty());

  // With the closures nearest to the generic events set, the generic events still call none.
  ClosureEventMonitor monitor;
  monitor.setRequestDidParseResponse(Recorder{&log});
  monitor.setRequestDidParseDownloadResponse(Recorder{&log});
  monitor.setRequestDidValidateRequestResponseWithResult(Recorder{&log});
  raiseAll(monitor, log);
  for (const auto& call : log.calls) {
    EXPECT_TRUE(call.rfind("35:", 0) != 0 && call.rfind("37:", 0) != 0 && call.rfind("45:", 0) != 0)
        << call;
  }
  EXPECT_EQ(log.calls.size(), 3u);
}

TEST(ClosureEventMonitorTest, ReceivesEveryEventWithAClosureSetOrNot) {
  const ClosureEventMonitor monitor;
  for (std::size_t i = 0; i < halyard::kEventMonitorEventCount; ++i) {
    const auto event = EventMonitorEvent(i);
    const bool generic = event == EventMonitorEvent::requestDidParseResponseValue ||
                         event == EventMonitorEvent::requestDidParseStreamValue ||
                         event == EventMonitorEvent::requestDidParseDownloadResponseValue;
    EXPECT_EQ(monitor.receivesEvent(event), !generic) << i;
  }
}

TEST(ClosureEventMonitorTest, ClosuresMayBeReplacedWhileEventsArrive) {
  ClosureEventMonitor monitor;
  std::atomic<int> first{0};
  std::atomic<int> second{0};
  std::atomic<bool> done{false};
  std::thread events([&] {
    while (!done)
      monitor.requestDidFinish(nullptr);
  });
  for (int i = 0; i < 2000; ++i) {
    monitor.setRequestDidFinish([&](const halyard::RequestPtr&) { ++first; });
    monitor.modifyRequestDidFinish([&](ClosureEventMonitor::RequestDidFinishClosure& closure) {
      closure = [&](const halyard::RequestPtr&) { ++second; };
    });
    monitor.setRequestDidFinish(nullptr);
  }
  monitor.setRequestDidFinish([&](const halyard::RequestPtr&) {
    // A closure may replace itself while it runs.
    monitor.setRequestDidFinish(nullptr);
    done = true;
  });
  events.join();
  EXPECT_FALSE(monitor.requestDidFinish());
}

}  // namespace
