#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace platform {

// Media types of file-name extensions, from a mime.types table ("type ext ext …" per line,
// '#' starting a comment). Extensions are compared lower-cased; where two types claim one
// extension, the first line wins.
class MimeTypes {
 public:
  // The system's table, /etc/mime.types, read once.
  static const MimeTypes& system();

  // A table read from `path`; a file that cannot be read gives an empty table.
  static MimeTypes fromFile(const std::string& path);
  // A table parsed from its text.
  static MimeTypes fromText(std::string_view text);

  // The preferred media type of the extension (without its dot), or nothing.
  std::optional<std::string> preferredTypeForExtension(std::string_view extension) const;

 private:
  std::unordered_map<std::string, std::string> types_;
};

}  // namespace platform
