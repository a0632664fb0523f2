#include "platform/display/x11/x_connection.h"

#include <algorithm>

#include <pthread.h>
#include <sys/uio.h>
#include <xcb/xcbext.h>

#include <cstring>
#include <ctime>

namespace platform::x11 {

std::expected<std::unique_ptr<Connection>, std::string> Connection::open(
    const std::string& displayName) {
  if (displayName.empty()) return std::unexpected("No X server is configured");
  SigpipeGuard guard;
  int screenNumber = 0;
  xcb_connection_t* connection = xcb_connect(displayName.c_str(), &screenNumber);
  if (xcb_connection_has_error(connection)) {
    xcb_disconnect(connection);
    return std::unexpected("Cannot connect to the X server " + displayName);
  }
  auto iterator = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int i = 0; i < screenNumber && iterator.rem > 0; ++i)
    xcb_screen_next(&iterator);
  if (iterator.rem == 0 || iterator.data == nullptr) {
    xcb_disconnect(connection);
    return std::unexpected("The X server " + displayName + " has no screen");
  }
  return std::unique_ptr<Connection>(new Connection(connection, iterator.data, displayName));
}

Connection::Connection(xcb_connection_t* connection, xcb_screen_t* screen, std::string displayName)
    : connection_(connection), screen_(screen), displayName_(std::move(displayName)) {}

Connection::~Connection() {
  SigpipeGuard guard;
  xcb_disconnect(connection_);
}

std::optional<std::uint8_t> Connection::randrFirstEvent() {
  const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection_, &xcb_randr_id);
  if (extension == nullptr || !extension->present) return std::nullopt;
  return extension->first_event;
}

bool Connection::hasMonitors() {
  if (hasMonitors_) return *hasMonitors_;
  SigpipeGuard guard;
  bool result = false;
  if (randrFirstEvent()) {
    Reply<xcb_randr_query_version_reply_t> version(xcb_randr_query_version_reply(
        connection_, xcb_randr_query_version(connection_, 1, 6), nullptr));
    result = version && (version->major_version > 1 ||
                         (version->major_version == 1 && version->minor_version >= 5));
  }
  hasMonitors_ = result;
  return result;
}

std::optional<Connection::ScreenSize> Connection::currentScreenSize() {
  SigpipeGuard guard;
  Reply<xcb_get_geometry_reply_t> geometry(
      xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, root()), nullptr));
  if (!geometry) return std::nullopt;
  ScreenSize size;
  size.width = geometry->width;
  size.height = geometry->height;
  // The setup block holds the size the screen had when we connected; scale its millimetres
  // in case the screen changed since.
  const double mmPerPixelX = screen_->width_in_pixels
                                 ? double(screen_->width_in_millimeters) / screen_->width_in_pixels
                                 : 0.0;
  const double mmPerPixelY =
      screen_->height_in_pixels ? double(screen_->height_in_millimeters) / screen_->height_in_pixels
                                : 0.0;
  size.widthInMillimeters = static_cast<std::uint32_t>(size.width * mmPerPixelX + 0.5);
  size.heightInMillimeters = static_cast<std::uint32_t>(size.height * mmPerPixelY + 0.5);
  return size;
}

std::optional<std::vector<Monitor>> Connection::monitors(bool activeOnly) {
  if (!hasMonitors()) return std::nullopt;
  SigpipeGuard guard;
  Reply<xcb_randr_get_monitors_reply_t> reply(xcb_randr_get_monitors_reply(
      connection_, xcb_randr_get_monitors(connection_, root(), activeOnly ? 1 : 0), nullptr));
  if (!reply) return std::nullopt;
  std::vector<Monitor> result;
  for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
       xcb_randr_monitor_info_next(&it)) {
    const xcb_randr_monitor_info_t* info = it.data;
    Monitor monitor;
    monitor.name = info->name;
    monitor.primary = info->primary != 0;
    monitor.automatic = info->automatic != 0;
    monitor.x = info->x;
    monitor.y = info->y;
    monitor.width = info->width;
    monitor.height = info->height;
    monitor.widthInMillimeters = info->width_in_millimeters;
    monitor.heightInMillimeters = info->height_in_millimeters;
    const xcb_randr_output_t* outputs = xcb_randr_monitor_info_outputs(info);
    monitor.outputs.assign(outputs, outputs + xcb_randr_monitor_info_outputs_length(info));
    result.push_back(std::move(monitor));
  }
  return result;
}

