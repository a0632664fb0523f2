#include "platform/display/frame_pacer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

using platform::FramePacer;
using Clock = FramePacer::Clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

const Clock::duration kInterval = platform::paceInterval(1.0 / 60);
const Clock::time_point kStart{std::chrono::hours(1)};

struct Outcome {
  std::vector<Clock::time_point> frames;
  std::vector<std::size_t> shown;  // per frame, how many changes it shows
  std::size_t idles = 0;
  bool restsAfterwards = false;  // nothing due once everything was handled
};

// Plays a capture thread against a display that changes at `changes`: the thread wakes when a
// change arrives or its timer runs out, `latency` late each time (a busy machine), and then
// does whatever is due.
Outcome play(const std::vector<Clock::time_point>& changes, Clock::duration latency,
             Clock::time_point end) {
  Outcome outcome;
  FramePacer pacer(kInterval);
  std::size_t seen = 0;
  Clock::time_point now = kStart;
  while (now < end) {
    while (seen < changes.size() && changes[seen] <= now) {
      ++seen;
      pacer.changed();
    }
    const auto decision = pacer.decide(now);
    if (decision.step == FramePacer::Step::frame) {
      pacer.frameTaken(now);
      outcome.frames.push_back(now);
      outcome.shown.push_back(seen);
      continue;
    }
    if (decision.step == FramePacer::Step::idle) {
      pacer.idleReported();
      ++outcome.idles;
      continue;
    }
    Clock::time_point wake = std::min(end, decision.wakeAt);
    if (seen < changes.size()) wake = std::min(wake, changes[seen]);
    now = std::max(now, wake) + latency;
  }
  outcome.restsAfterwards =
      seen == changes.size() &&
      pacer.decide(end + std::chrono::hours(1)).step == FramePacer::Step::wait &&
      pacer.decide(end).wakeAt == FramePacer::never();
  return outcome;
}

// Changes every `period` from `offset` for `seconds`, each late by a repeatable jitter of up to
// `jitter`.
std::vector<Clock::time_point> changesEvery(Clock::duration period, Clock::duration offset,
                                            double seconds, Clock::duration jitter = {}) {
  std::vector<Clock::time_point> times;
  std::uint32_t seed = 12345;
  for (Clock::time_point t = kStart + offset;
       t <
       kStart + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
       t += period) {
    seed = seed * 1664525u + 1013904223u;
    const auto late = jitter.count() > 0 ? Clock::duration((seed >> 8) % jitter.count())
                                         : Clock::duration::zero();
    times.push_back(t + late);
  }
  return times;
}

// The most frames that fall within any one second.
std::size_t mostInOneSecond(const std::vector<Clock::time_point>& frames) {
  std::size_t most = 0;
  for (std::size_t i = 0, j = 0; i < frames.size(); ++i) {
    while (frames[i] - frames[j] >= std::chrono::seconds(1))
      ++j;
    most = std::max(most, i - j + 1);
  }
  return most;
}

