// Web sources end to end through the engine's call interface: real nginx mirrors on
// loopback, files checked byte for byte.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "TorrentMaker.h"
#include "engine/core/EngineTestSupport.h"
#include "engine/peers/UsageEvents.h"
#include "support/LocalServer.h"

namespace koruvan::engine {
namespace {

using namespace std::chrono_literals;
using test::MakeDescriptor;
using test::RandomContent;

constexpr std::uint32_t kControllerFlags = kFlagRecorded | kFlagFullPath;

class WebSourcesTest : public ::testing::Test {
  protected:
    TaskProgress WaitForEnd(TaskHandle handle, std::chrono::seconds limit = 120s) {
        return test::WaitForTaskEnd(handle, limit, target_);
    }
    void SetUp() override {
        std::filesystem::create_directories(dir_.File("www/good"));
        std::filesystem::create_directories(dir_.File("www/bad"));
        std::filesystem::create_directories(dir_.File("save"));
        ASSERT_EQ(EngineStartup(dir_.Path().c_str()), 0);
    }
    void TearDown() override {
        EngineCleanup();
        SetUsageEventSink(nullptr);
    }

    // nginx with `ports` mirrors; `extra` goes into every server block.
    void StartMirrors(std::size_t count, const std::string& extra = "") {
        std::vector<int> ports;
        for (std::size_t i = 0; i < count; ++i) {
            ports.push_back(test::FreeTcpPort());
        }
        nginx_ =
            std::make_unique<test::NginxServer>(dir_.File("nginx"), dir_.File("www"), ports, extra);
        ASSERT_TRUE(nginx_->Start());
    }
    std::string Url(std::size_t mirror, const std::string& path) {
        return nginx_->Url(mirror, path);
    }

    // Bytes nginx sent per port, from its access log.
    std::uint64_t BytesServed(const std::string& pathPart, int* requests = nullptr) {
        std::ifstream log(dir_.File("nginx/access.log"));
        std::string line;
        std::uint64_t total = 0;
        int count = 0;
        while (std::getline(log, line)) {
            if (line.find(pathPart) == std::string::npos) {
                continue;
            }
            const auto quote = line.find("\" ", line.find("HTTP/1"));
            std::istringstream fields(line.substr(quote + 2));
            int status = 0;
            std::uint64_t bytes = 0;
            fields >> status >> bytes;
            total += bytes;
            ++count;
        }
        if (requests != nullptr) {
            *requests = count;
        }
        return total;
    }

