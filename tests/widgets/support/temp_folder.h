#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace widgets_test {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Sets an environment variable for the life of the object, then restores it.
class ScopedEnvironment {
 public:
  ScopedEnvironment(std::string name, const std::optional<std::string>& value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

// Points the standard user defaults at a temporary folder for the life of the object.
class ScopedStandardDefaults {
 public:
  ScopedStandardDefaults();
  ~ScopedStandardDefaults();
  const std::filesystem::path& folder() const { return folder_.path(); }

 private:
  TempFolder folder_;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& text);

}  // namespace widgets_test
