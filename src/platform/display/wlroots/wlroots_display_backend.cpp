#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include <fmt/core.h>

#include "platform/display/compositor_capture.h"
#include "platform/display/display_registry.h"
#include "platform/display/screen_parameters.h"
#include "platform/display/wlroots/wlroots_backend.h"
#include "platform/display/wlroots/wlroots_capture.h"
#include "platform/display/wlroots/wlroots_ipc.h"
#include "platform/display/wlroots/wlroots_outputs.h"
#include "platform/foundation/log.h"

namespace platform {

namespace {

using wlroots::OwnedOutput;

constexpr std::size_t kMaxOwnedFileBytes = 256 * 1024;

// The owned-outputs file, locked against other processes of ours for as long as this lives;
// threads of this process take turns on the mutex first.
class OwnedOutputsFile {
 public:
  static std::expected<OwnedOutputsFile, std::string> open(const std::string& ipcSocket) {
    static std::mutex processMutex;
    std::unique_lock lock(processMutex);
    const std::string path = wlroots::ownedOutputsPath(ipcSocket);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
      return std::unexpected(fmt::format("Cannot open {}: {}", path, strerror(errno)));
    }
    while (flock(fd, LOCK_EX) != 0) {
      if (errno != EINTR) {
        const int error = errno;
        close(fd);
        return std::unexpected(fmt::format("Cannot lock {}: {}", path, strerror(error)));
      }
    }
    return OwnedOutputsFile(fd, std::move(lock));
  }
  OwnedOutputsFile(OwnedOutputsFile&& other) noexcept
      : fd_(std::exchange(other.fd_, -1)), lock_(std::move(other.lock_)) {}
  OwnedOutputsFile& operator=(OwnedOutputsFile&&) = delete;
  ~OwnedOutputsFile() {
    if (fd_ >= 0) close(fd_);  // drops the lock
  }

  std::vector<OwnedOutput> read() const {
    std::string text;
    char chunk[4096];
    off_t offset = 0;
    while (text.size() < kMaxOwnedFileBytes) {
      const ssize_t got = pread(fd_, chunk, sizeof chunk, offset);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      text.append(chunk, static_cast<std::size_t>(got));
      offset += got;
    }
    if (text.size() >= kMaxOwnedFileBytes) return {};
    return wlroots::parseOwnedOutputs(text);
  }

  void write(const std::vector<OwnedOutput>& outputs) const {
    const std::string text = wlroots::formatOwnedOutputs(outputs);
    if (ftruncate(fd_, 0) != 0) return;
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = pwrite(fd_, text.data() + done, text.size() - done, off_t(done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        log(fmt::format("Cannot record the compositor outputs of this program: {}",
                        strerror(errno)));
        return;
      }
      done += static_cast<std::size_t>(n);
    }
  }

