#include "platform/tether/support/fake_usbmuxd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <plist/plist.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>

namespace platform::fakes {

namespace {

std::atomic<int> instanceCounter{0};

bool readFully(int fd, void* buffer, std::size_t size) {
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  while (size > 0) {
    const ssize_t n = ::recv(fd, bytes, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool writeFully(int fd, const void* buffer, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  while (size > 0) {
    const ssize_t n = ::send(fd, bytes, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void putLittleEndian(std::uint8_t* out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t getLittleEndian(const std::uint8_t* in) {
  return std::uint32_t{in[0]} | (std::uint32_t{in[1]} << 8) | (std::uint32_t{in[2]} << 16) |
         (std::uint32_t{in[3]} << 24);
}

using PlistPtr = std::unique_ptr<void, decltype(&plist_free)>;

std::string stringItem(plist_t dictionary, const char* key) {
  plist_t node = plist_dict_get_item(dictionary, key);
  if (!node || plist_get_node_type(node) != PLIST_STRING) return {};
  char* value = nullptr;
  plist_get_string_val(node, &value);
  std::string text = value ? value : "";
  free(value);
  return text;
}

std::uint64_t uintItem(plist_t dictionary, const char* key) {
  plist_t node = plist_dict_get_item(dictionary, key);
  std::uint64_t value = 0;
  if (node && plist_get_node_type(node) == PLIST_UINT) plist_get_uint_val(node, &value);
  return value;
}

}  // namespace

struct FakeUsbmuxd::Client {
  int fd = -1;
  std::atomic<int> tunnelFd{-1};
  std::mutex writeMutex;
  bool listening = false;  // under the daemon's mutex
  std::thread thread;

  bool sendMessage(plist_t message, std::uint32_t tag) {
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(message, &xml, &length);
    std::array<std::uint8_t, 16> header;
    putLittleEndian(header.data(), 16 + length);
    putLittleEndian(header.data() + 4, 1);
    putLittleEndian(header.data() + 8, 8);
    putLittleEndian(header.data() + 12, tag);
    std::lock_guard lock(writeMutex);
    const bool sent = writeFully(fd, header.data(), header.size()) && writeFully(fd, xml, length);
    plist_to_xml_free(xml);
    return sent;
  }

  bool sendResult(std::uint32_t tag, std::uint64_t number) {
    PlistPtr message(plist_new_dict(), &plist_free);
    plist_dict_set_item(message.get(), "MessageType", plist_new_string("Result"));
    plist_dict_set_item(message.get(), "Number", plist_new_uint(number));
    return sendMessage(message.get(), tag);
  }
};

FakeUsbmuxd::FakeUsbmuxd()
    : FakeUsbmuxd("/tmp/tovarine-fake-usbmuxd-" + std::to_string(::getpid()) + "-" +
                  std::to_string(instanceCounter++) + ".sock") {}

FakeUsbmuxd::FakeUsbmuxd(std::string path) : path_(std::move(path)) {
  ::unlink(path_.c_str());
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
  if (listenFd_ < 0 ||
      ::bind(listenFd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listenFd_, 16) != 0) {
    throw std::runtime_error("fake usbmuxd: cannot listen on " + path_);
  }
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

FakeUsbmuxd::~FakeUsbmuxd() {
  std::list<std::shared_ptr<Client>> clients;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    clients = clients_;
  }
  ::shutdown(listenFd_, SHUT_RDWR);
  if (acceptThread_.joinable()) acceptThread_.join();
  ::close(listenFd_);
  for (auto& client : clients) {
    ::shutdown(client->fd, SHUT_RDWR);
    const int tunnelFd = client->tunnelFd.load();
    if (tunnelFd >= 0) ::shutdown(tunnelFd, SHUT_RDWR);
    if (client->thread.joinable()) client->thread.join();
    ::close(client->fd);
  }
  ::unlink(path_.c_str());
}

void FakeUsbmuxd::exportAddress() const {
  ::setenv("USBMUXD_SOCKET_ADDRESS", socketAddress().c_str(), 1);
}

void FakeUsbmuxd::acceptLoop() {
  while (true) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      return;
    }
    auto client = std::make_shared<Client>();
    client->fd = fd;
    std::lock_guard lock(mutex_);
    if (stopping_) {
      ::close(fd);
      return;
    }
    clients_.push_back(client);
    client->thread = std::thread([this, client] { serve(client); });
  }
}

void FakeUsbmuxd::sendAttached(Client& client, const Device& device) {
  PlistPtr properties(plist_new_dict(), &plist_free);
  plist_dict_set_item(properties.get(), "ConnectionType",
                      plist_new_string(device.connectionType.c_str()));
  plist_dict_set_item(properties.get(), "DeviceID", plist_new_uint(device.id));
  plist_dict_set_item(properties.get(), "LocationID", plist_new_uint(0));
  plist_dict_set_item(properties.get(), "ProductID", plist_new_uint(device.productID));
  plist_dict_set_item(properties.get(), "SerialNumber", plist_new_string(device.serial.c_str()));
  if (device.connectionType != "USB") {
    // What the daemon reports for a device reached over the network.
    const std::array<char, 16> address{16, AF_INET, 0, 0, 10, 0, 0, 7};
    plist_dict_set_item(properties.get(), "EscapedFullServiceName",
                        plist_new_string((device.serial + "._companion._tcp.local.").c_str()));
    plist_dict_set_item(properties.get(), "NetworkAddress",
                        plist_new_data(address.data(), address.size()));
  }
  PlistPtr message(plist_new_dict(), &plist_free);
  plist_dict_set_item(message.get(), "MessageType", plist_new_string("Attached"));
  plist_dict_set_item(message.get(), "DeviceID", plist_new_uint(device.id));
  plist_dict_set_item(message.get(), "Properties", properties.release());
  client.sendMessage(message.get(), 0);
}

void FakeUsbmuxd::serve(const std::shared_ptr<Client>& client) {
  serveMessages(client);
  std::lock_guard lock(mutex_);
  client->listening = false;
}

void FakeUsbmuxd::serveMessages(const std::shared_ptr<Client>& client) {
  while (true) {
    std::array<std::uint8_t, 16> header;
    if (!readFully(client->fd, header.data(), header.size())) return;
    const std::uint32_t length = getLittleEndian(header.data());
    const std::uint32_t tag = getLittleEndian(header.data() + 12);
    if (length < 16 || length > (1u << 20)) return;
    std::string body(length - 16, '\0');
    if (!readFully(client->fd, body.data(), body.size())) return;
    plist_t parsed = nullptr;
    plist_from_xml(body.data(), static_cast<std::uint32_t>(body.size()), &parsed);
    if (!parsed) return;
    PlistPtr message(parsed, &plist_free);
    const std::string type = stringItem(message.get(), "MessageType");
    if (type == "Listen") {
      client->sendResult(tag, 0);
      std::lock_guard lock(mutex_);
      client->listening = true;
      for (const auto& [id, device] : devices_)
        sendAttached(*client, device);
    } else if (type == "Connect") {
      const auto deviceID = static_cast<std::uint32_t>(uintItem(message.get(), "DeviceID"));
      // The port travels in network byte order inside the integer.
      const auto port = ntohs(static_cast<std::uint16_t>(uintItem(message.get(), "PortNumber")));
      std::optional<std::uint16_t> localPort;
      {
        std::lock_guard lock(mutex_);
        connectRequests_.push_back({deviceID, port});
        auto route = routes_.find({deviceID, port});
        if (route != routes_.end() && devices_.count(deviceID)) localPort = route->second;
      }
      int deviceFd = -1;
      if (localPort) {
        deviceFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(*localPort);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(deviceFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
          ::close(deviceFd);
          deviceFd = -1;
        }
      }
      if (deviceFd < 0) {
        client->sendResult(tag, 3);  // connection refused
        continue;
      }
      client->sendResult(tag, 0);
      client->tunnelFd = deviceFd;
      tunnel(client->fd, deviceFd);
      client->tunnelFd = -1;
      ::close(deviceFd);
      return;
    } else {
      client->sendResult(tag, 1);  // bad command
    }
  }
}

void FakeUsbmuxd::tunnel(int clientFd, int deviceFd) {
  std::array<std::uint8_t, 64 * 1024> buffer;
  pollfd fds[2] = {{clientFd, POLLIN, 0}, {deviceFd, POLLIN, 0}};
  while (true) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    bool done = false;
    for (int i = 0; i < 2 && !done; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = ::recv(fds[i].fd, buffer.data(), buffer.size(), 0);
      if (n <= 0 || !writeFully(fds[1 - i].fd, buffer.data(), static_cast<std::size_t>(n))) {
        done = true;
      }
    }
    if (done) break;
  }
  ::shutdown(clientFd, SHUT_RDWR);
  ::shutdown(deviceFd, SHUT_RDWR);
}

void FakeUsbmuxd::attach(std::uint32_t deviceID, const std::string& serial, std::uint32_t productID,
                         const std::string& connectionType) {
  std::lock_guard lock(mutex_);
  Device device{deviceID, serial, productID, connectionType};
  devices_[deviceID] = device;
  for (auto& client : clients_) {
    if (client->listening) sendAttached(*client, device);
  }
}

void FakeUsbmuxd::detach(std::uint32_t deviceID) {
  std::lock_guard lock(mutex_);
  devices_.erase(deviceID);
  for (auto& client : clients_) {
    if (!client->listening) continue;
    PlistPtr message(plist_new_dict(), &plist_free);
    plist_dict_set_item(message.get(), "MessageType", plist_new_string("Detached"));
    plist_dict_set_item(message.get(), "DeviceID", plist_new_uint(deviceID));
    client->sendMessage(message.get(), 0);
  }
}

void FakeUsbmuxd::route(std::uint32_t deviceID, std::uint16_t devicePort, std::uint16_t localPort) {
  std::lock_guard lock(mutex_);
  routes_[{deviceID, devicePort}] = localPort;
}

int FakeUsbmuxd::listenerCount() const {
  std::lock_guard lock(mutex_);
  int count = 0;
  for (const auto& client : clients_)
    count += client->listening ? 1 : 0;
  return count;
}

std::vector<FakeUsbmuxd::ConnectRequest> FakeUsbmuxd::connectRequests() const {
  std::lock_guard lock(mutex_);
  return connectRequests_;
}

}  // namespace platform::fakes

// libusbmuxd can lose a received message buffer when its listener thread is stopped in the
// middle of a read, which tests do whenever a hub stops listening; that buffer is the library's,
// not ours.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libusbmuxd-2.0.so\n";
}
