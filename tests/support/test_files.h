#pragma once

// Files and bodies for the transfer tests: a directory of the test's own that can stand in for
// TMPDIR, a body whose every offset is told apart from its neighbours, and a comparison that
// names where two long bodies part instead of printing them whole.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>

namespace testsupport {

// Letters in a run that does not repeat at any short period, so a body cut, shifted or
// sent twice from the wrong offset never matches the original.
inline std::string patternedText(std::size_t size) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    text[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return text;
}

inline ::testing::AssertionResult sameBody(const std::string& actual, const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at])
    ++at;
  return ::testing::AssertionFailure() << "bodies differ: " << actual.size() << " bytes against "
                                       << expected.size() << ", first difference at " << at;
}

// The file's bytes; empty when it cannot be read.
inline std::string readFile(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// A fresh directory below /tmp, removed with all it holds at `remove` or at the end.
class TemporaryDirectory {
 public:
  TemporaryDirectory() = default;
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  ~TemporaryDirectory() { remove(); }

  // Makes "/tmp/<name>-XXXXXX"; false when that fails.
  [[nodiscard]] bool create(const std::string& name) {
    std::string path = "/tmp/" + name + "-XXXXXX";
    if (mkdtemp(path.data()) == nullptr) return false;
    path_ = path;
    return true;
  }

  // Points TMPDIR at `below` inside the directory (made if missing), or at the directory
  // itself, until `remove`: what the code under test leaves in temporary files is then told
  // apart from other programs' files, and cleaned up with the directory.
  void redirectTMPDIR(const std::string& below = {}) {
    const std::string target = below.empty() ? path_ : path_ + "/" + below;
    std::filesystem::create_directories(target);
    if (!redirected_) {
      if (const char* old = std::getenv("TMPDIR")) oldTMPDIR_ = old;
      redirected_ = true;
    }
    setenv("TMPDIR", target.c_str(), 1);
  }

  // Puts TMPDIR back as it was and removes the directory. Calling it again does nothing.
  void remove() {
    if (redirected_) {
      if (oldTMPDIR_) {
        setenv("TMPDIR", oldTMPDIR_->c_str(), 1);
      } else {
        unsetenv("TMPDIR");
      }
      oldTMPDIR_.reset();
      redirected_ = false;
    }
    if (!path_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(path_, ignored);
      path_.clear();
    }
  }

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool redirected_ = false;
  std::optional<std::string> oldTMPDIR_;
};

}  // namespace testsupport
