#include "app/service/request_loggers.h"

#include <fmt/format.h>

#include <map>

#include "almanac/date_in_region.h"
#include "almanac/date_styles.h"
#include "almanac/region.h"
#include "platform/foundation/log.h"
#include "platform/foundation/quoting_style.h"
#include "platform/foundation/utf8.h"

namespace app {

namespace request_log_text {

namespace {

const std::string kRule = "[API] ----------------------------";

std::string requestHeaders(const std::optional<platform::URLRequest>& request) {
  if (!request) return "NONE";
  return headerText(request->allHTTPHeaderFields().value_or(platform::HTTPHeaderFields()));
}

template <class Response>
std::string responseBlockOf(const Response& response, const std::optional<std::string>& body) {
  const auto& metrics = response.metrics;
  const bool fromCache =
      metrics && !metrics->transactionMetrics.empty() &&
      metrics->transactionMetrics.front().resourceFetchType ==
          platform::URLSessionTaskTransactionMetrics::ResourceFetchType::localCache;
  std::string url;
  if (response.request && response.request->url) url = response.request->url->absoluteString();
  std::string error;
  if (!response.result) error = escapeControls(response.result.error().errorDescription());
  std::string text =
      kRule + "\n[API] RESPONSE DATE: [" + dateText() + "]\n[API] RESPONSE FROM: [" +
      (fromCache ? "CACHE" : "SERVER") + "]\n[API] RESPONSE: [" +
      std::to_string(response.response ? response.response->statusCode() : 0) + "] " + url +
      "\n[API] RESPONSE ERROR: [" + error + "]\n[API] HEADER: " +
      (response.response ? headerText(response.response->allHeaderFields()) : std::string("NONE"));
  if (body) text += "\n[API] BODY: " + *body;
  return text + "\n" + kRule;
}

}  // namespace

std::string dateText() {
  const almanac::DateInRegion now(platform::Date::now(), almanac::Region::systemSettings());
  return now.string(almanac::DateToStringStyles::dateTime(platform::DateFormatter::Style::full));
}

std::string headerText(const platform::HTTPHeaderFields& fields) {
  if (fields.empty()) return "[:]";
  std::map<std::string, std::string> sorted(fields.begin(), fields.end());
  std::string text = "[";
  for (const auto& [name, value] : sorted) {
    if (text.size() > 1) text += ", ";
    // Header texts come from the network: C1 controls are escaped too.
    const platform::QuotingStyle style{.c1Controls = true};
    text += platform::quoted(name, style) + ": " + platform::quoted(value, style);
  }
  return text + "]";
}

std::string escapeControls(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    // Ill-formed bytes pass as they are: none of them is a control character.
    const auto character = platform::utf8::sequenceAt(text, i);
    if (platform::utf8::isControlCodePoint(character.codePoint)) {
      platform::utf8::appendCodePointEscape(out, character.codePoint);
    } else {
      out.append(text, i, character.length);
    }
    i += character.length;
  }
  return out;
}

std::string bodyText(const std::optional<platform::Bytes>& bytes) {
  if (!bytes) return "";
  std::string text = platform::utf8::decodeLossy(*bytes);
  std::erase(text, '\n');
  std::erase(text, '\t');
  return escapeControls(text);
}

}  // namespace request_log_text

namespace text = request_log_text;

std::string HalyardEventMonitor::requestBlock(const halyard::Request& request) {
  const auto urlRequest = request.currentRequest();
  return text::kRule + "\n[API] REQUEST DATE: " + text::dateText() +
         "\n[API] REQUEST: " + request.description() +
         "\n[API] HEADER: " + text::requestHeaders(urlRequest) +
         "\n[API] BODY: " + text::bodyText(urlRequest ? urlRequest->httpBody : std::nullopt) +
         "\n" + text::kRule;
}

std::string HalyardEventMonitor::responseBlock(
    const halyard::DataResponse<std::optional<platform::Bytes>>& response, bool withBody) {
  return text::responseBlockOf(
      response, withBody ? std::optional(text::bodyText(response.data)) : std::nullopt);
}

std::string HalyardEventMonitor::responseBlock(
    const halyard::DataResponse<halyard::AnyValue>& response) {
  return text::responseBlockOf(response, text::bodyText(response.data));
}

void HalyardEventMonitor::requestDidResume(const std::shared_ptr<halyard::Request>& request) {
  platform::print("✅ " + requestBlock(*request));
}

void HalyardEventMonitor::requestDidParseResponse(
    const std::shared_ptr<halyard::DataRequest>&,
    const halyard::DataResponse<std::optional<platform::Bytes>>& response) {
  platform::print("✅ " + responseBlock(response, false));
}

void HalyardEventMonitor::requestDidParseResponseValue(
    const std::shared_ptr<halyard::DataRequest>&,
    const halyard::DataResponse<halyard::AnyValue>& response) {
  platform::print("✅ " + responseBlock(response));
}

std::string DefaultEventMonitor::requestStartedText(const halyard::Request& request) {
  const auto urlRequest = request.currentRequest();
  const bool hasBody = urlRequest && urlRequest->httpBody;
  return "Request Started: " + request.description() + "\nBody Data: " +
         (hasBody ? platform::utf8::decodeLossy(*urlRequest->httpBody) : std::string("None"));
}

std::string DefaultEventMonitor::responseReceivedText(
    const halyard::DataResponse<std::optional<platform::Bytes>>& response) {
  return "Response Received " + response.debugDescription();
}

void DefaultEventMonitor::requestDidResume(const std::shared_ptr<halyard::Request>& request) {
  [[maybe_unused]] const auto text = requestStartedText(*request);
}

void DefaultEventMonitor::requestDidParseResponse(
    const std::shared_ptr<halyard::DataRequest>&,
    const halyard::DataResponse<std::optional<platform::Bytes>>& response) {
  [[maybe_unused]] const auto text = responseReceivedText(response);
}

}  // namespace app
