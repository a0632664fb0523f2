// Each thread reads and writes dates through its own shared formatters (and its own cache of
// style patterns); threads must never see each other's settings.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "almanac/date_in_region.h"
#include "almanac/date_parsable.h"
#include "almanac/date_styles.h"
#include "almanac/support/date_fixtures.h"

namespace almanac {
namespace {

using almanac_testing::region;
using platform::Date;
using Style = platform::DateFormatter::Style;

struct Task {
  DateInRegion date;
  std::string iso;
  std::string styled;
  std::string rss;
  std::string dotNet;
};

TEST(DateTextThreadsTest, ThreadsWriteAndReadWithTheirOwnFormatters) {
  testing_dates::PinnedSettings pinned("en_US", "UTC");
  const Region regions[] = {
      region("America/New_York", "en_US"), region("Asia/Kolkata", "fr_FR"),
      region("Europe/Berlin", "de_DE"), region("GMT", "en_US_POSIX"),
      region("Asia/Tokyo", "ja_JP", platform::Calendar::Identifier::japanese)};
  // The answers, made on this thread before any other starts.
  std::vector<Task> tasks;
  for (int i = 0; i < 50; ++i) {
    DateInRegion d(Date::fromTimeIntervalSince1970(1.0e9 + i * 7'777'777.0),
                   regions[i % std::size(regions)]);
    tasks.push_back({d, d.isoText(ISOFormatter::Options::dateTimeMillis),
                     d.string(DateToStringStyles::dateTime(
                         Style::full)),  // RSS texts are read with English names, so they are
                                         // written in English.
                     DateInRegion(d.date(), Region::isoStandard()).rssText(false), d.dotNetText()});
  }

  constexpr int threads = 8;
  constexpr int rounds = 10'000;
  std::atomic<int> failures{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < rounds; ++i) {
        const Task& task = tasks[static_cast<std::size_t>(i * 7 + t) % tasks.size()];
        bool ok = true;
        switch ((i + t) % 5) {
          case 0:
            ok = task.date.isoText(ISOFormatter::Options::dateTimeMillis) == task.iso;
            break;
          case 1:
            ok = task.date.string(DateToStringStyles::dateTime(Style::full)) == task.styled;
            break;
          case 2: {
            auto read = toISODate(task.iso);
            ok = read && read->date() == task.date.date();
            break;
          }
          case 3: {
            auto read = toRSSDate(task.rss, false, task.date.region());
            ok = read &&
                 read->timeIntervalSince1970() == std::floor(task.date.timeIntervalSince1970());
            break;
          }
          case 4:
            ok = task.date.dotNetText() == task.dotNet;
            break;
        }
        if (!ok) failures.fetch_add(1, std::memory_order_relaxed);
      }
    });
  }
  for (auto& worker : workers)
    worker.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace almanac
