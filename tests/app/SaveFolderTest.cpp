#include "app/SaveFolder.h"

#include <gtest/gtest.h>

#include <map>

#include "platform/Paths.h"

namespace koruvan::app {
namespace {

FreeSpaceQuery Table(std::map<std::string, std::uint64_t> free) {
    return [free](const std::string& folder) {
        const auto it = free.find(folder);
        return it == free.end() ? 0 : it->second;
    };
}

TEST(SaveFolderTest, MostFreeSpaceWinsAndTiesKeepTheEarlier) {
    const std::vector<std::string> candidates = {"/home/ann", "/mnt/a", "/mnt/b", "/media/ann/usb"};
    EXPECT_EQ(
        ChooseSaveFolder(candidates, Table({{"/home/ann", 10}, {"/mnt/a", 30}, {"/mnt/b", 20}})),
        "/mnt/a/vemo221047");
    EXPECT_EQ(ChooseSaveFolder(candidates,
                               Table({{"/mnt/a", 30}, {"/mnt/b", 30}, {"/media/ann/usb", 30}})),
              "/mnt/a/vemo221047");
    EXPECT_EQ(ChooseSaveFolder(candidates, Table({{"/home/ann", 5}, {"/mnt/b", 5}})),
              "/home/ann/vemo221047");
    EXPECT_EQ(ChooseSaveFolder(candidates, Table({})), "/home/ann/vemo221047");
    EXPECT_EQ(ChooseSaveFolder({"/"}, Table({{"/", 1}})), "/vemo221047");
    EXPECT_EQ(ChooseSaveFolder({}, Table({})),
              platform::JoinPath(platform::TempFolder(), "vemo221047"));
}

TEST(SaveFolderTest, CandidatesAreHomeThenWritableMountsUnderTheUserFolders) {
    const std::vector<std::string> mounts = {"/",
                                             "/run/media/ann/disk",
                                             "/mnt",
                                             "/mnt/data",
                                             "/media/bob/usb",
                                             "/media/ann/usb",
                                             "/mnt/cdrom",
                                             "/mntx",
                                             "/media/ann"};
    const auto writable = [](const std::string& folder) { return folder != "/mnt/cdrom"; };
    EXPECT_EQ(SaveFolderCandidates("/home/ann", mounts, "ann", writable),
              (std::vector<std::string>{"/home/ann", "/mnt/data", "/media/ann/usb",
                                        "/run/media/ann/disk"}));
    EXPECT_EQ(SaveFolderCandidates("", mounts, "", writable),
              (std::vector<std::string>{"/mnt/data"}));
}

}  // namespace
}  // namespace koruvan::app
