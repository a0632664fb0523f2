#include "platform/display/wlroots/wlroots_ipc.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fmt/core.h>

namespace platform::wlroots {

namespace {

constexpr int kReplyTimeoutMs = 5000;

void putU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  std::uint8_t bytes[4];
  std::memcpy(bytes, &value, 4);
  out.insert(out.end(), bytes, bytes + 4);
}

std::uint32_t getU32(const std::uint8_t* bytes) {
  std::uint32_t value = 0;
  std::memcpy(&value, bytes, 4);
  return value;
}

std::int32_t intField(const nlohmann::json& object, const char* key) {
  const auto it = object.find(key);
  return it != object.end() && it->is_number_integer() ? it->get<std::int32_t>() : 0;
}

std::uint32_t sizeField(const nlohmann::json& object, const char* key) {
  const std::int32_t value = intField(object, key);
  return value > 0 ? static_cast<std::uint32_t>(value) : 0;
}

}  // namespace

std::vector<std::uint8_t> encodeIpcMessage(IpcType type, std::string_view payload) {
  std::vector<std::uint8_t> out(kIpcMagic.begin(), kIpcMagic.end());
  putU32(out, static_cast<std::uint32_t>(payload.size()));
  putU32(out, static_cast<std::uint32_t>(type));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

std::expected<IpcHeader, std::string> decodeIpcHeader(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kIpcHeaderSize) return std::unexpected("The IPC reply is cut short");
  if (std::memcmp(bytes.data(), kIpcMagic.data(), kIpcMagic.size()) != 0) {
    return std::unexpected("The IPC reply does not start with the i3-ipc magic");
  }
  IpcHeader header{getU32(bytes.data() + 6), getU32(bytes.data() + 10)};
  if (header.length > kMaxIpcPayload) {
    return std::unexpected(fmt::format("The IPC reply claims {} bytes", header.length));
  }
  return header;
}

std::expected<std::vector<OutputInfo>, std::string> parseOutputs(const nlohmann::json& reply) {
  if (!reply.is_array()) return std::unexpected("The output list is not a list");
  std::vector<OutputInfo> outputs;
  for (const auto& entry : reply) {
    if (!entry.is_object()) continue;
    const auto name = entry.find("name");
    if (name == entry.end() || !name->is_string()) continue;
    OutputInfo info;
    info.name = name->get<std::string>();
    const auto active = entry.find("active");
    info.active = active != entry.end() && active->is_boolean() && active->get<bool>();
    if (const auto rect = entry.find("rect"); rect != entry.end() && rect->is_object()) {
      info.x = intField(*rect, "x");
      info.y = intField(*rect, "y");
      info.width = sizeField(*rect, "width");
      info.height = sizeField(*rect, "height");
    }
    outputs.push_back(std::move(info));
  }
  return outputs;
}

std::expected<std::vector<WorkspaceInfo>, std::string> parseWorkspaces(
    const nlohmann::json& reply) {
  if (!reply.is_array()) return std::unexpected("The workspace list is not a list");
  auto text = [](const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
  };
  auto flag = [](const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_boolean() && it->get<bool>();
  };
  std::vector<WorkspaceInfo> workspaces;
  for (const auto& entry : reply) {
    if (!entry.is_object()) continue;
    const auto focus = entry.find("focus");
    WorkspaceInfo info{text(entry, "name"), text(entry, "output"), flag(entry, "focused"),
                       flag(entry, "visible"),
                       focus != entry.end() && focus->is_array() && focus->empty()};
    if (info.name.empty() || info.output.empty()) continue;
    workspaces.push_back(std::move(info));
  }
  return workspaces;
}

