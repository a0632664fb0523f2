#include "app/update/versioning.h"

#include <cctype>
#include <charconv>

#include "app/bundle/localization.h"

namespace app {

std::string_view Versioning::keyText(CodingKeys key) {
  switch (key) {
    case CodingKeys::name:
      return "name";
    case CodingKeys::releaseVersion:
      return "releaseVersion";
    case CodingKeys::buildVersion:
      return "buildVersion";
    case CodingKeys::isMandatory:
      return "isMandatory";
  }
  return {};
}

Versioning Versioning::decode(platform::Decoder& decoder) {
  auto container = decoder.container();
  Versioning v;
  v.name = container->decodeIfPresent<std::string>(keyText(CodingKeys::name));
  v.releaseVersion = container->decodeIfPresent<double>(keyText(CodingKeys::releaseVersion));
  v.buildVersion = container->decodeIfPresent<double>(keyText(CodingKeys::buildVersion));
  v.isMandatory = container->decodeIfPresent<bool>(keyText(CodingKeys::isMandatory));
  return v;
}

std::optional<double> versionNumber(std::string_view text) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text.front()))) return std::nullopt;
  // from_chars takes no leading '+', which the C library's reader does; accept it the same way,
  // but only once and not before a '-'.
  std::string_view digits = text;
  if (digits.front() == '+') {
    digits.remove_prefix(1);
    if (digits.empty() || digits.front() == '+' || digits.front() == '-') return std::nullopt;
  }
  double value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

std::optional<bool> Versioning::isUpdateAvailable(const Bundle& bundle) const {
  const auto appName = displayName(bundle);
  if (!appName) return std::nullopt;
  const auto build = buildVersionNumber(bundle);
  const auto buildNumber = build ? versionNumber(*build) : std::nullopt;
  if (!buildNumber) return std::nullopt;
  const auto release = releaseVersionNumber(bundle);
  const auto releaseNumber = release ? versionNumber(*release) : std::nullopt;
  if (!releaseNumber) return std::nullopt;
  if (!buildVersion || !name || !releaseVersion || !isMandatory) return std::nullopt;
  if (*name != *appName) return std::nullopt;
  // Inequality, not order: the server may also move users back to an earlier version.
  return *releaseVersion != *releaseNumber || *buildVersion != *buildNumber;
}

}  // namespace app
