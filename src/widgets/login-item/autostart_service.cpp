#include "widgets/login-item/autostart_service.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <system_error>

#include <fmt/format.h>

#include "platform/foundation/atomic_file_write.h"
#include "widgets/login-item/desktop_entry.h"

namespace widgets {
namespace {

namespace fs = std::filesystem;

LoginItemService::Result failure(std::string description) {
  return std::unexpected(platform::makeError(LoginItemServiceError(std::move(description))));
}

fs::path configHome() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') return xdg;
  if (const char* home = std::getenv("HOME"); home && *home) return fs::path(home) / ".config";
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) {
    return fs::path(pw->pw_dir) / ".config";
  }
  return "/.config";
}

bool isRunnableFile(const fs::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

// Where the desktop finds `program`: a path is taken as it stands, a bare name is looked up in
// PATH as the desktop would. Nothing when it cannot be started.
std::optional<fs::path> locateProgram(const std::string& program) {
  if (program.empty()) return std::nullopt;
  if (program.find('/') != std::string::npos) {
    if (isRunnableFile(program)) return fs::path(program);
    return std::nullopt;
  }
  const char* pathVariable = std::getenv("PATH");
  std::string_view path =
      pathVariable && *pathVariable ? pathVariable : "/usr/local/bin:/usr/bin:/bin";
  while (true) {
    auto colon = path.find(':');
    std::string_view directory = path.substr(0, colon);
    if (!directory.empty() && isRunnableFile(fs::path(directory) / program)) {
      return fs::path(directory) / program;
    }
    if (colon == path.npos) return std::nullopt;
    path.remove_prefix(colon + 1);
  }
}

bool programExists(const std::string& program) {
  return locateProgram(program).has_value();
}

// What the entry's Exec line names: the installed program by its name when that name on PATH
// is the running program (so the entry survives an upgrade that replaces the file), else the
// running program's absolute path.
std::string programToName(const fs::path& executable) {
  constexpr const char* kInstalledName = "tovarine";
  if (auto found = locateProgram(kInstalledName)) {
    std::error_code ec;
    if (fs::equivalent(*found, executable, ec)) return kInstalledName;
  }
  return executable.string();
}

// The program an Exec line starts, looking through a leading `env` and its assignments.
std::string programOf(const std::vector<std::string>& arguments) {
  std::size_t i = 0;
  if (!arguments.empty() && fs::path(arguments[0]).filename() == "env") {
    i = 1;
    while (i < arguments.size() &&
           (arguments[i].starts_with('-') || arguments[i].find('=') != std::string::npos)) {
      ++i;
    }
  }
  return i < arguments.size() ? arguments[i] : std::string();
}

bool readsTrue(const std::string& value) {
  return value == "true" || value == "True" || value == "1";
}

bool readsFalse(const std::string& value) {
  return value == "false" || value == "False" || value == "0";
}

LoginItemService::Result writeAtomically(const fs::path& target, const std::string& text) {
  std::error_code ec;
  fs::create_directories(target.parent_path(), ec);
  if (ec) {
    return failure(fmt::format("The folder {} could not be created: {}",
                               target.parent_path().string(), ec.message()));
  }
  // Entries are read by the desktop, not only by us: the usual permissions of a user file.
  auto written = platform::writeFileAtomically(target, text, 0644);
  if (!written) return failure(std::move(written.error()));
  return {};
}

}  // namespace

AutostartService::AutostartService(fs::path entryFile, fs::path executable)
    : entryFile_(std::move(entryFile)), executable_(std::move(executable)) {}

AutostartService AutostartService::forCurrentProcess() {
  return AutostartService(autostartEntryFile(), currentExecutable());
}

fs::path AutostartService::autostartEntryFile() {
  return configHome() / "autostart" / "tovarine.desktop";
}

fs::path AutostartService::currentExecutable() {
  std::error_code ec;
  fs::path path = fs::read_symlink("/proc/self/exe", ec);
  if (ec || !path.is_absolute()) return {};
  return path;
}

std::expected<std::string, platform::ErrorPtr> AutostartService::entryText() const {
  if (executable_.empty() || !executable_.is_absolute()) {
    return std::unexpected(platform::makeError(
        LoginItemServiceError("The location of the running program is not known.")));
  }
  auto quoted = desktop_entry::quoteExecArgument(programToName(executable_));
  if (!quoted) {
    return std::unexpected(platform::makeError(LoginItemServiceError(
        fmt::format("The program's location cannot be written in an autostart entry: {}",
                    executable_.string()))));
  }
  std::string exec =
      fmt::format("env {}={} {}", kLaunchMarkerVariable, kLaunchMarkerValue, *quoted);
  return fmt::format(
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=Tovarine\n"
      "Comment=Extend the desktop onto a tablet connected over USB\n"
      "Icon={}\n"
      "Exec={}\n"
      "Terminal=false\n"
      "X-GNOME-Autostart-enabled=true\n",
      kIconName, desktop_entry::escapeStringValue(exec));
}

LoginItemService::Status AutostartService::status() const {
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(entryFile_, ec))) return Status::notRegistered;
  std::ifstream in(entryFile_, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in) return Status::notFound;
  auto keys = desktop_entry::parseMainGroup(text.str());
  if (!keys) return Status::notFound;
  auto value = [&](const char* key) -> std::string {
    auto it = keys->find(key);
    return it == keys->end() ? std::string() : desktop_entry::unescapeStringValue(it->second);
  };
  if (readsTrue(value("Hidden")) || readsFalse(value("X-GNOME-Autostart-enabled"))) {
    return Status::requiresApproval;
  }
  if (!programExists(programOf(desktop_entry::splitExecLine(value("Exec"))))) {
    return Status::notFound;
  }
  return Status::enabled;
}

LoginItemService::Result AutostartService::registerService() {
  auto text = entryText();
  if (!text) return std::unexpected(text.error());
  return writeAtomically(entryFile_, *text);
}

LoginItemService::Result AutostartService::unregisterService() {
  if (::unlink(entryFile_.c_str()) == 0 || errno == ENOENT) return {};
  return failure(fmt::format("The login item {} could not be removed: {}", entryFile_.string(),
                             std::strerror(errno)));
}

}  // namespace widgets
