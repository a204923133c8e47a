// FTP sources through the engine's call interface: vsftpd (and the scripted FTP server for
// refusals) on loopback, files checked byte for byte.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <regex>
#include <thread>

#include "FtpServers.h"
#include "engine/core/EngineTestSupport.h"
#include "support/LocalServer.h"

namespace koruvan::engine {
namespace {

using namespace std::chrono_literals;
using test::MakeDescriptor;
using test::RandomContent;
using test::TaskProblem;

constexpr std::uint32_t kControllerFlags = kFlagRecorded | kFlagFullPath;
constexpr std::uint64_t kMiB = 1024 * 1024;

class FtpSourceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(dir_.File("www"));
        std::filesystem::create_directories(dir_.File("save"));
        ASSERT_EQ(EngineStartup(dir_.Path().c_str()), 0);
    }
    void TearDown() override { EngineCleanup(); }

    // Starts a task for `sources` into save/<name>; returns its descriptor.
    std::unique_ptr<test::Descriptor> Start(const std::string& name, const std::string& sources,
                                            std::uint64_t size) {
        auto d = MakeDescriptor(kControllerFlags, dir_.File("save/" + name),
                                dir_.File("save/" + name + ".kvinfo"), sources);
        EXPECT_EQ(CreateAndStartTask(d.get(), TaskStartOptions{size, 0}), 0);
        return d;
    }

    TaskProgress WaitForEnd(const test::Descriptor& d, std::chrono::seconds limit = 120s) {
        return test::WaitForTaskEnd(d.handle, limit, d.targetPath);
    }

    test::TempDir dir_;
};

TEST_F(FtpSourceTest, AnAnonymousLoginFetchesTheFile) {
    const std::string content = RandomContent(3 * kMiB + 1234, 1);
    test::WriteFile(dir_.File("www/a.bin"), content);
    test::VsftpdServer server(dir_.File("vsftpd"), dir_.File("www"));
    ASSERT_TRUE(server.Start());
    auto d = Start("a.bin", server.Url("/a.bin"), content.size());
    EXPECT_EQ(WaitForEnd(*d).stateCode, kStateComplete);
    EXPECT_TRUE(test::ReadFile(d->targetPath) == content);
    EXPECT_NE(server.Log().find("\"USER anonymous\""), std::string::npos);
}

// The virtual user of the vsftpd fixture; a wrong password is refused with 530, which is
// what the task then tells as its problem.
TEST_F(FtpSourceTest, AUserLoginFetchesTheFileAndAWrongPasswordIsTold) {
    std::string why;
    if (!test::VsftpdServer::UserLoginAvailable(why)) {
        GTEST_SKIP() << why;
    }
    const std::string content = RandomContent(2 * kMiB, 2);
    test::WriteFile(dir_.File("www/u.bin"), content);
    test::VsftpdServer server(dir_.File("vsftpd"), dir_.File("www"));
    ASSERT_TRUE(server.Start(0, true));
    auto good = Start("u.bin", server.Url("/u.bin", "koruvan:s3cret"), content.size());
    EXPECT_EQ(WaitForEnd(*good).stateCode, kStateComplete);
    EXPECT_TRUE(test::ReadFile(good->targetPath) == content);
    EXPECT_NE(server.Log().find("[koruvan] OK LOGIN"), std::string::npos) << server.Log();

    auto wrong = Start("w.bin", server.Url("/u.bin", "koruvan:wrong"), content.size());
    std::string problem;
    for (int i = 0; i < 500 && problem.empty(); ++i) {
        std::this_thread::sleep_for(10ms);
        problem = TaskProblem(wrong->handle);
    }
    EXPECT_NE(problem.find("FTP 530"), std::string::npos) << problem;
    TaskProgress progress{};
    ASSERT_EQ(QueryTask(wrong->handle, &progress), 0);
    EXPECT_EQ(progress.bytesDone, 0u);
}

// Servers that log anonymous users in at USER (230, no password asked), as public mirrors
// run vsftpd and as pure-ftpd does, and pure-ftpd's user login: each serves the file whole.
TEST_F(FtpSourceTest, ServersThatLogInAtUserOrAskAPasswordServeTheFile) {
    std::string why;
    if (!test::PureFtpdServer::Available(why)) {
        GTEST_SKIP() << why;
    }
    const std::string content = RandomContent(24 * kMiB, 6);
    test::WriteFile(dir_.File("www/l.bin"), content);
    struct Case {
        const char* name;
        bool pureFtpd;
        bool withUser;
    };
    const Case cases[] = {{"vsftpd, anonymous at USER", false, false},
                          {"pure-ftpd, anonymous", true, false},
                          {"pure-ftpd, user", true, true}};
    for (std::size_t k = 0; k < std::size(cases); ++k) {
        const Case& c = cases[k];
        const std::string work = dir_.File("ftp" + std::to_string(k));
        std::unique_ptr<test::FtpServer> server;
        if (c.pureFtpd) {
            server = std::make_unique<test::PureFtpdServer>(work, dir_.File("www"));
        } else {
            auto vsftpd = std::make_unique<test::VsftpdServer>(work, dir_.File("www"));
            vsftpd->SetAnonymousAtUser(true);
            server = std::move(vsftpd);
        }
        ASSERT_TRUE(server->Start(0, c.withUser)) << c.name;
        const std::string login =
            c.withUser ? std::string(test::FtpServer::kUser) + ":" + test::FtpServer::kPassword
                       : "";
        auto d =
            Start("l" + std::to_string(k) + ".bin", server->Url("/l.bin", login), content.size());
        EXPECT_EQ(WaitForEnd(*d, 60s).stateCode, kStateComplete)
            << c.name << ": " << TaskProblem(d->handle);
        EXPECT_TRUE(test::ReadFile(d->targetPath) == content) << c.name;
    }
}

