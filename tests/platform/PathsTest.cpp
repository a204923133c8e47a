#include "platform/Paths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "EnvGuard.h"
#include "support/TempDir.h"

namespace koruvan::platform {
namespace {

using koruvan::test::EnvGuard;
using koruvan::test::TempDir;
using koruvan::test::WriteFile;

TEST(JoinPath, InsertsASeparatorOnlyWhenTheLeftPartLacksOne) {
    EXPECT_EQ(JoinPath("/data", "Koruvan"), "/data/Koruvan");
    EXPECT_EQ(JoinPath("/data/", "Koruvan"), "/data/Koruvan");
    EXPECT_EQ(JoinPath("/", "tmp"), "/tmp");
    // Only the left part is looked at: a separator at the start of the right part stays.
    EXPECT_EQ(JoinPath("/data", "/x"), "/data//x");
    EXPECT_EQ(JoinPath("/data", ""), "/data/");
    // An empty left part must not turn a relative path into an absolute one.
    EXPECT_EQ(JoinPath("", "relative/file"), "relative/file");
    EXPECT_EQ(JoinPath("", ""), "");
}

TEST(DataFolders, XdgDataHomeIsUsedOnlyWhenAbsolute) {
    EnvGuard env;
    env.Set("HOME", "/home/tester");
    env.Set("XDG_DATA_HOME", "/xdg/data");
    EXPECT_EQ(AppDataFolder(), "/xdg/data");
    env.Set("XDG_DATA_HOME", "relative/data");  // invalid by the XDG rules: ignored
    EXPECT_EQ(AppDataFolder(), "/home/tester/.local/share");
    env.Set("XDG_DATA_HOME", "");
    EXPECT_EQ(AppDataFolder(), "/home/tester/.local/share");
    env.Unset("XDG_DATA_HOME");
    EXPECT_EQ(AppDataFolder(), "/home/tester/.local/share");
    env.Set("HOME", "/home/tester/");
    EXPECT_EQ(AppDataFolder(), "/home/tester/.local/share");
}

TEST(DataFolders, HomeFallsBackToTheUserDatabase) {
    EnvGuard env;
    env.Unset("XDG_DATA_HOME");
    env.Unset("HOME");
    const std::string home = HomeFolder();
    ASSERT_FALSE(home.empty());
    EXPECT_EQ(home.front(), '/');
    EXPECT_EQ(AppDataFolder(), JoinPath(home, ".local/share"));
    env.Set("HOME", "");  // set but empty counts as unset
    EXPECT_EQ(HomeFolder(), home);
}

TEST(DataFolders, DataRootFollowsXdgAndTheOverride) {
    EnvGuard env;
    env.Set("XDG_DATA_HOME", "/xdg/data/");
    EXPECT_EQ(KoruvanDataRoot(), "/xdg/data/Lindqvar/Koruvan");

    SetDataRootOverride("/srv/koruvan-data");
    EXPECT_EQ(KoruvanDataRoot(), "/srv/koruvan-data");
    SetDataRootOverride("relative-dir");  // used as given
    EXPECT_EQ(KoruvanDataRoot(), "relative-dir");
    SetDataRootOverride("");
    EXPECT_EQ(KoruvanDataRoot(), "/xdg/data/Lindqvar/Koruvan");
}

TEST(DataFolders, DataRootOverrideIsSafeAcrossThreads) {
    EnvGuard env;
    env.Set("XDG_DATA_HOME", "/xdg");
    const std::string a(200, 'a');  // long enough to live on the heap
    const std::string b(300, 'b');
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                const std::string root = KoruvanDataRoot();
                if (root != a && root != b && root != "/xdg/Lindqvar/Koruvan") {
                    ++bad;
                }
            }
        });
    }
    for (int i = 0; i < 2000; ++i) {
        SetDataRootOverride(i % 3 == 0 ? a : i % 3 == 1 ? b : std::string());
    }
    stop = true;
    for (auto& r : readers) {
        r.join();
    }
    SetDataRootOverride("");
    EXPECT_EQ(bad.load(), 0);
}

TEST(DataFolders, TempFolderUsesTmpdirWhenSet) {
    EnvGuard env;
    env.Set("TMPDIR", "/var/tmp/x");
    EXPECT_EQ(TempFolder(), "/var/tmp/x");
    env.Set("TMPDIR", "");
    EXPECT_EQ(TempFolder(), "/tmp");
    env.Unset("TMPDIR");
    EXPECT_EQ(TempFolder(), "/tmp");
}

