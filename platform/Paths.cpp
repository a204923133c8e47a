#include "platform/Paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "platform/File.h"

namespace koruvan::platform {
namespace {

std::mutex g_dataRootMutex;
std::string g_dataRootOverride;  // guarded by g_dataRootMutex

std::string EnvValue(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

std::string PasswdHome() {
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::string buffer(hint > 0 ? static_cast<std::size_t>(hint) : 16384, '\0');
    for (int attempt = 0; attempt < 6; ++attempt) {
        passwd entry{};
        passwd* result = nullptr;
        const int rc = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result);
        if (rc == ERANGE) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc != 0 || result == nullptr || result->pw_dir == nullptr) {
            return {};
        }
        return result->pw_dir;
    }
    return {};
}

// Decodes the octal escapes ("\040") the kernel uses for blanks, tabs, newlines and
// backslashes in mount table fields.
std::string DecodeMountField(std::string_view field) {
    const auto isOctal = [](char c) { return c >= '0' && c <= '7'; };
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && isOctal(field[i + 1]) &&
            isOctal(field[i + 2]) && isOctal(field[i + 3])) {
            const int value =
                (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
            if (value <= 0xFF) {
                out.push_back(static_cast<char>(value));
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

}  // namespace

std::string JoinPath(std::string_view left, std::string_view right) {
    std::string out(left);
    if (!out.empty() && out.back() != '/') {
        out.push_back('/');
    }
    out.append(right);
    return out;
}

std::string AppDataFolder() {
    const std::string xdg = EnvValue("XDG_DATA_HOME");
    if (!xdg.empty() && xdg.front() == '/') {
        return xdg;
    }
    const std::string home = HomeFolder();
    if (home.empty()) {
        return TempFolder();
    }
    return JoinPath(home, ".local/share");
}

void SetDataRootOverride(std::string folder) {
    std::lock_guard<std::mutex> lock(g_dataRootMutex);
    g_dataRootOverride = std::move(folder);
}

std::string KoruvanDataRoot() {
    {
        std::lock_guard<std::mutex> lock(g_dataRootMutex);
        if (!g_dataRootOverride.empty()) {
            return g_dataRootOverride;
        }
    }
    return JoinPath(AppDataFolder(), "Lindqvar/Koruvan");
}

std::string TempFolder() {
    std::string tmp = EnvValue("TMPDIR");
    return tmp.empty() ? std::string("/tmp") : tmp;
}

std::string HomeFolder() {
    std::string home = EnvValue("HOME");
    return home.empty() ? PasswdHome() : home;
}

std::string CurrentFolder() {
    std::string buffer(256, '\0');
    while (buffer.size() <= (1u << 20)) {
        if (getcwd(buffer.data(), buffer.size()) != nullptr) {
            buffer.resize(std::char_traits<char>::length(buffer.c_str()));
            return buffer;
        }
        if (errno != ERANGE) {
            return {};
        }
        buffer.resize(buffer.size() * 2);
    }
    return {};
}

bool CreateFolders(const std::string& path) noexcept {
    if (path.empty()) {
        return false;
    }
    if (IsDirectory(path)) {
        return true;
    }
    try {
        // Each prefix ending just before a "/" (and the whole path) is one level.
        std::size_t pos = 0;
        while (pos != std::string::npos) {
            pos = path.find('/', pos + 1);
            const std::string level = path.substr(0, pos);
            if (level.empty() || level.back() == '/') {
                continue;  // the root or a doubled separator
            }
            if (mkdir(level.c_str(), 0777) != 0 && errno != EEXIST) {
                return false;
            }
        }
    } catch (...) {
        return false;
    }
    return IsDirectory(path);
}

bool LinkAmongLastFolders(const std::string& folder, std::size_t levels) noexcept {
    try {
        std::string level = folder;
        for (; levels > 0; --levels) {
            while (level.size() > 1 && level.back() == '/') {
                level.pop_back();
            }
            if (level.empty() || level == "/") {
                return false;
            }
            struct stat st {};
            if (lstat(level.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
                return true;
            }
            const std::size_t slash = level.rfind('/');
            if (slash == std::string::npos) {
                return false;
            }
            level.resize(slash);
        }
    } catch (...) {
        return true;  // out of memory: refuse rather than guess
    }
    return false;
}

bool FileExists(const std::string& path) noexcept {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool IsDirectory(const std::string& path) noexcept {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool RemoveFile(const std::string& path) noexcept {
    return unlink(path.c_str()) == 0;
}

bool RenameFile(const std::string& from, const std::string& to) noexcept {
    return rename(from.c_str(), to.c_str()) == 0;
}

std::optional<std::uint64_t> FileSize(const std::string& path) noexcept {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(st.st_size);
}

std::vector<std::string> ListMountPoints() {
    std::string table;
    if (!ReadWholeFile("/proc/self/mounts", table)) {
        return {};
    }
    return ParseMountPoints(table);
}

std::vector<std::string> ParseMountPoints(std::string_view table) {
    std::vector<std::string> points;
    while (!table.empty()) {
        const std::size_t end = table.find('\n');
        std::string_view line = table.substr(0, end);
        table = end == std::string_view::npos ? std::string_view() : table.substr(end + 1);
        // Fields: device, mount point, type, options, ...; separated by single blanks.
        const std::size_t first = line.find(' ');
        if (first == std::string_view::npos || first == 0) {
            continue;
        }
        const std::size_t second = line.find(' ', first + 1);
        if (second == std::string_view::npos || second == first + 1) {
            continue;
        }
        points.push_back(DecodeMountField(line.substr(first + 1, second - first - 1)));
    }
    return points;
}

}  // namespace koruvan::platform
