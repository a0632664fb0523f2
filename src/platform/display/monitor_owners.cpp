#include "platform/display/monitor_owners.h"

#include <unistd.h>

#include <charconv>
#include <fstream>
#include <sstream>

#include <fmt/core.h>

namespace platform {

namespace {

template <class T>
bool parseNumber(std::string_view text, T& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

bool isBootID(std::string_view text) {
  if (text.empty() || text.size() > 64) return false;
  for (char c : text) {
    const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == '-';
    if (!ok) return false;
  }
  return true;
}

}  // namespace

std::vector<MonitorOwnerRecord> parseMonitorOwners(std::string_view text) {
  std::vector<MonitorOwnerRecord> records;
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    std::vector<std::string_view> fields;
    while (!line.empty() && fields.size() <= 5) {
      const auto space = line.find(' ');
      fields.push_back(line.substr(0, space));
      line = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    }
    if (fields.size() != 5) continue;
    MonitorOwnerRecord record;
    const auto x = fields[4].find('x');
    if (!parseNumber(fields[0], record.monitor) || !parseNumber(fields[1], record.pid) ||
        record.pid <= 0 || !parseNumber(fields[2], record.startTime) || !isBootID(fields[3]) ||
        x == std::string_view::npos || !parseNumber(fields[4].substr(0, x), record.baseWidth) ||
        !parseNumber(fields[4].substr(x + 1), record.baseHeight)) {
      continue;
    }
    record.bootID = std::string(fields[3]);
    records.push_back(std::move(record));
  }
  return records;
}

std::string formatMonitorOwners(const std::vector<MonitorOwnerRecord>& records) {
  std::string text;
  for (const auto& record : records) {
    text += fmt::format("{} {} {} {} {}x{}\n", record.monitor, record.pid, record.startTime,
                        record.bootID, record.baseWidth, record.baseHeight);
  }
  return text;
}

std::optional<std::uint64_t> processStartTime(std::int64_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  if (!file) return std::nullopt;
  std::stringstream contents;
  contents << file.rdbuf();
  const std::string stat = contents.str();
  // The command name, in parentheses, may hold spaces; the fields after it do not.
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  // Field 3 is the state: a zombie has ended, though nobody has reaped it yet (an orphan
  // waits for whoever adopted it). Field 22 is the start time.
  for (int number = 3; number <= 22; ++number) {
    if (!(fields >> field)) return std::nullopt;
    if (number == 3 && (field == "Z" || field == "X" || field == "x")) return std::nullopt;
  }
  std::uint64_t start = 0;
  if (!parseNumber(std::string_view(field), start)) return std::nullopt;
  return start;
}

const std::string& currentBootID() {
  static const std::string id = [] {
    std::ifstream file("/proc/sys/kernel/random/boot_id");
    std::string line;
    std::getline(file, line);
    return isBootID(line) ? line : std::string();
  }();
  return id;
}

MonitorOwnerRecord ownMonitorRecord(std::uint32_t monitor, std::uint16_t baseWidth,
                                    std::uint16_t baseHeight) {
  MonitorOwnerRecord record;
  record.monitor = monitor;
  record.pid = ::getpid();
  record.startTime = processStartTime(record.pid).value_or(0);
  record.bootID = currentBootID();
  record.baseWidth = baseWidth;
  record.baseHeight = baseHeight;
  return record;
}

MonitorOwnerState monitorOwnerState(const MonitorOwnerRecord& record) {
  if (currentBootID().empty() || record.bootID != currentBootID()) {
    return MonitorOwnerState::elsewhere;
  }
  const auto start = processStartTime(record.pid);
  if (!start || *start != record.startTime) return MonitorOwnerState::gone;
  return MonitorOwnerState::alive;
}

}  // namespace platform
