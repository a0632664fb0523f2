#include "platform/net/url_cache_disk.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <span>

#include "platform/foundation/atomic_file_write.h"

namespace platform::url_cache_detail {

namespace {

constexpr std::size_t kHeaderSize = 48;
constexpr std::uint32_t kVersion = 1;
constexpr char kMagic[4] = {'T', 'V', 'U', 'C'};
// Bounds on the parts of an entry, checked before anything is allocated for them. A URL key
// or a response head beyond these is not something this cache ever writes.
constexpr std::uint32_t kMaxKey = 64 * 1024;
constexpr std::uint32_t kMaxHead = 1024 * 1024;
constexpr std::uint32_t kMaxVary = 64 * 1024;
// A temporary file older than this belongs to a writer that died.
constexpr std::time_t kStaleTemporarySeconds = 60;

void putU32(Bytes& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}
void putU64(Bytes& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i)
    out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}
void putString(Bytes& out, std::string_view text) {
  putU32(out, static_cast<std::uint32_t>(text.size()));
  out.insert(out.end(), text.begin(), text.end());
}
std::uint32_t getU32(const std::uint8_t* p) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i)
    value = (value << 8) | p[i];
  return value;
}
std::uint64_t getU64(const std::uint8_t* p) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i)
    value = (value << 8) | p[i];
  return value;
}

// Reads length-prefixed values from a byte range; any read past its end fails the reader.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool ok() const { return ok_; }
  bool atEnd() const { return ok_ && pos_ == size_; }
  std::size_t remaining() const { return size_ - pos_; }
  std::uint8_t u8() {
    if (!need(1)) return 0;
    return data_[pos_++];
  }
  std::uint32_t u32() {
    if (!need(4)) return 0;
    auto value = getU32(data_ + pos_);
    pos_ += 4;
    return value;
  }
  std::uint64_t u64() {
    if (!need(8)) return 0;
    auto value = getU64(data_ + pos_);
    pos_ += 8;
    return value;
  }
  std::string string() {
    std::uint32_t length = u32();
    if (!need(length)) return {};
    std::string text(reinterpret_cast<const char*>(data_ + pos_), length);
    pos_ += length;
    return text;
  }

 private:
  bool need(std::size_t count) {
    if (!ok_ || count > size_ - pos_) {
      ok_ = false;
      return false;
    }
    return true;
  }
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

bool isEntryName(std::string_view name) {
  return name.size() == 64 && std::all_of(name.begin(), name.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

bool readAll(int fd, std::uint8_t* out, std::size_t size, off_t offset) {
  while (size > 0) {
    ssize_t got = pread(fd, out, size, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out += got;
    size -= static_cast<std::size_t>(got);
    offset += got;
  }
  return true;
}

struct Header {
  std::uint64_t lastAccess = 0;
  double storedAt = 0;
  std::uint32_t keyLength = 0, headLength = 0, varyLength = 0;
  std::uint64_t bodyLength = 0;
};

// The header, if it is one of ours and its lengths add up to exactly `fileSize`.
std::optional<Header> parseHeader(const std::uint8_t* p, std::int64_t fileSize) {
  if (std::memcmp(p, kMagic, 4) != 0 || getU32(p + 4) != kVersion) return std::nullopt;
  Header header;
  header.lastAccess = getU64(p + 8);
  header.storedAt = std::bit_cast<double>(getU64(p + 16));
  header.keyLength = getU32(p + 24);
  header.headLength = getU32(p + 28);
  header.varyLength = getU32(p + 32);
  header.bodyLength = getU64(p + 40);
  if (header.keyLength == 0 || header.keyLength > kMaxKey || header.headLength > kMaxHead ||
      header.varyLength > kMaxVary || getU32(p + 36) != 0) {
    return std::nullopt;
  }
  // A storage time that is no time, or one still to come, would make the entry fresh for ever.
  if (!std::isfinite(header.storedAt) ||
      header.storedAt > Date::now().timeIntervalSinceReferenceDate()) {
    return std::nullopt;
  }
  auto rest = static_cast<std::uint64_t>(fileSize) - kHeaderSize;
  std::uint64_t parts = std::uint64_t{header.keyLength} + header.headLength + header.varyLength;
  if (header.bodyLength > rest || parts != rest - header.bodyLength) return std::nullopt;
  return header;
}

std::optional<VaryValues> decodeVary(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  std::uint32_t count = in.u32();
  // Each field takes at least nine bytes, so the count is bounded by the bytes there are.
  if (!in.ok() || count > in.remaining() / 9) return std::nullopt;
  VaryValues vary;
  vary.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::string name = in.string();
    bool present = in.u8() != 0;
    std::string value = in.string();
    if (!in.ok()) return std::nullopt;
    vary.emplace_back(std::move(name),
                      present ? std::optional<std::string>(std::move(value)) : std::nullopt);
  }
  if (!in.atEnd()) return std::nullopt;
  return vary;
}

Bytes encodeVary(const VaryValues& vary) {
  Bytes out;
  putU32(out, static_cast<std::uint32_t>(vary.size()));
  for (const auto& [name, value] : vary) {
    putString(out, name);
    out.push_back(value ? 1 : 0);
    putString(out, value.value_or(""));
  }
  return out;
}

}  // namespace

std::string fileNameForKey(const std::string& key) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  EVP_Digest(key.data(), key.size(), digest.data(), &length, EVP_sha256(), nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name;
  name.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    name.push_back(kHex[digest[i] >> 4]);
    name.push_back(kHex[digest[i] & 0xF]);
  }
  return name;
}

