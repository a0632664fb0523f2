#include "streaming/magic_packet.h"

#include "platform/coding/value_description.h"
#include "platform/foundation/utf8.h"

namespace streaming {

namespace {

const platform::Value* lookup(const platform::Value::Dictionary& dictionary, const char* key) {
  auto it = dictionary.find(key);
  return it == dictionary.end() ? nullptr : &it->second;
}

// A value as the console shows it in a refusal: enough to recognise, never a whole document.
std::string shown(const platform::Value& value) {
  return platform::utf8::escapedForConsole(platform::describeValue(value), 64);
}

std::optional<std::string> numberProblem(const platform::Value::Dictionary& dictionary,
                                         const char* key, const std::string& where) {
  const auto* value = lookup(dictionary, key);
  if (!value) return "no \"" + std::string(key) + "\"" + where;
  if (value->exactInt32()) return std::nullopt;
  return "\"" + std::string(key) + "\"" + where + " is not a whole number in the 32-bit range (" +
         shown(*value) + ")";
}

}  // namespace

std::optional<std::string> MagicPacket::problemWith(const platform::Value::Dictionary& dictionary) {
  const auto* name = lookup(dictionary, "name");
  if (!name) return "no \"name\"";
  if (!name->asString()) return "\"name\" is not a text (" + shown(*name) + ")";
  const auto* value = lookup(dictionary, "screenSize");
  if (!value) return "no \"screenSize\"";
  const auto* screenSize = value->asDictionary();
  if (!screenSize) return "\"screenSize\" is not a dictionary (" + shown(*value) + ")";
  // Every entry counts, as in the constructor, not only the two it reads.
  for (const auto& [key, entry] : *screenSize) {
    if (auto problem = numberProblem(*screenSize, key.c_str(), " in \"screenSize\"")) {
      return problem;
    }
  }
  for (const char* key : {"Width", "Height"}) {
    if (auto problem = numberProblem(*screenSize, key, " in \"screenSize\"")) return problem;
  }
  return numberProblem(dictionary, "ppi", "");
}

MagicPacket::MagicPacket(const platform::Value::Dictionary& dictionary) {
  if (const auto* name = lookup(dictionary, "name")) {
    if (const auto* text = name->asString()) deviceName_ = *text;
  }

  // The size counts only as a whole: one entry that is not an exact 32-bit integer makes
  // both dimensions unknown rather than leaving a half-trusted pair.
  if (const auto* value = lookup(dictionary, "screenSize")) {
    if (const auto* screenSize = value->asDictionary()) {
      bool allExact = true;
      for (const auto& [key, entry] : *screenSize) {
        if (!entry.exactInt32()) {
          allExact = false;
          break;
        }
      }
      if (allExact) {
        if (const auto* w = lookup(*screenSize, "Width")) width_ = w->exactInt32();
        if (const auto* h = lookup(*screenSize, "Height")) height_ = h->exactInt32();
      }
    }
  }

  if (const auto* ppi = lookup(dictionary, "ppi")) ppi_ = ppi->exactInt32();
}

}  // namespace streaming
