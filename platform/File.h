// Files for the storage layer: positioned reads and writes on a descriptor owned by a
// RAII object, sizing and preallocation, data sync and the last-write time; plus whole-file
// reads and crash-safe whole-file replacement.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace koruvan::platform {

enum class OpenMode {
    ReadExisting,  // read-only; the file must exist
    OpenAlways,    // read-write; created (empty) when missing, kept otherwise; no link
    CreateAlways,  // read-write; created when missing, truncated to 0 otherwise; no link
};

// 100-ns intervals between 1601-01-01 and 1970-01-01 (UTC), the base of the file times
// kept in completion records.
inline constexpr std::uint64_t kFileTimeUnixEpoch = 116444736000000000ull;

class File {
  public:
    File() noexcept = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Opens `path`, closing a file this object had open before. New files get mode 0666
    // less the umask. The descriptor is not inherited by child processes.
    [[nodiscard]] bool Open(const std::string& path, OpenMode mode) noexcept;
    // Creates and opens (read-write) a new file named `prefix` + 8 random hex digits, never
    // opening an existing one; `createdPath` receives the name.
    [[nodiscard]] bool CreateUnique(const std::string& prefix, std::string& createdPath) noexcept;
    bool IsOpen() const noexcept { return fd_ >= 0; }
    // Closes the file; false when the close reported an error (e.g. a late write error).
    bool Close() noexcept;

    // Reads up to `size` bytes at `offset`, retrying short reads and interruptions; returns
    // the bytes read (fewer only at the end of the file) or -1.
    [[nodiscard]] std::int64_t ReadAt(std::uint64_t offset, void* buffer,
                                      std::size_t size) noexcept;
    // Writes all `size` bytes at `offset`, retrying short writes and interruptions; returns
    // `size`, or -1 when not everything could be written.
    [[nodiscard]] std::int64_t WriteAt(std::uint64_t offset, const void* buffer,
                                       std::size_t size) noexcept;

    // The same for several buffers written one after the other from `offset` (one system
    // call for all of them where the system allows).
    struct Span {
        const void* data;
        std::size_t size;
    };
    [[nodiscard]] std::int64_t WriteAtV(std::uint64_t offset, const Span* spans,
                                        std::size_t count) noexcept;
    // Starts writing [offset, offset + length) back to the disk without waiting for it, so
    // that a later SyncData has little left to do. Best effort: nothing is reported.
    void StartWriteback(std::uint64_t offset, std::uint64_t length) noexcept;

    std::optional<std::uint64_t> Size() noexcept;
    // Sets the length, cutting or extending (the extension reads as zeros, unallocated).
    [[nodiscard]] bool SetSize(std::uint64_t length) noexcept;
    // Reserves disk blocks for [offset, offset + length) without writing zeros, extending
    // the file when the range ends past it. False when the file system cannot do it (e.g.
    // EOPNOTSUPP) or is full; callers then fall back to SetSize().
    [[nodiscard]] bool Allocate(std::uint64_t offset, std::uint64_t length) noexcept;
    // Flushes the file's data (and the metadata needed to read it back) to the disk.
    [[nodiscard]] bool SyncData() noexcept;
    // Last modification time in 100-ns units since 1601-01-01 UTC.
    std::optional<std::uint64_t> LastWriteTime() noexcept;

    // errno of the last failed operation on this object (0 when none failed yet).
    int LastError() const noexcept { return lastError_; }

    // Whether Allocate() works on the file system of `folder` (probed with a short-lived
    // temporary file inside it).
    static bool SupportsAllocate(const std::string& folder) noexcept;

  private:
    bool Fail() noexcept;

    int fd_ = -1;
    int lastError_ = 0;
};

// Last modification time of `path` in 100-ns units since 1601-01-01 UTC; nullopt when the
// file is missing.
std::optional<std::uint64_t> FileLastWriteTime(const std::string& path) noexcept;

// Reads the whole file into `out`. False (and `out` cleared) when it cannot be opened or
// read.
[[nodiscard]] bool ReadWholeFile(const std::string& path, std::string& out);

// Forces the entries of `folder` (names created, renamed or removed in it) to the disk.
bool SyncFolder(const std::string& folder) noexcept;

// Replaces the content of `path` so that a crash, a kill or a full disk leaves either the
// old or the new content, never a mix: the data goes to a temporary file in the same folder
// (named `path` + ".tmp-" + 8 hex digits), is synced, renamed over `path`, and the folder is
// synced. An existing file's permission bits are kept; a new one gets 0666 less the umask.
// On failure the temporary file is removed and `path` is untouched. The rename is the
// commit point: true means the new content is in place. A symbolic link at `path` is
// replaced by the file, not followed.
[[nodiscard]] bool WriteFileAtomic(const std::string& path, std::string_view data) noexcept;

// The prefix of the temporary names WriteFileAtomic() uses for `path` (for the cleanup of
// files a killed writer left behind).
std::string AtomicTempPrefix(const std::string& path);

}  // namespace koruvan::platform
