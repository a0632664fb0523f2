#include "platform/display/support/gnome_session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <nlohmann/json.hpp>

#include "platform/display/support/desktop_process.h"

namespace testing_display {

namespace {

std::string findInPath(const std::string& program) {
  for (const char* dir : {"/usr/local/bin", "/usr/bin", "/bin", "/usr/sbin"}) {
    const std::string candidate = std::string(dir) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

const char* const kPrograms[] = {"dbus-daemon", "pipewire", "wireplumber", "mutter", "busctl"};

}  // namespace

std::string GnomeSession::missingProgram() {
  for (const char* program : kPrograms)
    if (findInPath(program).empty()) return program;
  return {};
}

pid_t GnomeSession::spawn(const std::vector<std::string>& arguments, const std::string& logName,
                          int stdoutFd) {
  std::vector<std::string> environment = {
      "PATH=/usr/local/bin:/usr/bin:/bin",
      "XDG_RUNTIME_DIR=" + runtimeDir_,
      "HOME=" + runtimeDir_,
      "XDG_CONFIG_HOME=" + runtimeDir_ + "/config",
      "XDG_DATA_HOME=" + runtimeDir_ + "/data",
      "XDG_STATE_HOME=" + runtimeDir_ + "/state",
      "GSETTINGS_BACKEND=memory",
      "DBUS_SESSION_BUS_ADDRESS=" + busAddress_,
  };
  std::vector<std::string> argumentsCopy = arguments;
  argumentsCopy[0] = findInPath(arguments[0]);
  const pid_t pid = spawnDesktopProcess(argumentsCopy, environment,
                                        runtimeDir_ + "/" + logName + ".log", stdoutFd);
  if (pid < 0) return -1;
  pids_.push_back(pid);
  return pid;
}

std::expected<std::unique_ptr<GnomeSession>, std::string> GnomeSession::start() {
  if (auto missing = missingProgram(); !missing.empty()) {
    return std::unexpected(missing + " is not installed");
  }
  std::unique_ptr<GnomeSession> session(new GnomeSession);
  char pattern[] = "/tmp/tovarine-gnome-XXXXXX";
  if (!mkdtemp(pattern)) return std::unexpected("Cannot make a runtime folder");
  session->runtimeDir_ = pattern;

  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return std::unexpected("Cannot make a pipe");
  const pid_t bus =
      session->spawn({"dbus-daemon", "--session", "--nofork", "--nosyslog", "--print-address=1"},
                     "dbus", pipeFds[1]);
  close(pipeFds[1]);
  std::string address;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (bus > 0 && address.find('\n') == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    pollfd descriptor{pipeFds[0], POLLIN, 0};
    if (poll(&descriptor, 1, 1000) <= 0) continue;
    char chunk[256];
    const ssize_t got = read(pipeFds[0], chunk, sizeof chunk);
    if (got <= 0) break;
    address.append(chunk, static_cast<std::size_t>(got));
  }
  close(pipeFds[0]);
  if (address.find('\n') == std::string::npos) return std::unexpected("dbus-daemon did not start");
  session->busAddress_ = address.substr(0, address.find('\n'));

  if (session->spawn({"pipewire"}, "pipewire") < 0) {
    return std::unexpected("Cannot start the desktop's programs");
  }
  // The compositor connects to PipeWire once, as it starts: started before PipeWire listens (a
  // busy machine), it would offer screen casts that never deliver a frame.
  const std::string pipewireSocket = session->runtimeDir_ + "/pipewire-0";
  while (access(pipewireSocket.c_str(), F_OK) != 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return std::unexpected("PipeWire did not come up; see " + session->runtimeDir_ +
                             "/pipewire.log");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (session->spawn({"wireplumber"}, "wireplumber") < 0 ||
      session->spawn({"mutter", "--headless", "--wayland", "--no-x11"}, "mutter") < 0) {
    return std::unexpected("Cannot start the desktop's programs");
  }

  // Up once the compositor's screen-cast interface is on the bus.
  sd_bus* raw = nullptr;
  if (sd_bus_new(&raw) < 0) return std::unexpected("Cannot make a bus connection");
  std::unique_ptr<sd_bus, decltype(&sd_bus_flush_close_unref)> connection(raw,
                                                                          sd_bus_flush_close_unref);
  sd_bus_set_address(raw, session->busAddress_.c_str());
  sd_bus_set_bus_client(raw, 1);
  if (sd_bus_start(raw) < 0) return std::unexpected("Cannot reach the private session bus");
  sd_bus_match_signal(raw, nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                      "org.freedesktop.DBus", "NameOwnerChanged", nullptr, nullptr);
  while (std::chrono::steady_clock::now() < deadline) {
    sd_bus_message* reply = nullptr;
    int owned = 0;
    if (sd_bus_call_method(raw, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s",
                           "org.gnome.Mutter.ScreenCast") >= 0) {
      sd_bus_message_read(reply, "b", &owned);
    }
    sd_bus_message_unref(reply);
    if (owned) return session;
    // A name appearing on the bus wakes this at once.
    while (sd_bus_process(raw, nullptr) > 0) {
    }
    sd_bus_wait(raw, 100'000);
  }
  return std::unexpected("mutter did not come up; see " + session->runtimeDir_ + "/mutter.log");
}

GnomeSession::~GnomeSession() {
  endDesktop(pids_, runtimeDir_);
}

std::expected<std::vector<std::pair<int, int>>, std::string> GnomeSession::monitorSizes() const {
  const std::string command = "busctl --address='" + busAddress_ +
                              "' --json=short call org.gnome.Mutter.DisplayConfig "
                              "/org/gnome/Mutter/DisplayConfig org.gnome.Mutter.DisplayConfig "
                              "GetCurrentState 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return std::unexpected("Cannot run busctl");
  std::string text;
  char chunk[4096];
  while (std::size_t got = fread(chunk, 1, sizeof chunk, pipe))
    text.append(chunk, got);
  pclose(pipe);
  auto state = nlohmann::json::parse(text, nullptr, false);
  if (state.is_discarded() || !state.contains("data")) {
    return std::unexpected("GetCurrentState: " + text);
  }
  std::vector<std::pair<int, int>> sizes;
  // data: serial, monitors ((connector, vendor, product, serial), modes, properties), ...
  for (const auto& monitor : state["data"][1]) {
    for (const auto& mode : monitor[1]) {
      const auto& properties = mode[6];
      if (properties.contains("is-current") && properties["is-current"]["data"] == true) {
        sizes.emplace_back(mode[1].get<int>(), mode[2].get<int>());
      }
    }
  }
  return sizes;
}

}  // namespace testing_display
