#include "almanac/region.h"

#include <gtest/gtest.h>

#include <unordered_set>
#include <vector>

#include "almanac/almanac.h"
#include "almanac/date_in_region.h"
#include "platform/coding/json_decoder.h"
#include "platform/coding/json_encoder.h"
#include "platform/foundation/log.h"
#include "platform/time/support/dates.h"

namespace almanac {
namespace {

using platform::Calendar;
using platform::Locale;
using platform::TimeZone;
using testing_dates::zone;

std::string encodeJSON(const Region& region) {
  return platform::JSONEncoder().encodeToString(region);
}

Region decodeJSON(std::string_view text) {
  return platform::JSONDecoder().decode<Region>(text);
}

class RegionTest : public ::testing::Test {
 protected:
  testing_dates::PinnedSettings pinned{"en_US", "America/New_York"};
};

TEST_F(RegionTest, BuildsItsCalendarFromTheThreeValues) {
  Region region(Calendar::Identifier::japanese, Zones::asiaTokyo, Locales::japaneseJapan);
  EXPECT_EQ(region.calendar().identifier(), Calendar::Identifier::japanese);
  EXPECT_EQ(region.timeZone().identifier(), "Asia/Tokyo");
  EXPECT_EQ(region.locale().identifier(), "ja_JP");
  EXPECT_EQ(region.calendar().timeZone().identifier(), "Asia/Tokyo");
  ASSERT_TRUE(region.calendar().locale());

  Region fromValues(Calendar(Calendar::Identifier::buddhist), zone("Europe/Paris"), "th_TH");
  EXPECT_EQ(fromValues.calendar().identifier(), Calendar::Identifier::buddhist);
  EXPECT_EQ(fromValues.locale().identifier(), "th_TH");
}

TEST_F(RegionTest, HasTheFixedRegions) {
  Region iso = Region::isoStandard();
  EXPECT_EQ(iso.calendar().identifier(), Calendar::Identifier::gregorian);
  EXPECT_EQ(iso.timeZone().identifier(), "GMT");
  EXPECT_EQ(iso.locale().identifier(), "en_US_POSIX");

  Region universal = Region::universalTime();
  EXPECT_EQ(universal.timeZone().identifier(), "GMT");
  EXPECT_TRUE(universal.locale().isAutoupdating());

  Region system = Region::systemSettings();
  EXPECT_TRUE(system.timeZone().isAutoupdating());
  EXPECT_EQ(system.timeZone().identifier(), "America/New_York");
  EXPECT_EQ(system, Region::deviceSettings());
}

TEST_F(RegionTest, FromComponentsFallsBackToGregorianAndTheCurrentSettings) {
  Region empty{platform::DateComponents{}};
  EXPECT_EQ(empty.calendar().identifier(), Calendar::Identifier::gregorian);
  EXPECT_EQ(empty.timeZone().identifier(), "America/New_York");
  EXPECT_EQ(empty.locale().identifier(), "en_US");

  platform::DateComponents components;
  Calendar hebrew(Calendar::Identifier::hebrew);
  hebrew.setLocale(Locale("he_IL"));
  components.calendar = hebrew;
  components.timeZone = zone("Asia/Jerusalem");
  Region region(components);
  EXPECT_EQ(region.calendar().identifier(), Calendar::Identifier::hebrew);
  EXPECT_EQ(region.timeZone().identifier(), "Asia/Jerusalem");
  EXPECT_EQ(region.locale().identifier(), "he_IL");
}

TEST_F(RegionTest, FromCalendarAndLocaleAlwaysTakesTheDefaultZone) {
  EXPECT_EQ(Region(std::nullopt, std::nullopt), Almanac::defaultRegion());
  Region region(CalendarConvertible(Calendar::Identifier::persian), LocaleConvertible("fa_IR"));
  EXPECT_EQ(region.calendar().identifier(), Calendar::Identifier::persian);
  EXPECT_EQ(region.timeZone().identifier(), "GMT");
  EXPECT_EQ(region.locale().identifier(), "fa_IR");
}

TEST_F(RegionTest, ComparesIdentifiersOnlyAndHashesWhatItCompares) {
  Calendar sunday(Calendar::Identifier::gregorian);
  sunday.setFirstWeekday(1);
  Calendar monday(Calendar::Identifier::gregorian);
  monday.setFirstWeekday(2);
  monday.setMinimumDaysInFirstWeek(4);
  Region a(sunday, Zones::europeParis, Locales::frenchFrance);
  Region b(monday, Zones::europeParis, Locales::frenchFrance);
  EXPECT_EQ(a, b);
  EXPECT_EQ(std::hash<Region>{}(a), std::hash<Region>{}(b));
  std::unordered_set<Region> set{a, b};
  EXPECT_EQ(set.size(), 1u);

  EXPECT_FALSE(a == Region(sunday, Zones::europeBerlin, Locales::frenchFrance));
  EXPECT_FALSE(a == Region(sunday, Zones::europeParis, Locales::frenchBelgium));
  EXPECT_FALSE(a ==
               Region(Calendar::Identifier::iso8601, Zones::europeParis, Locales::frenchFrance));
  set.insert(Region(sunday, Zones::europeBerlin, Locales::frenchFrance));
  EXPECT_EQ(set.size(), 2u);
}

TEST_F(RegionTest, DescribesItselfExactly) {
  EXPECT_EQ(Region::isoStandard().description(),
            "{calendae='gregorian', timezone='GMT', locale='en_US_POSIX'}");
  Region region(Calendar::Identifier::islamicUmmAlQura, Zones::asiaRiyadh,
                Locales::arabicSaudiArabia);
  EXPECT_EQ(region.description(),
            "{calendae='islamicUmmAlQura', timezone='Asia/Riyadh', locale='ar_SA'}");
}

TEST_F(RegionTest, EncodesTimezoneLocaleAndCalendarInOrder) {
  EXPECT_EQ(encodeJSON(Region::isoStandard()),
            R"({"timezone":"GMT","locale":"en_US_POSIX","calendar":"gregorian"})");
  EXPECT_EQ(decodeJSON(encodeJSON(Region::isoStandard())), Region::isoStandard());
  Region tokyo(Calendar::Identifier::japanese, Zones::asiaTokyo, Locales::japaneseJapan);
  Region decoded = decodeJSON(encodeJSON(tokyo));
  EXPECT_EQ(decoded, tokyo);
  EXPECT_EQ(decoded.calendar().identifier(), Calendar::Identifier::japanese);
}

TEST_F(RegionTest, DecodesUnknownZonesAsTheDefaultZone) {
  platform::LogCapture log;
  Region region = decodeJSON(R"({"calendar":"gregorian","timezone":"Mars/Base","locale":"fr_FR"})");
  EXPECT_EQ(region.calendar().identifier(), Calendar::Identifier::gregorian);
  EXPECT_EQ(region.timeZone().identifier(), Almanac::defaultRegion().timeZone().identifier());
  EXPECT_EQ(region.locale().identifier(), "fr_FR");
  EXPECT_EQ(log.text(), "");
}

TEST_F(RegionTest, StopsCodingAtTheFirstContainerError) {
  // The calendar is read (and its unknown name reported) before the missing zone stops the
  // decoding; the locale, missing too, is never asked for.
  platform::LogCapture log;
  try {
    decodeJSON(R"({"calendar":"Nope"})");
    ADD_FAILURE() << "decoded without a zone";
  } catch (const platform::DecodingError& error) {
    EXPECT_EQ(error.kind(), platform::DecodingError::Kind::keyNotFound);
    EXPECT_EQ(error.subject(), "timezone");
  }
  EXPECT_TRUE(log.contains("Calendar Identifier 'Nope' not recognized."));

  EXPECT_THROW(decodeJSON(R"({"calendar":5,"timezone":"GMT","locale":"fr_FR"})"),
               platform::DecodingError);
  EXPECT_THROW(decodeJSON(R"(["gregorian","GMT","fr_FR"])"), platform::DecodingError);

  // A locale the format cannot write stops the encoding.
  Region unwritable(Calendar::Identifier::gregorian, Zones::gmt, std::string("\xff"));
  EXPECT_THROW(encodeJSON(unwritable), platform::EncodingError);
}

TEST_F(RegionTest, KnowsItsCodingKeys) {
  EXPECT_EQ(Region::stringValue(Region::CodingKeys::timezone), "timezone");
  EXPECT_EQ(Region::codingKey("locale"), Region::CodingKeys::locale);
  EXPECT_FALSE(Region::codingKey("timeZone"));
  EXPECT_FALSE(Region::codingKey(0));
}

TEST_F(RegionTest, GivesTheCurrentDateInItself) {
  auto previous = platform::setDateClock([] { return platform::Date(1000); });
  DateInRegion now = Region::isoStandard().currentDate();
  platform::setDateClock(previous);
  EXPECT_EQ(now.date(), platform::Date(1000));
  EXPECT_EQ(now.region(), Region::isoStandard());
  EXPECT_FALSE(now.customFormatter());
}

}  // namespace
}  // namespace almanac
