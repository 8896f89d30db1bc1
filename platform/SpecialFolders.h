// The user's special folders, found the way the desktop's base and user folder conventions lay them out,
// and the folder of the running program.
#pragma once

#include <filesystem>
#include <optional>
#include <system_error>

namespace platform {

// The folders the programs ask for. The values are the shell's folder ids of the same folders, so a
// caller that holds such an id can map it with SpecialFolderFromId.
enum class SpecialFolder : int {
    Documents = 5,              // XDG_DOCUMENTS_DIR, else ~/Documents
    Videos = 14,                // XDG_VIDEOS_DIR, else ~/Videos
    Desktop = 16,               // XDG_DESKTOP_DIR, else ~/Desktop
    ApplicationData = 26,       // $XDG_CONFIG_HOME, else ~/.config
    LocalApplicationData = 28,  // $XDG_DATA_HOME, else ~/.local/share
};

// The folder for a shell folder id; nullopt for an id that has no counterpart here.
std::optional<SpecialFolder> SpecialFolderFromId(int shellFolderId);

// The path of a special folder, absolute, without a trailing separator. The folder is not created.
// nullopt when the home folder cannot be found.
std::optional<std::filesystem::path> SpecialFolderPath(SpecialFolder folder);

// The temporary folder: $TMPDIR when it names an absolute path, else a private folder of the user under
// /tmp, created on first use. nullopt when the private folder cannot be made safe.
std::optional<std::filesystem::path> TemporaryFolder();

// The folder that holds the running executable.
std::optional<std::filesystem::path> ProgramFolder();

// Makes `folder` (mode 0700) when it is missing; its parent must exist. Succeeds only when the folder is
// then a real folder (not a symbolic link), owned by the user and closed to group and others, because
// files that other users could plant or read there would be trusted.
bool EnsurePrivateFolder(const std::filesystem::path& folder, std::error_code& error);

}  // namespace platform
