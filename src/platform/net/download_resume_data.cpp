#include "platform/net/download_resume_data.h"

#include <nlohmann/json.hpp>

#include "platform/net/http_header_fields.h"

namespace platform {

namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kKind = "org.tovarine.download-resume";

std::string toHex(const Bytes& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (auto byte : bytes) {
    text += digits[byte >> 4];
    text += digits[byte & 15];
  }
  return text;
}

std::optional<Bytes> fromHex(const std::string& text) {
  if (text.size() % 2 != 0) return std::nullopt;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  Bytes bytes;
  bytes.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = digit(text[i]), low = digit(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return bytes;
}

}  // namespace

Bytes DownloadResumeRecord::encode() const {
  Json headers = Json::array();
  if (const auto& fields = request.allHTTPHeaderFields()) {
    for (const auto& [name, value] : *fields)
      headers.push_back(Json::array({name, value}));
  }
  Json json = {
      {"kind", kKind},
      {"version", currentVersion},
      {"url", request.url ? request.url->absoluteString() : std::string()},
      {"method", request.httpMethod ? Json(*request.httpMethod) : Json(nullptr)},
      {"headers", headers},
      {"body", request.httpBody ? Json(toHex(*request.httpBody)) : Json(nullptr)},
      {"timeoutInterval", request.timeoutInterval},
      {"cachePolicy", static_cast<unsigned>(request.cachePolicy)},
      {"handlesCookies", request.httpShouldHandleCookies},
      {"temporaryPath", temporaryPath},
      {"bytesReceived", bytesReceived},
      {"entityTag", entityTag ? Json(*entityTag) : Json(nullptr)},
      {"lastModified", lastModified ? Json(*lastModified) : Json(nullptr)},
  };
  const std::string text = json.dump();
  return Bytes(text.begin(), text.end());
}

std::optional<DownloadResumeRecord> DownloadResumeRecord::decode(const Bytes& data) {
  const Json json = Json::parse(data.begin(), data.end(), nullptr, false);
  if (!json.is_object()) return std::nullopt;
  try {
    if (json.at("kind") != kKind || json.at("version") != currentVersion) return std::nullopt;
    auto url = URL::fromString(json.at("url").get<std::string>());
    if (!url || !url->isAbsolute()) return std::nullopt;
    DownloadResumeRecord record;
    record.request = URLRequest(*url);
    const auto& method = json.at("method");
    record.request.httpMethod =
        method.is_null() ? std::nullopt : std::optional<std::string>(method.get<std::string>());
    for (const auto& field : json.at("headers")) {
      record.request.setValueForHTTPHeaderField(field.at(1).get<std::string>(),
                                                field.at(0).get<std::string>());
    }
    if (const auto& body = json.at("body"); !body.is_null()) {
      auto bytes = fromHex(body.get<std::string>());
      if (!bytes) return std::nullopt;
      record.request.httpBody = std::move(*bytes);
    }
    record.request.timeoutInterval = json.at("timeoutInterval").get<double>();
    const auto policy = json.at("cachePolicy").get<unsigned>();
    if (policy > static_cast<unsigned>(URLRequest::CachePolicy::reloadRevalidatingCacheData)) {
      return std::nullopt;
    }
    record.request.cachePolicy = static_cast<URLRequest::CachePolicy>(policy);
    record.request.httpShouldHandleCookies = json.at("handlesCookies").get<bool>();
    record.temporaryPath = json.at("temporaryPath").get<std::string>();
    record.bytesReceived = json.at("bytesReceived").get<std::int64_t>();
    if (record.bytesReceived < 0) return std::nullopt;
    if (const auto& tag = json.at("entityTag"); !tag.is_null()) {
      record.entityTag = tag.get<std::string>();
    }
    if (const auto& date = json.at("lastModified"); !date.is_null()) {
      record.lastModified = date.get<std::string>();
    }
    return record;
  } catch (const Json::exception&) {
    return std::nullopt;
  }
}

std::optional<std::string> DownloadResumeRecord::ifRangeValue() const {
  // If-Range takes only a strong entity tag; a weak one falls back to the date.
  // A validator with a line break would end the field early: such data cannot resume.
  if (entityTag && !entityTag->starts_with("W/")) {
    return isSendableHeaderValue(*entityTag) ? entityTag : std::nullopt;
  }
  if (lastModified && !isSendableHeaderValue(*lastModified)) return std::nullopt;
  return lastModified;
}

}  // namespace platform
