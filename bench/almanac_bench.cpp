// Almanac's calculations against one reused ICU calendar doing the same job, in the same run:
// adding {day: 1, hour: 3}, comparing at day and at hour, and the start of the day, each a
// million times in Europe/Rome. Prints both times and their ratio; the goal is 1.5 or less.
//
//   build/release/bench/almanac_bench

#include <unicode/calendar.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "almanac/date_in_region.h"
#include "almanac/region.h"
#include "platform/time/calendar.h"
#include "platform/time/locale.h"
#include "platform/time/time_zone.h"

namespace {

constexpr int iterations = 1'000'000;
// 2024-01-01T00:00:00Z; each iteration moves on by an odd number of seconds so that no answer
// can be reused.
constexpr double base = 1704067200.0;
constexpr double stride = 97.0;

double seconds(const std::function<double()>& run) {
  auto start = std::chrono::steady_clock::now();
  double sink = run();
  auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // Keep the work observable.
  if (sink == 0.123456789) std::printf("%f\n", sink);
  return elapsed;
}

std::unique_ptr<icu::Calendar> romeCalendar() {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::Calendar> calendar(
      icu::Calendar::createInstance(icu::TimeZone::createTimeZone("Europe/Rome"),
                                    icu::Locale("it_IT@calendar=gregorian"), status));
  calendar->setLenient(true);
  return calendar;
}

struct Row {
  const char* name;
  std::function<double()> almanac;
  std::function<double()> icu;
};

}  // namespace

int main() {
  using C = platform::Calendar::Component;
  platform::Calendar gregorian(platform::Calendar::Identifier::gregorian);
  almanac::Region rome(gregorian, *platform::TimeZone::withIdentifier("Europe/Rome"),
                       platform::Locale("it_IT"));
  auto icu = romeCalendar();
  platform::DateComponents step;
  step.day = 1;
  step.hour = 3;

  auto fields = [&](double instant, std::initializer_list<UCalendarDateFields> which) {
    UErrorCode status = U_ZERO_ERROR;
    icu->setTime(instant * 1000.0, status);
    std::int64_t key = 0;
    for (auto field : which)
      key = key * 100 + icu->get(field, status);
    return key;
  };

  std::vector<Row> rows = {
      {"adding {day: 1, hour: 3}",
       [&] {
         double sum = 0;
         for (int i = 0; i < iterations; ++i) {
           almanac::DateInRegion date = almanac::DateInRegion::fromSeconds(base + i * stride, rome);
           sum += date.adding(step)->timeIntervalSince1970();
         }
         return sum;
       },
       [&] {
         double sum = 0;
         for (int i = 0; i < iterations; ++i) {
           UErrorCode status = U_ZERO_ERROR;
           icu->setTime((base + i * stride) * 1000.0, status);
           icu->add(UCAL_DATE, 1, status);
           icu->add(UCAL_HOUR_OF_DAY, 3, status);
           sum += icu->getTime(status);
         }
         return sum;
       }},
      {"compare at day",
       [&] {
         double sum = 0;
         for (int i = 0; i < iterations; ++i) {
           auto a = almanac::DateInRegion::fromSeconds(base + i * stride, rome);
           auto b = almanac::DateInRegion::fromSeconds(base + i * stride + 43200, rome);
           sum += static_cast<int>(a.compare(b, C::day));
         }
         return sum;
       },
       [&] {
         double sum = 0;
         for (int i = 0; i < iterations; ++i) {
           auto a = fields(base + i * stride, {UCAL_ERA, UCAL_YEAR, UCAL_MONTH, UCAL_DATE});
           auto b = fields(base + i * stride + 43200, {UCAL_ERA, UCAL_YEAR, UCAL_MONTH, UCAL_DATE});
           sum += a < b ? -1 : (a > b ? 1 : 0);
         }
         return sum;
       }},
      {"compare at hour",
       [&] {
         double sum = 0;
         for (int i = 0; i < iterations; ++i) {
           auto a = almanac::DateInRegion::fromSeconds(base + i * stride, rome);
           auto b = almanac::DateInRegion::fromSeconds(base + i * stride + 1800, rome);
           sum += static_cast<int>(a.compare(b, C::hour));
         }
         return sum;
       },
       [&] {
         double sum = 0;
         for (int i = 0; i < iterations; ++i) {
           auto a = fields(base + i * stride,
                           {UCAL_ERA, UCAL_YEAR, UCAL_MONTH, UCAL_DATE, UCAL_HOUR_OF_DAY});
           auto b = fields(base + i * stride + 1800,
                           {UCAL_ERA, UCAL_YEAR, UCAL_MONTH, UCAL_DATE, UCAL_HOUR_OF_DAY});
           sum += a < b ? -1 : (a > b ? 1 : 0);
         }
         return sum;
       }},
      {"dateAtStartOf(.day)",
       [&] {
         double sum = 0;
         for (int i = 0; i < iterations; ++i) {
           auto date = almanac::DateInRegion::fromSeconds(base + i * stride, rome);
           sum += date.dateAtStartOf(C::day).timeIntervalSince1970();
         }
         return sum;
       },
       [&] {
         double sum = 0;
         for (int i = 0; i < iterations; ++i) {
           UErrorCode status = U_ZERO_ERROR;
           icu->setTime((base + i * stride) * 1000.0, status);
           icu->set(UCAL_HOUR_OF_DAY, 0);
           icu->set(UCAL_MINUTE, 0);
           icu->set(UCAL_SECOND, 0);
           icu->set(UCAL_MILLISECOND, 0);
           sum += icu->getTime(status);
         }
         return sum;
       }},
  };

  std::printf("%-28s %14s %14s %7s\n", "operation (1,000,000 each)", "almanac µs", "ICU µs",
              "ratio");
  bool met = true;
  for (const auto& row : rows) {
    double ours = seconds(row.almanac);
    double theirs = seconds(row.icu);
    double ratio = ours / theirs;
    met = met && ratio <= 1.5;
    std::printf("%-28s %14.3f %14.3f %7.2f\n", row.name, ours * 1e6 / iterations,
                theirs * 1e6 / iterations, ratio);
  }
  std::printf("goal (every ratio at or below 1.5): %s\n", met ? "met" : "not met");
  return 0;
}
