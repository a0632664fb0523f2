#include "platform/foundation/user_defaults.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>
#include <system_error>

#include <fmt/format.h>

#include "platform/foundation/atomic_file_write.h"
#include "platform/foundation/log.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

// Far deeper than any value this program writes, far shallower than what overflows a stack.
constexpr int kMaximumDepth = 512;

constexpr const char* kFileName = "defaults.json";

fs::path homeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

std::string lowercase(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::optional<double> parseNumber(std::string_view text) {
  double value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::int64_t truncateToInteger(double value) {
  if (std::isnan(value)) return 0;
  // Bounds as doubles: INT64_MAX itself is not representable and would overflow the cast.
  if (value >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
  if (value <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(value);
}

bool isJsonText(std::string_view text) {
  try {
    (void)Json(text).dump();
    return true;
  } catch (const Json::exception&) {
    return false;
  }
}

Json toJson(const UserDefaults::Value& value) {
  return std::visit([](const auto& v) { return Json(v); }, value);
}

std::optional<UserDefaults::Value> fromJson(const Json& json) {
  switch (json.type()) {
    case Json::value_t::boolean:
      return UserDefaults::Value(json.get<bool>());
    case Json::value_t::number_integer:
      return UserDefaults::Value(json.get<std::int64_t>());
    case Json::value_t::number_unsigned: {
      auto u = json.get<std::uint64_t>();
      if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return std::nullopt;
      }
      return UserDefaults::Value(static_cast<std::int64_t>(u));
    }
    case Json::value_t::number_float:
      return UserDefaults::Value(json.get<double>());
    case Json::value_t::string:
      return UserDefaults::Value(json.get<std::string>());
    default:
      return std::nullopt;
  }
}

// Readers see either the old file or the new one, never a partial write; settings are the
// user's own.
bool writeAtomically(const fs::path& target, const std::string& text, std::string& error) {
  std::error_code ec;
  fs::create_directories(target.parent_path(), ec);
  if (ec) {
    error = fmt::format("cannot create {}: {}", target.parent_path().string(), ec.message());
    return false;
  }
  auto written = writeFileAtomically(target, text, 0600);
  if (!written) error = std::move(written.error());
  return written.has_value();
}

}  // namespace

UserDefaults& UserDefaults::standard() {
  // Never destroyed: settings may still be written while static destructors run.
  static UserDefaults* instance = new UserDefaults(standardFile());
  return *instance;
}

fs::path UserDefaults::standardFile() {
  fs::path base;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
    base = xdg;
  } else {
    base = homeDirectory() / ".config";
  }
  return base / "tovarine" / kFileName;
}

void UserDefaults::setStandardDirectory(std::optional<fs::path> directory) {
  standard().relocate(directory ? *directory / kFileName : standardFile());
}

UserDefaults::UserDefaults(fs::path file) : file_(std::move(file)) {
  std::lock_guard lock(mutex_);
  loadLocked();
}

fs::path UserDefaults::file() const {
  std::lock_guard lock(mutex_);
  return file_;
}

void UserDefaults::relocate(fs::path file) {
  std::lock_guard lock(mutex_);
  file_ = std::move(file);
  loadLocked();
}

void UserDefaults::reload() {
  std::lock_guard lock(mutex_);
  loadLocked();
}

void UserDefaults::loadLocked() {
  values_.clear();
  foreign_.clear();
  unreadableFile_ = false;
  std::error_code ec;
  if (!fs::exists(file_, ec)) return;
  std::ifstream in(file_, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  std::string reason;
  if (!in) {
    reason = std::strerror(errno);
  } else if (text.str().find_first_not_of(" \t\r\n") == std::string::npos) {
    return;  // an empty file holds nothing to lose
  } else {
    // A damaged or hostile file may nest without end; keeping what we do not understand means
    // writing it back out recursively, so the depth is bounded where the file is read.
    bool tooDeep = false;
    auto bounded = [&tooDeep](int depth, Json::parse_event_t, Json&) {
      if (depth >= kMaximumDepth) tooDeep = true;  // the top level is depth 0
      return !tooDeep;
    };
    Json root = Json::parse(text.str(), bounded, false);
    if (tooDeep) {
      reason = fmt::format("nested deeper than {} levels", kMaximumDepth);
    } else if (root.is_discarded()) {
      reason = "not JSON";
    } else if (!root.is_object()) {
      reason = "not a JSON object";
    } else {
      for (const auto& [key, json] : root.items()) {
        if (auto value = fromJson(json)) {
          values_.emplace(key, std::move(*value));
        } else {
          // Kept verbatim so that a later save does not drop what another version wrote.
          foreign_.emplace(key, json.dump());
        }
      }
      return;
    }
  }
  unreadableFile_ = true;
  log(fmt::format("User defaults in {} are unreadable ({}); starting from the registered defaults",
                  file_.string(), reason));
}

bool UserDefaults::saveLocked() {
  if (unreadableFile_) {
    fs::path aside = file_;
    aside += ".unreadable";
    std::error_code ec;
    fs::rename(file_, aside, ec);
    if (ec) {
      log(fmt::format("Cannot keep the unreadable {} aside: {}; not saving over it", file_.string(),
                      ec.message()));
      return false;
    }
    log(fmt::format("Kept the unreadable user defaults as {}", aside.string()));
    unreadableFile_ = false;
  }
  Json root = Json::object();
  for (const auto& [key, text] : foreign_)
    root[key] = Json::parse(text);
  for (const auto& [key, value] : values_)
    root[key] = toJson(value);
  std::string error;
  if (!writeAtomically(file_, root.dump(2) + "\n", error)) {
    log(fmt::format("Cannot save user defaults: {}", error));
    return false;
  }
  return true;
}

void UserDefaults::storeLocked(std::string_view key, std::optional<Value> value) {
  if (!isJsonText(key)) {
    log("User defaults: not storing under a key that is not UTF-8");
    return;
  }
  auto found = values_.find(key);
  auto foreign = foreign_.find(key);
  bool unchanged =
      foreign == foreign_.end() &&
      (value ? found != values_.end() && found->second == *value : found == values_.end());
  if (unchanged && !unreadableFile_) return;
  if (foreign != foreign_.end()) foreign_.erase(foreign);
  if (value) {
    if (found != values_.end()) {
      found->second = std::move(*value);
    } else {
      values_.emplace(std::string(key), std::move(*value));
    }
  } else if (found != values_.end()) {
    values_.erase(found);
  }
  saveLocked();
}

std::optional<UserDefaults::Value> UserDefaults::lookupLocked(std::string_view key) const {
  if (auto it = values_.find(key); it != values_.end()) return it->second;
  // A key holding a value of a kind this store does not read shadows its default.
  if (foreign_.contains(key)) return std::nullopt;
  if (auto it = registered_.find(key); it != registered_.end()) return it->second;
  return std::nullopt;
}

void UserDefaults::registerDefaults(const std::map<std::string, Value>& defaults) {
  std::lock_guard lock(mutex_);
  for (const auto& [key, value] : defaults)
    registered_.insert_or_assign(key, value);
}

std::optional<UserDefaults::Value> UserDefaults::objectForKey(std::string_view key) const {
  std::lock_guard lock(mutex_);
  return lookupLocked(key);
}

bool UserDefaults::boolForKey(std::string_view key) const {
  auto value = objectForKey(key);
  if (!value) return false;
  if (auto b = std::get_if<bool>(&*value)) return *b;
  if (auto i = std::get_if<std::int64_t>(&*value)) return *i != 0;
  if (auto d = std::get_if<double>(&*value)) return *d != 0 && !std::isnan(*d);
  auto text = lowercase(std::get<std::string>(*value));
  if (text == "true" || text == "yes") return true;
  auto number = parseNumber(text);
  return number && *number != 0 && !std::isnan(*number);
}

std::int64_t UserDefaults::integerForKey(std::string_view key) const {
  auto value = objectForKey(key);
  if (!value) return 0;
  if (auto b = std::get_if<bool>(&*value)) return *b ? 1 : 0;
  if (auto i = std::get_if<std::int64_t>(&*value)) return *i;
  if (auto d = std::get_if<double>(&*value)) return truncateToInteger(*d);
  const auto& text = std::get<std::string>(*value);
  std::int64_t exact = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), exact);
  if (ec == std::errc() && end == text.data() + text.size()) return exact;
  auto number = parseNumber(text);
  return number ? truncateToInteger(*number) : 0;
}

