#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/date.h"
#include "platform/net/http_url_response.h"
#include "platform/net/url_request.h"

// The disk part of the URL cache: one file per entry.
//
// File layout (integers little-endian):
//   0  "TVUC"           magic
//   4  u32 version      1
//   8  u64 lastAccess   the access counter, rewritten in place on every hit
//   16 f64 storedAt     seconds since the reference date
//   24 u32 key length, u32 head length, u32 vary length, u32 zero
//   40 u64 body length
//   48 key, head, vary, body; the file ends exactly there
// Head and vary are sequences of length-prefixed strings (u32 length, bytes).
namespace platform::url_cache_detail {

using VaryValues = std::vector<std::pair<std::string, std::optional<std::string>>>;

struct EntryFile {
  std::string key;
  URLResponsePtr response;
  VaryValues vary;
  Date storedAt;
  std::uint64_t lastAccess = 0;
  Bytes body;
};

enum class ReadStatus { ok, missing, damaged };
struct ReadResult {
  ReadStatus status = ReadStatus::missing;
  std::optional<EntryFile> entry;
  std::int64_t fileSize = 0;
};

struct ScannedFile {
  std::string name;
  std::int64_t size = 0;
  std::uint64_t lastAccess = 0;
};

// The SHA-256 of the key in lower-case hex.
std::string fileNameForKey(const std::string& key);
// Makes the folder (owner only) with its parents when missing; false when it cannot be used.
bool prepareDirectory(const std::string& directory);
// Reads and checks a whole entry file. A file above `maximumSize` (the disk part's capacity:
// nothing larger was ever written) is damaged, and every length is checked against the file's
// size (and a bound of its own) before anything is allocated for it.
ReadResult readEntryFile(const std::string& path, std::int64_t maximumSize);
// Writes the entry under `name` through a temporary file in the same folder; the file's size,
// or none when it could not be written.
std::optional<std::int64_t> writeEntryFile(const std::string& directory, const std::string& name,
                                           const EntryFile& entry, const Bytes& body);
void touchEntryFile(const std::string& path, std::uint64_t lastAccess);
void removeEntryFile(const std::string& path);
// Every entry file of the folder whose header agrees with its size; files that do not are
// removed, and so are temporary files left over by a writer that died.
std::vector<ScannedFile> scanEntryFiles(const std::string& directory);

// The encoded head of a response and its inverse (none when the bytes do not parse).
Bytes encodeHead(const URLResponse& response);
URLResponsePtr decodeHead(const std::uint8_t* data, std::size_t size);

}  // namespace platform::url_cache_detail
