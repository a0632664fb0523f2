#include "halyard/core/http_headers.h"

#include <fmt/format.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "halyard/core/value_text.h"
#include "platform/coding/value.h"
#include "platform/foundation/bundle.h"

namespace halyard {

namespace {

std::optional<std::string> environmentValue(const char* name) {
  if (const char* value = std::getenv(name); value != nullptr) return std::string(value);
  return std::nullopt;
}

// "de_DE.UTF-8@euro" → "de-DE"; "C" and "POSIX" name no language.
std::optional<std::string> languageTag(std::string_view locale) {
  locale = locale.substr(0, locale.find_first_of(".@"));
  if (locale.empty() || locale == "C" || locale == "POSIX") return std::nullopt;
  std::string tag(locale);
  std::replace(tag.begin(), tag.end(), '_', '-');
  return tag;
}

std::optional<std::map<std::string, std::string>> mainBundleInfo() {
  const std::filesystem::path folder = platform::mainBundlePath();
  if (folder.empty()) return std::nullopt;
  std::ifstream file(folder / "Info.json", std::ios::binary);
  if (!file) return std::nullopt;
  const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                        std::istreambuf_iterator<char>());
  auto decoded = platform::decodeJSON(bytes);
  if (!decoded) return std::nullopt;
  const auto* dictionary = decoded->asDictionary();
  if (dictionary == nullptr) return std::nullopt;
  std::map<std::string, std::string> info;
  for (const auto& [key, value] : *dictionary) {
    if (const auto* text = value.asString()) info.emplace(key, *text);
  }
  return info;
}

std::string firstLaunchArgument() {
  std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
  std::string first;
  std::getline(cmdline, first, '\0');
  return first;
}

std::string kernelRelease() {
  utsname name{};
  if (uname(&name) != 0) return {};
  return name.release;
}

}  // namespace

std::string lowercasedHeaderName(std::string_view name) {
  std::string lowered(name);
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  }
  return lowered;
}

