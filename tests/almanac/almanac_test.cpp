#include "almanac/almanac.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>
#include <vector>

#include "almanac/date_formats.h"
#include "platform/foundation/log.h"
#include "platform/time/support/dates.h"

namespace almanac {
namespace {

using platform::Calendar;

// Puts the default region back as it was, whatever a test did to it.
class DefaultRegionGuard {
 public:
  DefaultRegionGuard() : saved_(Almanac::defaultRegion()) {}
  ~DefaultRegionGuard() { Almanac::setDefaultRegion(saved_); }

 private:
  Region saved_;
};

TEST(AlmanacDeathTest, TheDefaultRegionStartsInGMTWithTheUsersCalendarAndLocale) {
  // A fresh process, so that the default region is made here, on a machine set to Tokyo.
  EXPECT_EXIT(
      {
        testing_dates::PinnedSettings pinned("de_DE", "Asia/Tokyo");
        Region region = Almanac::defaultRegion();
        bool ok = region.timeZone().identifier() == "GMT" && region.locale().isAutoupdating() &&
                  region.locale().identifier() == "de_DE" &&
                  region.calendar().identifier() == Calendar::Identifier::gregorian;
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(AlmanacDeathTest, AWriteBeforeTheFirstReadIsKept) {
  EXPECT_EXIT(
      {
        Region written(Calendar::Identifier::japanese, Zones::asiaTokyo, Locales::japaneseJapan);
        Almanac::setDefaultRegion(written);
        std::exit(Almanac::defaultRegion() == written ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(Almanac, WritesAndModificationsReplaceTheDefaultRegion) {
  DefaultRegionGuard guard;
  Region japanese(Calendar::Identifier::japanese, Zones::asiaTokyo, Locales::japaneseJapan);
  Almanac::setDefaultRegion(japanese);
  EXPECT_EQ(Almanac::defaultRegion(), japanese);
  Almanac::modifyDefaultRegion([](Region& region) {
    region = Region(region.calendar(), Zones::europeParis, region.locale());
  });
  EXPECT_EQ(Almanac::defaultRegion().timeZone().identifier(), "Europe/Paris");
  EXPECT_EQ(Almanac::defaultRegion().calendar().identifier(), Calendar::Identifier::japanese);
}

TEST(Almanac, UnknownCalendarNamesFallBackToTheDefaultRegionsCalendar) {
  DefaultRegionGuard guard;
  {
    platform::LogCapture log;
    EXPECT_EQ(calendarIdentifier("gregorian"), Calendar::Identifier::gregorian);
    EXPECT_EQ(calendarIdentifier("islamicUmmAlQura"), Calendar::Identifier::islamicUmmAlQura);
    EXPECT_EQ(log.text(), "");
  }
  Almanac::setDefaultRegion(
      Region(Calendar::Identifier::japanese, Zones::asiaTokyo, Locales::japaneseJapan));
  platform::LogCapture log;
  EXPECT_EQ(calendarIdentifier("Gregorian"), Calendar::Identifier::japanese);
  EXPECT_EQ(log.text(),
            "\"Calendar Identifier 'Gregorian' not recognized. Using default (japanese)\"\n");
}

TEST(Almanac, PrintsAnUnknownCalendarNameOnOneEscapedLine) {
  DefaultRegionGuard guard;
  Almanac::setDefaultRegion(Region::isoStandard());
  platform::LogCapture log;
  calendarIdentifier("a\"b\\c\nd\x01");
  EXPECT_EQ(log.text(),
            "\"Calendar Identifier 'a\\\"b\\\\c\\nd\\u{1}' not recognized. Using default "
            "(gregorian)\"\n");
}

TEST(Almanac, NamesEveryCalendarIdentifier) {
  EXPECT_EQ(name(Calendar::Identifier::gregorian), "gregorian");
  EXPECT_EQ(name(Calendar::Identifier::ethiopicAmeteMihret), "ethiopicAmeteMihret");
  EXPECT_EQ(name(Calendar::Identifier::republicOfChina), "republicOfChina");
  platform::LogCapture log;
  for (int i = 0; i < static_cast<int>(Calendar::identifierCount); ++i) {
    auto identifier = static_cast<Calendar::Identifier>(i);
    EXPECT_EQ(calendarIdentifier(name(identifier)), identifier);
  }
  EXPECT_EQ(log.text(), "");
}

TEST(Almanac, ConcurrentChangesOfTheSettingsAreNotLost) {
  DefaultRegionGuard guard;
  Almanac::resetAutoFormats();
  constexpr int threads = 8;
  constexpr int perThread = 50;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([t] {
      for (int i = 0; i < perThread; ++i) {
        Almanac::modifyAutoFormats(
            [&](std::vector<std::string>& formats) { formats.push_back(std::to_string(t)); });
        // Readers and whole-value writers run beside the modifications.
        auto formats = DateFormats::autoFormats();
        EXPECT_GE(formats.size(), DateFormats::initialAutoFormats().size());
        Almanac::setDefaultRegion(t % 2 ? Region::isoStandard() : Region::universalTime());
        EXPECT_EQ(Almanac::defaultRegion().timeZone().identifier(), "GMT");
      }
    });
  }
  for (auto& worker : workers)
    worker.join();
  EXPECT_EQ(Almanac::autoFormats().size(),
            DateFormats::initialAutoFormats().size() + threads * perThread);
  Almanac::resetAutoFormats();
}

}  // namespace
}  // namespace almanac
