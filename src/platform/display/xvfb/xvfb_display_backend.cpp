#include <algorithm>
#include <cmath>

#include "platform/display/display_registry.h"
#include "platform/display/screen_parameters.h"
#include "platform/display/xvfb/xvfb_backend.h"
#include "platform/display/xvfb/xvfb_server.h"

namespace platform {

namespace {

class XvfbDisplay final : public VirtualDisplayHandle {
 public:
  XvfbDisplay(std::unique_ptr<XvfbServer> server, DisplayID id, std::uint32_t width,
              std::uint32_t height)
      : server_(std::move(server)), id_(id), width_(width), height_(height) {}

  ~XvfbDisplay() override {
    DisplayRegistry::shared().remove(id_, server_->displayName());
    server_->terminate();
    postScreenParametersChanged();
  }

  DisplayID id() const override { return id_; }
  std::uint32_t pixelWidth() const override { return width_; }
  std::uint32_t pixelHeight() const override { return height_; }

 private:
  std::unique_ptr<XvfbServer> server_;
  DisplayID id_;
  std::uint32_t width_;
  std::uint32_t height_;
};

}  // namespace

std::expected<std::unique_ptr<VirtualDisplayHandle>, std::string> makeXvfbDisplay(
    const std::string& xvfbProgram, const VirtualDisplayRequest& request) {
  XvfbServer::Options options;
  options.program = xvfbProgram;
  options.width = request.pixelWidth;
  options.height = request.pixelHeight;
  if (request.sizeInMillimeters.width > 0) {
    const double dpi = request.pixelWidth * 25.4 / request.sizeInMillimeters.width;
    if (std::isfinite(dpi)) {
      options.dpi = static_cast<std::uint32_t>(std::clamp(std::lround(dpi), 1L, 100000L));
    }
  }
  auto server = XvfbServer::launch(options);
  if (!server) return std::unexpected(server.error());

  OwnDisplayRecord record;
  record.id = DisplayRegistry::shared().nextWholeScreenID();
  record.xDisplay = (*server)->displayName();
  record.wholeScreen = true;
  record.name = request.name;
  setRequestedSizes(record, request);
  DisplayRegistry::shared().add(record);
  postScreenParametersChanged();
  return std::make_unique<XvfbDisplay>(std::move(*server), record.id, request.pixelWidth,
                                       request.pixelHeight);
}

namespace {

class XvfbPerDisplayBackend final : public VirtualDisplayBackend {
 public:
  std::expected<std::unique_ptr<VirtualDisplayHandle>, std::string> makeDisplay(
      const DisplayEnvironment& environment, const VirtualDisplayRequest& request) const override {
    return makeXvfbDisplay(environment.xvfbProgram, request);
  }
  // An Xvfb of ours dies with the process that started it: nothing to take back.
  bool available(const DisplayEnvironment& environment) const override {
    return XvfbServer::isAvailable(environment.xvfbProgram);
  }
};

}  // namespace

const VirtualDisplayBackend& xvfbPerDisplayBackend() {
  static const XvfbPerDisplayBackend backend;
  return backend;
}

}  // namespace platform