 private:
  OwnedOutputsFile(int fd, std::unique_lock<std::mutex> lock) : fd_(fd), lock_(std::move(lock)) {}
  int fd_;
  std::unique_lock<std::mutex> lock_;
};

std::string parkCommand(const std::string& name, std::pair<std::int32_t, std::int32_t> place) {
  return fmt::format("output {} mode {}x{} position {} {} scale 1", name, wlroots::kParkedSide,
                     wlroots::kParkedSide, place.first, place.second);
}

std::vector<std::string> names(const std::vector<OwnedOutput>& owned) {
  std::vector<std::string> result;
  for (const auto& output : owned)
    result.push_back(output.name);
  return result;
}

// The output that has the focus; empty when none has or the compositor does not say.
std::string focusedOutput(wlroots::IpcClient& ipc) {
  auto workspaces = ipc.workspaces();
  if (!workspaces) return {};
  for (const auto& workspace : *workspaces) {
    if (workspace.focused) return workspace.output;
  }
  return {};
}

// Takes the workspaces of `leaving`, with their windows and the focus, to a real output (see
// `wlroots::returnOutput`). Failures are logged: the output goes back all the same.
void evacuate(wlroots::IpcClient& ipc, const std::string& leaving, const std::string& preferred,
              const std::vector<OwnedOutput>& owned) {
  auto outputs = ipc.outputs();
  auto workspaces = ipc.workspaces();
  if (!outputs || !workspaces) {
    log(fmt::format("Cannot move the workspaces of the output {}: {}", leaving,
                    outputs ? workspaces.error() : outputs.error()));
    return;
  }
  const std::string target =
      wlroots::returnOutput(*outputs, *workspaces, leaving, preferred, names(owned));
  for (const auto& command : wlroots::evacuationCommands(*workspaces, leaving, target)) {
    if (auto done = ipc.command(command); !done) {
      log(fmt::format("Cannot move the workspaces of the output {}: {}", leaving, done.error()));
      return;
    }
  }
  // Floating windows keep their place in the layout when their workspace moves, which may
  // leave them partly or wholly off the output they came to.
  const auto arrived = std::find_if(outputs->begin(), outputs->end(),
                                    [&](const wlroots::OutputInfo& o) { return o.name == target; });
  auto tree = ipc.request(wlroots::IpcType::getTree, "");
  if (arrived == outputs->end() || !tree) return;
  for (const auto& command :
       wlroots::bringOntoCommands(wlroots::floatingWindowsOn(*tree, target), *arrived)) {
    if (auto done = ipc.command(command); !done) {
      log(fmt::format("Cannot bring a window onto the output {}: {}", target, done.error()));
    }
  }
}

// Removes an output where the compositor can, else parks it; false when it refused both. Its
// workspaces go to `returnTo` (or another real output) first.
bool giveBack(wlroots::IpcClient& ipc, const wlroots::CompositorVersion& version,
              OwnedOutput& output, bool& removed, const std::string& returnTo,
              const std::vector<OwnedOutput>& owned) {
  removed = false;
  evacuate(ipc, output.name, returnTo, owned);
  if (version.canUnplug()) {
    if (ipc.command(fmt::format("output {} unplug", output.name))) {
      removed = true;
      return true;
    }
  }
  auto present = ipc.outputs();
  auto parked = ipc.command(parkCommand(
      output.name, present ? wlroots::parkingPlace(*present, output.name) : std::pair{0, 0}));
  if (!parked) {
    log(fmt::format("Cannot park the output {}: {}", output.name, parked.error()));
    return false;
  }
  output.owner = {};
  return true;
}

// Drops records of outputs that are gone and gives back those of processes that ended.
int reclaimLocked(wlroots::IpcClient& ipc, const wlroots::CompositorVersion& version,
                  const std::vector<wlroots::OutputInfo>& present,
                  std::vector<OwnedOutput>& owned) {
  std::erase_if(owned, [&](const OwnedOutput& output) {
    return std::none_of(present.begin(), present.end(),
                        [&](const wlroots::OutputInfo& info) { return info.name == output.name; });
  });
  int reclaimed = 0;
  for (auto it = owned.begin(); it != owned.end();) {
    if (it->parked()) {
      // Parked by an earlier start that left windows or the focus there.
      evacuate(ipc, it->name, {}, owned);
      ++it;
      continue;
    }
    if (monitorOwnerState(it->owner) != MonitorOwnerState::gone) {
      ++it;
      continue;
    }
    bool removed = false;
    if (giveBack(ipc, version, *it, removed, {}, owned)) ++reclaimed;
    it = removed ? owned.erase(it) : it + 1;
  }
  return reclaimed;
}

struct Session {
  std::unique_ptr<wlroots::IpcClient> ipc;
  wlroots::CompositorVersion version;
};

std::expected<Session, std::string> openSession(const std::string& ipcSocket) {
  auto ipc = wlroots::IpcClient::connect(ipcSocket);
  if (!ipc) return std::unexpected(ipc.error());
  auto version = (*ipc)->version();
  if (!version) return std::unexpected(version.error());
  return Session{std::move(*ipc), *version};
}

class WlrootsOutputSource final : public CompositorDisplaySource {
 public:
  WlrootsOutputSource(std::string waylandDisplay, std::string output)
      : waylandDisplay_(std::move(waylandDisplay)), output_(std::move(output)) {}
  std::unique_ptr<CaptureBackend> makeCapture(CaptureBackendContext context) override {
    return makeScreencopyCapture(waylandDisplay_, output_, std::move(context));
  }

