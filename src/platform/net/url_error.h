#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/net/url.h"

namespace platform {

// A failure of URL loading, with the platform's well-known codes.
class URLError : public Error {
 public:
  enum class Code : int {
    unknown = -1,
    cancelled = -999,
    badURL = -1000,
    timedOut = -1001,
    unsupportedURL = -1002,
    cannotFindHost = -1003,
    cannotConnectToHost = -1004,
    networkConnectionLost = -1005,
    dnsLookupFailed = -1006,
    httpTooManyRedirects = -1007,
    resourceUnavailable = -1008,
    notConnectedToInternet = -1009,
    redirectToNonExistentLocation = -1010,
    badServerResponse = -1011,
    userCancelledAuthentication = -1012,
    userAuthenticationRequired = -1013,
    zeroByteResource = -1014,
    cannotDecodeRawData = -1015,
    cannotDecodeContentData = -1016,
    cannotParseResponse = -1017,
    internationalRoamingOff = -1018,
    callIsActive = -1019,
    dataNotAllowed = -1020,
    requestBodyStreamExhausted = -1021,
    appTransportSecurityRequiresSecureConnection = -1022,
    fileDoesNotExist = -1100,
    fileIsDirectory = -1101,
    noPermissionsToReadFile = -1102,
    dataLengthExceedsMaximum = -1103,
    fileOutsideSafeArea = -1104,
    secureConnectionFailed = -1200,
    serverCertificateHasBadDate = -1201,
    serverCertificateUntrusted = -1202,
    serverCertificateHasUnknownRoot = -1203,
    serverCertificateNotYetValid = -1204,
    clientCertificateRejected = -1205,
    clientCertificateRequired = -1206,
    cannotLoadFromNetwork = -2000,
    cannotCreateFile = -3000,
    cannotOpenFile = -3001,
    cannotCloseFile = -3002,
    cannotWriteToFile = -3003,
    cannotRemoveFile = -3004,
    cannotMoveFile = -3005,
    downloadDecodingFailedMidStream = -3006,
    downloadDecodingFailedToComplete = -3007,
    backgroundSessionRequiresSharedContainer = -995,
    backgroundSessionInUseByAnotherProcess = -996,
    backgroundSessionWasDisconnected = -997,
  };

  // `detail` is what the transport said about the failure (kept for the debug text only).
  explicit URLError(Code code, std::optional<URL> failingURL = {}, std::string detail = {});

  Code code() const { return code_; }
  int errorCode() const { return static_cast<int>(code_); }
  const std::optional<URL>& failingURL() const { return failingURL_; }
  const std::string& detail() const { return detail_; }
  // What a failed or cancelled download task left for a later continuation, if anything.
  const std::optional<std::vector<std::uint8_t>>& resumeData() const { return resumeData_; }
  URLError withResumeData(std::optional<std::vector<std::uint8_t>> resumeData) const {
    URLError copy = *this;
    copy.resumeData_ = std::move(resumeData);
    return copy;
  }

  std::string localizedDescription() const override;
  // "URLError -1001 (The request timed out.) for http://…: <detail>".
  std::string debugDescription() const override;

  // The fixed English text of a code.
  static std::string descriptionForCode(Code code);
  // The code for a libcurl result (a CURLcode), as the session maps transfer failures.
  static Code codeForCurlResult(int curlCode);

 private:
  Code code_;
  std::optional<URL> failingURL_;
  std::string detail_;
  std::optional<std::vector<std::uint8_t>> resumeData_;
};

}  // namespace platform
