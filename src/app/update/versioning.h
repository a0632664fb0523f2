#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/bundle/bundle.h"
#include "platform/coding/coder.h"

namespace app {

// The update server's description of the version it offers.
class Versioning {
 public:
  enum class CodingKeys { name, releaseVersion, buildVersion, isMandatory };
  static std::string_view keyText(CodingKeys key);

  std::optional<std::string> name;       // the display name the update is for
  std::optional<double> releaseVersion;  // compared with the short version text
  std::optional<double> buildVersion;    // compared with the build text
  std::optional<bool> isMandatory;       // absent: the description is never offered

  // Each key is read when present and not null; a value of the wrong JSON type fails the whole
  // document. Other keys are ignored.
  static Versioning decode(platform::Decoder& decoder);

  // Whether an update is offered, against the running application's bundle values: absent
  // (undetermined) when the bundle lacks a display name, a numeric build or short version, when
  // the document lacks a field, or names another product; else whether either number differs.
  std::optional<bool> isUpdateAvailable(const Bundle& bundle = *Bundle::main()) const;
};

using VersioningPtr = std::shared_ptr<const Versioning>;

// The whole text as one decimal floating-point number in the C locale: no leading space, no
// trailing characters ("1.2.3" is not a number).
std::optional<double> versionNumber(std::string_view text);

}  // namespace app
