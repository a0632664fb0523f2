#pragma once

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <signal.h>

#include <cstdint>
#include <cstdlib>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/display/sigpipe_guard.h"

// Thin helpers over xcb shared by the display layer. xcb rather than Xlib: Xlib's default I/O
// error handler exits the process when a server goes away, xcb only reports the error.
namespace platform::x11 {

struct FreeDeleter {
  void operator()(void* pointer) const { std::free(pointer); }
};
// A reply or event as xcb hands it out (malloc'ed).
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// The guard against SIGPIPE every writer to a server socket holds.
using SigpipeGuard = platform::SigpipeGuard;

// One RandR 1.5 monitor.
struct Monitor {
  xcb_atom_t name = XCB_ATOM_NONE;
  bool primary = false;
  bool automatic = false;
  std::int16_t x = 0;
  std::int16_t y = 0;
  std::uint16_t width = 0;
  std::uint16_t height = 0;
  std::uint32_t widthInMillimeters = 0;
  std::uint32_t heightInMillimeters = 0;
  std::vector<xcb_randr_output_t> outputs;
};

// A connection to one X server and its first screen. Not thread-safe: one thread at a time.
class Connection {
 public:
  // Connects to `displayName` (":3"). An empty name is refused rather than falling back to
  // $DISPLAY, so the caller always says which server it means.
  static std::expected<std::unique_ptr<Connection>, std::string> open(
      const std::string& displayName);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  xcb_connection_t* get() const { return connection_; }
  const std::string& displayName() const { return displayName_; }
  xcb_screen_t* screen() const { return screen_; }
  xcb_window_t root() const { return screen_->root; }
  bool hasError() const { return xcb_connection_has_error(connection_) != 0; }

  // Whether the server speaks RandR 1.5 or later (monitors); asked once.
  bool hasMonitors();
  // The first event code of RandR, or nullopt when the server lacks it.
  std::optional<std::uint8_t> randrFirstEvent();

  // The current screen size in pixels and millimetres, read from the server.
  struct ScreenSize {
    std::uint16_t width = 0, height = 0;
    std::uint32_t widthInMillimeters = 0, heightInMillimeters = 0;
  };
  std::optional<ScreenSize> currentScreenSize();

  std::optional<std::vector<Monitor>> monitors(bool activeOnly = true);
  std::string atomName(xcb_atom_t atom);
  // With `onlyIfExists`, nullopt rather than a new atom when the name has none yet.
  std::optional<xcb_atom_t> internAtom(std::string_view name, bool onlyIfExists = false);
  std::optional<std::string> outputName(xcb_randr_output_t output);

  // A text property (type STRING, 8-bit) of the root window: empty when it is not set,
  // nullopt when it cannot be read or is longer than `maxBytes`.
  std::optional<std::string> rootTextProperty(xcb_atom_t property, std::size_t maxBytes);
  // Sets it (deletes it when `text` is empty). Returns whether the server took it.
  bool setRootTextProperty(xcb_atom_t property, std::string_view text);

  // Sends SetMonitor. libxcb 1.15's generated wrapper miscounts its request parts and aborts
  // on an assertion, so the request is assembled here. Returns whether the server took it.
  bool setMonitor(const Monitor& monitor);
  bool deleteMonitor(xcb_atom_t name);
  bool setScreenSize(const ScreenSize& size);
  struct SizeRange {
    std::uint16_t minWidth = 1, minHeight = 1, maxWidth = 0, maxHeight = 0;
  };
  std::optional<SizeRange> screenSizeRange();
  // The primary output, XCB_NONE when none is set; nullopt when it cannot be read.
  std::optional<xcb_randr_output_t> primaryOutput();
  bool setPrimaryOutput(xcb_randr_output_t output);

  // Waits for the reply of a void request sent checked; true when it succeeded.
  bool check(xcb_void_cookie_t cookie);

 private:
  Connection(xcb_connection_t* connection, xcb_screen_t* screen, std::string displayName);

  xcb_connection_t* connection_;
  xcb_screen_t* screen_;
  std::string displayName_;
  std::optional<bool> hasMonitors_;
};

// Holds the server grab while it lives, so a read-modify-write of the screen layout is not
// interleaved with another client's.
class ServerGrab {
 public:
  explicit ServerGrab(Connection& connection);
  ~ServerGrab();
  ServerGrab(const ServerGrab&) = delete;
  ServerGrab& operator=(const ServerGrab&) = delete;

 private:
  Connection& connection_;
};

// Whether an output of this name is a panel built into the machine.
bool isBuiltinOutputName(std::string_view name);

}  // namespace platform::x11
