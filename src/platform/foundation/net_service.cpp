#include "platform/foundation/net_service.h"

#include <algorithm>
#include <cctype>
#include <set>

namespace platform {

namespace {

std::string lowerASCII(std::string_view text) {
  std::string lower(text);
  for (char& c : lower)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> dataFromTXTRecord(const TXTRecord& record) {
  std::vector<std::uint8_t> data;
  for (const auto& [key, value] : record) {
    if (key.empty() || key.find('=') != std::string::npos) return std::nullopt;
    const std::size_t length = key.size() + 1 + value.size();
    if (length > 255) return std::nullopt;
    data.push_back(static_cast<std::uint8_t>(length));
    data.insert(data.end(), key.begin(), key.end());
    data.push_back('=');
    data.insert(data.end(), value.begin(), value.end());
  }
  return data;
}

std::optional<TXTRecord> txtRecordFromData(std::span<const std::uint8_t> data) {
  TXTRecord record;
  std::set<std::string> seen;
  std::size_t position = 0;
  while (position < data.size()) {
    const std::size_t length = data[position++];
    if (length > data.size() - position) return std::nullopt;
    auto entry = data.subspan(position, length);
    position += length;
    if (entry.empty()) continue;
    auto equals = std::find(entry.begin(), entry.end(), std::uint8_t('='));
    std::string key(entry.begin(), equals);
    if (key.empty()) continue;
    if (!seen.insert(lowerASCII(key)).second) continue;
    std::vector<std::uint8_t> value;
    if (equals != entry.end()) value.assign(equals + 1, entry.end());
    record.emplace(std::move(key), std::move(value));
  }
  return record;
}

NetService::NetService(std::string domain, std::string type, std::string name, int port)
    : domain_(std::move(domain)), type_(std::move(type)), name_(std::move(name)), port_(port) {}

bool NetService::setTXTRecordData(std::optional<std::vector<std::uint8_t>> data) {
  if (data && data->size() > 65535) return false;
  txtRecordData_ = std::move(data);
  return true;
}

std::string NetService::description() const {
  return "<NetService> " + domain_ + " " + type_ + " " + name_;
}

}  // namespace platform
