#include "almanac/formatter_cache.h"

#include <any>
#include <functional>

#include "almanac/date_formats.h"
#include "platform/time/thread_dictionary.h"

namespace almanac {

namespace {

template <class Formatter>
std::shared_ptr<Formatter> fetchOrMake(const std::function<void(Formatter&)>& firstMade = {}) {
  auto& dictionary = platform::ThreadDictionary::current();
  std::string key = "Almanac_" + std::string(Formatter::className);
  auto it = dictionary.find(key);
  if (it != dictionary.end()) {
    if (auto* formatter = std::any_cast<std::shared_ptr<Formatter>>(&it->second)) {
      if (*formatter) return *formatter;
    }
  }
  auto formatter = std::make_shared<Formatter>();
  if (firstMade) firstMade(*formatter);
  dictionary[key] = formatter;
  return formatter;
}

}  // namespace

std::shared_ptr<platform::DateFormatter> sharedDateFormatter(
    const std::optional<Region>& region, const std::optional<std::string>& format) {
  auto formatter = fetchOrMake<platform::DateFormatter>();
  if (region) {
    formatter->setTimeZone(region->timeZone());
    formatter->setCalendar(region->calendar());
    formatter->setLocale(region->locale());
  }
  formatter->setDateFormat(format ? *format : std::string(DateFormats::iso8601));
  return formatter;
}

std::shared_ptr<platform::NumberFormatter> sharedOrdinalFormatter(const LocaleConvertible& locale) {
  auto formatter = fetchOrMake<platform::NumberFormatter>();
  formatter->setNumberStyle(platform::NumberFormatter::Style::ordinal);
  formatter->setLocale(locale.toLocale());
  return formatter;
}

std::shared_ptr<platform::DateComponentsFormatter> sharedDateComponentsFormatter() {
  return fetchOrMake<platform::DateComponentsFormatter>(
      [](platform::DateComponentsFormatter& formatter) {
        formatter.includesApproximationPhrase = false;
        formatter.includesTimeRemainingPhrase = false;
      });
}

}  // namespace almanac
