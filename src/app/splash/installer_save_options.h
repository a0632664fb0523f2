#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/service/free_space.h"
#include "app/splash/splash_services.h"

namespace app {

// What the save panel suggests for the installer: the name and the one file type of the
// file the server offers (its last path segment, such as "Tovarine.deb" or
// "Tovarine-x86_64.AppImage"); without a type in that name any type may be chosen. The panel
// opens in `folder`.
SavePanel::Options installerSaveOptions(std::string_view serverAddress,
                                        const std::filesystem::path& folder);

// The user's downloads folder as the desktop's user-dirs file names it (under
// `configHome`), when it exists; else `home`.
std::filesystem::path downloadsFolder(const std::filesystem::path& home,
                                      const std::filesystem::path& configHome);

// The same for this process: $XDG_CONFIG_HOME (or ~/.config) and $HOME.
std::filesystem::path currentDownloadsFolder();

// $HOME, or "/" without one.
std::filesystem::path currentHomeFolder();

// The first existing folder of `candidates` other than `full` whose disk has `needed` bytes
// free; `home` when none has.
std::filesystem::path folderWithRoom(std::uint64_t needed,
                                     const std::vector<std::filesystem::path>& candidates,
                                     const std::filesystem::path& full,
                                     const std::filesystem::path& home,
                                     const FreeSpaceSource& freeBytes);

}  // namespace app
