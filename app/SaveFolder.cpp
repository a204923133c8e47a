#include "app/SaveFolder.h"

#include <algorithm>
#include <cstdlib>

#include "app/Plan.h"
#include "engine/core/EngineApi.h"
#include "platform/FolderAccess.h"
#include "platform/Paths.h"

namespace koruvan::app {
namespace {

// True when `path` lies strictly below the folder `root` (given with its trailing "/").
bool IsBelow(const std::string& path, const std::string& root) {
    return path.size() > root.size() && path.compare(0, root.size(), root) == 0;
}

}  // namespace

std::vector<std::string> SaveFolderCandidates(
    const std::string& home, const std::vector<std::string>& mountPoints, std::string_view user,
    const std::function<bool(const std::string&)>& writable) {
    std::vector<std::string> candidates;
    if (!home.empty()) {
        candidates.push_back(home);
    }
    std::vector<std::string> roots = {"/mnt/"};
    if (!user.empty() && user.find('/') == std::string_view::npos) {
        roots.push_back("/media/" + std::string(user) + "/");
        roots.push_back("/run/media/" + std::string(user) + "/");
    }
    for (const std::string& root : roots) {
        for (const std::string& mount : mountPoints) {
            if (IsBelow(mount, root) &&
                std::find(candidates.begin(), candidates.end(), mount) == candidates.end() &&
                writable(mount)) {
                candidates.push_back(mount);
            }
        }
    }
    return candidates;
}

std::vector<std::string> SaveFolderCandidates() {
    const char* user = std::getenv("USER");
    return SaveFolderCandidates(
        platform::HomeFolder(), platform::ListMountPoints(), user != nullptr ? user : "",
        [](const std::string& folder) { return platform::IsWritableFolder(folder); });
}

std::string ChooseSaveFolder(const std::vector<std::string>& candidates,
                             const FreeSpaceQuery& freeBytes) {
    if (candidates.empty()) {
        return platform::JoinPath(platform::TempFolder(), kDefaultFolderName);
    }
    const std::string* best = &candidates.front();
    std::uint64_t bestFree = 0;
    for (const std::string& candidate : candidates) {
        const std::uint64_t free = freeBytes(candidate);
        if (free > bestFree) {
            best = &candidate;
            bestFree = free;
        }
    }
    return platform::JoinPath(*best, kDefaultFolderName);
}

std::string DefaultSaveFolder(const FreeSpaceQuery& freeBytes) {
    if (freeBytes) {
        return ChooseSaveFolder(SaveFolderCandidates(), freeBytes);
    }
    return ChooseSaveFolder(SaveFolderCandidates(), [](const std::string& folder) {
        return engine::GetDiskFreeBytes(folder.c_str());
    });
}

}  // namespace koruvan::app
