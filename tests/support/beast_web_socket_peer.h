#pragma once

// An independent web-socket peer for interoperability tests and benchmarks, built on
// Boost.Beast. Beast stays behind this header (compiled once, in its own support library).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

// Echoes every message on 127.0.0.1. A text "close:<code>:<reason>" makes it close the socket
// with that code and reason instead.
class BeastEchoServer {
 public:
  struct Options {
    // Each echo goes out as 1-byte fragments with a ping between them.
    bool fragmentWithPings = false;
    // The subprotocol to choose when the client offers it.
    std::optional<std::string> subprotocol;
    // Keep every message received (as "t:<text>" or "b:<size>") for the test to read.
    bool record = false;
    // Do not echo (only record).
    bool silent = false;
  };
  explicit BeastEchoServer(Options options);
  ~BeastEchoServer();
  BeastEchoServer(const BeastEchoServer&) = delete;
  BeastEchoServer& operator=(const BeastEchoServer&) = delete;

  int port() const;
  std::vector<std::string> received() const;
  // "closed:<code>:<reason>" for each connection the client closed, in order.
  std::vector<std::string> closes() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// A Beast client that sends `count` messages of `size` bytes and reads each echo; the seconds
// it took, or a negative number on failure.
double beastEchoRun(int port, std::size_t count, std::size_t size, bool binary);

}  // namespace testing_support
