// The display service description of VirtualScreen: its TXT record and the delegate operations
// of the service and the browser.

#include <span>

#include <fmt/core.h>

#include "platform/dispatch/url_opener.h"
#include "platform/foundation/log.h"
#include "platform/foundation/string_encoding.h"
#include "platform/foundation/utf8.h"
#include "streaming/virtual_screen.h"

namespace streaming {

namespace {

std::vector<std::uint8_t> bytesOf(const std::string& text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::optional<std::string> utf8Value(const platform::TXTRecord& record, const std::string& key) {
  auto found = record.find(key);
  if (found == record.end()) return std::nullopt;
  return platform::StringEncoding(platform::StringEncoding::utf8).decode(found->second);
}

std::string describe(const platform::NetServiceErrorInfo& error) {
  std::string text = "{";
  for (const auto& [key, value] : error) {
    if (text.size() > 1) text += ", ";
    text += fmt::format("{} = {}", key, value);
  }
  return text + "}";
}

// Host names reach the URL opener only when every label is letters, digits, '-' or '_', so
// no text from another computer can be read as an option or as shell syntax by a handler.
bool isSafeHost(const std::string& host) {
  if (host.empty() || host.front() == '-' || host.front() == '.') return false;
  for (unsigned char c : host) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_' || c == '.';
    if (!ok) return false;
  }
  return host.find("..") == std::string::npos;
}

}  // namespace

std::optional<std::int64_t> txtIntegerValue(const platform::TXTRecord& record,
                                            const std::string& key) {
  auto text = utf8Value(record, key);
  if (!text) return std::nullopt;
  std::string_view digits = *text;
  bool negative = false;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty()) return std::nullopt;
  // Accumulated as a negative number, whose range is one larger.
  std::int64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    const int digit = c - '0';
    if (value < (INT64_MIN + digit) / 10) return std::nullopt;
    value = value * 10 - digit;
  }
  if (!negative) {
    if (value == INT64_MIN) return std::nullopt;
    value = -value;
  }
  return value;
}

void VirtualScreen::makeTXTRecord(platform::NetService& service) {
  const std::vector<Resolution> displays = activeDisplays();
  platform::TXTRecord record;
  record["ndisplays"] = bytesOf(std::to_string(displays.size()));
  const platform::StringEncoding utf8(platform::StringEncoding::utf8);
  for (std::size_t i = 0; i < displays.size(); ++i) {
    const Resolution& display = displays[i];
    const std::string index = std::to_string(i);
    record["width" + index] = bytesOf(std::to_string(display.width));
    record["height" + index] = bytesOf(std::to_string(display.height));
    record["ppi" + index] = bytesOf(std::to_string(display.ppi));
    record["hidpi" + index] = bytesOf(display.hiDPI ? "1" : "0");
    if (utf8.decode(display.description)) record["name" + index] = bytesOf(display.description);
  }
  setTXTRecord("displays", std::move(record), service);
}

void VirtualScreen::setTXTRecord(const std::string& type, platform::TXTRecord record,
                                 platform::NetService& service) {
  record["--type"] = bytesOf(type);
  auto data = platform::dataFromTXTRecord(record);
  const bool taken = data && service.setTXTRecordData(std::move(*data));
  platform::print((taken ? "Set txtRecord " : "Did not set txtRecord ") + formatTXTRecord(record));
}

std::string VirtualScreen::formatTXTRecord(const platform::TXTRecord& record) {
  std::string text;
  for (const auto& [key, value] : record) {
    if (!text.empty()) text += ",";
    text += key;
    text += "=";
    text += platform::utf8::decodeLossy(value);
  }
  return text;
}

void VirtualScreen::interpretTXTRecord(platform::NetService& service,
                                       const std::vector<std::uint8_t>& data) {
  // Names and records come from other computers: escaped before they reach the console.
  const std::string name = platform::utf8::escapedForConsole(service.name());
  platform::print(fmt::format("Got updated TXT record of: {}: {} bytes", name, data.size()));
  if (service.name() == ns_->name()) return;
  // Malformed data reads as an empty record.
  const platform::TXTRecord record =
      platform::txtRecordFromData(data).value_or(platform::TXTRecord{});
  platform::print(platform::utf8::escapedForConsole(formatTXTRecord(record), 4096));
  auto type = utf8Value(record, "--type");
  if (!type) return;
  if (*type == "displays") {
    auto count = txtIntegerValue(record, "ndisplays");
    if (!count) return;
    platform::print(fmt::format("{} has {} display(s)", name, *count));
  } else if (*type == "request") {
    auto source = utf8Value(record, "source");
    if (!source || *source != ns_->name()) return;
    const std::string host = service.name() + "." + service.domain();
    platform::print("Will open Screen Sharing to " + platform::utf8::escapedForConsole(host));
    if (!isSafeHost(host)) return;
    const std::string url = "vnc://" + host;
    platform::URLOpenConfiguration configuration;
    configuration.createsNewApplicationInstance = true;
    platform::openURL(url, configuration, [url](platform::ErrorPtr error) {
      if (error) {
        platform::print("Opening the URL " + url + " failed: " + error->localizedDescription());
      }
    });
  } else {
    platform::print("Unhandled TXT record type " + platform::utf8::escapedForConsole(*type));
  }
}

void VirtualScreen::netServiceDidPublish(platform::NetService& service) {
  makeTXTRecord(service);
  platform::print("Published: " + service.description());
}

void VirtualScreen::netServiceDidNotPublish(platform::NetService& service,
                                            const platform::NetServiceErrorInfo& error) {
  platform::print("Did not publish: " + service.description() + ", because: " + describe(error));
}

void VirtualScreen::netServiceDidStop(platform::NetService& service) {
  platform::print("Stopped: " + service.description());
}

void VirtualScreen::netServiceDidAcceptConnection(platform::NetService& service,
                                                  std::shared_ptr<platform::NetServiceStream> input,
                                                  std::shared_ptr<platform::NetServiceStream>) {
  platform::print("Accepted connection: " + service.description());
  if (input) input->close();
}

void VirtualScreen::netServiceDidUpdateTXTRecordData(platform::NetService& service,
                                                     const std::vector<std::uint8_t>& data) {
  interpretTXTRecord(service, data);
}

void VirtualScreen::netServiceBrowserDidNotSearch(platform::NetServiceBrowser&,
                                                  const platform::NetServiceErrorInfo& error) {
  platform::print("Did not search: " + describe(error));
}

void VirtualScreen::netServiceBrowserDidFindService(platform::NetServiceBrowser&,
                                                    std::shared_ptr<platform::NetService> service,
                                                    bool) {
  if (!service || service->name() == ns_->name()) return;
  platform::print("Found: " + platform::utf8::escapedForConsole(service->name()));
  {
    std::lock_guard lock(mutex_);
    discoveredServices_[service->name()] = service;
  }
  service->setDelegate(weak_from_this());
  service->startMonitoring();
}

void VirtualScreen::netServiceBrowserDidRemoveService(platform::NetServiceBrowser&,
                                                      std::shared_ptr<platform::NetService>, bool) {
}

void VirtualScreen::netServiceBrowserDidStopSearch(platform::NetServiceBrowser& browser) {
  platform::print("Did stop: " + browser.description());
}

}  // namespace streaming