bool headerNamesMatch(std::string_view lhs, std::string_view rhs) {
  if (lhs.size() != rhs.size()) return false;
  for (std::size_t i = 0; i < lhs.size(); ++i) {
    char a = lhs[i];
    char b = rhs[i];
    if (a >= 'A' && a <= 'Z') a = char(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = char(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

HTTPHeader HTTPHeader::makeBasicAuthorization(std::string_view username,
                                              std::string_view password) {
  std::string credential(username);
  credential += ':';
  credential += password;
  return {"Authorization",
          "Basic " + base64(std::span(reinterpret_cast<const std::uint8_t*>(credential.data()),
                                      credential.size()))};
}

const HTTPHeader& HTTPHeader::standardAcceptEncoding() {
  static const HTTPHeader header =
      makeAcceptEncoding(detail::qualityWeightedList({"br", "gzip", "deflate"}));
  return header;
}

const HTTPHeader& HTTPHeader::standardAcceptLanguage() {
  static const HTTPHeader header = [] {
    auto languages = detail::preferredLanguages(environmentValue);
    if (languages.size() > 6) languages.resize(6);
    return makeAcceptLanguage(detail::qualityWeightedList(languages));
  }();
  return header;
}

const HTTPHeader& HTTPHeader::standardUserAgent() {
  static const HTTPHeader header = makeUserAgent(
      detail::makeUserAgent(mainBundleInfo(), firstLaunchArgument(), kernelRelease()));
  return header;
}

HTTPHeaders::HTTPHeaders(std::initializer_list<HTTPHeader> headers) {
  for (const auto& header : headers)
    replaceOrAppend(header);
}

HTTPHeaders::HTTPHeaders(const std::vector<HTTPHeader>& headers) {
  for (const auto& header : headers)
    replaceOrAppend(header);
}

HTTPHeaders::HTTPHeaders(const Dictionary& dictionary) {
  mergeDictionary(dictionary);
}

HTTPHeaders HTTPHeaders::fromPairs(const std::vector<std::pair<std::string, std::string>>& pairs) {
  HTTPHeaders headers;
  for (const auto& [name, value] : pairs)
    headers.replaceOrAppend(name, value);
  return headers;
}

std::vector<HTTPHeader>::iterator HTTPHeaders::find(std::string_view name) {
  return std::find_if(headers_.begin(), headers_.end(), [&](const HTTPHeader& header) {
    return headerNamesMatch(header.name, name);
  });
}

std::vector<HTTPHeader>::const_iterator HTTPHeaders::find(std::string_view name) const {
  return std::find_if(headers_.begin(), headers_.end(), [&](const HTTPHeader& header) {
    return headerNamesMatch(header.name, name);
  });
}

void HTTPHeaders::replaceOrAppend(std::string name, std::string value) {
  if (auto existing = find(name); existing != headers_.end()) {
    existing->name = std::move(name);
    existing->value = std::move(value);
  } else {
    headers_.push_back({std::move(name), std::move(value)});
  }
}

void HTTPHeaders::mergeDictionary(const Dictionary& dictionary) {
  for (const auto& [name, value] : dictionary)
    replaceOrAppend(name, value);
}

void HTTPHeaders::removeNamed(std::string_view name) {
  if (auto existing = find(name); existing != headers_.end()) headers_.erase(existing);
}

std::optional<std::string> HTTPHeaders::valueForName(std::string_view name) const {
  if (auto existing = find(name); existing != headers_.end()) return existing->value;
  return std::nullopt;
}

void HTTPHeaders::setValueForName(std::string_view name, std::optional<std::string> value) {
  if (value) {
    replaceOrAppend(std::string(name), std::move(*value));
  } else {
    removeNamed(name);
  }
}

void HTTPHeaders::sortByName() {
  std::stable_sort(headers_.begin(), headers_.end(), [](const HTTPHeader& a, const HTTPHeader& b) {
    return lowercasedHeaderName(a.name) < lowercasedHeaderName(b.name);
  });
}

HTTPHeaders HTTPHeaders::sortedByName() const {
  HTTPHeaders copy = *this;
  copy.sortByName();
  return copy;
}

HTTPHeaders::Dictionary HTTPHeaders::toDictionary() const {
  Dictionary dictionary;
  for (const auto& header : headers_)
    dictionary[header.name] = header.value;
  return dictionary;
}

std::vector<std::string> HTTPHeaders::nameValueLines() const {
  std::vector<std::string> lines;
  lines.reserve(headers_.size());
  for (const auto& header : headers_)
    lines.push_back(header.description());
  return lines;
}

std::string HTTPHeaders::description() const {
  std::string text;
  for (const auto& line : nameValueLines()) {
    if (!text.empty()) text += '\n';
    text += line;
  }
  return text;
}

const HTTPHeaders& HTTPHeaders::defaultHeaders() {
  static const HTTPHeaders headers{HTTPHeader::standardAcceptEncoding(),
                                   HTTPHeader::standardAcceptLanguage(),
                                   HTTPHeader::standardUserAgent()};
  return headers;
}

namespace detail {

std::string qualityWeightedList(const std::vector<std::string>& tokens) {
  std::string list;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (i > 0) list += ", ";
    list += tokens[i];
    list += ";q=";
    list += shortestDecimal(double(i) * -0.1 + 1.0);
  }
  return list;
}

std::vector<std::string> preferredLanguages(
    const std::function<std::optional<std::string>(const char*)>& environment) {
  std::optional<std::string> locale;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    if (auto value = environment(name); value && !value->empty()) {
      locale = value;
      break;
    }
  }
  std::vector<std::string> languages;
  auto addTag = [&](std::string_view entry) {
    if (auto tag = languageTag(entry);
        tag && std::find(languages.begin(), languages.end(), *tag) == languages.end()) {
      languages.push_back(*tag);
    }
  };
  // gettext ignores LANGUAGE when the locale itself is "C".
  if (!locale || languageTag(*locale)) {
    if (auto list = environment("LANGUAGE"); list && !list->empty()) {
      std::string_view rest(*list);
      while (!rest.empty()) {
        const auto colon = rest.find(':');
        addTag(rest.substr(0, colon));
        if (colon == std::string_view::npos) break;
        rest.remove_prefix(colon + 1);
      }
    }
  }
  if (languages.empty() && locale) addTag(*locale);
  if (languages.empty()) languages.push_back("en");
  return languages;
}

std::string makeUserAgent(const std::optional<std::map<std::string, std::string>>& info,
                          std::string_view firstArgument, std::string_view kernelRelease) {
  auto entry = [&](const char* key) -> std::optional<std::string> {
    if (!info) return std::nullopt;
    if (auto found = info->find(key); found != info->end()) return found->second;
    return std::nullopt;
  };
  std::string executable;
  if (auto name = entry("CFBundleExecutable")) {
    executable = *name;
  } else {
    // The last non-empty piece of the first argument split at "/".
    std::string_view rest = firstArgument;
    while (!rest.empty() && rest.back() == '/')
      rest.remove_suffix(1);
    const auto slash = rest.rfind('/');
    executable = std::string(slash == std::string_view::npos ? rest : rest.substr(slash + 1));
    if (executable.empty()) executable = "Unknown";
  }
  const std::string version = entry("CFBundleShortVersionString").value_or("Unknown");
  const std::string identifier = entry("CFBundleIdentifier").value_or("Unknown");
  const std::string build = entry("CFBundleVersion").value_or("Unknown");

  // Major, minor and patch from the leading numbers of the release ("6.1.0-18-amd64").
  int numbers[3] = {0, 0, 0};
  std::size_t position = 0;
  for (int i = 0; i < 3; ++i) {
    if (position >= kernelRelease.size() || kernelRelease[position] < '0' ||
        kernelRelease[position] > '9') {
      break;
    }
    int n = 0;
    while (position < kernelRelease.size() && kernelRelease[position] >= '0' &&
           kernelRelease[position] <= '9' && n < 100000) {
      n = n * 10 + (kernelRelease[position] - '0');
      ++position;
    }
    numbers[i] = n;
    if (position < kernelRelease.size() && kernelRelease[position] == '.') {
      ++position;
    } else {
      break;
    }
  }
  const std::string system = fmt::format("Linux {}.{}.{}", numbers[0], numbers[1], numbers[2]);
  return fmt::format("{}/{} ({}; build:{}; {}) Halyard/1.0.0", executable, version, identifier,
                     build, system);
}

}  // namespace detail

}  // namespace halyard

std::size_t std::hash<halyard::HTTPHeader>::operator()(const halyard::HTTPHeader& header) const {
  std::size_t seed = std::hash<std::string>()(header.name);
  seed ^=
      std::hash<std::string>()(header.value) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
  return seed;
}

std::size_t std::hash<halyard::HTTPHeaders>::operator()(const halyard::HTTPHeaders& headers) const {
  std::size_t seed = headers.size();
  for (const auto& header : headers) {
    seed ^= std::hash<halyard::HTTPHeader>()(header) + 0x9e3779b97f4a7c15ULL + (seed << 6) +
            (seed >> 2);
  }
  return seed;
}
