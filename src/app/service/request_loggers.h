#pragma once

#include <optional>
#include <string>

#include "halyard/core/data_request.h"
#include "halyard/core/event_monitor.h"

namespace app {

// Prints a framed "[API]" block when a request is resumed and when its response has been
// parsed. A debugging aid a session can be given; the application does not install it. Every
// header is printed as it is, credentials included.
//
// Nothing from the network reaches the console raw: control characters of bodies and error
// texts are written as escapes such as \u{1B}, and header names and values are quoted string
// literals, so a body can neither move the cursor nor retitle the terminal.
class HalyardEventMonitor : public halyard::EventMonitor {
 public:
  void requestDidResume(const std::shared_ptr<halyard::Request>& request) override;
  void requestDidParseResponse(
      const std::shared_ptr<halyard::DataRequest>& request,
      const halyard::DataResponse<std::optional<platform::Bytes>>& response) override;
  void requestDidParseResponseValue(
      const std::shared_ptr<halyard::DataRequest>& request,
      const halyard::DataResponse<halyard::AnyValue>& response) override;

  // The blocks, without the leading check mark.
  static std::string requestBlock(const halyard::Request& request);
  static std::string responseBlock(
      const halyard::DataResponse<std::optional<platform::Bytes>>& response, bool withBody);
  static std::string responseBlock(const halyard::DataResponse<halyard::AnyValue>& response);
};

// The same two hooks, composing a line each and writing it nowhere.
class DefaultEventMonitor : public halyard::EventMonitor {
 public:
  void requestDidResume(const std::shared_ptr<halyard::Request>& request) override;
  void requestDidParseResponse(
      const std::shared_ptr<halyard::DataRequest>& request,
      const halyard::DataResponse<std::optional<platform::Bytes>>& response) override;

  static std::string requestStartedText(const halyard::Request& request);
  static std::string responseReceivedText(
      const halyard::DataResponse<std::optional<platform::Bytes>>& response);
};

// Texts of the blocks, exposed for tests.
namespace request_log_text {
// The current date in the user's region, in the full date and time style.
std::string dateText();
// ["Name": "value", …] in name order, each a quoted literal; "[:]" when empty.
std::string headerText(const platform::HTTPHeaderFields& fields);
// UTF-8 (ill-formed sequences replaced), without "\n" and "\t", other controls escaped.
std::string bodyText(const std::optional<platform::Bytes>& bytes);
// Control characters escaped as \u{…}.
std::string escapeControls(const std::string& text);
}  // namespace request_log_text

}  // namespace app