bool prepareDirectory(const std::string& directory) {
  std::error_code error;
  std::filesystem::path path(directory);
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), error);
  if (mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat info {};
  return stat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

Bytes encodeHead(const URLResponse& response) {
  Bytes out;
  if (auto http = dynamic_cast<const HTTPURLResponse*>(&response)) {
    out.push_back(1);
    putString(out, http->url().absoluteString());
    putU32(out, static_cast<std::uint32_t>(http->statusCode()));
    putString(out, http->httpVersion());
    putU32(out, static_cast<std::uint32_t>(http->allHeaderFields().size()));
    for (const auto& [name, value] : http->allHeaderFields()) {
      putString(out, name);
      putString(out, value);
    }
    return out;
  }
  out.push_back(0);
  putString(out, response.url().absoluteString());
  out.push_back(response.mimeType() ? 1 : 0);
  putString(out, response.mimeType().value_or(""));
  putU64(out, static_cast<std::uint64_t>(response.expectedContentLength()));
  out.push_back(response.textEncodingName() ? 1 : 0);
  putString(out, response.textEncodingName().value_or(""));
  return out;
}

URLResponsePtr decodeHead(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  std::uint8_t kind = in.u8();
  auto url = URL::fromString(in.string());
  if (!in.ok() || !url) return nullptr;
  if (kind == 1) {
    auto status = in.u32();
    std::string version = in.string();
    std::uint32_t count = in.u32();
    if (!in.ok() || status > 999 || count > in.remaining() / 8) return nullptr;
    std::vector<std::string> lines;
    lines.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
      std::string name = in.string();
      std::string value = in.string();
      if (!in.ok()) return nullptr;
      lines.push_back(name + ": " + value);
    }
    if (!in.atEnd()) return nullptr;
    // A stored body is always the decoded one.
    return std::make_shared<const HTTPURLResponse>(HTTPURLResponse::fromHeaderLines(
        std::move(*url), static_cast<int>(status), std::move(version), lines, true));
  }
  if (kind != 0) return nullptr;
  bool hasMime = in.u8() != 0;
  std::string mime = in.string();
  auto expected = static_cast<std::int64_t>(in.u64());
  bool hasEncoding = in.u8() != 0;
  std::string encoding = in.string();
  if (!in.atEnd()) return nullptr;
  return std::make_shared<const URLResponse>(std::move(*url),
                                             hasMime ? std::optional(mime) : std::nullopt, expected,
                                             hasEncoding ? std::optional(encoding) : std::nullopt);
}

ReadResult readEntryFile(const std::string& path, std::int64_t maximumSize) {
  ReadResult result;
  // Without O_NONBLOCK a FIFO planted in the folder would hold the open until a writer came.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    result.status = errno == ENOENT ? ReadStatus::missing : ReadStatus::damaged;
    return result;
  }
  struct FdCloser {
    int fd;
    ~FdCloser() { close(fd); }
  } closer{fd};
  struct stat info {};
  result.status = ReadStatus::damaged;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return result;
  result.fileSize = info.st_size;
  if (info.st_size < static_cast<off_t>(kHeaderSize) || info.st_size > maximumSize) return result;
  std::array<std::uint8_t, kHeaderSize> raw{};
  if (!readAll(fd, raw.data(), raw.size(), 0)) return result;
  auto header = parseHeader(raw.data(), info.st_size);
  if (!header) return result;

  // Every length now lies within the file, so these allocations are bounded by its size.
  Bytes parts(std::size_t{header->keyLength} + header->headLength + header->varyLength);
  if (!readAll(fd, parts.data(), parts.size(), kHeaderSize)) return result;
  EntryFile entry;
  entry.key.assign(reinterpret_cast<const char*>(parts.data()), header->keyLength);
  entry.response = decodeHead(parts.data() + header->keyLength, header->headLength);
  auto vary = decodeVary(parts.data() + header->keyLength + header->headLength, header->varyLength);
  if (!entry.response || !vary) return result;
  entry.vary = std::move(*vary);
  entry.body.resize(header->bodyLength);
  if (!readAll(fd, entry.body.data(), entry.body.size(),
               static_cast<off_t>(kHeaderSize + parts.size()))) {
    return result;
  }
  entry.storedAt = Date(header->storedAt);
  entry.lastAccess = header->lastAccess;
  result.entry = std::move(entry);
  result.status = ReadStatus::ok;
  return result;
}

