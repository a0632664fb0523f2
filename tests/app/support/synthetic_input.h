#pragma once

// Pointer input for tests that drive the real application on a private X server: the X Test
// extension moves the pointer and presses buttons as if a person did, so the events reach the
// application through the server like any others.

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <QPoint>
#include <QRect>
#include <cstdlib>
#include <optional>
#include <string>

namespace app::test {

class SyntheticPointer {
 public:
  explicit SyntheticPointer(const std::string& display) {
    connection_ = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(connection_)) {
      xcb_disconnect(connection_);
      connection_ = nullptr;
      return;
    }
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    const xcb_query_extension_reply_t* extension =
        xcb_get_extension_data(connection_, &xcb_test_id);
    hasExtension_ = extension && extension->present;
  }
  ~SyntheticPointer() {
    if (connection_) xcb_disconnect(connection_);
  }
  SyntheticPointer(const SyntheticPointer&) = delete;
  SyntheticPointer& operator=(const SyntheticPointer&) = delete;

  // Connected to a server that has the extension.
  bool usable() const { return connection_ && hasExtension_; }

  // Moves the pointer to `point` (screen coordinates), then presses and releases the left
  // button there. Answers once the server has handled all three, so whatever the test looks at
  // next happens after the click was delivered.
  bool click(QPoint point) {
    if (!usable()) return false;
    fake(XCB_MOTION_NOTIFY, 0, point);
    fake(XCB_BUTTON_PRESS, 1, point);
    fake(XCB_BUTTON_RELEASE, 1, point);
    return sync();
  }

  // Where the pointer is now, in screen coordinates.
  std::optional<QPoint> position() {
    if (!connection_) return std::nullopt;
    auto reply = xcb_query_pointer_reply(connection_, xcb_query_pointer(connection_, screen_->root),
                                         nullptr);
    if (!reply) return std::nullopt;
    const QPoint where(reply->root_x, reply->root_y);
    free(reply);
    return where;
  }

 private:
  void fake(uint8_t type, uint8_t detail, QPoint point) {
    xcb_test_fake_input(connection_, type, detail, XCB_CURRENT_TIME, screen_->root,
                        static_cast<int16_t>(point.x()), static_cast<int16_t>(point.y()), XCB_NONE);
  }

  // A round trip: every request sent before it has been processed when it returns.
  bool sync() {
    auto reply = xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr);
    const bool ok = reply != nullptr;
    free(reply);
    return ok;
  }

  xcb_connection_t* connection_ = nullptr;
  xcb_screen_t* screen_ = nullptr;
  bool hasExtension_ = false;
};

}  // namespace app::test
