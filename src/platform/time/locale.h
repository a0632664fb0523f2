#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// A locale, named by an identifier such as "en_US", "zh_Hans_CN" or "en_US_POSIX". The identifier
// is kept exactly as given; it is only interpreted when something is formatted with it. The
// autoupdating locale always answers as the current locale does at the moment of the question.
class Locale {
 public:
  explicit Locale(std::string identifier) : identifier_(std::move(identifier)) {}
  explicit Locale(const char* identifier) : identifier_(identifier) {}

  // The user's locale, from LC_ALL, LC_TIME or LANG ("de_DE.UTF-8" gives "de_DE"; "C", "POSIX"
  // and nothing give "en_US_POSIX"), read once and kept until `resetCurrent`, unless an override
  // is installed.
  static Locale current();
  static Locale autoupdatingCurrent();
  // Replaces what `current()` answers (an empty value removes the override).
  static void setCurrent(std::optional<Locale> locale);
  // Forgets the environment's locale so that the next `current()` reads it again.
  static void resetCurrent();
  // The identifier the environment names, as `current()` would read it.
  static std::string identifierFromEnvironment();

  bool isAutoupdating() const { return autoupdating_; }
  // For the autoupdating locale, the current locale's identifier.
  std::string identifier() const;

  // The calendar keyword of the identifier ("ja_JP@calendar=japanese" gives "japanese"), or "".
  std::string calendarKeyword() const;

  // Equal locales have the same identifier; the autoupdating locale equals only another
  // autoupdating locale.
  friend bool operator==(const Locale& a, const Locale& b) {
    if (a.autoupdating_ || b.autoupdating_) return a.autoupdating_ && b.autoupdating_;
    return a.identifier_ == b.identifier_;
  }

 private:
  struct AutoupdatingTag {};
  explicit Locale(AutoupdatingTag) : autoupdating_(true) {}

  std::string identifier_;
  bool autoupdating_ = false;
};

}  // namespace platform

template <>
struct std::hash<platform::Locale> {
  std::size_t operator()(const platform::Locale& locale) const noexcept {
    return std::hash<std::string>{}(locale.identifier()) ^ (locale.isAutoupdating() ? 0x9e37 : 0);
  }
};
