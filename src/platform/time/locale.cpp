#include "platform/time/locale.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>

#include "platform/time/icu_support.h"

namespace platform {

namespace {

struct CurrentState {
  std::mutex mutex;
  std::optional<std::string> system;
  std::optional<std::string> override;
};

CurrentState& currentState() {
  static CurrentState state;
  return state;
}

std::string currentIdentifier() {
  auto& state = currentState();
  std::lock_guard lock(state.mutex);
  if (state.override) return *state.override;
  if (!state.system) state.system = Locale::identifierFromEnvironment();
  return *state.system;
}

}  // namespace

std::string Locale::identifierFromEnvironment() {
  std::string value;
  for (const char* name : {"LC_ALL", "LC_TIME", "LANG"}) {
    const char* text = std::getenv(name);
    if (text && *text) {
      value = text;
      break;
    }
  }
  // "language_TERRITORY.codeset@modifier": the codeset and modifier say nothing about dates.
  value = value.substr(0, value.find_first_of(".@"));
  if (value.empty() || value == "C" || value == "POSIX") return "en_US_POSIX";
  return value;
}

Locale Locale::current() {
  return Locale(currentIdentifier());
}

Locale Locale::autoupdatingCurrent() {
  return Locale(AutoupdatingTag{});
}

void Locale::setCurrent(std::optional<Locale> locale) {
  std::optional<std::string> identifier;
  if (locale) identifier = locale->identifier();
  auto& state = currentState();
  std::lock_guard lock(state.mutex);
  state.override = std::move(identifier);
}

void Locale::resetCurrent() {
  auto& state = currentState();
  std::lock_guard lock(state.mutex);
  state.system.reset();
}

std::string Locale::identifier() const {
  if (autoupdating_) return currentIdentifier();
  return identifier_;
}

std::string Locale::calendarKeyword() const {
  icu::Locale locale = icu_support::makeLocale(*this);
  UErrorCode status = U_ZERO_ERROR;
  char value[64] = {};
  int32_t length = locale.getKeywordValue("calendar", value, sizeof value - 1, status);
  if (U_FAILURE(status) || length <= 0) return "";
  return std::string(value, static_cast<std::size_t>(length));
}

namespace icu_support {

icu::Locale makeLocale(std::string_view identifier) {
  std::string text(identifier);
  // Only the language-and-region part may use BCP 47 hyphens; keyword values keep theirs.
  auto keywords = text.find('@');
  std::replace(text.begin(), keywords == std::string::npos ? text.end() : text.begin() + keywords,
               '-', '_');
  return icu::Locale(text.c_str());
}

icu::Locale makeLocale(const Locale& locale) {
  return makeLocale(locale.identifier());
}

}  // namespace icu_support
}  // namespace platform
