#pragma once

// Building blocks for test-server handlers: the gate a handler waits on until the test lets it
// go on, chunked answers paced by the client's progress reports, and a body served with ranges as
// a server that supports resumed downloads serves it.

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "support/gate.h"
#include "support/recorder.h"

namespace testsupport {

// Counts the client's progress reports, so that a handler can hold a piece back until the one
// before it was reported.
class ProgressPacer {
 public:
  void reported() {
    {
      std::lock_guard lock(mutex_);
      ++reports_;
    }
    changed_.notify_all();
  }
  void reset() {
    std::lock_guard lock(mutex_);
    reports_ = 0;
  }
  // Waits until `count` reports came, or `limit` passed.
  void waitFor(int count, std::chrono::seconds limit = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return reports_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int reports_ = 0;
};

// Answers `body` chunked in `pieces` pieces (the last takes what is left), each sent only after
// `pacer` counted the report of the one before: pieces sent that way cannot merge on the way.
// `pacer` must outlive the server.
inline void sendPacedPieces(httplib::Response& response, std::string body, int pieces,
                            ProgressPacer& pacer) {
  pieces = std::max(pieces, 1);
  const std::size_t pieceSize =
      std::max<std::size_t>(body.size() / static_cast<std::size_t>(pieces), 1);
  response.set_chunked_content_provider(
      "application/octet-stream", [body = std::move(body), pieces, pieceSize, &pacer](
                                      std::size_t offset, httplib::DataSink& sink) {
        if (offset >= body.size()) {
          sink.done();
          return true;
        }
        const int index = std::min(static_cast<int>(offset / pieceSize), pieces - 1);
        if (index > 0) pacer.waitFor(index);
        const std::size_t size = index == pieces - 1 ? body.size() - offset : pieceSize;
        return sink.write(body.data() + offset, size);
      });
}

// A body served as a server that supports resumption serves it: an open range ("bytes=N-") is
// answered 206 when If-Range is absent or names the current entity tag, anything else 200 with
// the whole body. The first answer can pause until the test opens `gate`, or break off, after a
// given number of bytes. The settings are read by the server's threads: set them before the
// request they are meant for. The object must outlive the server.
class RangedBody {
 public:
  struct FirstAnswer {
    long pauseAfter = -1;  // stop after this many bytes of the body until the gate opens
    long dropAfter = -1;   // close the connection after this many bytes of the body
  };
  struct SeenRequest {
    std::string range;
    std::string ifRange;
  };

  std::string body;
  std::string etag = "\"v1\"";  // no ETag is sent when empty
  bool ignoreRange = false;     // every answer is 200 with the whole body
  long rangeShift = 0;          // Content-Range states a start off by this much
  FirstAnswer firstAnswer;
  Gate gate;

  void serve(const httplib::Request& request, httplib::Response& response) {
    const std::string range = request.get_header_value("Range");
    const std::string ifRange = request.get_header_value("If-Range");
    const bool first = seen_.add({range, ifRange}) == 0;
    // The server would cut the asked-for range out of what the handler gives; here the handler
    // decides what to answer.
    const_cast<httplib::Request&>(request).ranges.clear();
    std::size_t start = 0;
    if (!ignoreRange && std::sscanf(range.c_str(), "bytes=%zu-", &start) == 1 &&
        (ifRange.empty() || ifRange == etag) && start <= body.size()) {
      response.status = 206;
      response.set_header("Content-Range", "bytes " + std::to_string(start + rangeShift) + "-" +
                                               std::to_string(body.size() - 1) + "/" +
                                               std::to_string(body.size()));
    } else {
      start = 0;
    }
    if (!etag.empty()) response.set_header("ETag", etag);
    const FirstAnswer plan = first ? firstAnswer : FirstAnswer{};
    response.set_content_provider(
        body.size() - start, "application/octet-stream",
        [this, start, plan](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
          const long position = static_cast<long>(start + offset);
          long piece = std::min<long>(static_cast<long>(length), 16384);
          for (long limit : {plan.pauseAfter, plan.dropAfter}) {
            if (limit > position) piece = std::min(piece, limit - position);
          }
          if (position == plan.dropAfter) return false;
          if (position == plan.pauseAfter) gate.wait();
          return sink.write(body.data() + position, static_cast<std::size_t>(piece));
        });
  }

  // Every request served so far, oldest first.
  std::vector<SeenRequest> seen() const { return seen_.entries(); }

 private:
  Recorder<SeenRequest> seen_;
};

}  // namespace testsupport
