#include "platform/display/display_registry.h"

#include <algorithm>

namespace platform {

namespace {
constexpr DisplayID kWholeScreenIDBase = 0x80000000u;
}

DisplayRegistry& DisplayRegistry::shared() {
  static DisplayRegistry registry;
  return registry;
}

DisplayID DisplayRegistry::nextWholeScreenID() {
  std::lock_guard lock(mutex_);
  const DisplayID id = kWholeScreenIDBase | (nextWholeScreen_ & 0x7fffffffu);
  nextWholeScreen_ = nextWholeScreen_ == 0x7fffffffu ? 1 : nextWholeScreen_ + 1;
  return id;
}

void DisplayRegistry::add(OwnDisplayRecord record) {
  std::lock_guard lock(mutex_);
  std::erase_if(records_, [&](const OwnDisplayRecord& existing) {
    return existing.id == record.id && existing.xDisplay == record.xDisplay;
  });
  records_.push_back(std::move(record));
}

void DisplayRegistry::remove(DisplayID id, const std::string& xDisplay) {
  std::lock_guard lock(mutex_);
  std::erase_if(records_, [&](const OwnDisplayRecord& existing) {
    return existing.id == id && existing.xDisplay == xDisplay;
  });
}

std::optional<OwnDisplayRecord> DisplayRegistry::find(DisplayID id,
                                                      const std::string& xDisplay) const {
  std::lock_guard lock(mutex_);
  for (const auto& record : records_) {
    if (record.id == id && (record.wholeScreen || record.xDisplay == xDisplay)) return record;
  }
  return std::nullopt;
}

std::vector<OwnDisplayRecord> DisplayRegistry::wholeScreenDisplays() const {
  std::lock_guard lock(mutex_);
  std::vector<OwnDisplayRecord> result;
  for (const auto& record : records_) {
    if (record.wholeScreen) result.push_back(record);
  }
  return result;
}

}  // namespace platform
