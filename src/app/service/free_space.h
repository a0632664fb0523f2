#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace app {

// The free bytes of the file system holding a path, absent when unknown.
using FreeSpaceSource = std::function<std::optional<std::uint64_t>(const std::filesystem::path&)>;

// The system's figure for unprivileged users (what a write of ours can use).
std::optional<std::uint64_t> systemFreeBytes(const std::filesystem::path& path);

// The path itself, or the nearest folder above it that exists (a folder may not exist yet).
std::filesystem::path existingAncestor(std::filesystem::path path);

// A folder without room for a file: how much there is and how much the file needs there.
struct SpaceShortage {
  std::filesystem::path folder;
  std::uint64_t freeBytes = 0;
  std::uint64_t neededBytes = 0;
};

// A size as people read it: "512 bytes", "1.5 kB", "33.6 MB", "2.1 GB" (powers of 1000).
std::string byteCountText(std::uint64_t bytes);

}  // namespace app