// One gibibyte from one anonymous source, compared in pieces against the original.
TEST_F(FtpSourceTest, AOneGibibyteFileArrivesWhole) {
    constexpr std::uint64_t kSize = 1024 * kMiB;
    constexpr std::size_t kChunk = 8 * kMiB;
    {
        std::ofstream out(dir_.File("www/big.bin"), std::ios::binary);
        for (std::uint64_t at = 0; at < kSize; at += kChunk) {
            const std::string chunk = RandomContent(kChunk, static_cast<unsigned>(at / kChunk));
            out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        }
    }
    test::VsftpdServer server(dir_.File("vsftpd"), dir_.File("www"));
    ASSERT_TRUE(server.Start());
    const auto started = std::chrono::steady_clock::now();
    auto d = Start("big.bin", server.Url("/big.bin"), kSize);
    EXPECT_EQ(WaitForEnd(*d, 300s).stateCode, kStateComplete);
    std::printf("1 GiB over FTP in %.1f s\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    std::ifstream original(dir_.File("www/big.bin"), std::ios::binary);
    std::ifstream copy(d->targetPath, std::ios::binary);
    std::string a(kChunk, '\0');
    std::string b(kChunk, '\0');
    for (std::uint64_t at = 0; at < kSize; at += kChunk) {
        original.read(a.data(), kChunk);
        copy.read(b.data(), kChunk);
        ASSERT_TRUE(copy.gcount() == static_cast<std::streamsize>(kChunk) && a == b)
            << "differs in the chunk at " << at;
    }
    EXPECT_EQ(copy.peek(), std::ifstream::traits_type::eof());
}

// Both mirrors are held to 4 MiB/s, so neither fills the file alone; the bytes of both are
// web-source bytes of the task.
TEST_F(FtpSourceTest, AnFtpAndAnHttpMirrorFillOneFileTogether) {
    const std::string content = RandomContent(32 * kMiB, 3);
    test::WriteFile(dir_.File("www/m.bin"), content);
    test::VsftpdServer ftp(dir_.File("vsftpd"), dir_.File("www"));
    ASSERT_TRUE(ftp.Start(4 * kMiB));
    const int httpPort = test::FreeTcpPort();
    test::NginxServer http(dir_.File("nginx"), dir_.File("www"), {httpPort}, "limit_rate 4m;");
    ASSERT_TRUE(http.Start());
    auto d = Start("m.bin", ftp.Url("/m.bin") + "\n" + http.Url(0, "/m.bin"), content.size());
    const TaskProgress progress = WaitForEnd(*d);
    EXPECT_EQ(progress.stateCode, kStateComplete);
    EXPECT_TRUE(test::ReadFile(d->targetPath) == content);
    EXPECT_EQ(progress.httpBytes, content.size());
    std::this_thread::sleep_for(200ms);  // both servers log a transfer when it ends
    const std::uint64_t byFtp = ftp.SentBytes();
    std::uint64_t byHttp = 0;
    const std::string access = test::ReadFile(dir_.File("nginx/access.log"));
    static const std::regex kSent(R"(" (200|206) (\d+) )");
    for (std::sregex_iterator it(access.begin(), access.end(), kSent), end; it != end; ++it) {
        byHttp += std::stoull((*it)[2].str());
    }
    EXPECT_GT(byFtp, content.size() / 8) << ftp.Log();
    EXPECT_GT(byHttp, content.size() / 8) << access;
    EXPECT_GE(byFtp + byHttp, content.size());
}

// A source of the resource list's kind (extra list A) may be an FTP mirror too.
TEST_F(FtpSourceTest, AnFtpMirrorFromTheExtraListFillsTheFile) {
    test::EngineTestClock clock(20.0);  // the extra list is tried after 10 quiet seconds
    const std::string content = RandomContent(kMiB, 4);
    test::WriteFile(dir_.File("www/x.bin"), content);
    test::VsftpdServer server(dir_.File("vsftpd"), dir_.File("www"));
    ASSERT_TRUE(server.Start());
    const std::string nowhere =
        "http://127.0.0.1:" + std::to_string(test::FreeTcpPort()) + "/x.bin";
    auto d = Start("x.bin", nowhere, content.size());
    ASSERT_EQ(SetTaskSourceLists(d->handle, server.Url("/x.bin").c_str(), "null"), 0);
    EXPECT_EQ(WaitForEnd(*d).stateCode, kStateComplete);
    EXPECT_TRUE(test::ReadFile(d->targetPath) == content);
}

// A server that refuses the login, one that does not have the file and one that closes in
// mid-transfer: each loses its own source, the good mirror beside it fills the file.
TEST_F(FtpSourceTest, FailingFtpServersLoseOnlyTheirSource) {
    const std::string content = RandomContent(6 * kMiB, 5);
    test::VsftpdServer good(dir_.File("vsftpd"), dir_.File("www"));
    ASSERT_TRUE(good.Start(8 * kMiB));
    for (const std::string mode : {"deny-login", "missing", "drop-421"}) {
        // A file of its own per case: tasks with the same sources would be one download.
        const std::string path = "/" + mode + ".bin";
        test::WriteFile(dir_.File("www" + path), content);
        test::ScriptedFtpServer bad;
        ASSERT_TRUE(bad.Start(dir_.File("www"), mode, "", kMiB));
        auto d = Start(mode + ".bin", bad.Url(path) + "\n" + good.Url(path), content.size());
        EXPECT_EQ(WaitForEnd(*d).stateCode, kStateComplete) << mode;
        EXPECT_TRUE(test::ReadFile(d->targetPath) == content) << mode;
    }
}

}  // namespace
}  // namespace koruvan::engine
