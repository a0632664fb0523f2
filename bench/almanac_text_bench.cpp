// Date texts: the date library against raw ICU doing the same job, 100,000 inputs per row, in
// the same run. Prints both times and the ratio. ICU gets one formatter made outside the timed
// loop and converts UTF-8 in and out inside it, as the library does.

#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "almanac/date_in_region.h"
#include "almanac/date_parsable.h"
#include "almanac/date_styles.h"

namespace {

constexpr int kInputs = 100'000;

double seconds(const std::function<void()>& run) {
  auto start = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::unique_ptr<icu::SimpleDateFormat> icuFormat(const char* pattern, const char* locale,
                                                 const char* zone) {
  UErrorCode status = U_ZERO_ERROR;
  auto format = std::make_unique<icu::SimpleDateFormat>(icu::UnicodeString::fromUTF8(pattern),
                                                        icu::Locale(locale), status);
  format->adoptTimeZone(icu::TimeZone::createTimeZone(zone));
  return format;
}

// Keeps the compiler from dropping work whose result is unused.
std::size_t sink = 0;

std::string icuWrite(icu::DateFormat& format, double seconds) {
  icu::UnicodeString text;
  format.format(seconds * 1000.0, text);
  std::string out;
  text.toUTF8String(out);
  return out;
}

double icuParse(icu::DateFormat& format, const std::string& text) {
  UErrorCode status = U_ZERO_ERROR;
  UDate date = format.parse(icu::UnicodeString::fromUTF8(text), status);
  return U_SUCCESS(status) ? date : 0;
}

struct Row {
  const char* name;
  double ours;
  double icu;
};

}  // namespace

int main() {
  using almanac::DateInRegion;
  using almanac::Region;
  const Region newYork(platform::Calendar(platform::Calendar::Identifier::gregorian),
                       *platform::TimeZone::withIdentifier("America/New_York"),
                       platform::Locale("en_US"));
  const Region gmt = Region::isoStandard();

  std::vector<double> instants;
  for (int i = 0; i < kInputs; ++i)
    instants.push_back(1.0e9 + i * 3'333.337);
  std::vector<DateInRegion> dates;
  for (double s : instants)
    dates.emplace_back(platform::Date::fromTimeIntervalSince1970(s), newYork);

  const char* zones[] = {"Z", "+01:30", "-05:00"};
  auto posixWriter = icuFormat("yyyy-MM-dd'T'HH:mm:ss.SSS", "en_US_POSIX", "GMT");
  std::vector<std::string> isoTexts;
  for (int i = 0; i < kInputs; ++i)
    isoTexts.push_back(icuWrite(*posixWriter, instants[i]) + zones[i % 3]);
  auto rssWriter = icuFormat("EEE, d MMM yyyy HH:mm:ss ZZZ", "en_US_POSIX", "America/New_York");
  std::vector<std::string> rssTexts;
  for (double s : instants)
    rssTexts.push_back(icuWrite(*rssWriter, s));

  std::vector<Row> rows;

  {
    auto icu = icuFormat("yyyy-MM-dd'T'HH:mm:ss.SSSXXX", "en_US_POSIX", "GMT");
    double ours = seconds([&] {
      for (const auto& text : isoTexts)
        sink += almanac::toISODate(text) ? 1 : 0;
    });
    double raw = seconds([&] {
      for (const auto& text : isoTexts)
        sink += icuParse(*icu, text) != 0 ? 1 : 0;
    });
    rows.push_back({"Parse ISO", ours, raw});
  }
  {
    auto icu = icuFormat("yyyy-MM-dd'T'HH:mm:ssXXX", "en_US_POSIX", "America/New_York");
    double ours = seconds([&] {
      for (const auto& d : dates)
        sink += d.isoText().size();
    });
    double raw = seconds([&] {
      for (double s : instants)
        sink += icuWrite(*icu, s).size();
    });
    rows.push_back({"Write ISO", ours, raw});
  }
  {
    std::unique_ptr<icu::DateFormat> icu(icu::DateFormat::createDateTimeInstance(
        icu::DateFormat::kFull, icu::DateFormat::kFull, icu::Locale("en_US")));
    icu->adoptTimeZone(icu::TimeZone::createTimeZone("America/New_York"));
    auto style = almanac::DateToStringStyles::dateTime(platform::DateFormatter::Style::full);
    double ours = seconds([&] {
      for (const auto& d : dates)
        sink += d.string(style).size();
    });
    double raw = seconds([&] {
      for (double s : instants)
        sink += icuWrite(*icu, s).size();
    });
    rows.push_back({"Write styled", ours, raw});
  }
  {
    auto icu = icuFormat("EEE, d MMM yyyy HH:mm:ss ZZZ", "en_US_POSIX", "GMT");
    double ours = seconds([&] {
      for (const auto& text : rssTexts)
        sink += almanac::toRSSDate(text, false, gmt) ? 1 : 0;
    });
    double raw = seconds([&] {
      for (const auto& text : rssTexts)
        sink += icuParse(*icu, text) != 0 ? 1 : 0;
    });
    rows.push_back({"Parse RSS", ours, raw});
  }

  std::printf("\n%d inputs per row\n", kInputs);
  std::printf("%-14s %14s %14s %12s %12s %8s\n", "row", "raw ICU (s)", "almanac (s)", "ICU (us)",
              "almanac (us)", "ratio");
  for (const Row& row : rows) {
    std::printf("%-14s %14.3f %14.3f %12.2f %12.2f %8.2f\n", row.name, row.icu, row.ours,
                row.icu / kInputs * 1e6, row.ours / kInputs * 1e6, row.ours / row.icu);
  }
  std::printf("(checksum %zu)\n", sink);
  return 0;
}
