#include "platform/net/url_error.h"

#include <curl/curl.h>
#include <fmt/format.h>

namespace platform {

URLError::URLError(Code code, std::optional<URL> failingURL, std::string detail)
    : code_(code), failingURL_(std::move(failingURL)), detail_(std::move(detail)) {}

std::string URLError::localizedDescription() const {
  return descriptionForCode(code_);
}

std::string URLError::debugDescription() const {
  std::string text = fmt::format("URLError {} ({})", errorCode(), descriptionForCode(code_));
  if (failingURL_) text += " for " + failingURL_->absoluteString();
  if (!detail_.empty()) text += ": " + detail_;
  return text;
}

std::string URLError::descriptionForCode(Code code) {
  switch (code) {
    case Code::cancelled:
      return "The task was cancelled.";
    case Code::badURL:
      return "The URL is malformed.";
    case Code::timedOut:
      return "The request timed out.";
    case Code::unsupportedURL:
      return "The URL's scheme is not supported.";
    case Code::cannotFindHost:
      return "No server with the given host name could be found.";
    case Code::cannotConnectToHost:
      return "The connection to the server could not be made.";
    case Code::networkConnectionLost:
      return "The network connection was lost.";
    case Code::dnsLookupFailed:
      return "The host name lookup failed.";
    case Code::httpTooManyRedirects:
      return "The request was redirected too many times.";
    case Code::resourceUnavailable:
      return "The requested resource is not available.";
    case Code::notConnectedToInternet:
      return "The computer is not connected to the Internet.";
    case Code::redirectToNonExistentLocation:
      return "The request was redirected to a location that does not exist.";
    case Code::badServerResponse:
      return "The server sent a response that could not be used.";
    case Code::userCancelledAuthentication:
      return "Authentication was cancelled.";
    case Code::userAuthenticationRequired:
      return "The server requires authentication.";
    case Code::zeroByteResource:
      return "The resource is empty.";
    case Code::cannotDecodeRawData:
      return "The data received could not be decoded.";
    case Code::cannotDecodeContentData:
      return "The content encoding of the response could not be decoded.";
    case Code::cannotParseResponse:
      return "The response could not be parsed.";
    case Code::internationalRoamingOff:
      return "International roaming is off.";
    case Code::callIsActive:
      return "A call is active.";
    case Code::dataNotAllowed:
      return "Data use is not allowed.";
    case Code::requestBodyStreamExhausted:
      return "The request body ran out before it was sent.";
    case Code::appTransportSecurityRequiresSecureConnection:
      return "A secure connection is required.";
    case Code::fileDoesNotExist:
      return "The file does not exist.";
    case Code::fileIsDirectory:
      return "The file is a directory.";
    case Code::noPermissionsToReadFile:
      return "There is no permission to read the file.";
    case Code::dataLengthExceedsMaximum:
      return "The resource is larger than allowed.";
    case Code::fileOutsideSafeArea:
      return "The file lies outside the allowed area.";
    case Code::secureConnectionFailed:
      return "A secure connection to the server could not be made.";
    case Code::serverCertificateHasBadDate:
      return "The server's certificate has expired.";
    case Code::serverCertificateUntrusted:
      return "The server's certificate is not trusted.";
    case Code::serverCertificateHasUnknownRoot:
      return "The server's certificate comes from an unknown authority.";
    case Code::serverCertificateNotYetValid:
      return "The server's certificate is not valid yet.";
    case Code::clientCertificateRejected:
      return "The server rejected the client certificate.";
    case Code::clientCertificateRequired:
      return "The server requires a client certificate.";
    case Code::cannotLoadFromNetwork:
      return "The resource could not be loaded from the network.";
    case Code::cannotCreateFile:
      return "The file could not be created.";
    case Code::cannotOpenFile:
      return "The file could not be opened.";
    case Code::cannotCloseFile:
      return "The file could not be closed.";
    case Code::cannotWriteToFile:
      return "The file could not be written.";
    case Code::cannotRemoveFile:
      return "The file could not be removed.";
    case Code::cannotMoveFile:
      return "The file could not be moved.";
    case Code::downloadDecodingFailedMidStream:
      return "The download could not be decoded while it ran.";
    case Code::downloadDecodingFailedToComplete:
      return "The download could not be decoded to the end.";
    case Code::backgroundSessionRequiresSharedContainer:
      return "A background session needs a shared container.";
    case Code::backgroundSessionInUseByAnotherProcess:
      return "The background session is in use by another process.";
    case Code::backgroundSessionWasDisconnected:
      return "The background session was disconnected.";
    case Code::unknown:
      break;
  }
  return "An unknown URL loading error occurred.";
}

URLError::Code URLError::codeForCurlResult(int curlCode) {
  switch (static_cast<CURLcode>(curlCode)) {
    case CURLE_UNSUPPORTED_PROTOCOL:
      return Code::unsupportedURL;
    case CURLE_URL_MALFORMAT:
      return Code::badURL;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
      return Code::cannotFindHost;
    case CURLE_COULDNT_CONNECT:
    case CURLE_NO_CONNECTION_AVAILABLE:
      return Code::cannotConnectToHost;
    case CURLE_OPERATION_TIMEDOUT:
      return Code::timedOut;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
      return Code::networkConnectionLost;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_HTTP3:
    case CURLE_RANGE_ERROR:
      return Code::badServerResponse;
    case CURLE_TOO_MANY_REDIRECTS:
      return Code::httpTooManyRedirects;
    case CURLE_PEER_FAILED_VERIFICATION:
      return Code::serverCertificateUntrusted;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_USE_SSL_FAILED:
      return Code::secureConnectionFailed;
    case CURLE_SSL_CERTPROBLEM:
      return Code::clientCertificateRejected;
    case CURLE_SSL_CLIENTCERT:
      return Code::clientCertificateRequired;
    case CURLE_ABORTED_BY_CALLBACK:
      return Code::cancelled;
    case CURLE_BAD_CONTENT_ENCODING:
      return Code::cannotDecodeContentData;
    case CURLE_FILESIZE_EXCEEDED:
      return Code::dataLengthExceedsMaximum;
    case CURLE_LOGIN_DENIED:
    case CURLE_AUTH_ERROR:
      return Code::userAuthenticationRequired;
    case CURLE_READ_ERROR:
    case CURLE_SEND_FAIL_REWIND:
      return Code::requestBodyStreamExhausted;
    default:
      return Code::unknown;
  }
}

}  // namespace platform
