#include "almanac/date_in_region.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <unordered_set>

#include "almanac/plain_date.h"
#include "almanac/support/date_fixtures.h"
#include "platform/coding/json_decoder.h"
#include "platform/coding/json_encoder.h"

namespace almanac {
namespace {

using almanac_testing::DefaultRegionGuard;
using almanac_testing::region;
using platform::Date;
using testing_dates::at;

class DateInRegionTest : public ::testing::Test {
 protected:
  testing_dates::PinnedSettings pinned_{"en_US", "America/New_York"};
  DefaultRegionGuard guard_;
  Region tokyo_ = region("Asia/Tokyo");
};

TEST_F(DateInRegionTest, IsMadeFromNumbersSince1970) {
  EXPECT_EQ(DateInRegion::fromMilliseconds(1500, tokyo_).date(),
            Date::fromTimeIntervalSince1970(1.5));
  EXPECT_EQ(DateInRegion::fromMilliseconds(-1, tokyo_).date(),
            Date::fromTimeIntervalSince1970(-0.001));
  EXPECT_EQ(PlainDate::fromSeconds(86400.25, tokyo_).date(),
            Date::fromTimeIntervalSince1970(86400.25));
  Almanac::setDefaultRegion(tokyo_);
  EXPECT_EQ(DateInRegion::distantPast().date(), Date::distantPast());
  EXPECT_EQ(DateInRegion::distantFuture().region(), tokyo_);
  EXPECT_FALSE(DateInRegion::distantFuture().customFormatter());
}

TEST_F(DateInRegionTest, ReadsTextWithTheGivenOrTheAutomaticFormats) {
  auto read = DateInRegion::fromString("01/05/2024 10:30", std::string("dd/MM/yyyy HH:mm"), tokyo_);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->date(), at(2024, 5, 1, 10, 30, 0, 9 * 3600));
  EXPECT_EQ(read->region(), tokyo_);
  EXPECT_FALSE(DateInRegion::fromString("2024-05-01", std::string("dd/MM/yyyy"), tokyo_));
  EXPECT_FALSE(
      DateInRegion::fromStringWithFormats("2024-05-01", std::vector<std::string>{}, tokyo_));
  EXPECT_EQ(PlainDate::fromStringWithFormats("x 2024/05/01", {{"HH:mm", "'x' yyyy/MM/dd"}}, tokyo_)
                ->date(),
            at(2024, 5, 1, 0, 0, 0, 9 * 3600));

