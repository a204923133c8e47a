#include "platform/File.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>

#include "platform/Paths.h"
#include "support/TempDir.h"

namespace koruvan::platform {
namespace {

namespace fs = std::filesystem;
using koruvan::test::ReadFile;
using koruvan::test::TempDir;
using koruvan::test::WriteFile;

constexpr std::uint64_t kGiB = 1ull << 30;

// Names in `folder` other than `keep`, to catch leftover temporary files.
std::vector<std::string> OtherEntries(const std::string& folder, const std::string& keep) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename() != keep) {
            names.push_back(entry.path().filename());
        }
    }
    return names;
}

TEST(FileOpen, ModesCreateKeepOrTruncate) {
    TempDir dir;
    const std::string path = dir.File("f");
    File file;
    EXPECT_FALSE(file.Open(path, OpenMode::ReadExisting));
    EXPECT_EQ(file.LastError(), ENOENT);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_FALSE(FileExists(path));  // a refused open creates nothing

    ASSERT_TRUE(file.Open(path, OpenMode::OpenAlways));
    ASSERT_EQ(file.WriteAt(0, "hello", 5), 5);
    ASSERT_TRUE(file.Open(path, OpenMode::OpenAlways));  // reopening keeps the content
    EXPECT_EQ(file.Size(), std::optional<std::uint64_t>(5));
    ASSERT_TRUE(file.Open(path, OpenMode::CreateAlways));  // truncates
    EXPECT_EQ(file.Size(), std::optional<std::uint64_t>(0));
    EXPECT_TRUE(file.Close());
    EXPECT_TRUE(file.Close());  // closing twice is harmless
}

TEST(FileOpen, ReadExistingIsReadOnlyAndRefusesFolders) {
    TempDir dir;
    WriteFile(dir.File("f"), "data");
    File file;
    ASSERT_TRUE(file.Open(dir.File("f"), OpenMode::ReadExisting));
    EXPECT_EQ(file.WriteAt(0, "x", 1), -1);
    EXPECT_EQ(file.LastError(), EBADF);
    EXPECT_EQ(ReadFile(dir.File("f")), "data");

    EXPECT_FALSE(file.Open(dir.Path(), OpenMode::ReadExisting));
    EXPECT_EQ(file.LastError(), EISDIR);
    EXPECT_FALSE(file.Open(dir.Path(), OpenMode::OpenAlways));
}

TEST(FileIo, OffsetsAboveFourGigabytesOnASparseFile) {
    TempDir dir;
    File file;
    ASSERT_TRUE(file.Open(dir.File("big"), OpenMode::CreateAlways));
    const std::uint64_t offset = 5 * kGiB + 123;  // beyond any 32-bit offset
    const std::string data = "far-away block";
    ASSERT_EQ(file.WriteAt(offset, data.data(), data.size()),
              static_cast<std::int64_t>(data.size()));
    EXPECT_EQ(file.Size(), offset + data.size());

    std::string back(data.size(), '\0');
    ASSERT_EQ(file.ReadAt(offset, back.data(), back.size()),
              static_cast<std::int64_t>(back.size()));
    EXPECT_EQ(back, data);

    // The hole before it reads as zeros; a read over the end is short, past it empty.
    char hole[64];
    std::fill(std::begin(hole), std::end(hole), 'x');
    ASSERT_EQ(file.ReadAt(4 * kGiB, hole, sizeof hole), 64);
    EXPECT_TRUE(std::all_of(std::begin(hole), std::end(hole), [](char c) { return c == 0; }));
    char tail[100];
    EXPECT_EQ(file.ReadAt(offset + 4, tail, sizeof tail),
              static_cast<std::int64_t>(data.size() - 4));
    EXPECT_EQ(std::string(tail, data.size() - 4), data.substr(4));
    EXPECT_EQ(file.ReadAt(offset + 1000, tail, sizeof tail), 0);
}

