#pragma once

#include <chrono>

namespace platform {

// When a capture takes its frames. Frames sit on a fixed schedule of one slot per interval:
// a frame may be taken once its slot has opened, and the next slot opens one interval after
// the previous slot, not one interval after the grab. Spacing frames from the moment they
// were grabbed would add every late wake-up to the period, so a display changing exactly
// once per interval would now and then change twice between two grabs and lose a frame.
// At most one frame is taken per slot, so a display changing faster than the interval still
// gets at most one frame per interval on average over any stretch of time. A grab more than
// a whole interval late (the display stood still, or the machine stalled) starts the
// schedule afresh from that grab instead of catching up in a burst.
//
// Nothing is due unless the display changed: after a frame, one idle report follows once a
// whole slot has gone by without a change, and then nothing until the next change.
class FramePacer {
 public:
  using Clock = std::chrono::steady_clock;

  explicit FramePacer(Clock::duration interval)
      : interval_(interval < Clock::duration::zero() ? Clock::duration::zero() : interval) {}

  // No time at all: what `wakeAt` holds when nothing is due before the next change.
  static constexpr Clock::time_point never() { return Clock::time_point::max(); }

  enum class Step {
    frame,  // take a frame now
    idle,   // report that the display stopped changing
    wait,   // nothing to do before `wakeAt`
  };
  struct Decision {
    Step step = Step::wait;
    Clock::time_point wakeAt = never();
  };

  // The display's picture changed (the first frame counts as a change).
  void changed() { changePending_ = true; }
  bool changePending() const { return changePending_; }
  // When the next frame's slot opens; the earliest time before the first frame.
  Clock::time_point nextSlot() const { return nextSlot_; }

  Decision decide(Clock::time_point now) const {
    if (changePending_) {
      if (now >= nextSlot_) return {Step::frame, now};
      return {Step::wait, nextSlot_};
    }
    if (idleDueAt_ != never()) {
      if (now >= idleDueAt_) return {Step::idle, now};
      return {Step::wait, idleDueAt_};
    }
    return {};
  }

  // A frame was taken at `now` (which `decide` allowed).
  void frameTaken(Clock::time_point now) {
    if (nextSlot_ != Clock::time_point::min() && now - nextSlot_ < interval_) {
      nextSlot_ += interval_;
    } else {
      nextSlot_ = now + interval_;
    }
    changePending_ = false;
    idleDueAt_ = nextSlot_ + interval_;
  }

  void idleReported() { idleDueAt_ = never(); }

 private:
  Clock::duration interval_;
  Clock::time_point nextSlot_ = Clock::time_point::min();
  Clock::time_point idleDueAt_ = never();
  bool changePending_ = true;
};

// The interval as a whole clock duration, rounded up so that a rate of "one per 1/60 s"
// never comes out a hair faster than 60 per second.
inline FramePacer::Clock::duration paceInterval(double seconds) {
  if (!(seconds > 0)) return FramePacer::Clock::duration::zero();
  if (seconds > 3600) seconds = 3600;
  const auto exact = std::chrono::duration<double>(seconds);
  auto whole = std::chrono::duration_cast<FramePacer::Clock::duration>(exact);
  if (std::chrono::duration<double>(whole) < exact) whole += FramePacer::Clock::duration(1);
  return whole;
}

}  // namespace platform
