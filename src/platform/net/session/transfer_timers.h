#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "platform/net/url_session.h"

namespace platform::net_detail {

class TransferEngine;
struct Transfer;
using TransferMap = std::map<std::uint64_t, std::unique_ptr<Transfer>>;

// The time-outs of a loop's transfers: the idle time-out, which every sign of progress puts off,
// the resource time-out from the transfer's start, and the retry of a connection that waits for
// connectivity. Walking the transfers is linear in their number, so the walk is kept for when a
// deadline may have fallen due; everything that can bring a deadline nearer notes it here. I/O
// thread only.
class TransferTimers {
 public:
  explicit TransferTimers(const URLSessionConfiguration& configuration)
      : configuration_(configuration) {}

  // The idle time-out of `transfer`, the smaller of the session's and the request's.
  double idleLimit(const Transfer& transfer) const;
  // Marks `transfer` active now, for its idle time-out.
  void touch(Transfer& transfer);
  // The transfer's resource clock started (or a retry put it back among the timed transfers).
  void noteStarted(const Transfer& transfer);
  // A time-out may fall due at `uptime`: the transfers are walked again by then.
  void noteDeadline(double uptime) { due_ = std::min(due_, uptime); }

  // The uptime by which the transfers must be walked again.
  double due() const { return due_; }

  // What the walk found: transfers whose connection is to be tried again, and transfers whose
  // time ran out.
  struct Walk {
    std::vector<Transfer*> retry;
    std::vector<Transfer*> expired;
  };
  // Walks the transfers when a deadline may have fallen due; the caller acts on what is found
  // and then calls `rearm`.
  Walk check(const TransferMap& transfers, double now) const;
  // Acts on what a walk finds now: a waiting connection is tried again, a transfer whose time
  // ran out ends; then the next walk is armed.
  void fire(const TransferMap& transfers, TransferEngine& engine);
  // The next walk falls due at the nearest deadline of `transfers`.
  void rearm(const TransferMap& transfers);

 private:
  double nextDeadline(const TransferMap& transfers) const;

  const URLSessionConfiguration& configuration_;
  // No transfer's time-out falls due before this uptime.
  double due_ = 0;
};

}  // namespace platform::net_detail