TEST(FramePacerTest, ADisplayChangingAtTheRateGetsEveryChangeAsAFrame) {
  struct Case {
    const char* name;
    Clock::duration offset, jitter, latency;
  };
  const Case cases[] = {
      {"on time, prompt", microseconds(5000), {}, {}},
      {"late wake-ups", microseconds(5000), {}, microseconds(400)},
      {"changes just after a slot opens", microseconds(50), {}, microseconds(300)},
      {"changes just before a slot opens", microseconds(16600), {}, microseconds(300)},
      {"jittery drawing, busy machine", microseconds(1000), microseconds(3000), microseconds(900)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto changes = changesEvery(kInterval, c.offset, 10.0, c.jitter);
    const Outcome outcome = play(changes, c.latency, kStart + std::chrono::seconds(11));
    // The first frame is taken at once, before any change; a change right after it may share
    // the next frame with the one after. From then on every change is a frame of its own.
    ASSERT_GE(outcome.frames.size(), changes.size());
    EXPECT_EQ(outcome.shown.back(), changes.size());
    for (std::size_t i = 3; i < outcome.shown.size(); ++i) {
      EXPECT_EQ(outcome.shown[i], outcome.shown[i - 1] + 1) << "frame " << i;
    }
    EXPECT_EQ(outcome.idles, 1u);
    EXPECT_TRUE(outcome.restsAfterwards);
  }
}

TEST(FramePacerTest, TakesAtMostOneFramePerIntervalHoweverFastTheDisplayChanges) {
  struct Case {
    const char* name;
    Clock::duration period, latency;
  };
  const Case cases[] = {
      {"1 kHz, prompt", microseconds(1000), {}},
      {"1 kHz, late wake-ups", microseconds(1000), microseconds(700)},
      {"just faster than the rate", kInterval - microseconds(10), microseconds(200)},
      {"twice the rate", kInterval / 2, microseconds(100)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto changes = changesEvery(c.period, microseconds(100), 10.0);
    const Outcome outcome = play(changes, c.latency, kStart + std::chrono::seconds(11));
    EXPECT_LE(outcome.frames.size(), 601u);  // 60 a second, plus the first
    EXPECT_GE(outcome.frames.size(), 590u);  // and it keeps up
    EXPECT_LE(mostInOneSecond(outcome.frames), 61u);
    // The last picture is never held back: the final frame shows the final change.
    EXPECT_EQ(outcome.shown.back(), changes.size());
    EXPECT_TRUE(outcome.restsAfterwards);
  }
}

TEST(FramePacerTest, AnIdleDisplaySendsNothingAfterOneIdleReport) {
  struct Case {
    const char* name;
    std::vector<Clock::time_point> changes;
    std::size_t frames, idles;
  };
  const Case cases[] = {
      {"never changes", {}, 1, 1},
      {"one change", {kStart + milliseconds(200)}, 2, 2},
      {"a burst, then still", changesEvery(microseconds(2000), {}, 0.5), 31, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome outcome = play(c.changes, microseconds(100), kStart + std::chrono::seconds(30));
    EXPECT_EQ(outcome.frames.size(), c.frames);
    EXPECT_EQ(outcome.idles, c.idles);
    EXPECT_TRUE(outcome.restsAfterwards);
  }
}

TEST(FramePacerTest, AfterAStillSpellOrAStallTheScheduleStartsAfresh) {
  FramePacer pacer(kInterval);
  ASSERT_EQ(pacer.decide(kStart).step, FramePacer::Step::frame);
  pacer.frameTaken(kStart);
  // Still for a while: a change is taken the moment it is seen, not on an old slot.
  const auto later = kStart + milliseconds(500) + microseconds(123);
  pacer.changed();
  ASSERT_EQ(pacer.decide(later).step, FramePacer::Step::frame);
  pacer.frameTaken(later);
  // A change right after waits for the next slot, one interval after that frame.
  pacer.changed();
  const auto waiting = pacer.decide(later + microseconds(10));
  ASSERT_EQ(waiting.step, FramePacer::Step::wait);
  EXPECT_EQ(waiting.wakeAt, later + kInterval);
  // A grab stalled for several intervals does not open a burst of catch-up slots.
  const auto stalled = later + 5 * kInterval;
  ASSERT_EQ(pacer.decide(stalled).step, FramePacer::Step::frame);
  pacer.frameTaken(stalled);
  pacer.changed();
  EXPECT_EQ(pacer.decide(stalled + microseconds(1)).wakeAt, stalled + kInterval);
}

TEST(FramePacerTest, TheIntervalNeverRoundsDownToAFasterRate) {
  EXPECT_GE(std::chrono::duration<double>(platform::paceInterval(1.0 / 60)).count(), 1.0 / 60);
  EXPECT_LT(platform::paceInterval(1.0 / 60) - std::chrono::nanoseconds(16'666'667),
            std::chrono::nanoseconds(1));
  EXPECT_EQ(platform::paceInterval(0), Clock::duration::zero());
  EXPECT_EQ(platform::paceInterval(-1), Clock::duration::zero());
}

}  // namespace
