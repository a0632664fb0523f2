#include "platform/display/xvfb/xvfb_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fmt/core.h>

#include "platform/foundation/child_process.h"

namespace platform {

namespace {

// The descriptor number the server writes its display number to.
constexpr int kDisplayFd = 3;

std::string findProgram(const std::string& program) {
  if (program.empty()) return {};
  if (program.find('/') != std::string::npos) {
    return access(program.c_str(), X_OK) == 0 ? program : std::string();
  }
  const char* path = std::getenv("PATH");
  std::string_view rest = path ? path : "/usr/local/bin:/usr/bin:/bin";
  while (true) {
    const auto colon = rest.find(':');
    std::string directory(rest.substr(0, colon));
    if (directory.empty()) directory = ".";
    std::string candidate = directory + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  return {};
}

void reap(pid_t pid, double timeoutSeconds) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  while (true) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) return;
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ::kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

bool XvfbServer::isAvailable(const std::string& program) {
  return !findProgram(program).empty();
}

std::expected<std::unique_ptr<XvfbServer>, std::string> XvfbServer::launch(const Options& options) {
  const std::string path = findProgram(options.program);
  if (path.empty()) return std::unexpected("Cannot find the program " + options.program);
  if (options.width == 0 || options.height == 0) {
    return std::unexpected("An X screen needs a width and a height");
  }

  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    return std::unexpected(std::string("Cannot create a pipe: ") + std::strerror(errno));
  }
  const int readEnd = pipeFds[0];
  int writeEnd = pipeFds[1];
  // dup2 onto the same number would leave close-on-exec set; keep the write end elsewhere.
  if (writeEnd == kDisplayFd) {
    const int moved = fcntl(writeEnd, F_DUPFD_CLOEXEC, kDisplayFd + 1);
    close(writeEnd);
    if (moved < 0) {
      close(readEnd);
      return std::unexpected(std::string("Cannot move a descriptor: ") + std::strerror(errno));
    }
    writeEnd = moved;
  }

  std::vector<std::string> arguments = {
      path,      "-displayfd", std::to_string(kDisplayFd),
      "-screen", "0",          fmt::format("{}x{}x24", options.width, options.height)};
  if (options.dpi) {
    arguments.push_back("-dpi");
    arguments.push_back(std::to_string(*options.dpi));
  }
  arguments.push_back("-nolisten");
  arguments.push_back("tcp");
  for (const auto& extra : options.extraArguments)
    arguments.push_back(extra);
  // The server dies with this process, however it ends: an X server left behind would keep
  // the display (and its memory) for good.
  ChildProcessRequest child;
  child.path = path;
  child.arguments = std::move(arguments);
  child.descriptors = {{writeEnd, kDisplayFd}};
  auto started = startChildProcess(child);
  close(writeEnd);
  if (!started) {
    close(readEnd);
    return std::unexpected(started.error());
  }
  const pid_t pid = *started;

  // The server writes "<number>\n" once it accepts connections.
  std::string announced;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(options.readyTimeoutSeconds);
  bool complete = false;
  while (!complete) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd descriptor{readEnd, POLLIN, 0};
    const int ready = poll(&descriptor, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buffer[32];
    const ssize_t count = read(readEnd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;  // the server ended without announcing a display
    announced.append(buffer, static_cast<std::size_t>(count));
    if (announced.find('\n') != std::string::npos || announced.size() > 16) complete = true;
  }
  close(readEnd);

  std::size_t digits = 0;
  while (digits < announced.size() && announced[digits] >= '0' && announced[digits] <= '9') {
    ++digits;
  }
  if (!complete || digits == 0 || digits > 6 || announced[digits] != '\n') {
    ::kill(pid, SIGTERM);
    reap(pid, 2.0);
    return std::unexpected(path + " did not announce a display");
  }
  return std::unique_ptr<XvfbServer>(new XvfbServer(pid, ":" + announced.substr(0, digits)));
}

XvfbServer::~XvfbServer() {
  terminate();
}

void XvfbServer::terminate() {
  if (reaped_) return;
  reaped_ = true;
  ::kill(pid_, SIGTERM);
  reap(pid_, 5.0);
}

void XvfbServer::sendSignal(int signal) {
  if (!reaped_) ::kill(pid_, signal);
}

}  // namespace platform
