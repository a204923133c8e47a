// The default save folder of a fresh start: the candidate folder with the most free space,
// plus "vemo221047". Candidates are the home folder, then the writable mount points under
// /mnt, /media/$USER and /run/media/$USER (in that order, each group in mount-table order).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace koruvan::app {

// Free bytes available in a folder (engine::GetDiskFreeBytes by default).
using FreeSpaceQuery = std::function<std::uint64_t(const std::string& folder)>;

// The candidates from explicit inputs: `mountPoints` in mount-table order, `user` the
// login name (no /media groups when empty), `writable` the folder check.
[[nodiscard]] std::vector<std::string> SaveFolderCandidates(
    const std::string& home, const std::vector<std::string>& mountPoints, std::string_view user,
    const std::function<bool(const std::string&)>& writable);

// The candidates of the running system ($HOME, /proc/self/mounts, $USER).
[[nodiscard]] std::vector<std::string> SaveFolderCandidates();

// The candidate with strictly the most free bytes (ties keep the earlier); the first one
// when none has free space; the temporary folder when there is no candidate at all. The
// result is that folder + "/vemo221047".
[[nodiscard]] std::string ChooseSaveFolder(const std::vector<std::string>& candidates,
                                           const FreeSpaceQuery& freeBytes);

// ChooseSaveFolder over the running system's candidates.
[[nodiscard]] std::string DefaultSaveFolder(const FreeSpaceQuery& freeBytes = {});

}  // namespace koruvan::app
