#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace platform::wlroots {

// The compositor's IPC socket speaks the i3 framing: the six bytes "i3-ipc", the payload's
// length and the message type as 32-bit integers in the machine's order (little-endian here),
// then a JSON payload. It is small enough that a library would bring more than it saves.
inline constexpr std::string_view kIpcMagic = "i3-ipc";
inline constexpr std::size_t kIpcHeaderSize = 14;
// Replies are a few kilobytes (the outputs with their modes); more is not a compositor
// talking to us, and is refused before anything is allocated.
inline constexpr std::uint32_t kMaxIpcPayload = 16u << 20;

enum class IpcType : std::uint32_t {
  runCommand = 0,
  getWorkspaces = 1,
  getOutputs = 3,
  getTree = 4,
  getVersion = 7,
};

std::vector<std::uint8_t> encodeIpcMessage(IpcType type, std::string_view payload);

struct IpcHeader {
  std::uint32_t length = 0;
  std::uint32_t type = 0;
};
// The header of a reply, or why it is not one.
std::expected<IpcHeader, std::string> decodeIpcHeader(std::span<const std::uint8_t> bytes);

// An output as `get_outputs` lists it.
struct OutputInfo {
  std::string name;
  bool active = false;
  std::int32_t x = 0, y = 0;
  std::uint32_t width = 0, height = 0;
  bool operator==(const OutputInfo&) const = default;
};
std::expected<std::vector<OutputInfo>, std::string> parseOutputs(const nlohmann::json& reply);

// A workspace as `get_workspaces` lists it.
struct WorkspaceInfo {
  std::string name;
  std::string output;
  bool focused = false;
  bool visible = false;
  // Holds no window (its "focus" list is empty).
  bool empty = false;
  bool operator==(const WorkspaceInfo&) const = default;
};
std::expected<std::vector<WorkspaceInfo>, std::string> parseWorkspaces(const nlohmann::json& reply);

// A command argument, quoted so that spaces, quotes and semicolons in a name stay in it.
std::string quotedArgument(std::string_view text);

struct CompositorVersion {
  int major = 0, minor = 0, patch = 0;
  // `output NAME unplug` arrived in 1.8; before, a headless output cannot be removed.
  bool canUnplug() const { return major > 1 || (major == 1 && minor >= 8); }
};
std::expected<CompositorVersion, std::string> parseVersion(const nlohmann::json& reply);

// The first failure of a `run_command` reply ("error" of the first unsuccessful command).
std::optional<std::string> commandFailure(const nlohmann::json& reply);

// One connection to the IPC socket. Every call is one request and its reply; a reply must
// come within the timeout.
class IpcClient {
 public:
  static std::expected<std::unique_ptr<IpcClient>, std::string> connect(const std::string& path);
  ~IpcClient();
  IpcClient(const IpcClient&) = delete;
  IpcClient& operator=(const IpcClient&) = delete;

  std::expected<nlohmann::json, std::string> request(IpcType type, std::string_view payload);
  // Runs one command; the error says what the compositor refused.
  std::expected<void, std::string> command(const std::string& text);
  std::expected<std::vector<OutputInfo>, std::string> outputs();
  std::expected<std::vector<WorkspaceInfo>, std::string> workspaces();
  std::expected<CompositorVersion, std::string> version();

 private:
  explicit IpcClient(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace platform::wlroots
