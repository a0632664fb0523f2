#include "app/bundle/bundle.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include "app/bundle/strings_table.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/log.h"

namespace app {
namespace {

namespace fs = std::filesystem;

// Resource files are small; anything larger is not one of ours.
constexpr std::uintmax_t kMaxResourceFileBytes = 4u << 20;

std::optional<std::string> readSmallFile(const fs::path& file) {
  std::error_code ec;
  const auto size = fs::file_size(file, ec);
  if (ec || size > kMaxResourceFileBytes) return std::nullopt;
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::mutex mainMutex;
BundlePtr mainBundle;

}  // namespace

Bundle::Bundle(fs::path path) : path_(std::move(path)) {
  if (auto text = readSmallFile(path_ / "Info.json")) {
    auto value = platform::decodeJSON(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(text->data()), text->size()));
    if (value && value->asDictionary()) {
      info_ = *value->asDictionary();
    } else {
      platform::log("Bundle: " + (path_ / "Info.json").string() + " is not a JSON object");
    }
  }
}

BundlePtr Bundle::atPath(const fs::path& path) {
  std::error_code ec;
  if (path.empty() || !fs::is_directory(path, ec)) return nullptr;
  return BundlePtr(new Bundle(path));
}

BundlePtr Bundle::main() {
  std::lock_guard lock(mainMutex);
  if (mainBundle) return mainBundle;
  if (auto bundle = atPath(platform::mainBundlePath())) return mainBundle = bundle;
  // No resources anywhere: an empty bundle, so every lookup answers its key.
  platform::log("Bundle: no resource folder found; texts will show their keys");
  mainBundle = BundlePtr(new Bundle(fs::path()));
  return mainBundle;
}

void Bundle::setMain(BundlePtr bundle) {
  std::lock_guard lock(mainMutex);
  mainBundle = std::move(bundle);
}

std::optional<std::string> Bundle::infoText(const std::string& key) const {
  if (!info_) return std::nullopt;
  auto it = info_->find(key);
  if (it == info_->end()) return std::nullopt;
  if (auto text = it->second.asString()) return *text;
  return std::nullopt;
}

std::vector<std::string> Bundle::localizations() const {
  std::vector<std::string> codes;
  std::error_code ec;
  if (path_.empty()) return codes;
  for (fs::directory_iterator it(path_, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path& p = it->path();
    if (p.extension() == ".lproj" && it->is_directory(ec)) codes.push_back(p.stem().string());
  }
  std::sort(codes.begin(), codes.end());
  return codes;
}

std::optional<fs::path> Bundle::pathForResource(std::string_view name,
                                                std::string_view type) const {
  if (path_.empty()) return std::nullopt;
  if (name.empty() && type == "lproj") {
    auto codes = localizations();
    if (codes.empty()) return std::nullopt;
    return path_ / (codes.front() + ".lproj");
  }
  // A name is one file of this folder, never a path leading elsewhere.
  if (name.empty() || name.find('/') != std::string_view::npos || name == "." || name == "..") {
    return std::nullopt;
  }
  fs::path file = path_ / std::string(name);
  if (!type.empty()) file += "." + std::string(type);
  std::error_code ec;
  if (!fs::exists(file, ec)) return std::nullopt;
  return file;
}

const std::map<std::string, std::string>* Bundle::table(const fs::path& file) const {
  std::lock_guard lock(tablesMutex_);
  auto it = tables_.find(file);
  if (it != tables_.end()) return &it->second;
  std::map<std::string, std::string> entries;
  std::error_code ec;
  if (fs::exists(file, ec)) {
    if (auto text = readSmallFile(file)) {
      if (auto parsed = parseStringsTable(*text)) {
        entries = std::move(*parsed);
      } else {
        platform::log("Bundle: cannot read " + file.string() + ": " + parsed.error());
      }
    }
  }
  return &tables_.emplace(file, std::move(entries)).first->second;
}

std::string Bundle::localizedString(const std::string& key, const std::string& value,
                                    const std::string& tableName,
                                    const std::vector<std::string>& languages) const {
  const std::string fileName =
      (tableName.empty() ? std::string("Localizable") : tableName) + ".strings";
  std::vector<fs::path> files;
  if (!path_.empty()) {
    files.push_back(path_ / fileName);
    for (const auto& language : languages) {
      if (auto folder = pathForResource(language, "lproj")) files.push_back(*folder / fileName);
    }
  }
  for (const auto& file : files) {
    std::error_code ec;
    if (!fs::exists(file, ec)) continue;
    const auto* entries = table(file);
    if (auto it = entries->find(key); it != entries->end()) return it->second;
    // The first table that exists answers, as the platform does: a language whose table lacks
    // the key does not borrow another language's text.
    break;
  }
  return value.empty() ? key : value;
}

std::optional<fs::path> Bundle::imagePath(std::string_view name) const {
  if (path_.empty() || name.empty() || name.find('/') != std::string_view::npos) return {};
  for (const char* extension : {".svg", ".png"}) {
    fs::path file = path_ / "images" / (std::string(name) + extension);
    std::error_code ec;
    if (fs::exists(file, ec)) return file;
  }
  return std::nullopt;
}

}  // namespace app