TEST(FileIo, OffsetsBeyondTheSignedRangeAreRefused) {
    TempDir dir;
    File file;
    ASSERT_TRUE(file.Open(dir.File("f"), OpenMode::CreateAlways));
    char byte = 0;
    EXPECT_EQ(file.WriteAt(UINT64_MAX - 1, &byte, 1), -1);
    EXPECT_EQ(file.LastError(), EINVAL);
    EXPECT_EQ(file.ReadAt(static_cast<std::uint64_t>(INT64_MAX), &byte, 2), -1);
    EXPECT_FALSE(file.SetSize(UINT64_MAX));
    EXPECT_FALSE(file.Allocate(static_cast<std::uint64_t>(INT64_MAX), 2));
}

TEST(FileIo, MoveTransfersTheDescriptor) {
    TempDir dir;
    WriteFile(dir.File("f"), "abc");
    File first;
    ASSERT_TRUE(first.Open(dir.File("f"), OpenMode::ReadExisting));
    File second(std::move(first));
    EXPECT_FALSE(first.IsOpen());
    char buf[3];
    EXPECT_EQ(second.ReadAt(0, buf, 3), 3);
    File third;
    ASSERT_TRUE(third.Open(dir.File("f"), OpenMode::ReadExisting));
    third = std::move(second);
    EXPECT_EQ(third.ReadAt(1, buf, 3), 2);
}

TEST(FileSizing, SetSizeCutsAndExtends) {
    TempDir dir;
    File file;
    ASSERT_TRUE(file.Open(dir.File("f"), OpenMode::CreateAlways));
    ASSERT_EQ(file.WriteAt(0, "0123456789", 10), 10);
    ASSERT_TRUE(file.SetSize(4));
    EXPECT_EQ(file.Size(), std::optional<std::uint64_t>(4));
    ASSERT_TRUE(file.SetSize(6 * kGiB));
    EXPECT_EQ(file.Size(), 6 * kGiB);
    char buf[6];
    ASSERT_EQ(file.ReadAt(0, buf, 6), 6);
    EXPECT_EQ(std::string(buf, 6), std::string("0123\0\0", 6));
}

TEST(FileSizing, AllocateReservesWithoutWritingOrReportsFailure) {
    TempDir dir;
    File file;
    ASSERT_TRUE(file.Open(dir.File("f"), OpenMode::CreateAlways));
    if (!File::SupportsAllocate(dir.Path())) {
        // The file system cannot preallocate: the call must say so, not pretend.
        EXPECT_FALSE(file.Allocate(0, 1 << 20));
        EXPECT_NE(file.LastError(), 0);
        return;
    }
    ASSERT_TRUE(file.Allocate(4096, 1 << 20));
    EXPECT_EQ(file.Size(), std::optional<std::uint64_t>(4096 + (1 << 20)));
    EXPECT_TRUE(file.Allocate(0, 0));  // nothing to reserve
    char buf[16];
    ASSERT_EQ(file.ReadAt(8192, buf, sizeof buf), 16);
    EXPECT_TRUE(std::all_of(std::begin(buf), std::end(buf), [](char c) { return c == 0; }));
}

TEST(FileSizing, AllocateProbeOfAMissingFolderIsFalse) {
    TempDir dir;
    EXPECT_FALSE(File::SupportsAllocate(dir.File("missing")));
    EXPECT_TRUE(OtherEntries(dir.Path(), "").empty());
    File::SupportsAllocate(dir.Path());
    EXPECT_TRUE(OtherEntries(dir.Path(), "").empty());  // the probe file is removed
}

