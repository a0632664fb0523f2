#include "platform/net/url.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>

#include "platform/net/percent_encoding.h"

namespace platform {

namespace {

constexpr auto npos = std::string::npos;

bool isHex(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

bool isSchemeChar(char c, bool first) {
  auto u = static_cast<unsigned char>(c);
  if (std::isalpha(u)) return true;
  if (first) return false;
  return std::isdigit(u) || c == '+' || c == '-' || c == '.';
}

// Characters a URL may hold as they stand anywhere (the brackets only where checked below).
bool isURIChar(char c) {
  auto u = static_cast<unsigned char>(c);
  if (u <= 0x20 || u >= 0x7F) return false;
  switch (c) {
    case '"':
    case '<':
    case '>':
    case '\\':
    case '^':
    case '`':
    case '{':
    case '|':
    case '}':
      return false;
    default:
      return true;
  }
}

bool validPercentEscapes(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%') {
      if (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2])) return false;
      i += 2;
    }
  }
  return true;
}

std::string decodedOrRaw(std::string_view text) {
  if (auto decoded = removingPercentEncoding(text)) return *decoded;
  return std::string(text);
}

// RFC 3986 §5.2.4, as written there: the input is consumed from the front through a view and
// the output is a buffer, so a path of many segments costs time in proportion to its length.
std::string removeDotSegments(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  auto dropLastOutputSegment = [&out] {
    auto slash = out.rfind('/');
    out.erase(slash == npos ? 0 : slash);
  };
  while (!in.empty()) {
    if (in.starts_with("../")) {
      in.remove_prefix(3);
    } else if (in.starts_with("./") || in.starts_with("/./")) {
      in.remove_prefix(2);
    } else if (in == "/.") {
      in = "/";
    } else if (in.starts_with("/../")) {
      in.remove_prefix(3);
      dropLastOutputSegment();
    } else if (in == "/..") {
      in = "/";
      dropLastOutputSegment();
    } else if (in == "." || in == "..") {
      in = {};
    } else {
      std::size_t next = in.find('/', in[0] == '/' ? 1 : 0);
      if (next == npos) next = in.size();
      out.append(in.substr(0, next));
      in.remove_prefix(next);
    }
  }
  return out;
}

std::string compose(const std::optional<std::string>& scheme,
                    const std::optional<std::string>& authority, std::string_view path,
                    const std::optional<std::string>& query,
                    const std::optional<std::string>& fragment) {
  std::string out;
  if (scheme) out += *scheme + ":";
  if (authority) out += "//" + *authority;
  if (!authority && path.starts_with("//")) {
    // Without an authority a path starting "//" would read as one (§5.2.4, §5.3).
    out += "/.";
  } else if (!scheme && !authority) {
    // A first segment holding ':' would read as a scheme; "./" keeps it a path (§4.2).
    auto firstSegment = path.substr(0, path.find('/'));
    if (firstSegment.find(':') != std::string_view::npos) out += "./";
  }
  out += path;
  if (query) out += "?" + *query;
  if (fragment) out += "#" + *fragment;
  return out;
}

}  // namespace

std::optional<URL> URL::fromString(std::string_view text) {
  return parse(std::string(text));
}

