#include "almanac/date_formats.h"

#include <gtest/gtest.h>

#include "almanac/almanac.h"
#include "platform/time/support/dates.h"

namespace almanac {
namespace {

using testing_dates::at;

class DateFormatsTest : public ::testing::Test {
 protected:
  ~DateFormatsTest() override { DateFormats::resetAutoFormats(); }
  Region tokyo{platform::Calendar::Identifier::gregorian, Zones::asiaTokyo,
               Locales::englishUnitedStatesComputer};
};

TEST_F(DateFormatsTest, NamesTheFixedPatterns) {
  EXPECT_EQ(DateFormats::iso8601, "yyyy-MM-dd'T'HH:mm:ssZZZZZ");
  EXPECT_EQ(DateFormats::extended, "eee dd-MMM-yyyy GG HH:mm:ss.SSS zzz");
  EXPECT_EQ(DateFormats::rss, "EEE, d MMM yyyy HH:mm:ss ZZZ");
  EXPECT_EQ(DateFormats::altRSS, "d MMM yyyy HH:mm:ss ZZZ");
  EXPECT_EQ(DateFormats::sql, "yyyy-MM-dd'T'HH:mm:ss.SSSX");
  EXPECT_EQ(DateFormats::httpHeader, "EEE, dd MMM yyyy HH:mm:ss zzz");
  EXPECT_EQ(DateFormats::standard, "EEE MMM dd HH:mm:ss Z yyyy");
}

TEST_F(DateFormatsTest, StartsWithTwentyFiveAutomaticFormats) {
  auto formats = DateFormats::autoFormats();
  ASSERT_EQ(formats.size(), 25u);
  EXPECT_EQ(formats[0], "yyyy-MM-dd'T'HH:mm:ssZZZZZ");
  EXPECT_EQ(formats[6], "yyyy-MM-dd");
  EXPECT_EQ(formats[14], "yyyy-MM-dd");
  EXPECT_EQ(formats[12], "dddd, MMMM D, yyyy LT");
  EXPECT_EQ(formats[24], "HH");
}

TEST_F(DateFormatsTest, ReadsTextWithTheAutomaticFormats) {
  EXPECT_EQ(parseDate("2024-03-15", std::nullopt, tokyo), at(2024, 3, 15, 0, 0, 0, 9 * 3600));
  EXPECT_EQ(parseDate("2024-03-15T10:20:30+02:00", std::nullopt, tokyo),
            at(2024, 3, 15, 10, 20, 30, 2 * 3600));
  EXPECT_EQ(parseDate("2024-03-15 10:20", std::nullopt, tokyo),
            at(2024, 3, 15, 10, 20, 0, 9 * 3600));
  EXPECT_FALSE(parseDate("not a date", std::nullopt, tokyo));

  // The automatic list as it is at the moment of the call.
  DateFormats::setAutoFormats({});
  EXPECT_FALSE(parseDate("2024-03-15", std::nullopt, tokyo));
  DateFormats::resetAutoFormats();
  EXPECT_EQ(DateFormats::autoFormats(), DateFormats::initialAutoFormats());
  EXPECT_TRUE(parseDate("2024-03-15", std::nullopt, tokyo));
}

TEST_F(DateFormatsTest, ReadsTextWithGivenFormatsInOrder) {
  EXPECT_FALSE(parseDate("2024-03-15", std::vector<std::string>{}, tokyo));
  EXPECT_EQ(parseDate("15/03/2024", std::optional<std::string>("dd/MM/yyyy"), tokyo),
            at(2024, 3, 15, 0, 0, 0, 9 * 3600));
  // The first format that reads the text wins: "MM" then "dd" order matters here.
  std::vector<std::string> formats = {"MM/dd/yyyy", "dd/MM/yyyy"};
  EXPECT_EQ(parseDate("03/04/2024", formats, tokyo), at(2024, 3, 4, 0, 0, 0, 9 * 3600));
  EXPECT_EQ(parseDate("31/03/2024", formats, tokyo), at(2024, 3, 31, 0, 0, 0, 9 * 3600));
  // Names are read in the region's locale.
  Region french(platform::Calendar::Identifier::gregorian, Zones::gmt, Locales::frenchFrance);
  EXPECT_EQ(parseDate("15 mars 2024", std::optional<std::string>("d MMMM yyyy"), french),
            at(2024, 3, 15));
  EXPECT_FALSE(parseDate("15 March 2024", std::optional<std::string>("d MMMM yyyy"), french));
}

TEST_F(DateFormatsTest, BothNamesReachOneList) {
  Almanac::modifyAutoFormats([](auto& formats) { formats.push_back("dd.MM.yyyy"); });
  EXPECT_EQ(DateFormats::autoFormats().size(), 26u);
  EXPECT_EQ(DateFormats::autoFormats().back(), "dd.MM.yyyy");
  EXPECT_EQ(parseDate("15.03.2024", std::nullopt, tokyo), at(2024, 3, 15, 0, 0, 0, 9 * 3600));
  DateFormats::setAutoFormats({"yyyy"});
  EXPECT_EQ(Almanac::autoFormats(), std::vector<std::string>{"yyyy"});
  Almanac::resetAutoFormats();
  EXPECT_EQ(DateFormats::autoFormats().size(), 25u);
}

}  // namespace
}  // namespace almanac
