#include "interop/support/interop_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace interop {

namespace fs = std::filesystem;

namespace {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Waits a moment for something outside this process (a server starting or ending).
void pause() {
  ::poll(nullptr, 0, 20);
}

std::string digestHex(const EVP_MD* md, const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, md, nullptr);
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 15];
  }
  return out;
}

// The program's path: on PATH, or in the system folders an ordinary user's PATH leaves out.
std::optional<std::string> findProgram(const std::string& name) {
  std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  path += ":/usr/sbin:/sbin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find(':', start), path.size());
    const fs::path candidate = fs::path(path.substr(start, end - start)) / name;
    if (!candidate.parent_path().empty() && ::access(candidate.c_str(), X_OK) == 0) {
      return candidate.string();
    }
    start = end + 1;
  }
  return std::nullopt;
}

// Starts `argv` with its output into `outputFd`. The child ends with this process even when
// the test dies without stopping it (a crash, a time-out's kill): a server must not outlive the
// test run. Called from the main thread, which lives as long as the process.
pid_t spawn(const std::vector<std::string>& argv, int outputFd) {
  std::vector<char*> args;
  for (const auto& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  // Only async-signal-safe calls from here to exec.
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (::getppid() != parent) ::_exit(127);
  // Its own process group, so that a signal meant for the test run does not reach it first.
  ::setpgid(0, 0);
  const int in = ::open("/dev/null", O_RDONLY);
  if (in >= 0) ::dup2(in, 0);
  ::dup2(outputFd, 1);
  ::dup2(outputFd, 2);
  ::execve(args[0], args.data(), environ);
  ::_exit(127);
}

bool listening(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

std::string tail(const fs::path& path) {
  std::string text = readFile(path);
  return text.size() > 2000 ? text.substr(text.size() - 2000) : text;
}

// Bytes that differ from line to line, so that compression has something to do.
std::string sampleText(std::size_t size) {
  std::string out;
  for (int line = 0; out.size() < size; ++line) {
    out += "line " + std::to_string(line) + ": the quick brown fox " +
           std::to_string(line * 7919 % 10007) + " jumps over the lazy dog\n";
  }
  out.resize(size);
  return out;
}

std::string sampleBytes(std::size_t size) {
  std::string out(size, '\0');
  std::uint32_t x = 2463534242u;
  for (auto& c : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return out;
}

}  // namespace

TemporaryFolder::TemporaryFolder(const std::string& prefix) {
  std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  fs::permissions(path_, fs::perms(0755));
}

TemporaryFolder::~TemporaryFolder() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

void writeFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
  fs::permissions(path, fs::perms(0644));
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string sha256Hex(const std::string& bytes) {
  return digestHex(EVP_sha256(), bytes);
}

RunResult run(const std::vector<std::string>& argv, double seconds) {
  RunResult result;
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return result;
  std::vector<std::string> resolved = argv;
  if (auto program = findProgram(argv[0])) resolved[0] = *program;
  const pid_t pid = spawn(resolved, pipeFds[1]);
  ::close(pipeFds[1]);
  if (pid < 0) {
    ::close(pipeFds[0]);
    result.output = "could not start " + argv[0];
    return result;
  }
  const double deadline = now() + seconds;
  char buffer[65536];
  while (now() < deadline) {
    pollfd p{pipeFds[0], POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    if (result.output.size() < (16u << 20)) result.output.append(buffer, std::size_t(n));
  }
  ::close(pipeFds[0]);
  int status = 0;
  pid_t ended = 0;
  while ((ended = ::waitpid(pid, &status, WNOHANG)) == 0 && now() < deadline)
    pause();
  if (ended == 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    result.output += "\n(stopped after " + std::to_string(seconds) + " s)";
    return result;
  }
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  return result;
}

TestAuthority makeTestAuthority(const fs::path& folder) {
  TestAuthority made;
  made.authorityCertificate = folder / "authority.pem";
  made.serverCertificate = folder / "server.pem";
  made.serverKey = folder / "server.key";
  made.untrustedCertificate = folder / "untrusted.pem";
  made.untrustedKey = folder / "untrusted.key";
  const fs::path authorityKey = folder / "authority.key";
  const fs::path request = folder / "server.csr";
  const fs::path extensions = folder / "server.ext";
  writeFile(extensions,
            "subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=critical,CA:FALSE\n"
            "keyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\n");
  const std::vector<std::vector<std::string>> steps = {
      {"openssl",
       "req",
       "-x509",
       "-newkey",
       "ec",
       "-pkeyopt",
       "ec_paramgen_curve:prime256v1",
       "-nodes",
       "-keyout",
       authorityKey,
       "-out",
       made.authorityCertificate,
       "-days",
       "2",
       "-subj",
       "/CN=Tovarine Interop Test Authority",
       "-addext",
       "basicConstraints=critical,CA:TRUE",
       "-addext",
       "keyUsage=critical,keyCertSign,cRLSign"},
      {"openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
       "-keyout", made.serverKey, "-out", request, "-subj", "/CN=127.0.0.1"},
      {"openssl", "x509", "-req", "-in", request, "-CA", made.authorityCertificate, "-CAkey",
       authorityKey, "-CAcreateserial", "-out", made.serverCertificate, "-days", "2", "-extfile",
       extensions},
      {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
       "-nodes", "-keyout", made.untrustedKey, "-out", made.untrustedCertificate, "-days", "2",
       "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"},
  };
  for (const auto& step : steps) {
    const auto result = run(step, 30);
    if (result.status != 0) {
      made.failure = "openssl failed: " + result.output;
      return made;
    }
  }
  return made;
}

ServerProcess::~ServerProcess() {
  stop();
}

bool ServerProcess::start(const std::vector<std::string>& argv, const fs::path& log,
                          const std::vector<int>& ports, const std::optional<fs::path>& readyFile) {
  const auto program = findProgram(argv[0]);
  if (!program) {
    failure_ = argv[0] + " is not installed";
    return false;
  }
  std::vector<std::string> resolved = argv;
  resolved[0] = *program;
  const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  pid_ = spawn(resolved, fd);
  ::close(fd);
  if (pid_ < 0) {
    failure_ = "could not start " + *program;
    return false;
  }
  const double deadline = now() + 20;
  while (now() < deadline) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      failure_ = *program + " ended at start: " + tail(log);
      return false;
    }
    bool ready = !readyFile || fs::exists(*readyFile);
    for (int port : ports)
      ready = ready && listening(port);
    if (ready) return true;
    pause();
  }
  failure_ = *program + " did not listen in time: " + tail(log);
  stop();
  return false;
}

void ServerProcess::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  const double deadline = now() + 10;
  int status = 0;
  while (now() < deadline) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    pause();
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

int freePort() {
  // Below the range the kernel hands out to outgoing connections, so that none of those (of this
  // or another test process) takes the port between this check and the server's bind; chosen at
  // random, so that test processes running side by side rarely pick the same one. A server that
  // still finds its port taken fails to start, which its start reports.
  int low = 32768;
  std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
  range >> low;
  if (low <= 12000) low = 32768;
  static std::uint64_t state = static_cast<std::uint64_t>(::getpid()) * 6364136223846793005ull ^
                               static_cast<std::uint64_t>(now() * 1e9);
  for (int attempt = 0; attempt < 200; ++attempt) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    const int port = 10000 + static_cast<int>((state >> 33) % std::uint64_t(low - 10000));
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    if (free && !listening(port)) return port;
  }
  return 0;
}