std::optional<URL> URL::parse(std::string text) {
  if (text.empty()) return std::nullopt;
  for (char c : text) {
    if (!isURIChar(c)) return std::nullopt;
  }
  if (!validPercentEscapes(text)) return std::nullopt;

  URL url;
  url.text_ = std::move(text);
  const std::string& s = url.text_;
  std::size_t pos = 0;

  // Scheme: letters first, up to a ':' that comes before any '/', '?' or '#'.
  std::size_t colon = s.find(':');
  std::size_t firstDelimiter = s.find_first_of("/?#");
  if (colon != npos && (firstDelimiter == npos || colon < firstDelimiter)) {
    if (colon == 0) return std::nullopt;
    for (std::size_t i = 0; i < colon; ++i) {
      // A first segment with ':' that is no scheme cannot be a relative reference either.
      if (!isSchemeChar(s[i], i == 0)) return std::nullopt;
    }
    url.schemeLength_ = colon;
    pos = colon + 1;
  }

  if (s.compare(pos, 2, "//") == 0) {
    url.authorityStart_ = pos + 2;
    std::size_t end = s.find_first_of("/?#", url.authorityStart_);
    url.authorityEnd_ = end == npos ? s.size() : end;
    std::string_view authority(s.data() + url.authorityStart_,
                               url.authorityEnd_ - url.authorityStart_);
    auto at = authority.rfind('@');
    std::string_view hostPort = at == std::string_view::npos ? authority : authority.substr(at + 1);
    if (at != std::string_view::npos &&
        authority.substr(0, at).find_first_of("[]@") != std::string_view::npos) {
      return std::nullopt;
    }
    std::string_view portText;
    if (hostPort.starts_with("[")) {
      auto close = hostPort.find(']');
      if (close == std::string_view::npos) return std::nullopt;
      if (!isIPLiteralHost(hostPort.substr(1, close - 1))) return std::nullopt;
      auto rest = hostPort.substr(close + 1);
      if (!rest.empty()) {
        if (rest[0] != ':') return std::nullopt;
        portText = rest.substr(1);
      }
    } else {
      if (hostPort.find_first_of("[]") != std::string_view::npos) return std::nullopt;
      auto portColon = hostPort.find(':');
      if (portColon != std::string_view::npos) portText = hostPort.substr(portColon + 1);
    }
    if (!portText.empty()) {
      if (portText.size() > 5 ||
          portText.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
      }
      if (std::stoi(std::string(portText)) > 65535) return std::nullopt;
    }
    pos = url.authorityEnd_;
  }

  url.pathStart_ = pos;
  std::size_t pathEnd = s.find_first_of("?#", pos);
  url.pathEnd_ = pathEnd == npos ? s.size() : pathEnd;
  if (std::string_view(s.data() + url.pathStart_, url.pathEnd_ - url.pathStart_)
          .find_first_of("[]") != std::string_view::npos) {
    return std::nullopt;
  }
  pos = url.pathEnd_;
  if (pos < s.size() && s[pos] == '?') {
    url.queryStart_ = pos + 1;
    std::size_t hash = s.find('#', url.queryStart_);
    url.queryEnd_ = hash == npos ? s.size() : hash;
    pos = url.queryEnd_;
  }
  if (pos < s.size() && s[pos] == '#') {
    url.fragmentStart_ = pos + 1;
    if (s.find('#', url.fragmentStart_) != npos) return std::nullopt;
  }
  return url;
}

std::optional<URL> URL::fromString(std::string_view text, const URL& base) {
  auto reference = fromString(text);
  if (!reference) return std::nullopt;
  if (!base.isAbsolute() || reference->isAbsolute()) {
    if (reference->isAbsolute()) {
      // Still normalise the dots of an absolute reference (§5.2.2).
      auto path = removeDotSegments(reference->percentEncodedPath());
      return parse(compose(reference->scheme(),
                           reference->authorityStart_ != npos
                               ? std::optional<std::string>(reference->text_.substr(
                                     reference->authorityStart_,
                                     reference->authorityEnd_ - reference->authorityStart_))
                               : std::nullopt,
                           path, reference->query(), reference->fragment()));
    }
    return reference;
  }
  auto authorityOf = [](const URL& u) -> std::optional<std::string> {
    if (u.authorityStart_ == npos) return std::nullopt;
    return u.text_.substr(u.authorityStart_, u.authorityEnd_ - u.authorityStart_);
  };
  std::optional<std::string> authority;
  std::string path;
  std::optional<std::string> query;
  const std::string refPath = reference->percentEncodedPath();
  if (reference->authorityStart_ != npos) {
    authority = authorityOf(*reference);
    path = removeDotSegments(refPath);
    query = reference->query();
  } else {
    authority = authorityOf(base);
    if (refPath.empty()) {
      path = base.percentEncodedPath();
      query = reference->query() ? reference->query() : base.query();
    } else {
      if (refPath.starts_with("/")) {
        path = removeDotSegments(refPath);
      } else {
        std::string basePath = base.percentEncodedPath();
        std::string merged;
        if (authority && basePath.empty()) {
          merged = "/" + refPath;
        } else {
          auto slash = basePath.rfind('/');
          merged = (slash == npos ? std::string() : basePath.substr(0, slash + 1)) + refPath;
        }
        path = removeDotSegments(merged);
      }
      query = reference->query();
    }
  }
  return parse(compose(base.scheme(), authority, path, query, reference->fragment()));
}