std::string quotedArgument(std::string_view text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

std::expected<CompositorVersion, std::string> parseVersion(const nlohmann::json& reply) {
  if (!reply.is_object() || !reply.contains("major") || !reply["major"].is_number_integer()) {
    return std::unexpected("The compositor did not say its version");
  }
  return CompositorVersion{intField(reply, "major"), intField(reply, "minor"),
                           intField(reply, "patch")};
}

std::optional<std::string> commandFailure(const nlohmann::json& reply) {
  if (!reply.is_array() || reply.empty()) return "The compositor gave no answer to the command";
  for (const auto& result : reply) {
    const auto success = result.find("success");
    if (success != result.end() && success->is_boolean() && success->get<bool>()) continue;
    const auto error = result.find("error");
    if (error != result.end() && error->is_string()) return error->get<std::string>();
    return "The compositor refused the command";
  }
  return std::nullopt;
}

std::expected<std::unique_ptr<IpcClient>, std::string> IpcClient::connect(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    return std::unexpected(fmt::format("The IPC socket path \"{}\" is unusable", path));
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::unexpected(std::string("Cannot make a socket: ") + strerror(errno));
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    close(fd);
    return std::unexpected(
        fmt::format("Cannot reach the compositor at {}: {}", path, strerror(error)));
  }
  return std::unique_ptr<IpcClient>(new IpcClient(fd));
}

IpcClient::~IpcClient() {
  close(fd_);
}

namespace {

// Reads exactly `size` bytes, or fails when the peer is silent past the timeout or gone.
bool readFully(int fd, std::uint8_t* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    pollfd descriptor{fd, POLLIN, 0};
    const int ready = poll(&descriptor, 1, kReplyTimeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    const ssize_t got = recv(fd, data + done, size - done, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace

std::expected<nlohmann::json, std::string> IpcClient::request(IpcType type,
                                                              std::string_view payload) {
  const auto message = encodeIpcMessage(type, payload);
  std::size_t sent = 0;
  while (sent < message.size()) {
    const ssize_t n = send(fd_, message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::unexpected("The compositor's IPC socket closed");
    sent += static_cast<std::size_t>(n);
  }
  std::uint8_t headerBytes[kIpcHeaderSize];
  if (!readFully(fd_, headerBytes, sizeof headerBytes)) {
    return std::unexpected("The compositor did not answer over IPC");
  }
  auto header = decodeIpcHeader(headerBytes);
  if (!header) return std::unexpected(header.error());
  if (header->type != static_cast<std::uint32_t>(type)) {
    return std::unexpected(fmt::format("The compositor answered message type {} to type {}",
                                       header->type, static_cast<std::uint32_t>(type)));
  }
  std::string body(header->length, '\0');
  if (!readFully(fd_, reinterpret_cast<std::uint8_t*>(body.data()), body.size())) {
    return std::unexpected("The compositor's IPC reply is cut short");
  }
  auto parsed = nlohmann::json::parse(body, nullptr, false);
  if (parsed.is_discarded()) return std::unexpected("The compositor's IPC reply is not JSON");
  return parsed;
}

std::expected<void, std::string> IpcClient::command(const std::string& text) {
  auto reply = request(IpcType::runCommand, text);
  if (!reply) return std::unexpected(reply.error());
  if (auto failure = commandFailure(*reply)) {
    return std::unexpected(fmt::format("The compositor refused \"{}\": {}", text, *failure));
  }
  return {};
}

std::expected<std::vector<OutputInfo>, std::string> IpcClient::outputs() {
  auto reply = request(IpcType::getOutputs, "");
  if (!reply) return std::unexpected(reply.error());
  return parseOutputs(*reply);
}

std::expected<std::vector<WorkspaceInfo>, std::string> IpcClient::workspaces() {
  auto reply = request(IpcType::getWorkspaces, "");
  if (!reply) return std::unexpected(reply.error());
  return parseWorkspaces(*reply);
}

std::expected<CompositorVersion, std::string> IpcClient::version() {
  auto reply = request(IpcType::getVersion, "");
  if (!reply) return std::unexpected(reply.error());
  return parseVersion(*reply);
}

}  // namespace platform::wlroots
