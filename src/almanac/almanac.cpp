#include "almanac/almanac.h"

#include <atomic>
#include <memory>

#include "almanac/date_formats.h"

namespace almanac {

namespace {

std::atomic<std::shared_ptr<const Region>>& defaultRegionSlot() {
  static std::atomic<std::shared_ptr<const Region>> slot{std::make_shared<const Region>(
      platform::Calendar::autoupdatingCurrent(),
      platform::TimeZone::withIdentifier("GMT").value_or(platform::TimeZone::gmt()),
      platform::Locale::autoupdatingCurrent())};
  return slot;
}

}  // namespace

Region Almanac::defaultRegion() {
  return *defaultRegionSlot().load();
}

void Almanac::setDefaultRegion(Region region) {
  defaultRegionSlot().store(std::make_shared<const Region>(std::move(region)));
}

void Almanac::modifyDefaultRegion(const std::function<void(Region&)>& change) {
  auto& slot = defaultRegionSlot();
  auto current = slot.load();
  for (;;) {
    Region next = *current;
    change(next);
    if (slot.compare_exchange_weak(current, std::make_shared<const Region>(std::move(next)))) {
      return;
    }
  }
}

std::vector<std::string> Almanac::autoFormats() {
  return DateFormats::autoFormats();
}

void Almanac::setAutoFormats(std::vector<std::string> formats) {
  DateFormats::setAutoFormats(std::move(formats));
}

void Almanac::modifyAutoFormats(const std::function<void(std::vector<std::string>&)>& change) {
  DateFormats::modifyAutoFormats(change);
}

void Almanac::resetAutoFormats() {
  DateFormats::resetAutoFormats();
}

}  // namespace almanac