URL URL::fileURLWithPath(std::string_view path, std::optional<bool> isDirectory) {
  std::string absolute(path);
  if (!absolute.starts_with("/")) {
    char buffer[PATH_MAX];
    std::string cwd = getcwd(buffer, sizeof buffer) ? buffer : "/";
    if (!cwd.ends_with("/")) cwd += "/";
    absolute = cwd + absolute;
  }
  bool directory;
  if (isDirectory) {
    directory = *isDirectory;
  } else {
    struct stat info {};
    directory = ::stat(absolute.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  }
  if (directory && !absolute.ends_with("/")) absolute += "/";
  auto url = parse("file://" + addingPercentEncoding(absolute, URLCharacterSet::urlPathAllowed()));
  return std::move(*url);  // always parses: every character is escaped as a path needs
}

std::optional<std::string> URL::scheme() const {
  if (schemeLength_ == 0) return std::nullopt;
  return text_.substr(0, schemeLength_);
}

namespace {

struct AuthorityParts {
  std::optional<std::string_view> user, password;
  std::string_view host;
  std::optional<std::string_view> port;
};

AuthorityParts splitAuthority(std::string_view authority) {
  AuthorityParts parts;
  auto at = authority.rfind('@');
  std::string_view hostPort = authority;
  if (at != std::string_view::npos) {
    auto userInfo = authority.substr(0, at);
    auto colon = userInfo.find(':');
    parts.user = userInfo.substr(0, colon);
    if (colon != std::string_view::npos) parts.password = userInfo.substr(colon + 1);
    hostPort = authority.substr(at + 1);
  }
  std::size_t portColon;
  if (hostPort.starts_with("[")) {
    auto close = hostPort.find(']');
    portColon = hostPort.find(':', close);
  } else {
    portColon = hostPort.find(':');
  }
  parts.host = hostPort.substr(0, portColon);
  if (portColon != std::string_view::npos) parts.port = hostPort.substr(portColon + 1);
  return parts;
}

}  // namespace

std::optional<std::string> URL::host() const {
  if (authorityStart_ == npos) return std::nullopt;
  auto parts = splitAuthority(
      std::string_view(text_).substr(authorityStart_, authorityEnd_ - authorityStart_));
  std::string_view host = parts.host;
  if (host.starts_with("[") && host.ends_with("]")) host = host.substr(1, host.size() - 2);
  return decodedOrRaw(host);
}

std::optional<int> URL::port() const {
  if (authorityStart_ == npos) return std::nullopt;
  auto parts = splitAuthority(
      std::string_view(text_).substr(authorityStart_, authorityEnd_ - authorityStart_));
  if (!parts.port || parts.port->empty()) return std::nullopt;
  return std::stoi(std::string(*parts.port));
}

std::optional<std::string> URL::user() const {
  if (authorityStart_ == npos) return std::nullopt;
  auto parts = splitAuthority(
      std::string_view(text_).substr(authorityStart_, authorityEnd_ - authorityStart_));
  if (!parts.user) return std::nullopt;
  return decodedOrRaw(*parts.user);
}

std::optional<std::string> URL::password() const {
  if (authorityStart_ == npos) return std::nullopt;
  auto parts = splitAuthority(
      std::string_view(text_).substr(authorityStart_, authorityEnd_ - authorityStart_));
  if (!parts.password) return std::nullopt;
  return decodedOrRaw(*parts.password);
}

std::string URL::percentEncodedPath() const {
  return text_.substr(pathStart_, pathEnd_ - pathStart_);
}

std::string URL::path() const {
  std::string p = decodedOrRaw(percentEncodedPath());
  if (p.size() > 1 && p.ends_with("/")) p.pop_back();
  return p;
}

std::optional<std::string> URL::query() const {
  if (queryStart_ == npos) return std::nullopt;
  return text_.substr(queryStart_, queryEnd_ - queryStart_);
}

std::optional<std::string> URL::fragment() const {
  if (fragmentStart_ == npos) return std::nullopt;
  return text_.substr(fragmentStart_);
}

std::vector<std::string> URL::pathComponents() const {
  std::vector<std::string> components;
  std::string p = percentEncodedPath();
  std::size_t pos = 0;
  if (p.starts_with("/")) {
    components.emplace_back("/");
    pos = 1;
  }
  while (pos < p.size()) {
    std::size_t next = p.find('/', pos);
    if (next == npos) next = p.size();
    if (next > pos) components.push_back(decodedOrRaw(std::string_view(p).substr(pos, next - pos)));
    pos = next + 1;
  }
  return components;
}

std::string URL::lastPathComponent() const {
  auto components = pathComponents();
  return components.empty() ? std::string() : components.back();
}

std::string URL::pathExtension() const {
  std::string last = lastPathComponent();
  auto dot = last.rfind('.');
  if (dot == npos || dot == 0 || dot + 1 == last.size()) return {};
  return last.substr(dot + 1);
}

bool URL::hasDirectoryPath() const {
  return pathEnd_ > pathStart_ && text_[pathEnd_ - 1] == '/';
}

bool URL::isFileURL() const {
  auto s = scheme();
  if (!s) return false;
  std::string lower = *s;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower == "file";
}

namespace {

// Rebuilds `url` with a new encoded path, keeping every other part.
URL withPath(const URL& url, const std::string& path);

}  // namespace

URL URL::appendingPathComponent(std::string_view component, bool isDirectory) const {
  std::string path = percentEncodedPath();
  std::string encoded = addingPercentEncoding(component, URLCharacterSet::urlPathAllowed());
  if (path.empty()) {
    if (authorityStart_ != npos) path = "/";
  } else if (!path.ends_with("/")) {
    path += "/";
  }
  if (encoded.starts_with("/") && path.ends_with("/")) encoded.erase(0, 1);
  path += encoded;
  if (isDirectory && !path.ends_with("/")) path += "/";
  return withPath(*this, path);
}

URL URL::deletingLastPathComponent() const {
  std::string path = percentEncodedPath();
  if (path.empty()) return withPath(*this, authorityStart_ != npos || isAbsolute() ? "/" : "./");
  if (path == "/") return *this;
  if (path.ends_with("/")) path.pop_back();
  auto slash = path.rfind('/');
  if (slash == npos) return withPath(*this, "./");
  return withPath(*this, path.substr(0, slash + 1));
}

URL URL::appendingPathExtension(std::string_view extension) const {
  std::string path = percentEncodedPath();
  if (extension.empty() || path.empty() || path == "/") return *this;
  bool directory = path.ends_with("/");
  if (directory) path.pop_back();
  path += "." + addingPercentEncoding(extension, URLCharacterSet::urlPathAllowed().removing("/"));
  if (directory) path += "/";
  return withPath(*this, path);
}

URL URL::deletingPathExtension() const {
  if (pathExtension().empty()) return *this;
  // The extension was read from the decoded last component, so its dot is found in the same
  // component, walking whole escapes: a dot may be written "." or "%2E".
  std::string path = percentEncodedPath();
  bool directory = path.ends_with("/");
  if (directory) path.pop_back();
  auto componentStart = path.rfind('/');
  componentStart = componentStart == npos ? 0 : componentStart + 1;
  bool decodes = removingPercentEncoding(std::string_view(path).substr(componentStart)).has_value();
  std::size_t dot = npos;
  for (std::size_t i = componentStart; i < path.size(); ++i) {
    if (path[i] == '.') {
      dot = i;
    } else if (path[i] == '%' && decodes) {
      if (path[i + 1] == '2' && (path[i + 2] == 'E' || path[i + 2] == 'e')) dot = i;
      i += 2;  // escapes are whole: the parser checked them
    }
  }
  if (dot == npos) return *this;
  path.erase(dot);
  if (directory) path += "/";
  return withPath(*this, path);
}

namespace {

URL withPath(const URL& url, const std::string& path) {
  std::optional<std::string> authority;
  const std::string& text = url.absoluteString();
  auto scheme = url.scheme();
  std::size_t afterScheme = scheme ? scheme->size() + 1 : 0;
  if (text.compare(afterScheme, 2, "//") == 0) {
    std::size_t start = afterScheme + 2;
    std::size_t end = text.find_first_of("/?#", start);
    authority = text.substr(start, (end == npos ? text.size() : end) - start);
  }
  auto result = URL::fromString(compose(scheme, authority, path, url.query(), url.fragment()));
  return result ? *result : url;
}

}  // namespace

}  // namespace platform