double UserDefaults::doubleForKey(std::string_view key) const {
  auto value = objectForKey(key);
  if (!value) return 0;
  if (auto b = std::get_if<bool>(&*value)) return *b ? 1 : 0;
  if (auto i = std::get_if<std::int64_t>(&*value)) return static_cast<double>(*i);
  if (auto d = std::get_if<double>(&*value)) return *d;
  return parseNumber(std::get<std::string>(*value)).value_or(0);
}

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) const {
  auto value = objectForKey(key);
  if (!value) return std::nullopt;
  if (auto s = std::get_if<std::string>(&*value)) return *s;
  if (auto b = std::get_if<bool>(&*value)) return std::string(*b ? "1" : "0");
  if (auto i = std::get_if<std::int64_t>(&*value)) return fmt::format("{}", *i);
  return fmt::format("{}", std::get<double>(*value));
}

void UserDefaults::setBool(bool value, std::string_view key) {
  std::lock_guard lock(mutex_);
  storeLocked(key, Value(value));
}

void UserDefaults::setInteger(std::int64_t value, std::string_view key) {
  std::lock_guard lock(mutex_);
  storeLocked(key, Value(value));
}

void UserDefaults::setDouble(double value, std::string_view key) {
  std::lock_guard lock(mutex_);
  if (!std::isfinite(value)) {
    // JSON has no such numbers; storing one would make the whole file unreadable.
    log(fmt::format("User defaults: not storing the non-finite value for \"{}\"", key));
    return;
  }
  storeLocked(key, Value(value));
}

void UserDefaults::setString(std::string value, std::string_view key) {
  std::lock_guard lock(mutex_);
  if (!isJsonText(value)) {
    // Text that is not UTF-8 cannot be written as JSON; refusing it keeps the file readable.
    log(fmt::format("User defaults: not storing text that is not UTF-8 for \"{}\"", key));
    return;
  }
  storeLocked(key, Value(std::move(value)));
}

void UserDefaults::removeObjectForKey(std::string_view key) {
  std::lock_guard lock(mutex_);
  storeLocked(key, std::nullopt);
}

}  // namespace platform
