#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/net/url.h"

namespace platform::net_detail {

class TransferEngine;
struct Transfer;

// The response heads libcurl hands over line by line: where a head opens and ends, the
// transaction each final head makes, and what it leads to (a redirect, a challenge, or the
// response put to the task). I/O thread only.
class HeadReader {
 public:
  explicit HeadReader(TransferEngine& engine) : engine_(engine) {}

  void onHeaderLine(Transfer& transfer, std::string_view line);

 private:
  // `URL::fromString(effective)`, remembered for the last URL asked for: a session usually
  // talks to the same few URLs, and parsing one costs more than the rest of a response head.
  std::optional<URL> parseEffectiveURL(std::string_view effective);

  TransferEngine& engine_;
  std::string lastEffectiveText_;
  std::optional<std::optional<URL>> lastEffectiveURL_;
};

}  // namespace platform::net_detail