std::string Connection::atomName(xcb_atom_t atom) {
  SigpipeGuard guard;
  Reply<xcb_get_atom_name_reply_t> reply(
      xcb_get_atom_name_reply(connection_, xcb_get_atom_name(connection_, atom), nullptr));
  if (!reply) return {};
  return std::string(xcb_get_atom_name_name(reply.get()),
                     static_cast<std::size_t>(xcb_get_atom_name_name_length(reply.get())));
}

std::optional<xcb_atom_t> Connection::internAtom(std::string_view name, bool onlyIfExists) {
  if (name.size() > 0xffff) return std::nullopt;
  SigpipeGuard guard;
  Reply<xcb_intern_atom_reply_t> reply(
      xcb_intern_atom_reply(connection_,
                            xcb_intern_atom(connection_, onlyIfExists ? 1 : 0,
                                            static_cast<std::uint16_t>(name.size()), name.data()),
                            nullptr));
  if (!reply || reply->atom == XCB_ATOM_NONE) return std::nullopt;
  return reply->atom;
}

std::optional<std::string> Connection::rootTextProperty(xcb_atom_t property, std::size_t maxBytes) {
  SigpipeGuard guard;
  const std::uint32_t words =
      static_cast<std::uint32_t>(std::min<std::size_t>(maxBytes / 4 + 1, 1u << 20));
  Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
      connection_, xcb_get_property(connection_, 0, root(), property, XCB_ATOM_STRING, 0, words),
      nullptr));
  if (!reply) return std::nullopt;
  if (reply->type == XCB_ATOM_NONE) return std::string();
  if (reply->type != XCB_ATOM_STRING || reply->format != 8 || reply->bytes_after != 0) {
    return std::nullopt;
  }
  const int length = xcb_get_property_value_length(reply.get());
  if (length < 0 || static_cast<std::size_t>(length) > maxBytes) return std::nullopt;
  const auto* bytes = static_cast<const char*>(xcb_get_property_value(reply.get()));
  return std::string(bytes, static_cast<std::size_t>(length));
}

bool Connection::setRootTextProperty(xcb_atom_t property, std::string_view text) {
  SigpipeGuard guard;
  if (text.empty()) return check(xcb_delete_property_checked(connection_, root(), property));
  return check(xcb_change_property_checked(connection_, XCB_PROP_MODE_REPLACE, root(), property,
                                           XCB_ATOM_STRING, 8,
                                           static_cast<std::uint32_t>(text.size()), text.data()));
}

std::optional<std::string> Connection::outputName(xcb_randr_output_t output) {
  SigpipeGuard guard;
  Reply<xcb_randr_get_output_info_reply_t> reply(xcb_randr_get_output_info_reply(
      connection_, xcb_randr_get_output_info(connection_, output, XCB_CURRENT_TIME), nullptr));
  if (!reply) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(xcb_randr_get_output_info_name(reply.get())),
                     static_cast<std::size_t>(xcb_randr_get_output_info_name_length(reply.get())));
}

bool Connection::check(xcb_void_cookie_t cookie) {
  SigpipeGuard guard;
  Reply<xcb_generic_error_t> error(xcb_request_check(connection_, cookie));
  return !error && !hasError();
}