CurlResult curl(const std::vector<std::string>& arguments, const fs::path& folder) {
  static int counter = 0;
  const fs::path body = folder / ("curl-body-" + std::to_string(++counter));
  std::vector<std::string> argv = {
      "curl", "-sS", "--cacert", Servers::shared().authority().authorityCertificate,
      "-o",   body,  "-w",       "%{http_code} %{url_effective}"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const auto result = run(argv, 120);
  CurlResult out;
  if (result.status != 0) {
    out.failure = "curl failed (" + std::to_string(result.status) + "): " + result.output;
    return out;
  }
  std::istringstream words(result.output);
  words >> out.status >> out.finalURL;
  out.body = readFile(body);
  out.bodySHA256 = sha256Hex(out.body);
  std::error_code ignored;
  fs::remove(body, ignored);
  return out;
}

bool serversRequired() {
  const char* ci = std::getenv("CI");
  const char* required = std::getenv("TOVARINE_REQUIRE_INTEROP");
  return (ci != nullptr && *ci != '\0' && std::string(ci) != "0" && std::string(ci) != "false") ||
         (required != nullptr && std::string(required) == "1");
}

Servers& Servers::shared() {
  static Servers servers;
  return servers;
}

Servers::Servers() : folder_(std::make_unique<TemporaryFolder>("tovarine-interop")) {}

Servers::~Servers() {
  python_.stop();
  apache_.stop();
  nginx_.stop();
}

bool Servers::fail(const std::string& text) {
  failure_ = text;
  return false;
}

bool Servers::ensureAuthority() {
  if (authorityMade_) return authority_.failure.empty() || fail(authority_.failure);
  authorityMade_ = true;
  fs::create_directories(folder() / "pki");
  authority_ = makeTestAuthority(folder() / "pki");
  if (!authority_.failure.empty()) return fail(authority_.failure);
  // The client under test trusts the authority as a system anchor; the variable is read when
  // the first connection is evaluated.
  ::setenv("SSL_CERT_FILE", authority_.authorityCertificate.c_str(), 1);
  return true;
}

bool Servers::nginx() {
  if (nginxStarted_) return *nginxStarted_ || fail("nginx: " + nginx_.failure());
  nginxStarted_ = false;
  if (!ensureAuthority()) return false;
  const fs::path dir = folder() / "nginx";
  fs::create_directories(dir / "temp");
  // The workers write request bodies here as the unprivileged user.
  fs::permissions(dir, fs::perms(0755));
  fs::permissions(dir / "temp", fs::perms(01777));
  plainPort_ = freePort();
  http1TLSPort_ = freePort();
  http2Port_ = freePort();
  keepAlive3Port_ = freePort();
  untrustedPort_ = freePort();
  const fs::path www = nginxRoot();
  writeFile(www / "hello.txt", sampleText(200 * 1024));
  writeFile(www / "data.bin", sampleBytes(1 << 20));
  writeFile(www / "range.bin", sampleBytes(300 * 1000));
  writeFile(www / "revalidate" / "page.txt", sampleText(10 * 1024));
  writeFile(www / "basic" / "index.txt", "behind basic\n");
  writeFile(www / "small.txt", "small\n");
  writeFile(dir / "htpasswd", "user:{PLAIN}secret\n");
  const std::string d = dir.string();
  const std::string tls = "    ssl_certificate " + authority_.serverCertificate.string() +
                          ";\n    ssl_certificate_key " + authority_.serverKey.string() + ";\n";
  std::string locations =
      "    root " + www.string() +
      ";\n"
      "    location = /method { default_type text/plain; return 200 \"$request_method "
      "$content_length\\n\"; }\n"
      "    location = /r301 { return 301 /method; }\n"
      "    location = /r302 { return 302 /method; }\n"
      "    location = /r303 { return 303 /method; }\n"
      "    location = /r307 { return 307 /method; }\n"
      "    location = /r308 { return 308 /method; }\n"
      "    location = /setcookie { add_header Set-Cookie \"flavour=oat; Path=/\"; "
      "return 302 /showcookie; }\n"
      "    location = /showcookie { default_type text/plain; return 200 "
      "\"cookie=$http_cookie\\n\"; "
      "}\n"
      "    location /basic/ { auth_basic \"interop\"; auth_basic_user_file " +
      d +
      "/htpasswd; }\n"
      "    location /revalidate/ { add_header Cache-Control \"no-cache\"; }\n"
      "    location /slow/ { limit_rate_after 512k; limit_rate 4m; }\n";
  const std::string conf =
      std::string(::geteuid() == 0 ? "user nobody nogroup;\n" : "") +
      "daemon off;\nmaster_process on;\nworker_processes 1;\npid " + d + "/nginx.pid;\nerror_log " +
      d +
      "/error.log warn;\n"
      "events { worker_connections 512; }\n"
      "http {\n"
      "  log_format interop '$connection $connection_requests $status $request_method $uri "
      "$server_protocol';\n"
      "  access_log " +
      d +
      "/access.log interop;\n"
      "  client_body_temp_path " +
      d + "/temp/body;\n  proxy_temp_path " + d + "/temp/proxy;\n  fastcgi_temp_path " + d +
      "/temp/fastcgi;\n  uwsgi_temp_path " + d + "/temp/uwsgi;\n  scgi_temp_path " + d +
      "/temp/scgi;\n"
      "  types { text/plain txt; application/octet-stream bin; }\n"
      "  default_type application/octet-stream;\n"
      "  client_max_body_size 200m;\n"
      "  gzip on;\n  gzip_types text/plain;\n  gzip_min_length 0;\n  gzip_proxied any;\n"
      "  http2_max_concurrent_streams 128;\n"
      "  server {\n"
      "    listen 127.0.0.1:" +
      std::to_string(plainPort_) + ";\n    listen 127.0.0.1:" + std::to_string(http1TLSPort_) +
      " ssl;\n    listen 127.0.0.1:" + std::to_string(http2Port_) + " ssl http2;\n" + tls +
      locations +
      "  }\n"
      "  server {\n    listen 127.0.0.1:" +
      std::to_string(keepAlive3Port_) + ";\n    keepalive_requests 3;\n" + locations +
      "  }\n"
      "  server {\n    listen 127.0.0.1:" +
      std::to_string(untrustedPort_) + " ssl;\n    ssl_certificate " +
      authority_.untrustedCertificate.string() + ";\n    ssl_certificate_key " +
      authority_.untrustedKey.string() + ";\n" + locations +
      "  }\n"
      "}\n";
  writeFile(dir / "nginx.conf", conf);
  // nginx writes its pid file once it holds its ports: something else listening on one of them
  // is not taken for it.
  if (!nginx_.start({"nginx", "-p", d + "/", "-c", d + "/nginx.conf", "-e", d + "/error.log"},
                    dir / "stdout.log",
                    {plainPort_, http1TLSPort_, http2Port_, keepAlive3Port_, untrustedPort_},
                    dir / "nginx.pid")) {
    return fail("nginx: " + nginx_.failure() + " " + tail(dir / "error.log"));
  }
  nginxStarted_ = true;
  return true;
}

std::vector<std::string> Servers::nginxLog() const {
  std::vector<std::string> lines;
  std::istringstream in(readFile(folder() / "nginx" / "access.log"));
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

bool Servers::apache() {
  if (apacheStarted_) return *apacheStarted_ || fail("apache2: " + apache_.failure());
  apacheStarted_ = false;
  const fs::path dir = folder() / "apache";
  fs::create_directories(dir / "run");
  fs::create_directories(dir / "lock");
  fs::create_directories(apacheRoot() / "dav");
  fs::permissions(dir / "lock", fs::perms(01777));
  fs::permissions(apacheRoot() / "dav", fs::perms(01777));
  apachePort_ = freePort();
  writeFile(apacheRoot() / "hello.txt", sampleText(200 * 1024));
  writeFile(apacheRoot() / "digest" / "index.txt", "behind digest\n");
  writeFile(dir / "htdigest", "user:interop:" + digestHex(EVP_md5(), "user:interop:secret") + "\n");
  const std::string d = dir.string();
  const std::string modules = "/usr/lib/apache2/modules/";
  std::string conf = "ServerRoot " + d + "\nListen 127.0.0.1:" + std::to_string(apachePort_) +
                     "\nServerName 127.0.0.1\nPidFile " + d + "/apache.pid\nErrorLog " + d +
                     "/error.log\nLogLevel warn\nDefaultRuntimeDir " + d + "/run\nMutex file:" + d +
                     "/run default\n";
  for (const char* module : {"mpm_event", "authn_core", "authn_file", "authz_core", "authz_user",
                             "auth_digest", "filter", "deflate", "dav", "dav_fs", "mime"}) {
    conf += std::string("LoadModule ") + module + "_module " + modules + "mod_" + module + ".so\n";
  }
  if (::geteuid() == 0) conf += "User nobody\nGroup nogroup\n";
  conf += "DocumentRoot " + apacheRoot().string() + "\n<Directory " + apacheRoot().string() +
          ">\n  Require all granted\n</Directory>\n"
          "TypesConfig /dev/null\nAddType text/plain .txt\n"
          "AddOutputFilterByType DEFLATE text/plain\n"
          "DavLockDB " +
          d +
          "/lock/dav\n"
          "LimitRequestBody 0\n"
          "<Location /digest/>\n  AuthType Digest\n  AuthName \"interop\"\n"
          "  AuthDigestProvider file\n  AuthUserFile " +
          d +
          "/htdigest\n  AuthDigestDomain /digest/\n  Require valid-user\n</Location>\n"
          "<Location /dav/>\n  Dav On\n</Location>\n";
  writeFile(dir / "httpd.conf", conf);
  if (!apache_.start({"apache2", "-f", d + "/httpd.conf", "-DFOREGROUND"}, dir / "stdout.log",
                     {apachePort_}, dir / "apache.pid")) {
    return fail("apache2: " + apache_.failure() + " " + tail(dir / "error.log"));
  }
  apacheStarted_ = true;
  return true;
}

bool Servers::python() {
  if (pythonStarted_) return *pythonStarted_ || fail("python servers: " + python_.failure());
  pythonStarted_ = false;
  if (!ensureAuthority()) return false;
  const fs::path dir = folder() / "python";
  fs::create_directories(dir);
  wsPort_ = freePort();
  wssPort_ = freePort();
  pythonHTTPPort_ = freePort();
  // The system's interpreter, where the system's websockets package is.
  if (!python_.start(
          {"/usr/bin/python3", TOVARINE_INTEROP_SUPPORT "/python_servers.py",
           std::to_string(wsPort_), std::to_string(wssPort_), std::to_string(pythonHTTPPort_),
           authority_.serverCertificate, authority_.serverKey, dir / "ready"},
          dir / "stdout.log", {wsPort_, wssPort_, pythonHTTPPort_}, dir / "ready")) {
    return fail("python servers: " + python_.failure());
  }
  pythonStarted_ = true;
  return true;
}

}  // namespace interop
