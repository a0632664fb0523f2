#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace platform {

// A DNS-SD TXT record: keys to byte values.
using TXTRecord = std::map<std::string, std::vector<std::uint8_t>>;

// Encodes a record as DNS-SD wants it: one length-prefixed "key=value" entry per key. Nullopt
// when an entry cannot be encoded: an empty key, a key containing '=', or an entry longer than
// 255 bytes.
std::optional<std::vector<std::uint8_t>> dataFromTXTRecord(const TXTRecord& record);

// Decodes TXT data. An entry without '=' is a key with an empty value; an entry with an
// empty key is ignored, as is every repetition of a key but the first (keys compare without
// regard to ASCII case). Nullopt when an entry runs past the end of the data.
std::optional<TXTRecord> txtRecordFromData(std::span<const std::uint8_t> data);

// Error information of a service or browser that failed (code and domain).
using NetServiceErrorInfo = std::map<std::string, std::int64_t>;

// A stream handed over with an accepted connection.
class NetServiceStream {
 public:
  virtual ~NetServiceStream() = default;
  virtual void close() = 0;
};

class NetService;
class NetServiceBrowser;

class NetServiceDelegate {
 public:
  virtual ~NetServiceDelegate() = default;
  virtual void netServiceDidPublish(NetService&) {}
  virtual void netServiceDidNotPublish(NetService&, const NetServiceErrorInfo&) {}
  virtual void netServiceDidStop(NetService&) {}
  virtual void netServiceDidAcceptConnection(NetService&, std::shared_ptr<NetServiceStream>,
                                             std::shared_ptr<NetServiceStream>) {}
  virtual void netServiceDidUpdateTXTRecordData(NetService&, const std::vector<std::uint8_t>&) {}
};

class NetServiceBrowserDelegate {
 public:
  virtual ~NetServiceBrowserDelegate() = default;
  virtual void netServiceBrowserDidNotSearch(NetServiceBrowser&, const NetServiceErrorInfo&) {}
  virtual void netServiceBrowserDidFindService(NetServiceBrowser&, std::shared_ptr<NetService>,
                                               bool /*moreComing*/) {}
  virtual void netServiceBrowserDidRemoveService(NetServiceBrowser&, std::shared_ptr<NetService>,
                                                 bool /*moreComing*/) {}
  virtual void netServiceBrowserDidStopSearch(NetServiceBrowser&) {}
};

// The description of a network service. Nothing here talks to the network: this system keeps
// the description current but never publishes or resolves it.
class NetService {
 public:
  NetService(std::string domain, std::string type, std::string name, int port = -1);

  const std::string& domain() const { return domain_; }
  const std::string& type() const { return type_; }
  const std::string& name() const { return name_; }
  int port() const { return port_; }

  // Sets the TXT data; nullopt clears it. False (and nothing changes) when the data is more
  // than a TXT record can hold (65,535 bytes).
  bool setTXTRecordData(std::optional<std::vector<std::uint8_t>> data);
  const std::optional<std::vector<std::uint8_t>>& txtRecordData() const { return txtRecordData_; }

  void setDelegate(std::weak_ptr<NetServiceDelegate> delegate) { delegate_ = std::move(delegate); }
  std::shared_ptr<NetServiceDelegate> delegate() const { return delegate_.lock(); }

  // Asks to hear about changes of the service's TXT record.
  void startMonitoring() { monitoring_ = true; }
  bool isMonitoring() const { return monitoring_; }

  // "<NetService> domain type name".
  std::string description() const;

 private:
  std::string domain_;
  std::string type_;
  std::string name_;
  int port_;
  std::optional<std::vector<std::uint8_t>> txtRecordData_;
  std::weak_ptr<NetServiceDelegate> delegate_;
  bool monitoring_ = false;
};

// A browser for services; idle until asked to search, which this system never does.
class NetServiceBrowser {
 public:
  void setDelegate(std::weak_ptr<NetServiceBrowserDelegate> delegate) {
    delegate_ = std::move(delegate);
  }
  std::shared_ptr<NetServiceBrowserDelegate> delegate() const { return delegate_.lock(); }
  bool isSearching() const { return false; }
  std::string description() const { return "<NetServiceBrowser> idle"; }

 private:
  std::weak_ptr<NetServiceBrowserDelegate> delegate_;
};

}  // namespace platform
