#include "platform/IniFile.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/File.h"
#include "platform/Paths.h"
#include "support/TempDir.h"

namespace koruvan::platform {
namespace {

namespace fs = std::filesystem;
using koruvan::test::ReadFile;
using koruvan::test::TempDir;
using koruvan::test::WriteFile;

// Waits for a child process and returns its exit code (-1 when it did not exit normally).
int WaitExit(pid_t child) {
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

std::vector<std::string> EntriesOf(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(IniFile, MissingFileGivesDefaultsAndCreatesNothing) {
    TempDir dir;
    const IniFile ini(dir.File("task.kvconf"));
    EXPECT_EQ(ini.GetString("KoruvanTask", "KoruvanTaskHash", "digest"), "digest");
    EXPECT_EQ(ini.GetInt("KoruvanTask", "KoruvanCloseSelection", 0), 0u);
    EXPECT_TRUE(ini.ReadSections().empty());
    EXPECT_TRUE(ini.ReadKeys("KoruvanTask").empty());
    ASSERT_TRUE(ini.Load().has_value());
    EXPECT_TRUE(EntriesOf(dir.Path()).empty());  // reading left no trace

    IniFile writable(dir.File("task.kvconf"));
    EXPECT_TRUE(writable.WriteString("KoruvanTask", "KoruvanTaskHash", std::nullopt));
    EXPECT_TRUE(writable.WriteString("KoruvanTask", std::nullopt, std::nullopt));
    EXPECT_FALSE(FileExists(dir.File("task.kvconf")));  // deleting from nothing creates nothing
}

TEST(IniFile, WritesCreateReadAndDelete) {
    TempDir dir;
    IniFile ini(dir.File("task.kvconf"));
    ASSERT_TRUE(ini.WriteString("KoruvanTask", "KoruvanTaskHash", "abc"));
    ASSERT_TRUE(ini.WriteString("KoruvanTask", "KoruvanCloseSelection", "2"));
    ASSERT_TRUE(ini.WriteString("KoruvanFinishInfo", "KoruvanTask0FileSizeLow", "39714680"));
    EXPECT_EQ(ReadFile(ini.Path()),
              "[KoruvanTask]\nKoruvanTaskHash=abc\nKoruvanCloseSelection=2\n"
              "[KoruvanFinishInfo]\nKoruvanTask0FileSizeLow=39714680\n");
    EXPECT_EQ(ini.GetString("koruvantask", "koruvantaskhash"), "abc");
    EXPECT_EQ(ini.GetInt("KoruvanTask", "KoruvanCloseSelection", 0), 2u);
    EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"KoruvanTask", "KoruvanFinishInfo"}));

    ASSERT_TRUE(ini.WriteString("KoruvanTask", "KoruvanTaskHash", std::nullopt));
    EXPECT_EQ(ini.GetString("KoruvanTask", "KoruvanTaskHash", "gone"), "gone");
    ASSERT_TRUE(ini.WriteString("KoruvanFinishInfo", std::nullopt, "ignored"));
    EXPECT_EQ(ReadFile(ini.Path()), "[KoruvanTask]\nKoruvanCloseSelection=2\n");

