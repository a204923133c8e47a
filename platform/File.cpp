#include "platform/File.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <utility>

#include "platform/Paths.h"
#include "platform/Random.h"

namespace koruvan::platform {
namespace {

constexpr std::uint64_t kMaxOffset = static_cast<std::uint64_t>(INT64_MAX);

std::optional<std::uint64_t> ToFileTime(const timespec& ts) noexcept {
    constexpr std::int64_t kEpochSeconds = 11644473600;  // 1601-01-01 to 1970-01-01
    const std::int64_t seconds = static_cast<std::int64_t>(ts.tv_sec) + kEpochSeconds;
    if (seconds < 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(seconds) * 10'000'000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 100u;
}

// The folder part of `path` ("." when there is none).
std::string ParentFolder(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace

bool SyncFolder(const std::string& folder) noexcept {
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

File::~File() {
    Close();
}

File::File(File&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), lastError_(other.lastError_) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
        lastError_ = other.lastError_;
    }
    return *this;
}

bool File::Fail() noexcept {
    lastError_ = errno;
    return false;
}

bool File::Open(const std::string& path, OpenMode mode) noexcept {
    Close();
    int flags = O_CLOEXEC;
    switch (mode) {
        case OpenMode::ReadExisting:
            flags |= O_RDONLY;
            break;
        // Writable opens never follow a symbolic link at the path: a link planted under a
        // download's file name must not carry its writes outside the save folder.
        case OpenMode::OpenAlways:
            flags |= O_RDWR | O_CREAT | O_NOFOLLOW;
            break;
        case OpenMode::CreateAlways:
            flags |= O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW;
            break;
    }
    int fd = -1;
    do {
        fd = open(path.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return Fail();
    }
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {  // a folder opens read-only; refuse it
        close(fd);
        errno = EISDIR;
        return Fail();
    }
    fd_ = fd;
    return true;
}

bool File::CreateUnique(const std::string& prefix, std::string& createdPath) noexcept {
    Close();
    try {
        for (int attempt = 0; attempt < 100; ++attempt) {
            char suffix[9];
            std::snprintf(suffix, sizeof suffix, "%08" PRIx32, RandomUint32());
            std::string candidate = prefix + suffix;
            const int fd = open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) {
                fd_ = fd;
                createdPath = std::move(candidate);
                return true;
            }
            if (errno != EEXIST && errno != EINTR) {
                return Fail();
            }
        }
        errno = EEXIST;
    } catch (...) {
        if (fd_ >= 0) {
            Close();
        }
        errno = ENOMEM;
    }
    return Fail();
}

bool File::Close() noexcept {
    if (fd_ < 0) {
        return true;
    }
    // Never retried: on Linux the descriptor is released even when close reports EINTR.
    const int rc = close(std::exchange(fd_, -1));
    return rc == 0 || Fail();
}

std::int64_t File::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) noexcept {
    if (offset > kMaxOffset || size > kMaxOffset - offset) {
        errno = EINVAL;
        Fail();
        return -1;
    }
    auto* out = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = pread(fd_, out + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            Fail();
            return -1;
        }
        if (n == 0) {
            break;  // end of file
        }
        done += static_cast<std::size_t>(n);
    }
    return static_cast<std::int64_t>(done);
}

std::int64_t File::WriteAtV(std::uint64_t offset, const Span* spans, std::size_t count) noexcept {
    constexpr std::size_t kMaxVectors = 64;
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        total += spans[i].size;
    }
    if (offset > kMaxOffset || total > kMaxOffset - offset) {
        errno = EINVAL;
        Fail();
        return -1;
    }
    std::size_t done = 0;       // bytes written in all
    std::size_t first = 0;      // first span not yet written whole
    std::size_t firstDone = 0;  // bytes of it already written
    while (first < count) {
        iovec vectors[kMaxVectors];
        int n = 0;
        for (std::size_t i = first; i < count && n < static_cast<int>(kMaxVectors); ++i, ++n) {
            const std::size_t skip = i == first ? firstDone : 0;
            vectors[n].iov_base =
                const_cast<unsigned char*>(static_cast<const unsigned char*>(spans[i].data)) + skip;
            vectors[n].iov_len = spans[i].size - skip;
        }
        const ssize_t written = pwritev(fd_, vectors, n, static_cast<off_t>(offset + done));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            Fail();
            return -1;
        }
        if (written == 0) {  // no progress: treat like a full disk rather than spin
            errno = ENOSPC;
            Fail();
            return -1;
        }
        done += static_cast<std::size_t>(written);
        std::size_t left = static_cast<std::size_t>(written);
        while (first < count && left >= spans[first].size - firstDone) {
            left -= spans[first].size - firstDone;
            ++first;
            firstDone = 0;
        }
        firstDone += left;
    }
    return static_cast<std::int64_t>(done);
}

