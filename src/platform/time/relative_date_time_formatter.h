#pragma once

#include <optional>
#include <string>

#include "platform/foundation/date.h"
#include "platform/time/calendar.h"
#include "platform/time/date_components.h"
#include "platform/time/locale.h"

namespace platform {

// Writes how far one date lies from another in words ("in 2 days", "yesterday"): the largest
// calendar unit in which the two differ decides the text.
class RelativeDateTimeFormatter {
 public:
  // The platform's numbers for both styles. `short_` carries an underscore because its plain
  // name is a C++ keyword.
  enum class DateTimeStyle { numeric = 0, named = 1 };
  enum class UnitsStyle { full = 0, spellOut = 1, short_ = 2, abbreviated = 3 };

  static constexpr std::string_view className = "RelativeDateTimeFormatter";

  // Numeric, full units, the autoupdating locale and calendar.
  RelativeDateTimeFormatter();

  DateTimeStyle dateTimeStyle() const { return dateTimeStyle_; }
  void setDateTimeStyle(DateTimeStyle style) { dateTimeStyle_ = style; }
  UnitsStyle unitsStyle() const { return unitsStyle_; }
  void setUnitsStyle(UnitsStyle style) { unitsStyle_ = style; }
  const Locale& locale() const { return locale_; }
  void setLocale(Locale locale) { locale_ = std::move(locale); }
  const Calendar& calendar() const { return calendar_; }
  void setCalendar(Calendar calendar) { calendar_ = std::move(calendar); }

  std::string localizedString(Date date, Date relativeTo) const;
  // The first non-zero of year, month, week of month, day, hour, minute, second; all zero is
  // "now" (named) or zero seconds (numeric).
  std::string localizedString(const DateComponents& components) const;
  std::string localizedString(double timeInterval) const;

 private:
  DateTimeStyle dateTimeStyle_ = DateTimeStyle::numeric;
  UnitsStyle unitsStyle_ = UnitsStyle::full;
  Locale locale_;
  Calendar calendar_;
};

}  // namespace platform