 private:
  std::string waylandDisplay_;
  std::string output_;
};

class WlrootsDisplay final : public VirtualDisplayHandle {
 public:
  WlrootsDisplay(std::string ipcSocket, std::string output, std::string returnTo, DisplayID id,
                 std::uint32_t width, std::uint32_t height)
      : ipcSocket_(std::move(ipcSocket)),
        output_(std::move(output)),
        returnTo_(std::move(returnTo)),
        id_(id),
        width_(width),
        height_(height) {}

  ~WlrootsDisplay() override {
    CompositorDisplays::shared().remove(id_);
    // Gone from the registry only once the compositor has let the output go, so that whoever
    // sees the display gone finds the output released too.
    release();
    DisplayRegistry::shared().remove(id_, registryKey(ipcSocket_));
    postScreenParametersChanged();
  }

  DisplayID id() const override { return id_; }
  std::uint32_t pixelWidth() const override { return width_; }
  std::uint32_t pixelHeight() const override { return height_; }

  static std::string registryKey(const std::string& ipcSocket) { return "wlroots:" + ipcSocket; }

 private:
  void release() {
    auto file = OwnedOutputsFile::open(ipcSocket_);
    auto session = openSession(ipcSocket_);
    if (!session) {
      log(fmt::format("Cannot give back the output {}: {}", output_, session.error()));
      return;
    }
    std::vector<OwnedOutput> owned = file ? file->read() : std::vector<OwnedOutput>{};
    auto it = std::find_if(owned.begin(), owned.end(),
                           [&](const OwnedOutput& output) { return output.name == output_; });
    OwnedOutput record = it != owned.end() ? *it : OwnedOutput{output_, {}};
    bool removed = false;
    if (!giveBack(*session->ipc, session->version, record, removed, returnTo_, owned)) return;
    if (it != owned.end()) {
      if (removed) {
        owned.erase(it);
      } else {
        *it = record;
      }
    } else if (!removed) {
      owned.push_back(record);
    }
    if (file) file->write(owned);
  }

  std::string ipcSocket_;
  std::string output_;
  // The output that had the focus before this display appeared.
  std::string returnTo_;
  DisplayID id_;
  std::uint32_t width_, height_;
};

}  // namespace

std::expected<int, std::string> reclaimAbandonedOutputs(const std::string& ipcSocket) {
  auto file = OwnedOutputsFile::open(ipcSocket);
  if (!file) return std::unexpected(file.error());
  auto session = openSession(ipcSocket);
  if (!session) return std::unexpected(session.error());
  auto present = session->ipc->outputs();
  if (!present) return std::unexpected(present.error());
  std::vector<OwnedOutput> owned = file->read();
  const int reclaimed = reclaimLocked(*session->ipc, session->version, *present, owned);
  file->write(owned);
  return reclaimed;
}

