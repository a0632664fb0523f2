#pragma once

// Fakes of the desktop and of the screen-recording permission, shared by the application's
// tests and its tutorial's (header-only: the tutorial tests link none of this folder's sources).

#include <filesystem>
#include <string>
#include <vector>

#include "app/splash/splash_services.h"
#include "app/starting/device_status_source.h"

namespace app::test {

// Records the files and addresses the desktop was asked to open. It answers at once with
// `handlerExists`, or, while `holdAnswers` is set, keeps the answers for the test to give.
class FakeWorkspace final : public Workspace {
 public:
  std::vector<std::filesystem::path> opened;
  std::vector<std::string> openedURLs;
  bool handlerExists = true;  // false: the desktop has nothing that opens a file
  bool holdAnswers = false;
  std::vector<Answer> heldAnswers;
  void open(const std::filesystem::path& file, Answer answered) override {
    opened.push_back(file);
    answer(std::move(answered));
  }
  void openURL(const std::string& address, Answer answered) override {
    openedURLs.push_back(address);
    answer(std::move(answered));
  }

 private:
  void answer(Answer answered) {
    if (holdAnswers) {
      heldAnswers.push_back(std::move(answered));
    } else if (answered) {
      answered(handlerExists);
    }
  }
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
