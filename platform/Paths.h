// Paths and folders: building paths, the well-known folders (data, temporary, home,
// current), creating folders, and the small file-system queries the controller makes
// by path (existence, size, removal, renaming, mount points).
//
// Paths are plain byte strings with "/" as separator. Nothing here throws; failures are
// reported by the return value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace koruvan::platform {

// `left` + "/" + `right`, the separator inserted only when `left` does not already end
// with one. An empty `left` returns `right` unchanged, so a relative path stays relative.
std::string JoinPath(std::string_view left, std::string_view right);

// The user's application data folder: $XDG_DATA_HOME when it is set to an absolute path,
// else HomeFolder() + "/.local/share"; TempFolder() when not even the home folder is known.
std::string AppDataFolder();

// Replaces the data root for the whole process (the front ends' `--data-dir DIR`); an
// empty string removes the override. The folder is used as given. Thread-safe.
void SetDataRootOverride(std::string folder);

// The override when one is set, else AppDataFolder() + "/Lindqvar/Koruvan". Thread-safe.
std::string KoruvanDataRoot();

// $TMPDIR when set and non-empty, else "/tmp".
std::string TempFolder();

// $HOME when set and non-empty, else the home folder of the user database entry of the
// real user; empty when neither is known.
std::string HomeFolder();

// The process's working folder; empty when it cannot be determined.
std::string CurrentFolder();

// Creates `path` and every missing folder above it, one level after another (new folders
// get mode 0777 less the umask). True when `path` is a folder at the end, including when it
// already was one or another thread or process created it meanwhile.
[[nodiscard]] bool CreateFolders(const std::string& path) noexcept;

// True when one of the last `levels` components of `folder` (the folder itself, its parent,
// and so on) is a symbolic link. Missing components are no links; the components above those
// `levels` are not looked at. For paths whose lower folders come from outside input: a link
// planted there would carry writes elsewhere.
[[nodiscard]] bool LinkAmongLastFolders(const std::string& folder, std::size_t levels) noexcept;

// True when `path` names an existing entry that is not a folder (symbolic links followed).
bool FileExists(const std::string& path) noexcept;

// True when `path` names an existing folder (symbolic links followed).
bool IsDirectory(const std::string& path) noexcept;

// Removes the file `path` (not a folder). True only when this call removed it; false when
// it did not exist or could not be removed (check FileExists() afterwards to tell apart).
bool RemoveFile(const std::string& path) noexcept;

// Atomically renames `from` to `to`, replacing an existing file `to`. Both must lie on the
// same file system. True on success.
[[nodiscard]] bool RenameFile(const std::string& from, const std::string& to) noexcept;

// Size in bytes of the regular file `path`; nullopt when it is missing or not a regular
// file.
std::optional<std::uint64_t> FileSize(const std::string& path) noexcept;

// Mount points of the running system, in /proc/self/mounts order, escapes such as "\040"
// (a blank) decoded. Empty when the table cannot be read.
std::vector<std::string> ListMountPoints();

// The mount-point column of a mount table in /proc/self/mounts format, escapes decoded.
// Malformed lines are skipped.
std::vector<std::string> ParseMountPoints(std::string_view table);

}  // namespace koruvan::platform