std::optional<std::int64_t> writeEntryFile(const std::string& directory, const std::string& name,
                                           const EntryFile& entry, const Bytes& body) {
  Bytes head = encodeHead(*entry.response);
  Bytes vary = encodeVary(entry.vary);
  if (entry.key.empty() || entry.key.size() > kMaxKey || head.size() > kMaxHead ||
      vary.size() > kMaxVary) {
    return std::nullopt;
  }
  Bytes out;
  out.reserve(kHeaderSize + entry.key.size() + head.size() + vary.size());
  out.insert(out.end(), kMagic, kMagic + 4);
  putU32(out, kVersion);
  putU64(out, entry.lastAccess);
  putU64(out, std::bit_cast<std::uint64_t>(entry.storedAt.timeIntervalSinceReferenceDate()));
  putU32(out, static_cast<std::uint32_t>(entry.key.size()));
  putU32(out, static_cast<std::uint32_t>(head.size()));
  putU32(out, static_cast<std::uint32_t>(vary.size()));
  putU32(out, 0);
  putU64(out, body.size());
  out.insert(out.end(), entry.key.begin(), entry.key.end());
  out.insert(out.end(), head.begin(), head.end());
  out.insert(out.end(), vary.begin(), vary.end());

  // The head, then the body, each in one piece.
  const std::span<const std::uint8_t> pieces[] = {out, body};
  std::size_t next = 0;
  auto content = [&]() -> std::expected<std::span<const std::uint8_t>, std::string> {
    return next < std::size(pieces) ? pieces[next++] : std::span<const std::uint8_t>();
  };
  // An entry lost to a crash is fetched again, so the write does not wait for the disk.
  if (!writeFileAtomically(std::filesystem::path(directory) / name, content, 0600,
                           WriteDurability::unflushed)) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(out.size() + body.size());
}

void touchEntryFile(const std::string& path, std::uint64_t lastAccess) {
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return;
  }
  Bytes raw;
  putU64(raw, lastAccess);
  // Best effort: a lost counter only changes which entry goes first.
  [[maybe_unused]] auto put = pwrite(fd, raw.data(), raw.size(), 8);
  close(fd);
}

void removeEntryFile(const std::string& path) {
  unlink(path.c_str());
}

std::vector<ScannedFile> scanEntryFiles(const std::string& directory) {
  std::vector<ScannedFile> found;
  DIR* dir = opendir(directory.c_str());
  if (!dir) return found;
  std::time_t now = std::time(nullptr);
  while (dirent* item = readdir(dir)) {
    std::string name = item->d_name;
    std::string path = directory + "/" + name;
    if (name.size() > 65 && isEntryName(std::string_view(name).substr(1, 64)) &&
        isAtomicWriteTemporary(name, std::string_view(name).substr(1, 64))) {
      struct stat info {};
      if (lstat(path.c_str(), &info) == 0 && now - info.st_mtime > kStaleTemporarySeconds) {
        unlink(path.c_str());
      }
      continue;
    }
    if (!isEntryName(name)) continue;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
      // Whatever cannot be opened as an entry (a socket, say) is not one: it goes, as a
      // damaged entry does.
      unlink(path.c_str());
      continue;
    }
    struct stat info {};
    std::array<std::uint8_t, kHeaderSize> raw{};
    bool good = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                info.st_size >= static_cast<off_t>(kHeaderSize) &&
                readAll(fd, raw.data(), raw.size(), 0);
    close(fd);
    std::optional<Header> header;
    if (good) header = parseHeader(raw.data(), info.st_size);
    if (!header) {
      unlink(path.c_str());
      continue;
    }
    found.push_back(ScannedFile{name, info.st_size, header->lastAccess});
  }
  closedir(dir);
  return found;
}

}  // namespace platform::url_cache_detail
