#include "halyard/core/response.h"

#include <cxxabi.h>

#include <cstdlib>

#include "platform/coding/json_serialization.h"
#include "platform/foundation/utf8.h"

namespace halyard {

std::string unqualifiedTypeName(const std::type_info& type) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string name = status == 0 && demangled != nullptr ? demangled : type.name();
  std::free(demangled);
  // Drop the namespaces of the outermost name only: "app::Box<app::Item>" → "Box<app::Item>".
  const auto templateStart = name.find('<');
  const auto lastQualifier = name.rfind("::", templateStart);
  if (lastQualifier != std::string::npos) name.erase(0, lastQualifier + 2);
  return name;
}

std::string describeDynamicValue(const platform::Value& value) {
  try {
    const auto bytes = platform::JSONSerialization::data(
        value, platform::JSONSerialization::fragmentsAllowedWriting);
    return std::string(bytes.begin(), bytes.end());
  } catch (...) {
    return "Value";
  }
}

namespace response_detail {

namespace {

constexpr std::size_t kPrintableBodyLimit = 100000;

std::string trimmed(std::string text) {
  const char* whitespace = " \t\n\r\v\f";
  const auto first = text.find_first_not_of(whitespace);
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(whitespace);
  return text.substr(first, last - first + 1);
}

HTTPHeaders headersOf(const std::optional<platform::HTTPHeaderFields>& fields) {
  HTTPHeaders headers;
  if (fields) {
    for (const auto& [name, value] : *fields)
      headers.replaceOrAppend(name, value);
  }
  return headers;
}

}  // namespace

std::string indented(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    out += c;
    if (c == '\n') out += "    ";
  }
  return out;
}

std::string describeDuration(double seconds) {
  std::string text = fmt::format("{}", seconds);
  if (text.find_first_of(".eEn") == std::string::npos) text += ".0";
  return text + "s";
}

bool contentTypeIsPrintable(const HTTPHeaders& headers) {
  for (const auto& header : headers) {
    if (lowercasedHeaderName(header.name) != "content-type") continue;
    const auto& value = header.value;
    return value.find("json") != std::string::npos || value.find("xml") != std::string::npos ||
           value.find("text") != std::string::npos;
  }
  return false;
}

std::string describeBodyForDebug(const std::optional<platform::Bytes>& body,
                                 const HTTPHeaders& headers) {
  if (!body || body->empty()) return "[Body]: None";
  if (body->size() <= kPrintableBodyLimit && contentTypeIsPrintable(headers)) {
    return "[Body]:\n    " + indented(trimmed(platform::utf8::decodeLossy(*body)));
  }
  return fmt::format("[Body]: {} bytes", body->size());
}

std::string describeHeadersForDebug(const HTTPHeaders& headers) {
  if (headers.empty()) return "[Headers]: None";
  return "[Headers]:\n    " + indented(headers.sortedByName().description());
}

std::string describeRequestForDebug(const platform::URLRequest& request) {
  const HTTPHeaders headers = headersOf(request.allHTTPHeaderFields());
  return "[Request]: " + request.httpMethod.value_or("GET") + " " +
         (request.url ? request.url->absoluteString() : std::string("nil")) + "\n    " +
         indented(describeHeadersForDebug(headers)) + "\n    " +
         indented(describeBodyForDebug(request.httpBody, headers));
}

namespace {

HTTPHeaders headersOfResponse(const platform::HTTPURLResponse& response) {
  HTTPHeaders headers;
  for (const auto& [name, value] : response.allHeaderFields())
    headers.replaceOrAppend(name, value);
  return headers;
}

}  // namespace

std::string describeResponseForDebug(const platform::HTTPURLResponse& response) {
  return fmt::format("[Response]:\n    [Status Code]: {}\n    ", response.statusCode()) +
         indented(describeHeadersForDebug(headersOfResponse(response)));
}

std::string describeResponseWithBody(const platform::HTTPURLResponse& response,
                                     const std::optional<platform::Bytes>& data) {
  return describeResponseForDebug(response) + "\n    " +
         indented(describeBodyForDebug(data, headersOfResponse(response)));
}

std::string describeForDebug(const std::optional<platform::URLRequest>& request,
                             const std::function<std::string()>& describeTransfer,
                             const TaskMetricsPtr& metrics, double serializationDuration,
                             const std::string& printedResult) {
  if (!request) return "[Request]: None\n[Result]: " + printedResult;
  std::string text = describeRequestForDebug(*request);
  text += "\n";
  text += describeTransfer();
  text += "\n[Network Duration]: ";
  text += metrics ? describeDuration(metrics->taskInterval.duration) : "None";
  text += "\n[Serialization Duration]: " + describeDuration(serializationDuration);
  text += "\n[Result]: " + printedResult;
  return text;
}

}  // namespace response_detail

}  // namespace halyard
