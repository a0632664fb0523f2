#pragma once

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace platform {

// The next piece of a file's content; an empty piece once there is no more, or why the content
// cannot be had (that text is what the write then fails with).
using FileContentSource =
    std::function<std::expected<std::span<const std::uint8_t>, std::string>()>;

// Whether the new content reaches the disk before it takes the old file's place. What can be
// made again (a cache's entry) may skip that wait: after a crash it may be empty or cut short,
// never a mix of two versions.
enum class WriteDurability { flushed, unflushed };

// The hidden name a write of `path`'s file name goes under until it is renamed: "." + name +
// "." + six characters. A folder's reader that finds one left by a writer that died may remove it.
bool isAtomicWriteTemporary(std::string_view fileName, std::string_view finalName);

// Writes the file beside `path` under a hidden temporary name, gives it `mode`, flushes it to
// the disk (unless told not to) and renames it over `path`: readers see the old file or the new
// one, never a part. The folder must exist. On failure nothing is left behind and the text says
// what failed and where: "The folder /a is not writable: …", "/a/b could not be written: …" or
// "/a/b could not be saved: …".
std::expected<void, std::string> writeFileAtomically(
    const std::filesystem::path& path, std::string_view bytes, mode_t mode,
    WriteDurability durability = WriteDurability::flushed);
// The same with content that comes piece by piece, for a file too large to hold.
std::expected<void, std::string> writeFileAtomically(
    const std::filesystem::path& path, const FileContentSource& content, mode_t mode,
    WriteDurability durability = WriteDurability::flushed);

}  // namespace platform
