#include "platform/DiskSpace.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

#include "platform/File.h"
#include "platform/Paths.h"

namespace koruvan::platform {
namespace {

// `path` without trailing separators ("/" stays "/").
std::string StripTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

// The folder above an absolute `path` that is not "/".
std::string ParentOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return StripTrailingSlashes(slash == 0 ? std::string("/") : path.substr(0, slash));
}

// st_blocks × 512 of `path`; nullopt with errno set on failure.
std::optional<std::int64_t> BlocksOf(const std::string& path) noexcept {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(st.st_blocks) * 512;
}

bool IsMissing(int error) noexcept {
    return error == ENOENT || error == ENOTDIR;
}

}  // namespace

std::uint64_t FreeBytes(const std::string& path) noexcept {
    if (path.empty() || path.front() != '/') {
        return 0;
    }
    try {
        std::string current = StripTrailingSlashes(path);
        for (;;) {
            struct statvfs vfs {};
            if (statvfs(current.c_str(), &vfs) == 0) {
                std::uint64_t bytes = 0;
                if (__builtin_mul_overflow(static_cast<std::uint64_t>(vfs.f_bavail),
                                           static_cast<std::uint64_t>(vfs.f_frsize), &bytes)) {
                    return UINT64_MAX;
                }
                return bytes;
            }
            if (!IsMissing(errno) || current == "/") {
                return 0;
            }
            current = ParentOf(current);
        }
    } catch (...) {
        return 0;
    }
}

std::int64_t AllocatedBytes(const std::string& path) noexcept {
    try {
        if (const auto bytes = BlocksOf(path)) {
            return *bytes;
        }
        if (!IsMissing(errno)) {
            return -1;
        }
        if (const auto bytes = BlocksOf(path + ".kvtmp")) {
            return *bytes;
        }
        return IsMissing(errno) ? 0 : -1;
    } catch (...) {
        return -1;
    }
}

bool HolesSupported(const std::string& folder) noexcept {
    constexpr std::uint64_t kGap = 64ull << 20;
    File probe;
    std::string name;
    try {
        if (!probe.CreateUnique(JoinPath(folder, ".koruvan-probe-"), name)) {
            return false;
        }
    } catch (...) {
        return false;
    }
    const char block[4096] = {1};
    const bool written =
        probe.WriteAt(kGap, block, sizeof block) == static_cast<std::int64_t>(sizeof block) &&
        probe.SyncData();
    const std::int64_t allocated = written ? AllocatedBytes(name) : -1;
    probe.Close();
    unlink(name.c_str());
    return allocated >= 0 && static_cast<std::uint64_t>(allocated) < kGap / 2;
}

}  // namespace koruvan::platform
