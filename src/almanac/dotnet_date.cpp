#include "almanac/dotnet_date.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "almanac/date_representable.h"
#include "almanac/text_transformable.h"
#include "platform/time/time_zone.h"

namespace almanac {

static_assert(StringToDateTransformable<DOTNETParser>);
static_assert(DateToStringTrasformable<DOTNETFormatter>);

namespace {

// The region of texts for machines, made once: building it looks its zone up anew each time.
const Region& machineRegion() {
  static const Region iso = Region::isoStandard();
  return iso;
}

constexpr double maximumMilliseconds = 8.64e15;  // 100,000,000 days

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

bool startsWithWrapper(std::string_view text, std::size_t at) {
  static constexpr std::string_view wrapper = "/date(";
  if (text.size() - at < wrapper.size()) return false;
  for (std::size_t k = 0; k < wrapper.size(); ++k) {
    char c = text[at + k];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != wrapper[k]) return false;
  }
  return true;
}

struct Match {
  std::string_view count;   // "-" and digits
  std::string_view offset;  // a sign and digits, or empty
};

// The form at `at`, matched as the pattern "/date\((-?\d+)((?:[+-]\d+)?)\)/" would.
std::optional<Match> matchAt(std::string_view text, std::size_t at) {
  std::size_t i = at + 6;
  std::size_t countStart = i;
  if (i < text.size() && text[i] == '-') ++i;
  std::size_t digitsStart = i;
  while (i < text.size() && isDigit(text[i]))
    ++i;
  if (i == digitsStart) return std::nullopt;
  Match match{text.substr(countStart, i - countStart), {}};
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    std::size_t offsetStart = i++;
    std::size_t offsetDigits = i;
    while (i < text.size() && isDigit(text[i]))
      ++i;
    if (i == offsetDigits) return std::nullopt;
    match.offset = text.substr(offsetStart, i - offsetStart);
  }
  if (text.size() - i < 2 || text[i] != ')' || text[i + 1] != '/') return std::nullopt;
  return match;
}

}  // namespace

std::optional<double> DOTNETParser::instant(std::string_view text) {
  std::optional<Match> match;
  for (std::size_t at = 0; at < text.size() && !match; ++at) {
    if (startsWithWrapper(text, at)) match = matchAt(text, at);
  }
  if (!match) return std::nullopt;

  double milliseconds = 0;
  auto [end, error] =
      std::from_chars(match->count.data(), match->count.data() + match->count.size(), milliseconds);
  if (error != std::errc() || end != match->count.data() + match->count.size()) {
    return std::nullopt;
  }
  if (!std::isfinite(milliseconds) || std::fabs(milliseconds) > maximumMilliseconds) {
    return std::nullopt;
  }

  // A sign and two two-digit fields; digits beyond the fourth are not read.
  std::string_view offset = match->offset;
  if (offset.size() < 5) return std::nullopt;
  int hours = (offset[1] - '0') * 10 + (offset[2] - '0');
  int minutes = (offset[3] - '0') * 10 + (offset[4] - '0');
  int seconds = (hours * 3600 + minutes * 60) * (offset[0] == '-' ? -1 : 1);
  if (!platform::TimeZone::withSecondsFromGMT(seconds)) return std::nullopt;
  return milliseconds / 1000.0;
}

std::optional<DateInRegion> DOTNETParser::parse(std::string_view text,
                                                const std::optional<Region>& region,
                                                const std::any&) {
  auto seconds = instant(text);
  if (!seconds) return std::nullopt;
  Region chosen = region ? *region : machineRegion();
  return DateInRegion(platform::Date::fromTimeIntervalSince1970(*seconds),
                      Region(chosen.calendar(), chosen.timeZone(), chosen.locale()));
}

std::string DOTNETFormatter::format(const DateRepresentable& date, const std::any&) {
  platform::Date instant = date.date();
  double milliseconds = instant.timeIntervalSince1970() * 1000.0;
  int hours = date.region().timeZone().secondsFromGMT(instant) / 3600;
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, "/Date(%.0f%+03d00)/", milliseconds, hours);
  return buffer;
}

}  // namespace almanac
