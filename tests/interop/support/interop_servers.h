#pragma once

// Well-known servers from the system, started by the interop tests on 127.0.0.1: nginx
// (HTTP/1.1 and HTTP/2 over TLS), apache2 (Digest, deflate, WebDAV), a python3-websockets
// server (ws and wss) and a small python3 HTTP server for Digest variants and multipart. Each
// runs from a configuration written into a temporary folder of its own, on ports picked free at
// start, as the unprivileged user where the server drops to one, with a certificate of a test
// authority made at run time; each is stopped by its process id, and ends with the test process
// in any case. The curl command line is the reference the client is compared with.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace interop {

// A folder under the system's temporary folder, removed with everything in it.
class TemporaryFolder {
 public:
  explicit TemporaryFolder(const std::string& prefix);
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Writes `text` to `path` (readable by everyone: the servers' workers run as another user).
void writeFile(const std::filesystem::path& path, const std::string& text);
std::string readFile(const std::filesystem::path& path);
std::string sha256Hex(const std::string& bytes);

// The output and exit status of a program run to its end (no shell), bounded by `seconds`.
struct RunResult {
  int status = -1;  // the exit status; -1 when it did not end normally
  std::string output;
};
RunResult run(const std::vector<std::string>& argv, double seconds = 60);

// A certificate authority made now, and one server certificate it signed for 127.0.0.1 and
// localhost.
struct TestAuthority {
  std::filesystem::path authorityCertificate;
  std::filesystem::path serverCertificate;
  std::filesystem::path serverKey;
  // A self-signed certificate for 127.0.0.1 that nobody trusts.
  std::filesystem::path untrustedCertificate;
  std::filesystem::path untrustedKey;
  std::string failure;  // what went wrong, empty when all was made
};
TestAuthority makeTestAuthority(const std::filesystem::path& folder);

// A server process: started from `argv`, ready once something listens on every port in
// `ports` (and, with `readyFile`, once that file exists), stopped by its id.
class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;
  // False, with `failure()` saying why, when it did not start or did not listen in time.
  bool start(const std::vector<std::string>& argv, const std::filesystem::path& log,
             const std::vector<int>& ports,
             const std::optional<std::filesystem::path>& readyFile = std::nullopt);
  void stop();
  const std::string& failure() const { return failure_; }

 private:
  pid_t pid_ = -1;
  std::string failure_;
};

// A port nothing holds now, below the range of outgoing connections' ports.
int freePort();

// What curl reports for a URL: the status of the last answer, the URL it ended at and the
// sha256 of the body it wrote.
struct CurlResult {
  int status = 0;
  std::string finalURL;
  std::string bodySHA256;
  std::string body;
  std::string failure;
};
CurlResult curl(const std::vector<std::string>& arguments, const std::filesystem::path& folder);

// The servers, each started on first use and shared by the tests of one process.
class Servers {
 public:
  static Servers& shared();
  ~Servers();

  // Each answers false, with `failure` set, when its server could not start.
  bool nginx();
  bool apache();
  bool python();
  const std::string& failure() const { return failure_; }

  const TestAuthority& authority() const { return authority_; }
  const std::filesystem::path& folder() const { return folder_->path(); }

  // nginx: plain HTTP/1.1, HTTP/1.1 over TLS, HTTP/2 over TLS, and one with
  // keepalive_requests 3; its document root and access log ("<connection> <request of the
  // connection> <status> <method> <uri> <protocol>" a line).
  std::string plainOrigin() const { return "http://127.0.0.1:" + std::to_string(plainPort_); }
  std::string http1TLSOrigin() const {
    return "https://127.0.0.1:" + std::to_string(http1TLSPort_);
  }
  std::string http2Origin() const { return "https://127.0.0.1:" + std::to_string(http2Port_); }
  std::string keepAlive3Origin() const {
    return "http://127.0.0.1:" + std::to_string(keepAlive3Port_);
  }
  // The same site over TLS with a certificate nobody trusts.
  std::string untrustedOrigin() const {
    return "https://127.0.0.1:" + std::to_string(untrustedPort_);
  }
  std::filesystem::path nginxRoot() const { return folder() / "nginx" / "www"; }
  std::vector<std::string> nginxLog() const;

  // apache2: /digest/ (Digest MD5, user "user", password "secret"), /dav/ (WebDAV), the rest
  // static with deflate for text.
  std::string apacheOrigin() const { return "http://127.0.0.1:" + std::to_string(apachePort_); }
  std::filesystem::path apacheRoot() const { return folder() / "apache" / "www"; }

  // python3: web sockets (see python_servers.py for the paths), and an HTTP server with
  // Digest in every algorithm, a stale nonce, Digest beside Basic, and multipart uploads.
  std::string wsOrigin() const { return "ws://127.0.0.1:" + std::to_string(wsPort_); }
  std::string pythonHTTPOrigin() const {
    return "http://127.0.0.1:" + std::to_string(pythonHTTPPort_);
  }
  std::string wssOrigin() const { return "wss://127.0.0.1:" + std::to_string(wssPort_); }

 private:
  Servers();
  bool ensureAuthority();
  bool fail(const std::string& text);

  std::unique_ptr<TemporaryFolder> folder_;
  TestAuthority authority_;
  bool authorityMade_ = false;
  std::string failure_;
  std::optional<bool> nginxStarted_, apacheStarted_, pythonStarted_;
  ServerProcess nginx_, apache_, python_;
  int plainPort_ = 0, http1TLSPort_ = 0, http2Port_ = 0, keepAlive3Port_ = 0, untrustedPort_ = 0;
  int apachePort_ = 0;
  int wsPort_ = 0, wssPort_ = 0, pythonHTTPPort_ = 0;
};

// Whether a server that cannot start fails the test (in CI, or where the test run says the
// servers are installed) rather than skipping it with its reason.
bool serversRequired();

}  // namespace interop

// Starts the named server for this test, or fails or skips the test with the reason.
#define INTEROP_REQUIRE(server)                                                               \
  do {                                                                                        \
    if (!::interop::Servers::shared().server()) {                                             \
      if (::interop::serversRequired()) {                                                     \
        FAIL() << #server " could not start: " << ::interop::Servers::shared().failure();     \
      }                                                                                       \
      GTEST_SKIP() << #server " could not start: " << ::interop::Servers::shared().failure(); \
    }                                                                                         \
  } while (false)