  // Without a format, the automatic formats are tried in their order and the first reading wins.
  struct RestoreFormats {
    ~RestoreFormats() { Almanac::resetAutoFormats(); }
  } restore;
  Almanac::setAutoFormats({"yyyy-dd-MM", "yyyy-MM-dd"});
  EXPECT_EQ(DateInRegion::fromString("2024-05-01", std::nullopt, tokyo_)->month(), 1);
  EXPECT_EQ(DateInRegion::fromString("2024-05-25", std::nullopt, tokyo_)->month(), 5);
  EXPECT_EQ(PlainDate::fromStringWithFormats("2024-05-01", std::nullopt, tokyo_)->date(),
            at(2024, 1, 5, 0, 0, 0, 9 * 3600));
}

TEST_F(DateInRegionTest, IsMadeFromComponentsInTheirRegionOrTheGivenOne) {
  platform::DateComponents newYear;
  newYear.year = 2024;
  newYear.month = 1;
  newYear.day = 1;
  EXPECT_EQ(DateInRegion::fromComponents(newYear, region("GMT"))->date(), at(2024, 1, 1));
  // Without a region: the current zone, or the components' own.
  EXPECT_EQ(DateInRegion::fromComponents(newYear, std::nullopt)->date(),
            at(2024, 1, 1, 0, 0, 0, -5 * 3600));
  newYear.timeZone = testing_dates::zone("Asia/Tokyo");
  auto inTokyo = DateInRegion::fromComponents(newYear, std::nullopt);
  EXPECT_EQ(inTokyo->date(), at(2023, 12, 31, 15));
  EXPECT_EQ(inTokyo->region().timeZone().identifier(), "Asia/Tokyo");

  bool startedEmpty = false;
  auto built = PlainDate::fromComponentsBuilder(
      [&](platform::DateComponents& c) {
        startedEmpty = c == platform::DateComponents{};
        c.year = 2001;
      },
      region("GMT"));
  EXPECT_TRUE(startedEmpty);
  EXPECT_EQ(built->date(), Date(0));
  EXPECT_FALSE(DateInRegion::fromComponentsBuilder(
      [](platform::DateComponents& c) { c.year = std::int64_t(1) << 40; }, tokyo_));
}

TEST_F(DateInRegionTest, IsMadeFromSevenNumbersOrNotAtAll) {
  auto date = DateInRegion::fromNumbers(2024, 2, 29, 13, 14, 15, 500000000, tokyo_);
  EXPECT_EQ(date->date(), at(2024, 2, 29, 13, 14, 15.5, 9 * 3600));
  EXPECT_EQ(date->region(), tokyo_);
  // Numbers no calendar can hold give no date rather than stopping the program.
  EXPECT_FALSE(DateInRegion::fromNumbers(5'000'000'000, 1, 1, 0, 0, 0, 0, tokyo_));
  EXPECT_FALSE(PlainDate::fromNumbers(2024, 1, std::numeric_limits<std::int64_t>::min(), 0, 0, 0, 0,
                                      tokyo_));
}

TEST_F(DateInRegionTest, ComparesAndHashesByInstantAlone) {
  DateInRegion inTokyo(at(2024, 5, 1, 12), tokyo_);
  DateInRegion inParis(at(2024, 5, 1, 12), region("Europe/Paris", "fr_FR"));
  inParis.setCustomFormatter(std::make_shared<platform::DateFormatter>());
  EXPECT_TRUE(inTokyo == inParis);
  EXPECT_FALSE(inTokyo < inParis || inParis < inTokyo);
  EXPECT_TRUE(inTokyo <= inParis && inTokyo >= inParis);
  EXPECT_EQ((std::unordered_set<DateInRegion>{inTokyo, inParis}.size()), 1u);

  DateInRegion later(at(2024, 5, 1, 12, 0, 0.001), tokyo_);
  EXPECT_TRUE(inParis < later && inParis <= later && later > inTokyo && later >= inTokyo);
  EXPECT_FALSE(later == inTokyo);
  DateInRegion zero = DateInRegion::fromSeconds(0.0, tokyo_);
  DateInRegion negativeZero = DateInRegion::fromSeconds(-0.0, tokyo_);
  EXPECT_EQ(std::hash<DateInRegion>{}(zero), std::hash<DateInRegion>{}(negativeZero));
}

TEST_F(DateInRegionTest, DescribesItselfWithoutChangingItsFormatter) {
  DateInRegion date(at(2024, 5, 1, 12, 30), tokyo_);
  const std::string regionText =
      "region={calendae='gregorian', timezone='Asia/Tokyo', locale='en_US'}";
  EXPECT_EQ(date.description(),
            "{abs_date='2024-05-01T12:30:00Z', "
            "rep_date='2024-05-01T21:30:00+09:00', " +
                regionText);

  auto formatter = std::make_shared<platform::DateFormatter>();
  formatter->setTimeZone(testing_dates::zone("Europe/Paris"));
  formatter->setDateFormat("dd.MM.yyyy");
  DateInRegion copy = date;
  copy.setDate(at(2024, 5, 2, 12, 30));
  copy.setCustomFormatter(formatter);
  EXPECT_EQ(copy.description(),
            "{abs_date='2024-05-02T12:30:00Z', "
            "rep_date='2024-05-02T14:30:00+02:00', " +
                regionText);
  EXPECT_EQ(formatter->dateFormat(), "dd.MM.yyyy");
  EXPECT_FALSE(date.customFormatter());
}

TEST_F(DateInRegionTest, CodesTheDateAsSecondsSince2001AndTheRegion) {
  EXPECT_EQ(DateInRegion::codingKey("region"), DateInRegion::CodingKeys::region);
  EXPECT_EQ(DateInRegion::stringValue(DateInRegion::CodingKeys::date), "date");
  EXPECT_FALSE(DateInRegion::codingKey("Date"));
  EXPECT_FALSE(DateInRegion::codingKey(0));

  DateInRegion date(Date(736300800.25), tokyo_);
  date.setCustomFormatter(std::make_shared<platform::DateFormatter>());
  EXPECT_EQ(platform::JSONEncoder().encodeToString(date),
            R"({"date":736300800.25,"region":{"timezone":"Asia\/Tokyo","locale":"en_US",)"
            R"("calendar":"gregorian"}})");
  for (double seconds : {736300800.25, -62135769600.0, 1e-9, 64092211200.0}) {
    DateInRegion original(Date(seconds), tokyo_);
    auto back = platform::JSONDecoder().decode<DateInRegion>(
        platform::JSONEncoder().encodeToString(original));
    EXPECT_EQ(back.date().timeIntervalSinceReferenceDate(), seconds);
    EXPECT_EQ(back.region(), tokyo_);
    EXPECT_FALSE(back.customFormatter());
  }
}

TEST_F(DateInRegionTest, PassesCodingErrorsOn) {
  using Kind = platform::DecodingError::Kind;
  for (auto [text, kind] : {std::pair{R"({"date":0})", Kind::keyNotFound},
                            std::pair{R"({"date":"2024-05-01","region":{}})", Kind::typeMismatch},
                            std::pair{"[0]", Kind::typeMismatch}}) {
    try {
      platform::JSONDecoder().decode<DateInRegion>(std::string_view(text));
      ADD_FAILURE() << "decoded " << text;
    } catch (const platform::DecodingError& error) {
      EXPECT_EQ(error.kind(), kind) << text;
    }
  }
  EXPECT_THROW(platform::JSONEncoder().encode(DateInRegion(Date(std::nan("")), tokyo_)),
               platform::EncodingError);
}

}  // namespace
}  // namespace almanac