std::expected<std::unique_ptr<VirtualDisplayHandle>, std::string> makeWlrootsDisplay(
    const std::string& ipcSocket, const std::string& waylandDisplay,
    const VirtualDisplayRequest& request) {
  auto file = OwnedOutputsFile::open(ipcSocket);
  if (!file) return std::unexpected(file.error());
  auto session = openSession(ipcSocket);
  if (!session) return std::unexpected(session.error());
  wlroots::IpcClient& ipc = *session->ipc;
  auto present = ipc.outputs();
  if (!present) return std::unexpected(present.error());
  std::vector<OwnedOutput> owned = file->read();
  reclaimLocked(ipc, session->version, *present, owned);
  const std::string returnTo = focusedOutput(ipc);

  std::string name;
  for (const auto& output : owned) {
    const auto info = std::find_if(present->begin(), present->end(),
                                   [&](const auto& entry) { return entry.name == output.name; });
    if (output.parked() && info != present->end()) {
      name = output.name;
      break;
    }
  }
  if (name.empty()) {
    if (auto made = ipc.command("create_output"); !made) return std::unexpected(made.error());
    auto after = ipc.outputs();
    if (!after) return std::unexpected(after.error());
    std::vector<std::string> fresh;
    for (const auto& output : *after) {
      if (std::none_of(present->begin(), present->end(),
                       [&](const auto& before) { return before.name == output.name; })) {
        fresh.push_back(output.name);
      }
    }
    if (fresh.size() != 1) {
      return std::unexpected(
          fmt::format("The compositor made {} new outputs where one was asked for", fresh.size()));
    }
    name = fresh.front();
    *present = std::move(*after);
  }
  // Recorded before it is shown, so that a death from here on leaves it reclaimable.
  std::erase_if(owned, [&](const OwnedOutput& output) { return output.name == name; });
  owned.push_back({name, ownMonitorRecord(0, 0, 0)});
  file->write(owned);

  const std::int32_t x = wlroots::rightEdge(*present, name);
  // A hiDPI display shows its points at twice the pixels, as the compositor's scale 2 does;
  // the layout is in points.
  const std::uint32_t scale = request.pointWidth > 0 && request.pointHeight > 0 &&
                                      request.pixelWidth == 2 * request.pointWidth &&
                                      request.pixelHeight == 2 * request.pointHeight
                                  ? 2
                                  : 1;
  auto placed = ipc.command(fmt::format("output {} mode {}x{} position {} 0 scale {}", name,
                                        request.pixelWidth, request.pixelHeight, x, scale));
  auto check = placed ? ipc.outputs() : std::unexpected(placed.error());
  std::string failure;
  if (!check) {
    failure = check.error();
  } else {
    const auto shown = std::find_if(check->begin(), check->end(),
                                    [&](const auto& output) { return output.name == name; });
    if (shown == check->end() || !shown->active || shown->width != request.pixelWidth / scale ||
        shown->height != request.pixelHeight / scale) {
      failure = fmt::format("The compositor did not give the output {} the size {}x{}", name,
                            request.pixelWidth, request.pixelHeight);
    }
  }
  if (!failure.empty()) {
    OwnedOutput& record = owned.back();
    bool removed = false;
    if (giveBack(ipc, session->version, record, removed, returnTo, owned) && removed) {
      owned.pop_back();
    }
    file->write(owned);
    return std::unexpected(failure);
  }

  OwnDisplayRecord record;
  record.id = DisplayRegistry::shared().nextWholeScreenID();
  record.xDisplay = WlrootsDisplay::registryKey(ipcSocket);
  record.wholeScreen = true;
  record.name = request.name;
  setRequestedSizes(record, request);
  DisplayRegistry::shared().add(record);
  CompositorDisplays::shared().add(record.id,
                                   std::make_shared<WlrootsOutputSource>(waylandDisplay, name));
  log(fmt::format("Virtual display \"{}\" is the output {} ({}x{} at x {})", request.name, name,
                  request.pixelWidth, request.pixelHeight, x));
  postScreenParametersChanged();
  return std::make_unique<WlrootsDisplay>(ipcSocket, name, returnTo, record.id, request.pixelWidth,
                                          request.pixelHeight);
}

namespace {

class WlrootsOutputBackend final : public VirtualDisplayBackend {
 public:
  std::expected<std::unique_ptr<VirtualDisplayHandle>, std::string> makeDisplay(
      const DisplayEnvironment& environment, const VirtualDisplayRequest& request) const override {
    return makeWlrootsDisplay(environment.compositorSocket, environment.waylandDisplay, request);
  }

  void reclaimAbandoned(const DisplayEnvironment& environment) const override {
    auto reclaimed = reclaimAbandonedOutputs(environment.compositorSocket);
    if (!reclaimed) {
      log("Cannot look for outputs left behind by an ended process: " + reclaimed.error());
    } else if (*reclaimed > 0) {
      log(fmt::format("Took back {} output(s) left behind by an ended process", *reclaimed));
    }
  }

  // The compositor answers a version request on its IPC socket.
  bool available(const DisplayEnvironment& environment) const override {
    auto ipc = wlroots::IpcClient::connect(environment.compositorSocket);
    return ipc && (*ipc)->version().has_value();
  }
};

}  // namespace

const VirtualDisplayBackend& wlrootsOutputBackend() {
  static const WlrootsOutputBackend backend;
  return backend;
}

}  // namespace platform