bool Connection::setMonitor(const Monitor& monitor) {
  if (!hasMonitors()) return false;
  SigpipeGuard guard;
  // Request header (opcodes and length are filled in by xcb) followed by the window, then the
  // monitor description with its outputs.
  struct {
    std::uint8_t majorOpcode;
    std::uint8_t minorOpcode;
    std::uint16_t length;
    xcb_window_t window;
  } header{};
  header.window = root();
  xcb_randr_monitor_info_t info{};
  info.name = monitor.name;
  info.primary = monitor.primary ? 1 : 0;
  info.automatic = monitor.automatic ? 1 : 0;
  info.nOutput = static_cast<std::uint16_t>(monitor.outputs.size());
  info.x = monitor.x;
  info.y = monitor.y;
  info.width = monitor.width;
  info.height = monitor.height;
  info.width_in_millimeters = monitor.widthInMillimeters;
  info.height_in_millimeters = monitor.heightInMillimeters;

  // xcb_send_request may write the two slots in front of the vector it is given.
  struct iovec parts[5] = {};
  parts[2].iov_base = &header;
  parts[2].iov_len = sizeof header;
  parts[3].iov_base = &info;
  parts[3].iov_len = sizeof info;
  parts[4].iov_base = const_cast<xcb_randr_output_t*>(monitor.outputs.data());
  parts[4].iov_len = monitor.outputs.size() * sizeof(xcb_randr_output_t);
  xcb_protocol_request_t request{};
  request.count = 3;
  request.ext = &xcb_randr_id;
  request.opcode = XCB_RANDR_SET_MONITOR;
  request.isvoid = 1;
  xcb_void_cookie_t cookie{xcb_send_request(connection_, XCB_REQUEST_CHECKED, parts + 2, &request)};
  return check(cookie);
}

bool Connection::deleteMonitor(xcb_atom_t name) {
  if (!hasMonitors()) return false;
  return check(xcb_randr_delete_monitor_checked(connection_, root(), name));
}

bool Connection::setScreenSize(const ScreenSize& size) {
  if (!randrFirstEvent()) return false;
  return check(xcb_randr_set_screen_size_checked(connection_, root(), size.width, size.height,
                                                 size.widthInMillimeters,
                                                 size.heightInMillimeters));
}

std::optional<xcb_randr_output_t> Connection::primaryOutput() {
  if (!randrFirstEvent()) return std::nullopt;
  SigpipeGuard guard;
  Reply<xcb_randr_get_output_primary_reply_t> reply(xcb_randr_get_output_primary_reply(
      connection_, xcb_randr_get_output_primary(connection_, root()), nullptr));
  if (!reply) return std::nullopt;
  return reply->output;
}

bool Connection::setPrimaryOutput(xcb_randr_output_t output) {
  if (!randrFirstEvent()) return false;
  return check(xcb_randr_set_output_primary_checked(connection_, root(), output));
}

std::optional<Connection::SizeRange> Connection::screenSizeRange() {
  if (!randrFirstEvent()) return std::nullopt;
  SigpipeGuard guard;
  Reply<xcb_randr_get_screen_size_range_reply_t> reply(xcb_randr_get_screen_size_range_reply(
      connection_, xcb_randr_get_screen_size_range(connection_, root()), nullptr));
  if (!reply) return std::nullopt;
  return SizeRange{reply->min_width, reply->min_height, reply->max_width, reply->max_height};
}

ServerGrab::ServerGrab(Connection& connection) : connection_(connection) {
  SigpipeGuard guard;
  xcb_grab_server(connection_.get());
}

ServerGrab::~ServerGrab() {
  SigpipeGuard guard;
  xcb_ungrab_server(connection_.get());
  xcb_flush(connection_.get());
}

bool isBuiltinOutputName(std::string_view name) {
  // The names drivers give to laptop and tablet panels.
  for (std::string_view prefix : {"eDP", "LVDS", "DSI"}) {
    if (name.substr(0, prefix.size()) == prefix) return true;
  }
  return false;
}

}  // namespace platform::x11
