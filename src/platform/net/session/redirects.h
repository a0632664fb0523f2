#pragma once

#include <cstdint>
#include <optional>

#include "platform/net/http_auth_challenge.h"
#include "platform/net/url_session.h"

namespace platform::net_detail {

class TransferEngine;
struct Transfer;

// Redirects, followed here rather than by libcurl so the delegate decides each one, and HTTP
// authentication: a 401 waits for its challenge's answer as a redirect waits for the delegate,
// and the request then goes out again. The state of each is the transfer's (`RedirectState`
// and its phase); this part decides and asks. I/O thread only.
class Redirects {
 public:
  explicit Redirects(TransferEngine& engine) : engine_(engine) {}

  // At the end of a head: true when the response is a redirect this part handles (followed,
  // refused as too many, or put to the delegate), so it is not delivered now.
  bool considerRedirect(Transfer& transfer, int status);
  // At the end of a 401 head: true when it is not delivered now (a challenge is raised, the
  // request goes out again, or libcurl's own handshake goes on).
  bool considerAuthentication(Transfer& transfer, int status);
  // The transfer ended inside libcurl's own handshake; false when its 401 is delivered.
  bool settleAuthentication(Transfer& transfer);

 private:
  bool takeStep(Transfer& transfer, HTTPAuthentication::Step step);
  void raiseAuthentication(Transfer& transfer);
  // The delegate's answers, as commands on the I/O thread.
  void answerRedirect(std::uint64_t identifier, std::optional<URLRequest> request);
  void answerAuthentication(std::uint64_t identifier,
                            URLSessionDelegate::AuthChallengeDisposition disposition,
                            std::optional<URLCredential> credential);

  TransferEngine& engine_;
};

}  // namespace platform::net_detail
