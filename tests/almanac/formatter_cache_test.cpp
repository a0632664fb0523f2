#include "almanac/formatter_cache.h"

#include <gtest/gtest.h>

#include <thread>

#include "almanac/associated_value.h"
#include "platform/time/support/dates.h"
#include "platform/time/thread_dictionary.h"

namespace almanac {
namespace {

using testing_dates::at;

TEST(FormatterCache, KeepsOneDateFormatterPerThread) {
  auto first = sharedDateFormatter();
  auto second = sharedDateFormatter(Region::isoStandard(), std::string("yyyy"));
  EXPECT_EQ(first.get(), second.get());
  platform::DateFormatter* other = nullptr;
  std::thread([&] { other = sharedDateFormatter().get(); }).join();
  EXPECT_NE(other, first.get());
  EXPECT_TRUE(platform::ThreadDictionary::current().contains("Almanac_DateFormatter"));
}

TEST(FormatterCache, ConfiguresTheDateFormatterForTheRegion) {
  Region tokyo(platform::Calendar::Identifier::japanese, Zones::asiaTokyo, Locales::japaneseJapan);
  auto formatter = sharedDateFormatter(tokyo, std::string("HH:mm"));
  EXPECT_EQ(formatter->timeZone().identifier(), "Asia/Tokyo");
  EXPECT_EQ(formatter->calendar().identifier(), platform::Calendar::Identifier::japanese);
  EXPECT_EQ(formatter->locale().identifier(), "ja_JP");
  EXPECT_EQ(formatter->string(at(2024, 1, 1)), "09:00");

  // Without a region the zone stays as the last use left it; the pattern returns to ISO 8601.
  formatter = sharedDateFormatter();
  EXPECT_EQ(formatter->timeZone().identifier(), "Asia/Tokyo");
  EXPECT_EQ(formatter->dateFormat(), "yyyy-MM-dd'T'HH:mm:ssZZZZZ");
}

TEST(FormatterCache, ReplacesAForeignObjectUnderItsKey) {
  auto& dictionary = platform::ThreadDictionary::current();
  dictionary["Almanac_DateFormatter"] = std::string("not a formatter");
  auto formatter = sharedDateFormatter(Region::isoStandard());
  ASSERT_TRUE(formatter);
  auto* stored =
      std::any_cast<std::shared_ptr<platform::DateFormatter>>(&dictionary["Almanac_DateFormatter"]);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->get(), formatter.get());
  EXPECT_EQ(formatter->string(platform::Date::fromTimeIntervalSince1970(0)),
            "1970-01-01T00:00:00Z");
}

TEST(FormatterCache, ReconfiguresTheOrdinalFormatterOnEveryUse) {
  auto english = sharedOrdinalFormatter(Locales::englishUnitedStates);
  EXPECT_EQ(english->string(std::int64_t{2}), "2nd");
  EXPECT_EQ(english->numberStyle(), platform::NumberFormatter::Style::ordinal);
  english->setNumberStyle(platform::NumberFormatter::Style::spellOut);
  auto french = sharedOrdinalFormatter(std::string("fr_FR"));
  EXPECT_EQ(french.get(), english.get());
  EXPECT_EQ(french->string(std::int64_t{2}), "2e");
}

TEST(FormatterCache, MakesTheComponentsFormatterWithoutPhrases) {
  auto& dictionary = platform::ThreadDictionary::current();
  dictionary.erase("Almanac_DateComponentsFormatter");
  auto formatter = sharedDateComponentsFormatter();
  EXPECT_FALSE(formatter->includesApproximationPhrase);
  EXPECT_FALSE(formatter->includesTimeRemainingPhrase);
  formatter->unitsStyle = platform::DateComponentsFormatter::UnitsStyle::full;
  EXPECT_EQ(sharedDateComponentsFormatter()->unitsStyle,
            platform::DateComponentsFormatter::UnitsStyle::full);
}

TEST(AssociatedValue, AnswersWithTheLiveWeakObjectElseTheStrongValue) {
  auto formatter = std::make_shared<platform::DateFormatter>();
  AssociatedValue strong(formatter);
  EXPECT_EQ(strong.valueAs<std::shared_ptr<platform::DateFormatter>>(), formatter);
  EXPECT_FALSE(strong.valueAs<std::string>());

  auto object = std::make_shared<std::string>("live");
  auto box = AssociatedValue::weak(object, std::any(std::string("fallback")));
  EXPECT_EQ(**box->valueAs<std::shared_ptr<std::string>>(), "live");
  object.reset();
  EXPECT_EQ(box->valueAs<std::string>(), "fallback");
  auto number = std::make_shared<int>(1);
  auto weakOnly = AssociatedValue::weak(number);
  EXPECT_EQ(*weakOnly->valueAs<std::shared_ptr<int>>(), number);
  number.reset();
  EXPECT_FALSE(weakOnly->value().has_value());
}

}  // namespace
}  // namespace almanac