    EXPECT_TRUE(ini.Remove());
    EXPECT_FALSE(FileExists(ini.Path()));
    EXPECT_TRUE(ini.Remove());  // already gone
}

TEST(IniFile, RewritesKeepCommentsLineEndingsAndChineseText) {
    TempDir dir;
    const std::string original =
        "; 任务文件\r\n"
        "[KoruvanTask]\r\n"
        "KoruvanTaskSavePath=D:\\old\r\n"
        "; the next key is unknown to this version\r\n"
        "FutureKey=keep me\r\n";
    WriteFile(dir.File("t.kvconf"), original);
    IniFile ini(dir.File("t.kvconf"));
    ASSERT_TRUE(ini.WriteString("KoruvanTask", "KoruvanTaskSavePath", "/home/用户/游戏"));
    ASSERT_TRUE(ini.WriteString("KoruvanTask", "KoruvanTaskCreateTime", "2025-07-11 08:00:00"));
    EXPECT_EQ(ReadFile(ini.Path()),
              "; 任务文件\r\n"
              "[KoruvanTask]\r\n"
              "KoruvanTaskSavePath=/home/用户/游戏\r\n"
              "; the next key is unknown to this version\r\n"
              "FutureKey=keep me\r\n"
              "KoruvanTaskCreateTime=2025-07-11 08:00:00\r\n");
    EXPECT_EQ(IniFile(ini.Path()).GetString("KoruvanTask", "KoruvanTaskSavePath"),
              "/home/用户/游戏");
}

TEST(IniFile, UnchangedContentIsNotRewritten) {
    TempDir dir;
    IniFile ini(dir.File("t.kvconf"));
    ASSERT_TRUE(ini.WriteString("s", "k", "v"));
    const auto before = fs::last_write_time(ini.Path());
    fs::last_write_time(ini.Path(), before - std::chrono::hours(1));
    ASSERT_TRUE(ini.WriteString("S", "K", "v"));  // same value: nothing to write
    EXPECT_EQ(fs::last_write_time(ini.Path()), before - std::chrono::hours(1));
}

TEST(IniFile, FailuresLeaveTheFileAlone) {
    TempDir dir;
    IniFile inMissingFolder(dir.File("no/such/folder/t.kvconf"));
    EXPECT_FALSE(inMissingFolder.WriteString("s", "k", "v"));

    // A file that exists but cannot be read must not be replaced by a one-key file.
    const std::string unreadable = dir.File("dir.kvconf");
    fs::create_directory(unreadable);
    WriteFile(unreadable + "/content", "precious");
    IniFile broken(unreadable);
    EXPECT_FALSE(broken.WriteString("s", "k", "v"));
    EXPECT_EQ(ReadFile(unreadable + "/content"), "precious");
    EXPECT_EQ(broken.GetString("s", "k", "default"), "default");
    EXPECT_FALSE(broken.Load().has_value());

    IniFile ini(dir.File("t.kvconf"));
    ASSERT_TRUE(ini.WriteString("s", "k", "v"));
    EXPECT_FALSE(ini.WriteString("s", "k", "two\nlines"));
    EXPECT_FALSE(ini.WriteString("s", "a=b", "v"));
    EXPECT_EQ(ReadFile(ini.Path()), "[s]\nk=v\n");
}

TEST(IniFile, LeftoversOfAKilledWriterAreCleanedUp) {
    TempDir dir;
    IniFile ini(dir.File("t.kvconf"));
    ASSERT_TRUE(ini.WriteString("s", "k", "v"));
    WriteFile(dir.File("t.kvconf.tmp-0123abcd"), "half a file");
    WriteFile(dir.File("t.kvconf.tmp-notes"), "not ours");
    WriteFile(dir.File("other.kvconf.tmp-0123abcd"), "another file's");
    ASSERT_TRUE(ini.WriteString("s", "k", "w"));
    EXPECT_EQ(EntriesOf(dir.Path()),
              (std::vector<std::string>{"other.kvconf.tmp-0123abcd", "t.kvconf", "t.kvconf.lock",
                                        "t.kvconf.tmp-notes"}));
}

TEST(IniFileConcurrency, ThreadsWritingDifferentKeysLoseNothing) {
    TempDir dir;
    const std::string path = dir.File("t.kvconf");
    constexpr int kThreads = 4;
    constexpr int kKeys = 40;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            IniFile ini(path);  // one object per thread, like separate callers
            for (int k = 0; k < kKeys; ++k) {
                const std::string key = "T" + std::to_string(t) + "K" + std::to_string(k);
                EXPECT_TRUE(ini.WriteString(k % 2 ? "Odd" : "Even", key, std::to_string(t * k)));
                // A concurrent reader always sees a complete file.
                EXPECT_EQ(ini.GetString(k % 2 ? "Odd" : "Even", key, "missing"),
                          std::to_string(t * k));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const auto doc = IniFile(path).Load();
    ASSERT_TRUE(doc.has_value());
    for (int t = 0; t < kThreads; ++t) {
        for (int k = 0; k < kKeys; ++k) {
            const std::string key = "T" + std::to_string(t) + "K" + std::to_string(k);
            EXPECT_EQ(doc->Find(k % 2 ? "Odd" : "Even", key), std::to_string(t * k)) << key;
        }
    }
}

TEST(IniFileConcurrency, ProcessesWritingDifferentKeysLoseNothing) {
    TempDir dir;
    const std::string path = dir.File("t.kvconf");
    constexpr int kChildren = 3;
    constexpr int kKeys = 30;
    std::vector<pid_t> children;
    for (int c = 0; c < kChildren; ++c) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            IniFile ini(path);
            bool ok = true;
            for (int k = 0; k < kKeys; ++k) {
                ok = ini.WriteString("P", "C" + std::to_string(c) + "K" + std::to_string(k), "x") &&
                     ok;
            }
            _exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (const pid_t child : children) {
        EXPECT_EQ(WaitExit(child), 0);
    }
    EXPECT_EQ(IniFile(path).ReadKeys("P").size(), static_cast<std::size_t>(kChildren * kKeys));
}

// The big file a writer rewrites in a loop: every generation is complete and checkable.
class KilledWriter : public ::testing::Test {
  protected:
    static constexpr int kKeys = 1500;

    static std::string ValueFor(int key, int generation) {
        return "gen" + std::to_string(generation) + "-key" + std::to_string(key) + "-" +
               std::string(60, static_cast<char>('a' + generation % 26));
    }

    // True when `text` is a complete file: the head and tail sections, every key with a
    // well-formed value of some generation.
    static ::testing::AssertionResult IsComplete(const std::string& text) {
        const IniDocument doc = IniDocument::Parse(text);
        if (doc.Find("head", "first") != "1" || doc.Find("tail", "last") != "yes") {
            return ::testing::AssertionFailure()
                   << "head or tail missing (" << text.size() << " bytes)";
        }
        for (int k = 0; k < kKeys; ++k) {
            const auto value = doc.Find("big", "k" + std::to_string(k));
            if (!value) {
                return ::testing::AssertionFailure() << "key " << k << " missing";
            }
            const std::size_t dash = value->find('-');
            const int generation = std::atoi(value->c_str() + 3);
            if (value->rfind("gen", 0) != 0 || dash == std::string::npos ||
                *value != ValueFor(k, generation)) {
                return ::testing::AssertionFailure() << "key " << k << " torn: " << *value;
            }
        }
        return ::testing::AssertionSuccess();
    }

    static std::string InitialText() {
        IniDocument doc;
        (void)doc.Set("head", "first", "1");
        for (int k = 0; k < kKeys; ++k) {
            (void)doc.Set("big", "k" + std::to_string(k), ValueFor(k, 0));
        }
        (void)doc.Set("tail", "last", "yes");
        return doc.Serialize();
    }
};

TEST_F(KilledWriter, AKillMidWriteLeavesTheOldOrTheNewFile) {
    TempDir dir;
    const std::string path = dir.File("big.kvconf");
    WriteFile(path, InitialText());
    ASSERT_TRUE(IsComplete(ReadFile(path)));
    std::mt19937 random(12345);
    int generationBase = 1;
    for (int round = 0; round < 8; ++round) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(ready[0]);
            IniFile ini(path);
            for (int i = 0;; ++i) {
                // Every write changes one key, so each generation differs from the last.
                if (!ini.WriteString("big", "k" + std::to_string((i * 7) % kKeys),
                                     ValueFor((i * 7) % kKeys, generationBase + i))) {
                    _exit(3);
                }
                if (i == 0) {
                    (void)!write(ready[1], "r", 1);
                }
            }
        }
        close(ready[1]);
        char signal = 0;
        ASSERT_EQ(read(ready[0], &signal, 1), 1);
        close(ready[0]);
        // A real pause: the point is to hit the writer at an arbitrary moment.
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 40000));
        ASSERT_EQ(kill(child, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself";
        EXPECT_TRUE(IsComplete(ReadFile(path))) << "round " << round;
        generationBase += 100000;
    }
    // The next writer finds a complete file and clears what the killed ones left behind.
    IniFile ini(path);
    ASSERT_TRUE(ini.WriteString("tail", "last", "yes"));
    ASSERT_TRUE(ini.WriteString("head", "first", "1"));
    EXPECT_TRUE(IsComplete(ReadFile(path)));
    EXPECT_EQ(EntriesOf(dir.Path()), (std::vector<std::string>{"big.kvconf", "big.kvconf.lock"}));
}

}  // namespace
}  // namespace koruvan::platform
