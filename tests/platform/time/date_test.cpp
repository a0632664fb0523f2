#include "platform/foundation/date.h"

#include <gtest/gtest.h>

#include <unordered_set>

#include "platform/time/support/dates.h"

namespace platform {
namespace {

using testing_dates::at;

TEST(Date, CountsSecondsFromTheReferenceDate) {
  EXPECT_EQ(Date().timeIntervalSince1970(), 978307200.0);
  EXPECT_EQ(at(2001, 1, 1), Date(0));
  EXPECT_EQ(Date::fromTimeIntervalSince1970(0).timeIntervalSinceReferenceDate(), -978307200.0);
  Date d(12.5);
  EXPECT_EQ((d + 2.5).timeIntervalSinceReferenceDate(), 15.0);
  EXPECT_EQ((d - 2.5).timeIntervalSince(d), -2.5);
  EXPECT_LT(d, d + 1e-6);
}

TEST(Date, DistantPastAndFutureAreTheYearsOneAndFourThousandOne) {
  EXPECT_EQ(Date::distantPast().timeIntervalSince1970(), -62135769600.0);
  EXPECT_EQ(Date::distantFuture().timeIntervalSince1970(), 64092211200.0);
  // 4001-01-01 in the proleptic Gregorian calendar; the past is 0001-01-01 of the Julian one.
  EXPECT_EQ(Date::distantFuture(), at(4001, 1, 1));
  EXPECT_EQ(Date::distantPast(), at(0, 12, 30));
}

TEST(Date, NowComesFromTheInstalledClock) {
  auto previous = setDateClock([] { return Date(42); });
  EXPECT_EQ(Date::now(), Date(42));
  EXPECT_EQ(Date(50).timeIntervalSinceNow(), 8.0);
  setDateClock(previous);
  Date real = Date::now();
  EXPECT_GT(real, at(2020, 1, 1));
  EXPECT_LT(real, at(2200, 1, 1));
}

TEST(Date, PositiveAndNegativeZeroAreOneDateWithOneHash) {
  Date positive(0.0);
  Date negative(-0.0);
  EXPECT_EQ(positive, negative);
  std::unordered_set<Date> set{positive, negative};
  EXPECT_EQ(set.size(), 1u);
}

}  // namespace
}  // namespace platform
