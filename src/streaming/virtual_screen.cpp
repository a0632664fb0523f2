#include "streaming/virtual_screen.h"

#include <unistd.h>

#include <climits>
#include <cmath>

#include <fmt/core.h>

#include "platform/display/display_queries.h"
#include "platform/display/screen_parameters.h"
#include "platform/display/virtual_display.h"
#include "platform/foundation/log.h"
#include "platform/foundation/utf8.h"
#include "streaming/display_name.h"
#include "streaming/notification_names.h"

namespace streaming {

namespace {

constexpr std::uint32_t kMaxActiveDisplays = 5;

std::string hostName() {
  char buffer[HOST_NAME_MAX + 1] = {};
  if (gethostname(buffer, sizeof buffer - 1) != 0 || buffer[0] == '\0') return "?";
  return buffer;
}

// Pixels per inch from a width in pixels and in millimetres, truncated; 0 when the physical
// width is unknown.
std::int32_t pixelsPerInch(std::uint32_t pixelWidth, double millimeters) {
  if (!(millimeters > 0)) return 0;
  const double ppi = std::trunc(pixelWidth / millimeters * 25.4);
  if (!std::isfinite(ppi) || ppi > INT32_MAX) return 0;
  return static_cast<std::int32_t>(ppi);
}

bool sameDescription(const MagicPacket& a, const MagicPacket& b) {
  return a.deviceName() == b.deviceName() && a.width() == b.width() && a.height() == b.height() &&
         a.ppi() == b.ppi();
}

}  // namespace

VirtualScreen::VirtualScreen()
    : builderQueue_(platform::DispatchQueue::serial("VirtualScreen.builder")),
      ns_(std::make_shared<platform::NetService>(kDisplayServiceDomain, kDisplayServiceType,
                                                 hostName())),
      browser_(std::make_shared<platform::NetServiceBrowser>()) {}

std::shared_ptr<VirtualScreen> VirtualScreen::make() {
  std::shared_ptr<VirtualScreen> screen(new VirtualScreen());
  screen->start();
  return screen;
}

VirtualScreen::~VirtualScreen() = default;

void VirtualScreen::start() {
  auto center = platform::NotificationCenter::defaultCenter();
  std::weak_ptr<VirtualScreen> weak = weak_from_this();
  screenParametersObserver_ =
      center->addObserver(platform::kScreenParametersDidChangeNotification,
                          [weak](const platform::Notification& notification) {
                            if (auto self = weak.lock())
                              self->handleDisplayConnection(notification);
                          });
  platform::startScreenParametersNotifications();

  // Displays a previous run left behind when it died go before this computer's displays are
  // read, so they are not taken for its own.
  platform::reclaimAbandonedVirtualDisplays();
  readActiveDisplays();

  connectedObserver_ =
      center->addObserver(deviceConnected(), [weak](const platform::Notification& notification) {
        if (auto self = weak.lock()) self->didDeviceConnected(notification);
      });
  disconnectedObserver_ =
      center->addObserver(deviceDisconnected(), [weak](const platform::Notification&) {
        if (auto self = weak.lock()) self->didDeviceDisconnected();
      });
}

void VirtualScreen::readActiveDisplays() {
  auto ids = platform::getActiveDisplayList(kMaxActiveDisplays);
  if (!ids) return;
  std::vector<Resolution> displays;
  for (std::size_t position = 0; position < ids->size(); ++position) {
    const platform::DisplayID id = (*ids)[position];
    auto mode = platform::copyDisplayMode(id);
    if (!mode || mode->pixelWidth > INT32_MAX || mode->pixelHeight > INT32_MAX) continue;
    Resolution resolution;
    resolution.width = static_cast<std::int32_t>(mode->pixelWidth);
    resolution.height = static_cast<std::int32_t>(mode->pixelHeight);
    // A monitor that reports no physical size has no density.
    resolution.ppi = pixelsPerInch(mode->pixelWidth, platform::displayScreenSize(id).width);
    resolution.hiDPI = mode->width < mode->pixelWidth;
    resolution.description = platform::displayIsBuiltin(id)
                                 ? std::string("Built-in Display")
                                 : "Display #" + std::to_string(position);
    displays.push_back(std::move(resolution));
  }
  std::lock_guard lock(mutex_);
  activeDisplays_.insert(activeDisplays_.end(), displays.begin(), displays.end());
}

void VirtualScreen::setScreenId(ScreenIdHandler handler) {
  std::lock_guard lock(mutex_);
  screenId_ = std::move(handler);
}

void VirtualScreen::handleDisplayConnection(const platform::Notification&) {
  handleScreenParametersChange();
}

void VirtualScreen::didDeviceConnected(const platform::Notification& notification) {
  handleDeviceConnected(notification.objectAs<const MagicPacket>());
}

void VirtualScreen::didDeviceDisconnected() {
  // After every description received before it, on the same queue; a description still
  // waiting belongs to the session that just ended.
  // A build job already queued belongs to that session too: the next description needs a job
  // of its own behind the removal, or the removal would take away the display just built for it.
  {
    std::lock_guard lock(mutex_);
    pendingPacket_.reset();
    buildScheduled_ = false;
    ++channelSession_;
  }
  std::weak_ptr<VirtualScreen> weak = weak_from_this();
  builderQueue_->async([weak] {
    if (auto self = weak.lock()) self->removeNewestDisplay();
  });
}

void VirtualScreen::handleDeviceConnected(const std::shared_ptr<const MagicPacket>& packet) {
  if (!packet || !packet->deviceName() || !packet->width() || !packet->height() || !packet->ppi()) {
    return;
  }
  const std::int32_t width = *packet->width();
  const std::int32_t height = *packet->height();
  // Frames are sent 20 pixels shorter than the screen, so a screen that short could never
  // receive one.
  if (width < kMinScreenSide || width > kMaxScreenSide || height < kMinScreenHeight ||
      height > kMaxScreenSide) {
    logRefusal(*packet->deviceName(),
               fmt::format("a screen of {}x{} pixels is outside {}x{} to {}x{}", width, height,
                           kMinScreenSide, kMinScreenHeight, kMaxScreenSide, kMaxScreenSide));
    return;
  }
  // Making a display talks to the X server (or starts one), which must not hold up the
  // channel's thread. A burst of descriptions collapses into the newest one.
  std::uint64_t session = 0;
  {
    std::lock_guard lock(mutex_);
    pendingPacket_ = packet;
    if (buildScheduled_) return;
    buildScheduled_ = true;
    session = channelSession_;
  }
  std::weak_ptr<VirtualScreen> weak = weak_from_this();
  builderQueue_->async([weak, session] {
    if (auto self = weak.lock()) self->buildPendingDisplay(session);
  });
}

void VirtualScreen::buildPendingDisplay(std::uint64_t session) {
  std::shared_ptr<const MagicPacket> packet;
  {
    std::lock_guard lock(mutex_);
    // Queued before its channel ended: what is pending now belongs to a later job.
    if (session != channelSession_) return;
    buildScheduled_ = false;
    packet = std::move(pendingPacket_);
    if (!packet) return;
    if (sessionKey_ && sessionPacket_ && sameDescription(*sessionPacket_, *packet)) return;
  }
  platform::NotificationCenter::defaultCenter()->post(streamingMagicPacket(), packet);
  createSessionDisplay(*packet->deviceName(), *packet->width(), *packet->height(), *packet->ppi(),
                       packet);
}

void VirtualScreen::logRefusal(const std::string& deviceName, const std::string& reason) {
  platform::log(fmt::format("Refused the description of device \"{}\": {}",
                            platform::utf8::escapedForConsole(deviceName, 256),
                            platform::utf8::escapedForConsole(reason)));
  // The tablet stays connected and would otherwise look as if nothing had arrived.
  platform::NotificationCenter::defaultCenter()->post(
      deviceDisplayRefused(),
      std::make_shared<const std::string>(platform::utf8::escapedForConsole(reason, 512)));
}

void VirtualScreen::flushPendingWork() {
  builderQueue_->sync([] {});
}

void VirtualScreen::createSessionDisplay(const std::string& name, std::int32_t width,
                                         std::int32_t height, std::int32_t ppi,
                                         std::shared_ptr<const MagicPacket> packet) {
  const std::string displayName = displayNameForDevice(name);
  std::shared_ptr<platform::VirtualDisplay> replaced;
  std::uint64_t changesBefore = 0;
  {
    std::lock_guard lock(mutex_);
    replaced = takeSessionDisplayLocked();
    changesBefore = parameterChanges_;
  }
  // The replaced display goes first, so the new one takes its place on the screen. Neither
  // step holds the lock: the main thread's screen-parameter handler must never wait on X.
  replaced.reset();
  auto made = makeVirtualDisplay(width, height, ppi, false, displayName);
  if (!made) {
    logRefusal(name, made.error().localizedDescription());
    return;
  }
  std::shared_ptr<platform::VirtualDisplay> display = std::move(*made);
  bool missedChange = false;
  {
    std::lock_guard lock(mutex_);
    const std::int64_t key = virtualDisplayCounter_;
    virtualDisplays_[key] = VirtualDisplayEntry{key, display};
    virtualDisplayCounter_ += 1;
    screenIdentifier_ = display->displayID();
    sessionKey_ = key;
    sessionPacket_ = std::move(packet);
    if (!sessionFirstKey_) sessionFirstKey_ = key;
    missedChange = parameterChanges_ != changesBefore;
  }
  // The change this display caused may have been handled while it was still being made, when
  // it had no id to hand on; hand it on now instead of waiting for another change.
  if (missedChange) {
    std::weak_ptr<VirtualScreen> weak = weak_from_this();
    platform::DispatchQueue::main()->async([weak] {
      if (auto self = weak.lock()) self->handleScreenParametersChange();
    });
  }
}

std::shared_ptr<platform::VirtualDisplay> VirtualScreen::takeSessionDisplayLocked() {
  std::shared_ptr<platform::VirtualDisplay> display;
  if (sessionKey_) {
    auto entry = virtualDisplays_.find(*sessionKey_);
    if (entry != virtualDisplays_.end()) {
      display = std::move(entry->second.display);
      virtualDisplays_.erase(entry);
    }
    if (display && screenIdentifier_ == display->displayID()) screenIdentifier_.reset();
  }
  sessionKey_.reset();
  sessionPacket_.reset();
  return display;
}

void VirtualScreen::handleScreenParametersChange() {
  ScreenIdHandler handler;
  std::uint32_t displayID = 0;
  {
    std::lock_guard lock(mutex_);
    ++parameterChanges_;
    if (!screenId_ || !screenIdentifier_) return;
    handler = screenId_;
    displayID = *screenIdentifier_;
    screenIdentifier_.reset();
  }
  handler(displayID);
  platform::NotificationCenter::defaultCenter()->post(deviceUsbStreaming());
}

void VirtualScreen::removeNewestDisplay() {
  std::shared_ptr<platform::VirtualDisplay> removed;
  {
    std::lock_guard lock(mutex_);
    removed = takeSessionDisplayLocked();
    // Every display of the session is gone, so its keys are free again; a channel that ended
    // without a display leaves the counter alone.
    if (sessionFirstKey_) virtualDisplayCounter_ = *sessionFirstKey_;
    sessionFirstKey_.reset();
    ns_->setTXTRecordData(std::nullopt);
  }
  // Releasing the last reference removes the display from the system.
  removed.reset();
}

std::vector<Resolution> VirtualScreen::activeDisplays() const {
  std::lock_guard lock(mutex_);
  return activeDisplays_;
}

std::int64_t VirtualScreen::virtualDisplayCounter() const {
  std::lock_guard lock(mutex_);
  return virtualDisplayCounter_;
}

std::map<std::int64_t, VirtualDisplayEntry> VirtualScreen::virtualDisplays() const {
  std::lock_guard lock(mutex_);
  return virtualDisplays_;
}

std::optional<std::uint32_t> VirtualScreen::screenIdentifier() const {
  std::lock_guard lock(mutex_);
  return screenIdentifier_;
}

std::map<std::string, std::shared_ptr<platform::NetService>> VirtualScreen::discoveredServices()
    const {
  std::lock_guard lock(mutex_);
  return discoveredServices_;
}

}  // namespace streaming
