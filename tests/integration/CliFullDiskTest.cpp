// koruvan-cli on full disks: the save folder and the data folder on small tmpfs mounts that
// this test makes in its own mount namespace (root only; skipped otherwise).
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "CliTestGame.h"

namespace koruvan::test {
namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

// Moves this process into a private mount namespace, so that its mounts are seen by its
// children only and vanish with it. Empty on success, else why not.
std::string PrivateMounts() {
    if (unshare(CLONE_NEWNS) != 0) {
        return std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
    }
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return std::string("making / private: ") + std::strerror(errno);
    }
    return {};
}

// A size-limited tmpfs over a folder, taken off again before the folder is removed.
class Tmpfs {
  public:
    bool Mount(const std::string& folder, std::uint64_t bytes) {
        std::filesystem::create_directories(folder);
        const std::string options = "size=" + std::to_string(bytes);
        if (mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            return false;
        }
        folder_ = folder;
        return true;
    }
    ~Tmpfs() {
        if (!folder_.empty()) {
            umount2(folder_.c_str(), MNT_DETACH);
        }
    }

  private:
    std::string folder_;
};

// Fills a file system up to `leave` free bytes with one file; true when it is that full.
bool FillUpTo(const std::string& file, std::uint64_t leave) {
    const auto space = std::filesystem::space(std::filesystem::path(file).parent_path());
    if (space.available <= leave) {
        return true;
    }
    std::ofstream out(file, std::ios::binary);
    const std::string block(4096, 'f');
    for (std::uint64_t n = (space.available - leave) / block.size(); n > 0 && out; --n) {
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    out.close();
    return true;
}

std::vector<std::string> Download(const TestGame& game) {
    return {"download", "--save-dir", game.SaveDir(), "--no-p2p"};
}

class CliFullDiskTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Before anything starts a thread: a namespace is taken by a single-threaded process.
        const std::string why = PrivateMounts();
        if (!why.empty()) {
            GTEST_SKIP() << "no private mount namespace (needs root): " << why;
        }
    }
};

// Too little room in the save folder: the command refuses with the disk notice and writes
// nothing; once space is freed the download finishes every file with the right digest. (A disk
// that fills mid-download is not reached here: the targets are reserved at their start.)
TEST_F(CliFullDiskTest, AFullSaveFolderIsRefusedAndTheDownloadFinishesOnceSpaceIsFreed) {
    TestGame game({2 * kMiB, kMiB, kMiB, kMiB});
    ASSERT_TRUE(game.Started());
    // The controller asks for the plan plus a 100 MiB reserve before it starts.
    Tmpfs save;
    ASSERT_TRUE(save.Mount(game.SaveDir(), 128 * kMiB)) << std::strerror(errno);
    const std::string filler = game.SaveDir() + "/filler";

    ASSERT_TRUE(FillUpTo(filler, 64 * kMiB));
    const CliResult refused = game.Run(Download(game), std::chrono::seconds(30));
    EXPECT_NE(refused.code, 0);
    EXPECT_NE(refused.err.find("当前磁盘空间不足"), std::string::npos) << refused.err;
    EXPECT_EQ(game.MatchingFiles(), 0);

    std::filesystem::remove(filler);
    const CliResult freed = game.Run(Download(game), std::chrono::seconds(60));
    EXPECT_EQ(freed.code, 0) << freed.out << freed.err;
    EXPECT_EQ(game.MatchingFiles(), 5);
}

// The data folder fills up mid-download: the command fails and says where and why the
// completion records could not be written, no task or state file is left torn (each is whole,
// old or new), the records that could not be written are not claimed ("not recorded", state
// incomplete), and once space is freed the next download re-checks the files and records them.
TEST_F(CliFullDiskTest, AFullDataFolderLeavesNoTornFileAndClaimsNoRecord) {
    TestGame game({2 * kMiB, kMiB, kMiB, kMiB}, "256k");
    ASSERT_TRUE(game.Started());
    Tmpfs data;
    ASSERT_TRUE(data.Mount(game.DataDir(), 4 * kMiB)) << std::strerror(errno);
    const std::string filler = game.DataDir() + "/filler";
    auto cli = game.StartCli(Download(game), "data");
    for (int i = 0; i < 1000 && game.ServedBytes() < kMiB / 4 && cli->Running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(cli->Running());
    ASSERT_TRUE(FillUpTo(filler, 0));
    const int code = cli->Wait(std::chrono::seconds(20));
    const CliResult failed = game.Output("data");
    EXPECT_EQ(code, 1) << failed.out << failed.err;
    for (const std::string& said :
         {"completion records could not be written to the data folder " + game.DataDir(),
          std::string(": No space left on device")}) {
        EXPECT_NE(failed.err.find(said), std::string::npos) << failed.err;
    }

    for (const auto& entry : std::filesystem::recursive_directory_iterator(game.DataDir())) {
        const std::string name = entry.path().filename().string();
        if (entry.is_regular_file() && name != "filler" && !name.ends_with(".lock")) {
            EXPECT_GT(entry.file_size(), 0u) << entry.path();
        }
    }
    const CliResult full = game.Run({"status"});
    EXPECT_NE(full.out.find("state:         incomplete"), std::string::npos) << full.out;
    EXPECT_NE(full.out.find("complete (not recorded)"), std::string::npos) << full.out;

    std::filesystem::remove(filler);
    const CliResult freed = game.Run(Download(game), std::chrono::seconds(60));
    EXPECT_EQ(freed.code, 0) << freed.out << freed.err;
    EXPECT_EQ(game.MatchingFiles(), 5);
    const CliResult after = game.Run({"status"});
    EXPECT_EQ(after.out.find("not recorded"), std::string::npos) << after.out;
}

}  // namespace
}  // namespace koruvan::test
