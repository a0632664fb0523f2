#include "almanac/date_formats.h"

#include <atomic>
#include <memory>

#include "almanac/formatter_cache.h"

namespace almanac {

namespace {

using Formats = std::vector<std::string>;

std::atomic<std::shared_ptr<const Formats>>& autoFormatsSlot() {
  static std::atomic<std::shared_ptr<const Formats>> slot{
      std::make_shared<const Formats>(DateFormats::initialAutoFormats())};
  return slot;
}

}  // namespace

const std::vector<std::string>& DateFormats::initialAutoFormats() {
  static const Formats formats = {
      "yyyy-MM-dd'T'HH:mm:ssZZZZZ",
      "yyyy'-'MM'-'dd'T'HH':'mm':'ssZ",
      "yyyy'-'MM'-'dd'T'HH':'mm':'ss'.'SSSZ",
      "yyyy-MM-dd'T'HH:mm:ss.SSSZ",
      "yyyy-MM-dd HH:mm:ss",
      "yyyy-MM-dd HH:mm",
      "yyyy-MM-dd",
      "h:mm:ss A",
      "h:mm A",
      "MM/dd/yyyy",
      "MMMM d, yyyy",
      "MMMM d, yyyy LT",
      "dddd, MMMM D, yyyy LT",
      "yyyyyy-MM-dd",
      "yyyy-MM-dd",
      "yyyy-'W'ww-E",
      "GGGG-'['W']'ww-E",
      "yyyy-'W'ww",
      "GGGG-'['W']'ww",
      "yyyy'W'ww",
      "yyyy-ddd",
      "HH:mm:ss.SSSS",
      "HH:mm:ss",
      "HH:mm",
      "HH",
  };
  return formats;
}

std::vector<std::string> DateFormats::autoFormats() {
  return *autoFormatsSlot().load();
}

void DateFormats::setAutoFormats(std::vector<std::string> formats) {
  autoFormatsSlot().store(std::make_shared<const Formats>(std::move(formats)));
}

void DateFormats::modifyAutoFormats(const std::function<void(std::vector<std::string>&)>& change) {
  auto& slot = autoFormatsSlot();
  auto current = slot.load();
  for (;;) {
    Formats next = *current;
    change(next);
    if (slot.compare_exchange_weak(current, std::make_shared<const Formats>(std::move(next)))) {
      return;
    }
  }
}

void DateFormats::resetAutoFormats() {
  setAutoFormats(initialAutoFormats());
}

std::optional<platform::Date> parseDate(std::string_view text,
                                        const std::vector<std::string>& formats,
                                        const Region& region) {
  auto formatter = sharedDateFormatter(region, std::nullopt);
  for (const auto& format : formats) {
    formatter->setDateFormat(format);
    formatter->setLocale(region.locale());
    if (auto date = formatter->date(text)) return date;
  }
  return std::nullopt;
}

std::optional<platform::Date> parseDate(std::string_view text,
                                        const std::optional<std::string>& format,
                                        const Region& region) {
  if (format) return parseDate(text, std::vector<std::string>{*format}, region);
  return parseDate(text, DateFormats::autoFormats(), region);
}

}  // namespace almanac
