// Threads, processes, random numbers and the developer echo.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "EnvGuard.h"
#include "platform/DebugOutput.h"
#include "platform/Process.h"
#include "platform/Random.h"
#include "platform/Thread.h"
#include "support/TempDir.h"

namespace koruvan::platform {
namespace {

using koruvan::test::EnvGuard;
using koruvan::test::ReadFile;
using koruvan::test::TempDir;

// Runs `body` on a fresh thread (names set there do not leak into the test runner).
template <typename Body>
void OnThread(Body body) {
    std::thread(body).join();
}

TEST(ThreadName, IsSetAndCutToFifteenBytes) {
    OnThread([] {
        EXPECT_TRUE(SetCurrentThreadName("UDPServer"));
        EXPECT_EQ(CurrentThreadName(), "UDPServer");
        EXPECT_TRUE(SetCurrentThreadName("CollectDataUpload"));
        EXPECT_EQ(CurrentThreadName(), "CollectDataUplo");
        EXPECT_TRUE(SetCurrentThreadName(""));
        EXPECT_EQ(CurrentThreadName(), "");
    });
}

TEST(ThreadName, IsNeverCutInsideAUtf8Character) {
    OnThread([] {
        // Five 3-byte characters fill the 15 bytes exactly.
        EXPECT_TRUE(SetCurrentThreadName("数据上传线程"));
        EXPECT_EQ(CurrentThreadName(), "数据上传线");
        // One ASCII byte first: the fifth character would end at byte 16, so it goes.
        EXPECT_TRUE(SetCurrentThreadName("a数据上传线程"));
        EXPECT_EQ(CurrentThreadName(), "a数据上传");
    });
}

TEST(ThreadId, IsStablePerThreadAndDistinctAcrossThreads) {
    const std::uint32_t mine = CurrentThreadId();
    EXPECT_NE(mine, 0u);
    EXPECT_EQ(CurrentThreadId(), mine);
    std::array<std::uint32_t, 4> others{};
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < others.size(); ++i) {
        threads.emplace_back([&others, i] { others[i] = CurrentThreadId(); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::set<std::uint32_t> all(others.begin(), others.end());
    all.insert(mine);
    EXPECT_EQ(all.size(), 5u);
    EXPECT_EQ(all.count(0u), 0u);
}

TEST(ProcessId, AForkedChildReportsItsOwnId) {
    const std::uint32_t parent = CurrentProcessId();
    EXPECT_NE(parent, 0u);
    int channel[2];
    ASSERT_EQ(pipe(channel), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const std::uint32_t ids[2] = {CurrentProcessId(), CurrentThreadId()};
        (void)!write(channel[1], ids, sizeof ids);
        _exit(0);
    }
    close(channel[1]);
    std::uint32_t ids[2] = {};
    ASSERT_EQ(read(channel[0], ids, sizeof ids), static_cast<ssize_t>(sizeof ids));
    close(channel[0]);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(ids[0], static_cast<std::uint32_t>(child));
    EXPECT_EQ(ids[1], static_cast<std::uint32_t>(child));  // its only thread
    EXPECT_NE(ids[1], CurrentThreadId());
}

TEST(Random, BytesAreFilledAndDiffer) {
    std::vector<unsigned char> a(4096, 0);
    std::vector<unsigned char> b(4096, 0);
    ASSERT_TRUE(RandomBytes(a.data(), a.size()));
    ASSERT_TRUE(RandomBytes(b.data(), b.size()));
    EXPECT_NE(a, b);
    // Every byte value turns up in 4096 random bytes with overwhelming probability; a
    // buffer left partly unfilled would not pass.
    EXPECT_EQ(std::set<unsigned char>(a.begin(), a.end()).size(), 256u);
    EXPECT_TRUE(RandomBytes(nullptr, 0));
}

TEST(Random, Uint32ValuesDoNotRepeat) {
    std::set<std::uint32_t> values;
    for (int i = 0; i < 2000; ++i) {
        values.insert(RandomUint32());
    }
    EXPECT_GE(values.size(), 1998u);
}

// Redirects standard error into a file for the life of the object.
class CapturedStderr {
  public:
    explicit CapturedStderr(const std::string& path) : saved_(dup(STDERR_FILENO)), path_(path) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    ~CapturedStderr() { Restore(); }
    std::string Text() {
        Restore();
        return ReadFile(path_);
    }

  private:
    void Restore() {
        if (saved_ >= 0) {
            dup2(saved_, STDERR_FILENO);
            close(saved_);
            saved_ = -1;
        }
    }
    int saved_;
    std::string path_;
};

TEST(DebugOutput, WritesOnlyWhenEnabled) {
    TempDir dir;
    EnvGuard env;
    {
        env.Unset("KORUVAN_DEBUG");
        CapturedStderr captured(dir.File("off"));
        DebugOutput("silent");
        env.Set("KORUVAN_DEBUG", "");
        DebugOutput("still silent");
        EXPECT_FALSE(DebugOutputEnabled());
        EXPECT_EQ(captured.Text(), "");
    }
    env.Set("KORUVAN_DEBUG", "1");
    CapturedStderr captured(dir.File("on"));
    EXPECT_TRUE(DebugOutputEnabled());
    DebugOutput("first");
    DebugOutput("second\n");  // the break is not doubled
    DebugOutput("");
    DebugOutput("下载器 echo");
    EXPECT_EQ(captured.Text(), "first\nsecond\n\n下载器 echo\n");
}

TEST(DebugOutput, ConcurrentLinesNeverInterleave) {
    TempDir dir;
    EnvGuard env;
    env.Set("KORUVAN_DEBUG", "1");
    constexpr int kThreads = 8;
    constexpr int kLines = 300;
    CapturedStderr captured(dir.File("lines"));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const std::string body(150, static_cast<char>('A' + t));
            for (int i = 0; i < kLines; ++i) {
                DebugOutput("[" + std::to_string(t) + "] " + body);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::istringstream lines(captured.Text());
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        ASSERT_GE(line.size(), 4u);
        const int t = line[1] - '0';
        EXPECT_EQ(line,
                  "[" + std::to_string(t) + "] " + std::string(150, static_cast<char>('A' + t)));
    }
    EXPECT_EQ(count, kThreads * kLines);
}

}  // namespace
}  // namespace koruvan::platform