TEST(CreateFolders, CreatesEveryMissingLevel) {
    TempDir dir;
    const std::string deep = dir.File("a/b/c/d");
    EXPECT_TRUE(CreateFolders(deep));
    EXPECT_TRUE(IsDirectory(deep));
    EXPECT_TRUE(CreateFolders(deep));  // already there
    // Trailing and doubled separators are tolerated.
    EXPECT_TRUE(CreateFolders(dir.File("x//y/z/")));
    EXPECT_TRUE(IsDirectory(dir.File("x/y/z")));
    EXPECT_FALSE(CreateFolders(""));
}

TEST(CreateFolders, FailsWhenALevelIsAFile) {
    TempDir dir;
    WriteFile(dir.File("plain"), "x");
    EXPECT_FALSE(CreateFolders(dir.File("plain")));
    EXPECT_FALSE(CreateFolders(dir.File("plain/sub/deeper")));
    EXPECT_FALSE(IsDirectory(dir.File("plain/sub")));
}

TEST(CreateFolders, ConcurrentCreatorsAllSucceed) {
    TempDir dir;
    const std::string deep = dir.File("p/q/r/s/t/u/v/w");
    std::atomic<int> ok{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] { ok += CreateFolders(deep) ? 1 : 0; });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(ok.load(), 4);
}

TEST(FileQueries, TellFilesFromFolders) {
    TempDir dir;
    WriteFile(dir.File("f"), "12345");
    EXPECT_TRUE(FileExists(dir.File("f")));
    EXPECT_FALSE(IsDirectory(dir.File("f")));
    EXPECT_FALSE(FileExists(dir.Path()));
    EXPECT_TRUE(IsDirectory(dir.Path()));
    EXPECT_FALSE(FileExists(dir.File("missing")));
    EXPECT_FALSE(IsDirectory(dir.File("missing")));

    EXPECT_EQ(FileSize(dir.File("f")), std::optional<std::uint64_t>(5));
    EXPECT_EQ(FileSize(dir.File("missing")), std::nullopt);
    EXPECT_EQ(FileSize(dir.Path()), std::nullopt);
}

TEST(FileQueries, RemoveReportsWhetherItRemovedSomething) {
    TempDir dir;
    WriteFile(dir.File("f"), "x");
    EXPECT_TRUE(RemoveFile(dir.File("f")));
    EXPECT_FALSE(FileExists(dir.File("f")));
    EXPECT_FALSE(RemoveFile(dir.File("f")));  // already gone
    std::filesystem::create_directory(dir.File("sub"));
    EXPECT_FALSE(RemoveFile(dir.File("sub")));  // folders are not removed
    EXPECT_TRUE(IsDirectory(dir.File("sub")));
}

TEST(FileQueries, RenameReplacesTheTarget) {
    TempDir dir;
    WriteFile(dir.File("new"), "new content");
    WriteFile(dir.File("old"), "old content");
    EXPECT_TRUE(RenameFile(dir.File("new"), dir.File("old")));
    EXPECT_EQ(koruvan::test::ReadFile(dir.File("old")), "new content");
    EXPECT_FALSE(FileExists(dir.File("new")));
    EXPECT_FALSE(RenameFile(dir.File("new"), dir.File("other")));
}

TEST(MountPoints, ParsesTheTableAndDecodesEscapes) {
    const std::string table =
        "/dev/vda1 / ext4 rw,relatime 0 0\n"
        "proc /proc proc rw 0 0\n"
        "/dev/sdb1 /media/user/My\\040Disk vfat rw 0 0\n"
        "/dev/sdc1 /mnt/tab\\011and\\134slash ext4 rw 0 0\n"
        "/dev/sdd1 /mnt/short\\04 ext4 rw 0 0\n"  // not a full escape: kept as is
        "\n"
        "garbage-line-without-fields\n"
        "/dev/sde1 /mnt/last ext4 rw 0 0";  // no final line break
    const std::vector<std::string> expected = {
        "/", "/proc", "/media/user/My Disk", "/mnt/tab\tand\\slash", "/mnt/short\\04", "/mnt/last"};
    EXPECT_EQ(ParseMountPoints(table), expected);
    EXPECT_TRUE(ParseMountPoints("").empty());
}

TEST(MountPoints, TheRunningSystemHasARoot) {
    const auto points = ListMountPoints();
    EXPECT_NE(std::find(points.begin(), points.end(), "/"), points.end());
}

}  // namespace
}  // namespace koruvan::platform
