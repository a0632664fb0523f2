#include <gtest/gtest.h>

#include <set>
#include <string>

#include "almanac/conversions.h"
#include "almanac/locales.h"
#include "almanac/zones.h"

namespace almanac {
namespace {

TEST(Locales, HasItsCasesInOrder) {
  static_assert(localesCount == 717);
  EXPECT_EQ(static_cast<int>(Locales::current), 0);
  EXPECT_EQ(static_cast<int>(Locales::autoUpdating), 1);
  EXPECT_EQ(rawValue(Locales::current), "current");
  EXPECT_EQ(rawValue(Locales::autoUpdating), "currentAutoUpdating");
  EXPECT_EQ(rawValue(static_cast<Locales>(2)), "af");
  EXPECT_EQ(rawValue(static_cast<Locales>(716)), "zu_ZA");
  EXPECT_EQ(rawValue(static_cast<Locales>(717)), "");
}

TEST(Locales, KeepsTheTellingNames) {
  const std::pair<Locales, const char*> rows[] = {
      {Locales::afrikaans, "af"},
      {Locales::afrikaansNamibia, "af_NA"},
      {Locales::arabicWorld, "ar_001"},
      {Locales::azerbaijani, "az_Latn"},
      {Locales::azerbaijaniCyrillic, "az_Cyrl"},
      {Locales::serbian, "sr_Cyrl"},
      {Locales::serbianLatin, "sr_Latn"},
      {Locales::serbianLatinMontenegro, "sr_Latn_ME"},
      {Locales::chinese, "zh"},
      {Locales::chineseChina, "zh_Hans_CN"},
      {Locales::chineseSimplified, "zh_Hans"},
      {Locales::chineseTraditional, "zh_Hant"},
      {Locales::chineseTaiwan, "zh_Hant_TW"},
      {Locales::englishEurope, "en_150"},
      {Locales::englishUnitedStates, "en_US"},
      {Locales::englishUnitedStatesComputer, "en_US_POSIX"},
      {Locales::englishWorld, "en_001"},
      {Locales::spanishLatinAmerica, "es_419"},
      {Locales::norwegianBokml, "nb"},
      {Locales::frenchRunion, "fr_RE"},
      {Locales::swedishlandIslands, "sv_AX"},
      {Locales::inuktitutUnifiedCanadianAboriginalSyllabics, "iu_Cans"},
      {Locales::engaliIndia, "bn_IN"},
      {Locales::bengali, "bn"},
      {Locales::vai, "vai_Vaii"},
      {Locales::vaiLatin, "vai_Latn"},
      {Locales::zulu, "zu"},
      {Locales::zuluSouthAfrica, "zu_ZA"},
  };
  for (const auto& [locale, raw] : rows) {
    EXPECT_EQ(rawValue(locale), raw) << caseName(locale);
  }
  EXPECT_EQ(caseName(Locales::norwegianBokml), "norwegianBokml");
}

TEST(Locales, ConstructsOnlyFromExactRawValues) {
  std::set<std::string_view> names;
  for (std::size_t i = 0; i < localesCount; ++i) {
    auto locale = static_cast<Locales>(i);
    EXPECT_EQ(localesFromRawValue(rawValue(locale)), locale) << rawValue(locale);
    EXPECT_TRUE(names.insert(caseName(locale)).second) << caseName(locale);
  }
  EXPECT_FALSE(localesFromRawValue("Current"));
  EXPECT_EQ(localesFromRawValue("current"), Locales::current);
  EXPECT_FALSE(localesFromRawValue("en-US"));
  EXPECT_FALSE(localesFromRawValue(""));
  EXPECT_FALSE(localesFromRawValue("zz_ZZ"));
}

TEST(Locales, ConvertToLocales) {
  EXPECT_EQ(toLocale(Locales::englishUnitedStatesComputer).identifier(), "en_US_POSIX");
  EXPECT_EQ(toLocale(Locales::chineseTaiwan).identifier(), "zh_Hant_TW");
  EXPECT_TRUE(toLocale(Locales::autoUpdating).isAutoupdating());
  platform::Locale::setCurrent(platform::Locale("ko_KR"));
  EXPECT_EQ(toLocale(Locales::current), platform::Locale("ko_KR"));
  EXPECT_EQ(LocaleConvertible(Locales::current).toLocale().identifier(), "ko_KR");
  platform::Locale::setCurrent(std::nullopt);
  EXPECT_EQ(LocaleConvertible("de_CH").toLocale().identifier(), "de_CH");
}

TEST(Zones, HasItsCasesInOrder) {
  static_assert(zonesCount == 430);
  EXPECT_EQ(rawValue(Zones::current), "Current");
  EXPECT_EQ(rawValue(Zones::autoUpdating), "CurrentAutoUpdating");
  EXPECT_EQ(rawValue(static_cast<Zones>(2)), "Africa/Abidjan");
  EXPECT_EQ(rawValue(static_cast<Zones>(429)), "Pacific/Wallis");
  EXPECT_EQ(rawValue(Zones::americaArgentinaBuenosAires), "America/Argentina/Buenos_Aires");
  EXPECT_EQ(rawValue(Zones::americaPortAuPrince), "America/Port-au-Prince");
  EXPECT_EQ(rawValue(Zones::fricaKigali), "Africa/Kigali");
  EXPECT_EQ(rawValue(Zones::antarcticaDumontdurville), "Antarctica/DumontDUrville");
  EXPECT_EQ(rawValue(Zones::antarcticaMcmurdo), "Antarctica/McMurdo");
  EXPECT_EQ(rawValue(Zones::gmt), "GMT");
  EXPECT_FALSE(zonesFromRawValue("current"));
  EXPECT_EQ(zonesFromRawValue("CurrentAutoUpdating"), Zones::autoUpdating);
}

TEST(Zones, RoundTripAndNameZonesICUKnows) {
  std::set<std::string_view> names;
  for (std::size_t i = 0; i < zonesCount; ++i) {
    auto zone = static_cast<Zones>(i);
    EXPECT_EQ(zonesFromRawValue(rawValue(zone)), zone) << rawValue(zone);
    EXPECT_TRUE(names.insert(caseName(zone)).second) << caseName(zone);
    if (i < 2) continue;
    auto known = platform::TimeZone::withIdentifier(rawValue(zone));
    ASSERT_TRUE(known) << rawValue(zone);
    EXPECT_EQ(toTimezone(zone).identifier(), rawValue(zone));
  }
  EXPECT_TRUE(toTimezone(Zones::autoUpdating).isAutoupdating());
  platform::TimeZone::setCurrent(*platform::TimeZone::withIdentifier("Asia/Tokyo"));
  EXPECT_EQ(toTimezone(Zones::current).identifier(), "Asia/Tokyo");
  EXPECT_EQ(ZoneConvertible(Zones::current).toTimezone().identifier(), "Asia/Tokyo");
  platform::TimeZone::setCurrent(std::nullopt);
}

}  // namespace
}  // namespace almanac
