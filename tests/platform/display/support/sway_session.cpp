#include "platform/display/support/sway_session.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/display/support/desktop_process.h"
#include "platform/display/wlroots/wlroots_ipc.h"

extern char** environ;

namespace testing_display {

namespace {

constexpr uid_t kNobody = 65534;

std::string findInPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string rest = path ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= rest.size()) {
    const std::size_t end = rest.find(':', start);
    const std::string dir = rest.substr(start, end == std::string::npos ? end : end - start);
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return {};
}

// The runtime folder's sockets, once both are there.
bool findSockets(const std::string& dir, std::string& ipc, std::string& wayland) {
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with("sway-ipc.") && name.ends_with(".sock")) ipc = entry.path().string();
    if (name.starts_with("wayland-") && !name.ends_with(".lock")) wayland = entry.path().string();
  }
  return !ipc.empty() && !wayland.empty();
}

}  // namespace

bool SwaySession::available() {
  return !findInPath("sway").empty();
}

std::expected<std::unique_ptr<SwaySession>, std::string> SwaySession::start() {
  const std::string sway = findInPath("sway");
  if (sway.empty()) return std::unexpected("sway is not installed");
  std::unique_ptr<SwaySession> session(new SwaySession);
  char pattern[] = "/tmp/tovarine-sway-XXXXXX";
  if (!mkdtemp(pattern)) return std::unexpected("Cannot make a runtime folder");
  session->runtimeDir_ = pattern;
  const bool root = geteuid() == 0;
  const std::string config = session->runtimeDir_ + "/config";
  {
    std::ofstream out(config);
    out << "output HEADLESS-1 mode 1280x720 position 0 0\n"
           "default_border none\n"
           "default_floating_border none\n"
           "focus_follows_mouse no\n"
           "xwayland disable\n";
  }
  chmod(config.c_str(), 0644);
  if (root && (chown(session->runtimeDir_.c_str(), kNobody, kNobody) != 0)) {
    return std::unexpected("Cannot hand the runtime folder to nobody");
  }

  const int notify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (notify < 0) return std::unexpected("Cannot watch the runtime folder");
  inotify_add_watch(notify, session->runtimeDir_.c_str(), IN_CREATE | IN_MOVED_TO);

  std::vector<std::string> arguments;
  if (root) {
    const std::string setpriv = findInPath("setpriv");
    if (setpriv.empty()) {
      close(notify);
      return std::unexpected("setpriv is needed to run sway as nobody");
    }
    arguments = {setpriv, "--reuid=65534", "--regid=65534", "--clear-groups"};
  }
  arguments.insert(arguments.end(), {sway, "-c", config});
  std::vector<std::string> environment = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin",
                                          "XDG_RUNTIME_DIR=" + session->runtimeDir_,
                                          "WLR_BACKENDS=headless",
                                          "WLR_LIBINPUT_NO_DEVICES=1",
                                          "WLR_RENDERER=pixman",
                                          "HOME=" + session->runtimeDir_};
  const std::string log = session->runtimeDir_ + "/sway.log";
  session->pid_ = spawnDesktopProcess(arguments, environment, log);
  if (session->pid_ < 0) {
    close(notify);
    return std::unexpected("Cannot start sway");
  }

  // Up once both sockets exist and the IPC answers.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  bool up = false;
  while (!up && std::chrono::steady_clock::now() < deadline) {
    if (findSockets(session->runtimeDir_, session->ipcSocket_, session->waylandDisplay_)) {
      auto ipc = platform::wlroots::IpcClient::connect(session->ipcSocket_);
      if (ipc && (*ipc)->version()) {
        up = true;
        break;
      }
    }
    int status = 0;
    if (waitpid(session->pid_, &status, WNOHANG) == session->pid_) {
      session->pid_ = -1;
      close(notify);
      return std::unexpected("sway ended at start; see " + log);
    }
    pollfd descriptor{notify, POLLIN, 0};
    poll(&descriptor, 1, 50);  // a new socket wakes this at once
    char events[4096];
    while (read(notify, events, sizeof events) > 0) {
    }
  }
  close(notify);
  if (!up) return std::unexpected("sway did not come up; see " + log);
  return session;
}

SwaySession::~SwaySession() {
  endDesktop(pid_ > 0 ? std::vector<pid_t>{pid_} : std::vector<pid_t>{}, runtimeDir_);
}

}  // namespace testing_display
