#pragma once

namespace platform {

// Posted on the default notification centre, on the main queue, when the set of displays or
// their geometry changes: the RandR configuration of the running X server changed, or a
// display with a server of its own appeared or went away.
inline constexpr const char* kScreenParametersDidChangeNotification =
    "platform.display.screenParametersDidChange";

// Starts watching the X server of the current display environment (a no-op when it is already
// watched or there is none). Once this returns, every later change is posted. A server that
// goes away ends the watch.
void startScreenParametersNotifications();
// Ends the watch (tests, before their X server ends).
void stopScreenParametersNotifications();

// Posts the notification on the main queue.
void postScreenParametersChanged();

}  // namespace platform
