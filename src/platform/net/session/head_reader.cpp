#include "platform/net/session/head_reader.h"

#include <curl/curl.h>

#include <cstdlib>
#include <memory>
#include <utility>

#include "platform/net/session/redirects.h"
#include "platform/net/session/transfer.h"
#include "platform/net/session/transfer_engine.h"
#include "platform/net/session/transfer_setup.h"

namespace platform::net_detail {

std::optional<URL> HeadReader::parseEffectiveURL(std::string_view effective) {
  if (!lastEffectiveURL_ || effective != lastEffectiveText_) {
    lastEffectiveText_ = effective;
    lastEffectiveURL_ = URL::fromString(effective);
  }
  return *lastEffectiveURL_;
}

void HeadReader::onHeaderLine(Transfer& transfer, std::string_view raw) {
  std::string_view line = raw;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
    line.remove_suffix(1);
  if (transfer.life.head == Head::awaiting && line.starts_with("HTTP/")) {
    moveTo(transfer, TransferEvent::headOpened);
    transfer.redirect.auth.headStarted();
    // A head that starts takes back what an earlier one of this transfer led to.
    if (transfer.phase == Phase::followingRedirect || transfer.phase == Phase::inOwnHandshake) {
      moveTo(transfer, TransferEvent::headStarted);
    }
    transfer.response.lines.clear();
    transfer.response.start = Date::now();
    auto space = line.find(' ');
    transfer.response.version = line.substr(0, space);
    transfer.response.status = 0;
    if (space != std::string_view::npos) {
      // As atoi reads it: blanks, a sign, digits; anything else ends the number.
      transfer.response.status = std::atoi(std::string(line.substr(space + 1)).c_str());
    }
    return;
  }
  if (transfer.life.head != Head::reading) {
    // Trailers after the body, kept by nobody; one posing as a status line is a broken answer.
    if (line.starts_with("HTTP/") && !transfer.limitError) {
      transfer.limitError =
          makeError(URLError(URLError::Code::badServerResponse, engine_.currentURL(transfer),
                             "a status line among the trailer fields"));
    }
    return;
  }
  if (!line.empty()) {
    transfer.response.lines.emplace_back(line);
    return;
  }
  // The end of a head. libcurl reads another head after an interim one, and after a 401 or 407
  // where it runs a handshake of its own (NTLM, Negotiate) within the one transfer.
  int status = transfer.response.status;
  moveTo(transfer, status < 200 || status == 401 || status == 407 ? TransferEvent::headInterim
                                                                   : TransferEvent::headFinal);
  if (transfer.cookieJar) transfer.cookieJar->headEnded(transfer.easy, transfer.response.lines);
  if (status >= 100 && status < 200) return;
  char* effective = nullptr;
  curl_easy_getinfo(transfer.easy, CURLINFO_EFFECTIVE_URL, &effective);
  auto responseURL = effective ? parseEffectiveURL(effective) : std::nullopt;
  if (!responseURL) responseURL = engine_.currentURL(transfer);
  // Only this thread changes the current request: reading it needs no lock.
  const auto& currentRequest = transfer.shared->currentRequest;
  if (responseURL) {
    URLSessionTaskTransactionMetrics metrics;
    if (currentRequest) metrics.request = *currentRequest;
    metrics.response = std::make_shared<const HTTPURLResponse>(HTTPURLResponse::fromHeaderLines(
        std::move(*responseURL), status, transfer.response.version, transfer.response.lines, true));
    metrics.responseStartDate = transfer.response.start;
    metrics.resourceFetchType = URLSessionTaskTransactionMetrics::ResourceFetchType::networkLoad;
    transfer.transactions.push_back(std::move(metrics));
  }
  if (engine_.redirects().considerRedirect(transfer, status)) return;
  if (engine_.redirects().considerAuthentication(transfer, status)) return;
  if (!transfer.transactions.empty()) {
    const auto& current = currentRequest ? currentRequest : transfer.task->originalRequest();
    if (current) {
      transfer.cache.onResponse(*current, transfer.life.hop == Hop::original,
                                transfer.transactions.back().response);
    }
  }
  // Every byte of the body that went out is told before the answer.
  curl_off_t uploaded = 0;
  curl_easy_getinfo(transfer.easy, CURLINFO_SIZE_UPLOAD_T, &uploaded);
  if (uploaded > transfer.upload.reportedSent) engine_.setup().reportSent(transfer, uploaded);
  engine_.deliverResponse(transfer);
}

}  // namespace platform::net_detail