TEST(FileTimes, LastWriteTimeCountsHundredNanosecondsSince1601) {
    TempDir dir;
    const std::string path = dir.File("f");
    WriteFile(path, "x");
    // 2020-01-01 00:00:00 UTC plus 123456700 ns.
    const auto sys = std::chrono::sys_seconds(std::chrono::seconds(1577836800)) +
                     std::chrono::nanoseconds(123456700);
    fs::last_write_time(path, std::chrono::file_clock::from_sys(sys));
    const std::uint64_t expected = (1577836800ull + 11644473600ull) * 10'000'000ull + 1234567;
    EXPECT_EQ(FileLastWriteTime(path), expected);
    File file;
    ASSERT_TRUE(file.Open(path, OpenMode::ReadExisting));
    EXPECT_EQ(file.LastWriteTime(), expected);
    EXPECT_EQ(FileLastWriteTime(dir.File("missing")), std::nullopt);
    EXPECT_EQ(kFileTimeUnixEpoch, 11644473600ull * 10'000'000ull);
}

TEST(ReadWholeFile, ReadsEverythingOrFails) {
    TempDir dir;
    std::string out = "stale";
    EXPECT_FALSE(ReadWholeFile(dir.File("missing"), out));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(ReadWholeFile(dir.Path(), out));

    WriteFile(dir.File("empty"), "");
    EXPECT_TRUE(ReadWholeFile(dir.File("empty"), out));
    EXPECT_TRUE(out.empty());

    std::string big(3 * 1024 * 1024 + 7, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>(i * 131 % 251);
    }
    WriteFile(dir.File("big"), big);
    ASSERT_TRUE(ReadWholeFile(dir.File("big"), out));
    EXPECT_EQ(out, big);
}

TEST(WriteFileAtomic, CreatesAndReplaces) {
    TempDir dir;
    const std::string path = dir.File("state.ini");
    ASSERT_TRUE(WriteFileAtomic(path, "first"));
    EXPECT_EQ(ReadFile(path), "first");
    ASSERT_TRUE(WriteFileAtomic(path, std::string("sec\0ond", 7)));
    EXPECT_EQ(ReadFile(path), std::string("sec\0ond", 7));
    ASSERT_TRUE(WriteFileAtomic(path, ""));
    EXPECT_EQ(FileSize(path), std::optional<std::uint64_t>(0));
    EXPECT_TRUE(OtherEntries(dir.Path(), "state.ini").empty());
}

TEST(WriteFileAtomic, KeepsThePermissionsOfTheReplacedFile) {
    TempDir dir;
    const std::string path = dir.File("private.ini");
    WriteFile(path, "old");
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_TRUE(WriteFileAtomic(path, "new"));
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST(WriteFileAtomic, FailedRenameLeavesTheTargetAndNoTemporaryFile) {
    TempDir dir;
    // The target is a non-empty folder: the rename over it must fail.
    const std::string path = dir.File("target");
    fs::create_directory(path);
    WriteFile(path + "/inside", "kept");
    EXPECT_FALSE(WriteFileAtomic(path, "new"));
    EXPECT_EQ(ReadFile(path + "/inside"), "kept");
    EXPECT_TRUE(OtherEntries(dir.Path(), "target").empty());

    EXPECT_FALSE(WriteFileAtomic(dir.File("no/such/folder/file"), "x"));
    EXPECT_FALSE(WriteFileAtomic("", "x"));
}

TEST(WriteFileAtomic, FullDiskDuringTheWriteKeepsTheOldContent) {
    TempDir dir;
    const std::string path = dir.File("task.ini");
    const std::string old = "[KoruvanTask]\nKoruvanTaskHash=old\n";
    WriteFile(path, old);
    // A child process whose file size limit makes the write fail half-way, as a full disk
    // would.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        const bool ok = WriteFileAtomic(path, std::string(64 * 1024, 'n'));
        _exit(ok ? 1 : (errno == EFBIG ? 0 : 2));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the write must fail with EFBIG";
    EXPECT_EQ(ReadFile(path), old);
    EXPECT_TRUE(OtherEntries(dir.Path(), "task.ini").empty());
}

}  // namespace
}  // namespace koruvan::platform