void File::StartWriteback(std::uint64_t offset, std::uint64_t length) noexcept {
    if (fd_ >= 0 && offset <= kMaxOffset && length <= kMaxOffset - offset) {
        (void)sync_file_range(fd_, static_cast<off64_t>(offset), static_cast<off64_t>(length),
                              SYNC_FILE_RANGE_WRITE);
    }
}

std::int64_t File::WriteAt(std::uint64_t offset, const void* buffer, std::size_t size) noexcept {
    if (offset > kMaxOffset || size > kMaxOffset - offset) {
        errno = EINVAL;
        Fail();
        return -1;
    }
    const auto* in = static_cast<const unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = pwrite(fd_, in + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            Fail();
            return -1;
        }
        if (n == 0) {  // no progress: treat like a full disk rather than spin
            errno = ENOSPC;
            Fail();
            return -1;
        }
        done += static_cast<std::size_t>(n);
    }
    return static_cast<std::int64_t>(done);
}

std::optional<std::uint64_t> File::Size() noexcept {
    struct stat st {};
    if (fstat(fd_, &st) != 0) {
        Fail();
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(st.st_size);
}

bool File::SetSize(std::uint64_t length) noexcept {
    if (length > kMaxOffset) {
        errno = EINVAL;
        return Fail();
    }
    int rc = 0;
    do {
        rc = ftruncate(fd_, static_cast<off_t>(length));
    } while (rc != 0 && errno == EINTR);
    return rc == 0 || Fail();
}

bool File::Allocate(std::uint64_t offset, std::uint64_t length) noexcept {
    if (length == 0) {
        return true;
    }
    if (offset > kMaxOffset || length > kMaxOffset - offset) {
        errno = EINVAL;
        return Fail();
    }
    int rc = 0;
    do {
        rc = fallocate(fd_, 0, static_cast<off_t>(offset), static_cast<off_t>(length));
    } while (rc != 0 && errno == EINTR);
    return rc == 0 || Fail();
}

bool File::SyncData() noexcept {
    int rc = 0;
    do {
        rc = fdatasync(fd_);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 || Fail();
}

std::optional<std::uint64_t> File::LastWriteTime() noexcept {
    struct stat st {};
    if (fstat(fd_, &st) != 0) {
        Fail();
        return std::nullopt;
    }
    return ToFileTime(st.st_mtim);
}

bool File::SupportsAllocate(const std::string& folder) noexcept {
    File probe;
    std::string name;
    try {
        if (!probe.CreateUnique(JoinPath(folder, ".koruvan-probe-"), name)) {
            return false;
        }
    } catch (...) {
        return false;
    }
    const bool ok = probe.Allocate(0, 64 * 1024);
    probe.Close();
    unlink(name.c_str());
    return ok;
}

std::optional<std::uint64_t> FileLastWriteTime(const std::string& path) noexcept {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return ToFileTime(st.st_mtim);
}

bool ReadWholeFile(const std::string& path, std::string& out) {
    out.clear();
    File file;
    if (!file.Open(path, OpenMode::ReadExisting)) {
        return false;
    }
    const std::uint64_t hint = file.Size().value_or(0);
    std::string data;
    data.resize(hint < (1u << 30) ? static_cast<std::size_t>(hint) + 1 : (1u << 20));
    std::size_t used = 0;
    for (;;) {
        if (used == data.size()) {
            data.resize(data.size() * 2);
        }
        const std::int64_t n = file.ReadAt(used, data.data() + used, data.size() - used);
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            break;
        }
        used += static_cast<std::size_t>(n);
    }
    data.resize(used);
    out = std::move(data);
    return true;
}

std::string AtomicTempPrefix(const std::string& path) {
    return path + ".tmp-";
}

bool WriteFileAtomic(const std::string& path, std::string_view data) noexcept {
    std::string tempPath;
    File temp;
    try {
        if (path.empty() || !temp.CreateUnique(AtomicTempPrefix(path), tempPath)) {
            return false;
        }
        struct stat st {};
        bool ok = true;
        if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            ok = chmod(tempPath.c_str(), st.st_mode & 07777) == 0;
        }
        ok = ok &&
             temp.WriteAt(0, data.data(), data.size()) == static_cast<std::int64_t>(data.size());
        ok = ok && temp.SyncData();
        ok = temp.Close() && ok;
        ok = ok && rename(tempPath.c_str(), path.c_str()) == 0;
        if (!ok) {
            const int error = errno;
            unlink(tempPath.c_str());
            errno = error;
            return false;
        }
        (void)SyncFolder(ParentFolder(path));
        return true;
    } catch (...) {
        if (!tempPath.empty()) {
            unlink(tempPath.c_str());
        }
        errno = ENOMEM;
        return false;
    }
}

}  // namespace koruvan::platform
