#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace platform {

// A small typed key-value store that survives restarts: one JSON object in a file, rewritten
// atomically (temporary file, then rename) on every change, so a crash never leaves half a
// file behind. Registered defaults answer for keys the file does not hold and are never saved.
//
// Readers convert the way the settings of a desktop application are usually read: a missing
// key or a value of an unrelated type gives false, 0, 0.0 or no string.
//
// Thread-safe: every operation takes one lock, writes included, so the file always reflects
// the latest change.
class UserDefaults {
 public:
  using Value = std::variant<bool, std::int64_t, double, std::string>;

  // The process-wide instance, backed by $XDG_CONFIG_HOME/tovarine/defaults.json
  // (~/.config/tovarine/defaults.json when XDG_CONFIG_HOME is unset or not absolute).
  static UserDefaults& standard();
  static std::filesystem::path standardFile();

  // Points the standard instance at `directory`/defaults.json (for tests), or back at the
  // usual file when `directory` is empty. The values are read again from the new file;
  // registered defaults stay.
  static void setStandardDirectory(std::optional<std::filesystem::path> directory);

  explicit UserDefaults(std::filesystem::path file);
  UserDefaults(const UserDefaults&) = delete;
  UserDefaults& operator=(const UserDefaults&) = delete;

  std::filesystem::path file() const;

  // Adds defaults for the keys given (a later registration of the same key wins).
  void registerDefaults(const std::map<std::string, Value>& defaults);

  bool boolForKey(std::string_view key) const;
  std::int64_t integerForKey(std::string_view key) const;
  double doubleForKey(std::string_view key) const;
  std::optional<std::string> stringForKey(std::string_view key) const;
  // The stored value, else the registered default, else nothing.
  std::optional<Value> objectForKey(std::string_view key) const;

  // Stores and saves. A failed save is logged; the value is kept for this process.
  void setBool(bool value, std::string_view key);
  void setInteger(std::int64_t value, std::string_view key);
  void setDouble(double value, std::string_view key);
  void setString(std::string value, std::string_view key);
  void removeObjectForKey(std::string_view key);

  // Reads the file again, dropping what this process knows of it.
  void reload();

 private:
  void relocate(std::filesystem::path file);
  void loadLocked();
  void storeLocked(std::string_view key, std::optional<Value> value);
  bool saveLocked();
  std::optional<Value> lookupLocked(std::string_view key) const;

  mutable std::mutex mutex_;
  std::filesystem::path file_;
  std::map<std::string, Value, std::less<>> values_;
  std::map<std::string, Value, std::less<>> registered_;
  // Values of kinds this store does not read (arrays, objects, ...), as JSON text, so that a
  // save keeps them.
  std::map<std::string, std::string, std::less<>> foreign_;
  // Set when the file on disk could not be read: it is kept aside before the first save
  // instead of being overwritten.
  bool unreadableFile_ = false;
};

}  // namespace platform
