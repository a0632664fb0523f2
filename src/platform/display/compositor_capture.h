#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "platform/display/capture_backend.h"
#include "platform/display/display_types.h"

namespace platform {

// A virtual display of a compositor backend, as the capture finds it by its identifier.
class CompositorDisplaySource {
 public:
  virtual ~CompositorDisplaySource() = default;
  virtual std::unique_ptr<CaptureBackend> makeCapture(CaptureBackendContext context) = 0;
};

// The compositor displays of this process, by identifier.
class CompositorDisplays {
 public:
  static CompositorDisplays& shared();
  void add(DisplayID id, std::shared_ptr<CompositorDisplaySource> source);
  void remove(DisplayID id);
  std::shared_ptr<CompositorDisplaySource> find(DisplayID id) const;

 private:
  mutable std::mutex mutex_;
  std::map<DisplayID, std::shared_ptr<CompositorDisplaySource>> sources_;
};

}  // namespace platform