    test::TempDir dir_;
    std::unique_ptr<test::NginxServer> nginx_;
    std::string target_;
};

TEST_F(WebSourcesTest, AP2spTaskFetchesFromThreeMirrorsAtOnceAndResumesWithoutRefetching) {
    const std::string content = RandomContent(200u << 20, 1);
    test::WriteFile(dir_.File("www/good/big.cab"), content);
    test::WriteFile(dir_.File("big.torrent"), test::MakeTorrent("big.cab", content, 2 << 20));
    StartMirrors(3);
    target_ = dir_.File("save/big.cab");
    auto d = MakeDescriptor(kControllerFlags | kFlagP2spTask, target_, dir_.File("big.kvinfo"),
                            Url(0, "/good/big.cab") + "\r\n" + Url(1, "/good/big.cab") + "\r\n" +
                                Url(2, "/good/big.cab"),
                            "file://" + dir_.File("big.torrent"));
    // Held to about 30 MB/s, so that the stop reliably falls in the middle.
    ASSERT_EQ(CreateAndStartTask(d.get(), TaskStartOptions{content.size(), 30000}), 0);
    ASSERT_EQ(SetTaskConnectionLimits(d->handle, 6, 0), 0);

    // Stop part-way, then recover from the state file in a new task object.
    TaskProgress progress{};
    for (int i = 0; i < 2000 && progress.bytesDone < (40u << 20); ++i) {
        std::this_thread::sleep_for(5ms);
        ASSERT_EQ(QueryTask(d->handle, &progress), 0);
    }
    ASSERT_EQ(StopTask(d->handle, false), 0);
    ASSERT_EQ(QueryTask(d->handle, &progress), 0);
    const std::uint64_t doneAtStop = progress.bytesDone;
    ASSERT_GT(doneAtStop, 0u);
    ASSERT_LT(doneAtStop, content.size());
    EXPECT_EQ(EngineCleanup(), 0);  // the program ends; the state file stays
    ASSERT_EQ(EngineStartup(nullptr), 0);

    auto again = MakeDescriptor(kControllerFlags | kFlagP2spTask, target_, dir_.File("big.kvinfo"),
                                d->sources, "file://" + dir_.File("big.torrent"));
    ASSERT_EQ(RecoverAndContinueTask(again.get(), false), 0);
    progress = WaitForEnd(again->handle);
    EXPECT_EQ(progress.stateCode, kStateComplete) << progress.stateCode;
    ASSERT_TRUE(std::filesystem::exists(target_));
    EXPECT_TRUE(test::ReadFile(target_) == content);
    // The second run fetched what was missing (plus at most the pieces in flight at the stop).
    EXPECT_LE(progress.httpBytes, content.size() - doneAtStop + (16u << 20));
    EXPECT_GT(progress.httpBytes, 0u);
    int requests = 0;
    EXPECT_GE(BytesServed("/good/big.cab", &requests), content.size());
    EXPECT_GE(requests, 3);
}

TEST_F(WebSourcesTest, AnHttpTaskWithoutTorrentLearnsItsSizeAndCompletes) {
    const std::string content = RandomContent((5u << 20) + 12345, 2);
    test::WriteFile(dir_.File("www/good/plain.exe"), content);
    StartMirrors(1);
    target_ = dir_.File("save/plain.exe");
    auto d = MakeDescriptor(kControllerFlags, target_, dir_.File("plain.kvinfo"),
                            Url(0, "/good/plain.exe"));
    ASSERT_EQ(CreateAndStartTask(d.get()), 0);
    const TaskProgress progress = WaitForEnd(d->handle);
    EXPECT_EQ(progress.stateCode, kStateComplete);
    EXPECT_EQ(progress.totalSizeKiB, content.size() / 1024);
    EXPECT_EQ(progress.httpBytes, content.size());
    EXPECT_TRUE(test::ReadFile(target_) == content);
    EXPECT_FALSE(std::filesystem::exists(target_ + ".kvtmp"));
    EXPECT_FALSE(std::filesystem::exists(dir_.File("plain.kvinfo")));  // finished: state gone
}

TEST_F(WebSourcesTest, ACorruptMirrorCostsAPieceThatAHealthyMirrorDeliversAgain) {
    const std::string content = RandomContent(24u << 20, 3);
    std::string corrupt = content;
    // One bad byte in the first piece of each half, so that whichever range the bad mirror
    // is given, its first piece fails its check.
    corrupt[777] ^= 0x5A;
    corrupt[(12u << 20) + 777] ^= 0x5A;
    test::WriteFile(dir_.File("www/good/c.cab"), content);
    test::WriteFile(dir_.File("www/bad/c.cab"), corrupt);
    test::WriteFile(dir_.File("c.torrent"), test::MakeTorrent("c.cab", content, 2 << 20));
    std::mutex lock;
    std::vector<UsageEvent> events;
    SetUsageEventSink([&](const UsageEvent& e) {
        std::lock_guard<std::mutex> guard(lock);
        events.push_back(e);
    });
    StartMirrors(2);
    target_ = dir_.File("save/c.cab");
    auto d = MakeDescriptor(kControllerFlags | kFlagP2spTask, target_, dir_.File("c.kvinfo"),
                            Url(0, "/bad/c.cab") + "\n" + Url(1, "/good/c.cab"),
                            "file://" + dir_.File("c.torrent"));
    ASSERT_EQ(CreateAndStartTask(d.get()), 0);
    const TaskProgress progress = WaitForEnd(d->handle);
    EXPECT_EQ(progress.stateCode, kStateComplete);
    EXPECT_TRUE(test::ReadFile(target_) == content);
    std::lock_guard<std::mutex> guard(lock);
    const bool reported = std::any_of(events.begin(), events.end(), [](const UsageEvent& e) {
        return e.code == "11500101" && e.text.find("/bad/c.cab") != std::string::npos;
    });
    EXPECT_TRUE(reported);
}

TEST_F(WebSourcesTest, MissingAndRedirectingMirrorsLeaveTheHealthyOneToFinish) {
    const std::string content = RandomContent(8u << 20, 4);
    test::WriteFile(dir_.File("www/good/r.cab"), content);
    test::WriteFile(dir_.File("r.torrent"), test::MakeTorrent("r.cab", content, 1 << 20));
    // Mirror 1 answers 404 for everything under /gone; mirror 2 redirects to mirror 0.
    const int healthy = test::FreeTcpPort();
    std::vector<int> ports{healthy, test::FreeTcpPort(), test::FreeTcpPort()};
    nginx_ = std::make_unique<test::NginxServer>(
        dir_.File("nginx"), dir_.File("www"), ports,
        "    location /moved/ { return 302 http://127.0.0.1:" + std::to_string(healthy) +
            "/good/r.cab; }");
    ASSERT_TRUE(nginx_->Start());
    target_ = dir_.File("save/r.cab");
    auto d = MakeDescriptor(kControllerFlags | kFlagP2spTask, target_, dir_.File("r.kvinfo"),
                            Url(1, "/gone/r.cab") + "\n" + Url(2, "/moved/r.cab"),
                            "file://" + dir_.File("r.torrent"));
    ASSERT_EQ(CreateAndStartTask(d.get()), 0);
    const TaskProgress progress = WaitForEnd(d->handle);
    EXPECT_EQ(progress.stateCode, kStateComplete);
    EXPECT_TRUE(test::ReadFile(target_) == content);
    int gone = 0;
    BytesServed("/gone/r.cab", &gone);
    EXPECT_EQ(gone, 1);  // a 404 removes the source: asked once, never again
}

TEST_F(WebSourcesTest, AnOverloadedMirrorIsBackedOffAndUsedAgainLater) {
    const std::string content = RandomContent(6u << 20, 5);
    test::WriteFile(dir_.File("www/good/b.cab"), content);
    test::WriteFile(dir_.File("b.torrent"), test::MakeTorrent("b.cab", content, 1 << 20));
    test::WriteFile(dir_.File("busy"), "1");
    StartMirrors(1, "    location /good/ { if (-f " + dir_.File("busy") + ") { return 503; } }");
    target_ = dir_.File("save/b.cab");
    test::EngineTestClock fast(20.0);  // back-off seconds pass twenty times faster
    auto d = MakeDescriptor(kControllerFlags | kFlagP2spTask, target_, dir_.File("b.kvinfo"),
                            Url(0, "/good/b.cab"), "file://" + dir_.File("b.torrent"));
    ASSERT_EQ(CreateAndStartTask(d.get()), 0);
    int asked = 0;
    for (int i = 0; i < 500 && asked == 0; ++i) {
        std::this_thread::sleep_for(10ms);
        BytesServed("/good/b.cab", &asked);
    }
    ASSERT_GE(asked, 1);
    std::this_thread::sleep_for(200ms);  // about four task seconds: still backed off
    int stillAsked = 0;
    BytesServed("/good/b.cab", &stillAsked);
    EXPECT_EQ(stillAsked, asked);
    std::filesystem::remove(dir_.File("busy"));
    const TaskProgress progress = WaitForEnd(d->handle, 60s);
    EXPECT_EQ(progress.stateCode, kStateComplete);
    EXPECT_TRUE(test::ReadFile(target_) == content);
}

TEST_F(WebSourcesTest, ASpeedLimitHoldsTheTaskToItsBudget) {
    const std::string content = RandomContent(2u << 20, 6);
    test::WriteFile(dir_.File("www/good/l.cab"), content);
    test::WriteFile(dir_.File("l.torrent"), test::MakeTorrent("l.cab", content, 1 << 20));
    StartMirrors(1);
    test::EngineTestClock fast(20.0);
    target_ = dir_.File("save/l.cab");
    auto d = MakeDescriptor(kControllerFlags | kFlagP2spTask, target_, dir_.File("l.kvinfo"),
                            Url(0, "/good/l.cab"), "file://" + dir_.File("l.torrent"));
    // 100 KiB per second from the start.
    ASSERT_EQ(CreateAndStartTask(d.get(), TaskStartOptions{content.size(), 100}), 0);
    const std::uint32_t start = EngineSeconds();
    const TaskProgress progress = WaitForEnd(d->handle);
    const std::uint32_t seconds = EngineSeconds() - start;
    EXPECT_EQ(progress.stateCode, kStateComplete);
    EXPECT_TRUE(test::ReadFile(target_) == content);
    // 2 MiB at 100 KiB/s: about 20 seconds of engine time, a burst of a socket buffer aside.
    EXPECT_GE(seconds, 14u);
}

}  // namespace
}  // namespace koruvan::engine
