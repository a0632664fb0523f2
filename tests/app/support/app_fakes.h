#pragma once

// Fakes of the desktop and of the screen-recording permission, shared by the application's
// tests and its tutorial's (header-only: the tutorial tests link none of this folder's sources).

#include <filesystem>
#include <string>
#include <vector>

#include "app/splash/splash_services.h"
#include "app/starting/device_status_source.h"

namespace app::test {

// Records the files and addresses the desktop was asked to open.
class FakeWorkspace final : public Workspace {
 public:
  std::vector<std::filesystem::path> opened;
  std::vector<std::string> openedURLs;
  bool handlerExists = true;  // false: the desktop has nothing that opens a file
  bool open(const std::filesystem::path& file) override {
    opened.push_back(file);
    return handlerExists;
  }
  void openURL(const std::string& address) override { openedURLs.push_back(address); }
};

// A screen-recording permission the test grants or withholds, counting the questions.
class FakePermission : public ScreenCapturePermission {
 public:
  explicit FakePermission(bool grantedAtFirst = true) : granted(grantedAtFirst) {}
  bool granted;
  bool grantOnRequest = false;
  int preflights = 0;
  int requests = 0;
  bool preflight() override {
    ++preflights;
    return granted;
  }
  bool request() override {
    ++requests;
    if (grantOnRequest) granted = true;
    return granted;
  }
};

}  // namespace app::test
