#pragma once

// Pointer input for tests that drive the real application on a private X server: the X Test
// extension moves the pointer and presses buttons as if a person did, so the events reach the
// application through the server like any others.

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <QPoint>
#include <QRect>
#include <memory>
#include <optional>
#include <string>

#include "platform/display/x11/x_connection.h"

namespace app::test {

class SyntheticPointer {
 public:
  explicit SyntheticPointer(const std::string& display) {
    auto connection = platform::x11::Connection::open(display);
    if (!connection) return;
    x_ = std::move(*connection);
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(x_->get(), &xcb_test_id);
    hasExtension_ = extension && extension->present;
  }

  // Connected to a server that has the extension.
  bool usable() const { return x_ && hasExtension_; }

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
    if (!x_) return std::nullopt;
    platform::x11::Reply<xcb_query_pointer_reply_t> reply(
        xcb_query_pointer_reply(x_->get(), xcb_query_pointer(x_->get(), x_->root()), nullptr));
    if (!reply) return std::nullopt;
    return QPoint(reply->root_x, reply->root_y);
  }

 private:
  void fake(uint8_t type, uint8_t detail, QPoint point) {
    xcb_test_fake_input(x_->get(), type, detail, XCB_CURRENT_TIME, x_->root(),
                        static_cast<int16_t>(point.x()), static_cast<int16_t>(point.y()), XCB_NONE);
  }

  // A round trip: every request sent before it has been processed when it returns.
  bool sync() {
    platform::x11::Reply<xcb_get_input_focus_reply_t> reply(
        xcb_get_input_focus_reply(x_->get(), xcb_get_input_focus(x_->get()), nullptr));
    return reply != nullptr;
  }

  std::unique_ptr<platform::x11::Connection> x_;
  bool hasExtension_ = false;
};

}  // namespace app::test
