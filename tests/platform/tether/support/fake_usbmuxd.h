#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace platform::fakes {

// A stand-in for the USB multiplexer daemon on a UNIX socket, speaking the protocol libusbmuxd
// uses: 16-byte little-endian headers {length, version 1, message 8 = property list, tag} and
// XML property list bodies. "Listen" is answered with Result 0 and then Attached / Detached
// messages; "Connect" to a routed device port with Result 0, after which the socket is a raw
// tunnel to a TCP port on 127.0.0.1.
class FakeUsbmuxd {
 public:
  FakeUsbmuxd();
  // A daemon on a socket of the given path, as a restarted daemon comes back where it was.
  explicit FakeUsbmuxd(std::string path);
  ~FakeUsbmuxd();
  FakeUsbmuxd(const FakeUsbmuxd&) = delete;
  FakeUsbmuxd& operator=(const FakeUsbmuxd&) = delete;

  // The value for USBMUXD_SOCKET_ADDRESS.
  std::string socketAddress() const { return "UNIX:" + path_; }
  const std::string& path() const { return path_; }
  // Points libusbmuxd of this process at this daemon.
  void exportAddress() const;

  void attach(std::uint32_t deviceID, const std::string& serial = "SIMULATED-0001",
              std::uint32_t productID = 0x12ab, const std::string& connectionType = "USB");
  void detach(std::uint32_t deviceID);
  // A tunnel to `devicePort` of the device leads to 127.0.0.1:`localPort`.
  void route(std::uint32_t deviceID, std::uint16_t devicePort, std::uint16_t localPort);

  int listenerCount() const;
  struct ConnectRequest {
    std::uint32_t deviceID;
    std::uint16_t port;
  };
  std::vector<ConnectRequest> connectRequests() const;

 private:
  struct Client;
  struct Device {
    std::uint32_t id;
    std::string serial;
    std::uint32_t productID;
    std::string connectionType;
  };
  void acceptLoop();
  void serve(const std::shared_ptr<Client>& client);
  void serveMessages(const std::shared_ptr<Client>& client);
  void sendAttached(Client& client, const Device& device);
  void tunnel(int clientFd, int deviceFd);

  std::string path_;
  int listenFd_ = -1;
  std::thread acceptThread_;
  mutable std::mutex mutex_;
  bool stopping_ = false;
  std::map<std::uint32_t, Device> devices_;
  std::map<std::pair<std::uint32_t, std::uint16_t>, std::uint16_t> routes_;
  std::list<std::shared_ptr<Client>> clients_;
  std::vector<ConnectRequest> connectRequests_;
};

}  // namespace platform::fakes
