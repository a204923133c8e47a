#include <gtest/gtest.h>

#include <thread>

#include "support/LocalServer.h"
#include "support/TempDir.h"

namespace koruvan::test {
namespace {

// The fixture every web-source test relies on: nginx on loopback, with byte ranges.
TEST(NginxFixture, ServesFilesWithRangesOnLoopback) {
    TempDir dir;
    WriteFile(dir.File("hello.txt"), "0123456789");
    NginxServer nginx(dir.File("nginx"), dir.Path(), {FreeTcpPort(), FreeTcpPort()});
    ASSERT_TRUE(nginx.Start());
    ChildProcess curl;
    const std::string out = dir.File("out.txt");
    ASSERT_TRUE(curl.Start({"curl", "-s", "-r", "2-4", "-o", out, nginx.Url(1, "/hello.txt")}));
    for (int i = 0; i < 200 && curl.Running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(ReadFile(out), "234");
}

}  // namespace
}  // namespace koruvan::test
