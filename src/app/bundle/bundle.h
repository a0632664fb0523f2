#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/coding/value.h"

namespace app {

// A folder of resources: the application's own (beside the executable), or one language
// folder opened on its own. It holds `Info.json` (the information dictionary), language folders
// `<code>.lproj` with tables `<name>.strings`, and images under `images/`.
class Bundle {
 public:
  // The folder as a bundle; nothing when it is not a folder.
  static std::shared_ptr<const Bundle> atPath(const std::filesystem::path& path);

  // The application's bundle: the folder named by TOVARINE_RESOURCES, else `resources` beside
  // the executable (a build tree), else `../share/tovarine` from the executable's folder (an
  // installed copy). Resolved once.
  static std::shared_ptr<const Bundle> main();
  // Replaces the main bundle (tests); nothing resolves it again.
  static void setMain(std::shared_ptr<const Bundle> bundle);

  const std::filesystem::path& bundlePath() const { return path_; }

  // Read once when the bundle is made; nothing when the file is missing or not a JSON object.
  const std::optional<platform::Value::Dictionary>& infoDictionary() const { return info_; }
  // A text entry of the information dictionary; nothing when missing or of another type.
  std::optional<std::string> infoText(const std::string& key) const;

  // The path of `<name>.<type>` directly in the bundle, when it exists. For the type "lproj"
  // with an empty name: the first language folder (in name order), as the platform answers.
  std::optional<std::filesystem::path> pathForResource(std::string_view name,
                                                       std::string_view type) const;
  // The language codes the bundle has folders for, in name order.
  std::vector<std::string> localizations() const;

  // The text of `key` in the table `table` ("Localizable" when empty): the table lying directly
  // in this folder (a language folder opened as a bundle), else the one of the first language in
  // `languages` that the bundle has. When no table has the key: `value` unless it is empty,
  // else the key itself.
  std::string localizedString(const std::string& key, const std::string& value = {},
                              const std::string& table = {},
                              const std::vector<std::string>& languages = {}) const;

  // The image file named `name` (an SVG drawing or a PNG bitmap) under `images/`.
  std::optional<std::filesystem::path> imagePath(std::string_view name) const;

 private:
  explicit Bundle(std::filesystem::path path);
  const std::map<std::string, std::string>* table(const std::filesystem::path& file) const;

  std::filesystem::path path_;
  std::optional<platform::Value::Dictionary> info_;
  mutable std::mutex tablesMutex_;
  // Tables already read (an unreadable one is remembered as empty).
  mutable std::map<std::filesystem::path, std::map<std::string, std::string>> tables_;
};

using BundlePtr = std::shared_ptr<const Bundle>;

}  // namespace app
