#include "platform/DiskSpace.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/File.h"
#include "support/TempDir.h"

namespace koruvan::platform {
namespace {

using koruvan::test::TempDir;
using koruvan::test::WriteFile;

// Free space moves while other programs write; compare with a generous tolerance.
constexpr std::uint64_t kSlack = 512ull << 20;

std::uint64_t Distance(std::uint64_t a, std::uint64_t b) {
    return a > b ? a - b : b - a;
}

TEST(FreeBytes, RelativeAndEmptyPathsGiveZero) {
    EXPECT_EQ(FreeBytes(""), 0u);
    EXPECT_EQ(FreeBytes("relative/folder"), 0u);
    EXPECT_EQ(FreeBytes("."), 0u);
}

TEST(FreeBytes, AMissingPathUsesItsNearestExistingAncestor) {
    TempDir dir;
    const std::uint64_t direct = FreeBytes(dir.Path());
    ASSERT_GT(direct, 0u);
    EXPECT_LT(Distance(FreeBytes(dir.File("a/b/c/not-yet-created")), direct), kSlack);
    EXPECT_LT(Distance(FreeBytes(dir.File("a/b/")), direct), kSlack);
    // An ancestor that is a file still names the file system.
    WriteFile(dir.File("plain"), "x");
    EXPECT_LT(Distance(FreeBytes(dir.File("plain/below")), direct), kSlack);
    EXPECT_GT(FreeBytes("/"), 0u);
    EXPECT_GT(FreeBytes("/no-such-top-level-folder/x/y"), 0u);
}

TEST(AllocatedBytes, FallsBackToTheUnfinishedName) {
    TempDir dir;
    const std::string target = dir.File("cab1.cab");
    EXPECT_EQ(AllocatedBytes(target), 0);  // neither exists

    WriteFile(target + ".kvtmp", std::string(64 * 1024, 'd'));
    EXPECT_GE(AllocatedBytes(target), 64 * 1024);

    WriteFile(target, "");  // the finished name wins even when it is empty
    EXPECT_EQ(AllocatedBytes(target), 0);
}

TEST(AllocatedBytes, CountsBlocksNotTheLength) {
    TempDir dir;
    File file;
    ASSERT_TRUE(file.Open(dir.File("sparse"), OpenMode::CreateAlways));
    ASSERT_TRUE(file.SetSize(1ull << 30));
    ASSERT_TRUE(file.SyncData());
    if (HolesSupported(dir.Path())) {
        EXPECT_LT(AllocatedBytes(dir.File("sparse")), 1 << 20);
    }
    // A name the system refuses is an error, not "missing".
    EXPECT_EQ(AllocatedBytes(dir.File(std::string(300, 'n'))), -1);
}

TEST(HolesSupported, ProbesWithoutLeavingFiles) {
    TempDir dir;
    EXPECT_FALSE(HolesSupported(dir.File("missing")));
    const bool holes = HolesSupported(dir.Path());
    (void)holes;  // depends on the file system; what matters is the cleanup
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

}  // namespace
}  // namespace koruvan::platform
