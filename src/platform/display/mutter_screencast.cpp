#include <systemd/sd-bus.h>

#include "platform/display/virtual_display_backend.h"

namespace platform {

bool mutterScreenCastAvailable() {
  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0) return false;
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  int hasOwner = 0;
  const int result = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                        "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s",
                                        "org.gnome.Mutter.ScreenCast");
  if (result >= 0) sd_bus_message_read(reply, "b", &hasOwner);
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_flush_close_unref(bus);
  return result >= 0 && hasOwner;
}

std::expected<std::unique_ptr<VirtualDisplayHandle>, std::string> makeMutterDisplay(
    const VirtualDisplayRequest&) {
  return std::unexpected("GNOME virtual monitors are not available yet");
}

}  // namespace platform
