#include "widgets/localized_string_key.h"

#include <mutex>
#include <utility>

namespace widgets {
namespace {

std::mutex& lookupMutex() {
  static std::mutex mutex;
  return mutex;
}

LocalizedStringLookup& currentLookup() {
  static LocalizedStringLookup lookup;
  return lookup;
}

}  // namespace

void setLocalizedStringLookup(LocalizedStringLookup lookup) {
  std::lock_guard lock(lookupMutex());
  currentLookup() = std::move(lookup);
}

std::string localizedString(const LocalizedStringKey& key) {
  LocalizedStringLookup lookup;
  {
    std::lock_guard lock(lookupMutex());
    lookup = currentLookup();
  }
  return lookup ? lookup(key.key) : key.key;
}

}  // namespace widgets
