#include "platform/display/compositor_capture.h"

namespace platform {

CompositorDisplays& CompositorDisplays::shared() {
  static auto* displays = new CompositorDisplays;  // displays may go during static destruction
  return *displays;
}

void CompositorDisplays::add(DisplayID id, std::shared_ptr<CompositorDisplaySource> source) {
  std::lock_guard lock(mutex_);
  sources_[id] = std::move(source);
}

void CompositorDisplays::remove(DisplayID id) {
  std::shared_ptr<CompositorDisplaySource> removed;
  std::lock_guard lock(mutex_);
  if (auto it = sources_.find(id); it != sources_.end()) {
    removed = std::move(it->second);
    sources_.erase(it);
  }
}

std::shared_ptr<CompositorDisplaySource> CompositorDisplays::find(DisplayID id) const {
  std::lock_guard lock(mutex_);
  auto it = sources_.find(id);
  return it == sources_.end() ? nullptr : it->second;
}

}  // namespace platform
