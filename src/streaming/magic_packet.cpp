#include "streaming/magic_packet.h"

namespace streaming {

namespace {

const platform::Value* lookup(const platform::Value::Dictionary& dictionary, const char* key) {
  auto it = dictionary.find(key);
  return it == dictionary.end() ? nullptr : &it->second;
}

}  // namespace

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
