#pragma once

#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/service/free_space.h"
#include "platform/net/url_request.h"

namespace app {

// What the update flow needs of the desktop, so that the flow can be driven without one.

// A panel in which the user picks where to save a file. Shown without blocking; answers once.
class SavePanel {
 public:
  enum class Response : int { cancel = 0, ok = 1 };
  struct Options {
    std::string nameFieldStringValue;
    std::vector<std::string> allowedFileTypes;  // extensions, without the dot
    bool allowsOtherFileTypes = false;
    std::filesystem::path directory;  // where the panel opens; empty: the panel's own choice
  };
  using Completion = std::function<void(Response, std::optional<std::filesystem::path>)>;

  virtual ~SavePanel() = default;
  virtual void begin(const Options& options, Completion completion) = 0;
};

// Why a copy was not made: the reason, and the shortage when the folder had no room for it.
struct WriteFailure {
  std::string reason;
  std::optional<SpaceShortage> shortage;
};

// Puts a copy of a file where the user asked for it.
class FileWriter {
 public:
  virtual ~FileWriter() = default;
  // The copy is either made whole or not left behind.
  virtual std::expected<void, WriteFailure> copy(const std::filesystem::path& source,
                                                 const std::filesystem::path& location) = 0;
};

// Opens a file or an address with the desktop's default handler.
class Workspace {
 public:
  // Runs once, on the main queue: true when a program took the file or address, false when
  // nothing on the desktop opens it.
  using Answer = std::function<void(bool opened)>;

  virtual ~Workspace() = default;
  virtual void open(const std::filesystem::path& file, Answer answered) = 0;
  virtual void openURL(const std::string& address, Answer answered) = 0;
};

// Ends the application (after the current event).
class ApplicationControl {
 public:
  virtual ~ApplicationControl() = default;
  virtual void terminate() = 0;
};

// Tells the user something went wrong; `onDismiss` runs once the user closed the message.
class ErrorAlertPresenter {
 public:
  virtual ~ErrorAlertPresenter() = default;
  virtual void showError(const std::string& title, const std::string& message,
                         std::function<void()> onDismiss) = 0;
};

struct SplashServices {
  std::shared_ptr<SavePanel> savePanel;
  std::shared_ptr<FileWriter> fileWriter;
  std::shared_ptr<Workspace> workspace;
  std::shared_ptr<ApplicationControl> application;
  std::shared_ptr<ErrorAlertPresenter> errorAlerts;
  // Where the save panel may open after a folder proved too small; the system's when unset.
  FreeSpaceSource freeBytes;
};

// Copies piece by piece (an installer may be gigabytes) into a temporary file beside the
// target and renames it into place, so a failed or interrupted copy never leaves a truncated
// installer where the user asked for one.
// A folder without room for the whole file is refused before anything is written, and a
// failed copy is checked against the room left, so a full disk is named as such.
class AtomicFileWriter final : public FileWriter {
 public:
  explicit AtomicFileWriter(FreeSpaceSource freeBytes = systemFreeBytes)
      : freeBytes_(std::move(freeBytes)) {}
  std::expected<void, WriteFailure> copy(const std::filesystem::path& source,
                                         const std::filesystem::path& location) override;

 private:
  FreeSpaceSource freeBytes_;
};

}  // namespace app
