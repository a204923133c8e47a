// The resource-list refresh the controller starts while downloading (or while nothing
// arrives): on the first speed evaluation in `downloading` and every 600 after, on a thread of its
// own, with the P2P switch and the extra sources of the list (served by nginx on loopback) reaching
// the tasks; a refresh still under way when the controller goes never reaches it.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "app/ControllerFakes.h"
#include "support/LocalServer.h"
#include "support/WaitFor.h"

namespace koruvan::app {
namespace {

using test::ControllerHarness;

int CountRequests(const std::string& log, const std::string& path) {
    int n = 0;
    for (std::size_t at = log.find(path); at != std::string::npos; at = log.find(path, at + 1)) {
        ++n;
    }
    return n;
}

using test::WaitFor;

TEST(ControllerRefreshTest, ListIsFetchedWhileDownloadingAndReachesTheTasks) {
    test::TempDir www;
    test::NginxServer nginx(www.File("nginx"), www.Path(), {test::FreeTcpPort()});
    DownloadPlan plan = test::TestPlan();
    plan.resourceListUrl = nginx.Url(0, "/list.xml");
    test::WriteFile(
        www.File("list.xml"),
        "<project><configs><p2p-switch>off</p2p-switch></configs><resources>"
        "<resource id=\"1\" task=\"" +
            plan.files[1].url +
            "\">"
            "<cdn id=\"7\" name=\"mirror\" middle-dir=\"/m/\" file-name=\"data.001.cab\" "
            "host-name=\"cdn.example\" open=\"true\"><ip>127.0.0.1:1</ip></cdn>"
            "</resource></resources></project>");
    ASSERT_TRUE(nginx.Start());
    ControllerHarness h(plan);
    DownloadController& c = h.Downloading();  // the first evaluation in `downloading`
    ASSERT_EQ(c.State(), ControllerState::Downloading);
    ASSERT_TRUE(WaitFor([&] { return !h.engine.Copy(h.Name(1)).extraSources.empty(); }));
    const auto task = h.engine.Copy(h.Name(1));
    EXPECT_EQ(task.extraSources, "https://127.0.0.1:1/m/data.001.cab\n");
    EXPECT_EQ(task.extraHosts, "cdn.example\n");
    EXPECT_TRUE(h.engine.Copy(h.Name(0)).extraSources.empty());
    EXPECT_TRUE(WaitFor([&] { return !h.engine.p2p.load(); }));
    (void)c.SpeedText();
    EXPECT_FALSE(h.engine.p2p.load());  // the list's switch is applied at every evaluation

    // nginx writes its log line after the response: wait for it rather than read once.
    const std::string log = www.File("nginx/access.log");
    EXPECT_TRUE(WaitFor([&] { return CountRequests(test::ReadFile(log), "/list.xml") == 1; }));
    for (int k = 2; k < 600; ++k) {  // evaluations 3 to 600
        (void)c.SpeedText();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(CountRequests(test::ReadFile(log), "/list.xml"), 1);
    (void)c.SpeedText();  // the 601st evaluation
    EXPECT_TRUE(WaitFor([&] { return CountRequests(test::ReadFile(log), "/list.xml") == 2; }));
    // The refresh ends after nginx has logged its request: only then can the next start.
    EXPECT_TRUE(WaitFor([&] { return !c.RefreshRunning(); }));

    c.PrimaryAction();
    EXPECT_EQ(c.SpeedText(), "0 B/s");  // an evaluation in `pause` starts the count over
    c.PrimaryAction();
    (void)c.SpeedText();
    EXPECT_TRUE(WaitFor([&] { return CountRequests(test::ReadFile(log), "/list.xml") == 3; }));
}

// The plan's sources deliver nothing (a CDN that is down or lies from the start): after a
// few seconds without data the list is fetched anyway, so its mirrors can stand in, and only
// once until the 600th evaluation.
TEST(ControllerRefreshTest, ListIsFetchedWhenThePlansSourcesDeliverNothing) {
    test::TempDir www;
    test::NginxServer nginx(www.File("nginx"), www.Path(), {test::FreeTcpPort()});
    DownloadPlan plan = test::TestPlan();
    plan.resourceListUrl = nginx.Url(0, "/list.xml");
    test::WriteFile(www.File("list.xml"),
                    "<project><configs><p2p-switch>on</p2p-switch></configs><resources>"
                    "<resource id=\"1\" task=\"" +
                        plan.files[1].url +
                        "\"><cdn id=\"7\" name=\"mirror\" middle-dir=\"/m/\" "
                        "file-name=\"data.001.cab\" open=\"true\"><ip>127.0.0.1:1</ip></cdn>"
                        "</resource></resources></project>");
    ASSERT_TRUE(nginx.Start());
    ControllerHarness h(plan);
    DownloadController& c = h.Start();
    c.PrimaryAction();
    ASSERT_EQ(c.State(), ControllerState::Preparing);
    for (int second = 0; second < 3; ++second) {
        c.Tick();
        (void)c.SpeedText();
    }
    EXPECT_EQ(c.State(), ControllerState::Preparing);
    ASSERT_TRUE(WaitFor([&] { return !h.engine.Copy(h.Name(1)).extraSources.empty(); }));
    EXPECT_EQ(h.engine.Copy(h.Name(1)).extraSources, "https://127.0.0.1:1/m/data.001.cab\n");
    for (int k = 0; k < 20; ++k) {
        c.Tick();
        (void)c.SpeedText();
    }
    EXPECT_TRUE(WaitFor([&] { return !c.RefreshRunning(); }));
    EXPECT_EQ(CountRequests(test::ReadFile(www.File("nginx/access.log")), "/list.xml"), 1);
}

TEST(ControllerRefreshTest, NotAllowedP2PStaysOffWhateverTheListSays) {
    test::TempDir www;
    test::NginxServer nginx(www.File("nginx"), www.Path(), {test::FreeTcpPort()});
    DownloadPlan plan = test::TestPlan();
    plan.resourceListUrl = nginx.Url(0, "/list.xml");
    test::WriteFile(www.File("list.xml"),
                    "<project><configs><p2p-switch>on</p2p-switch></configs></project>");
    ASSERT_TRUE(nginx.Start());
    ControllerHarness h(plan);
    DownloadController& c = h.Start();
    c.SetP2PAllowed(false);
    c.PrimaryAction();
    h.engine.SetProgress(h.Name(0), 10, 5000);
    (void)c.SpeedText();
    ASSERT_TRUE(WaitFor([&] {
        return CountRequests(test::ReadFile(www.File("nginx/access.log")), "/list.xml") == 1;
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    (void)c.SpeedText();
    EXPECT_FALSE(h.engine.p2p.load());
}

TEST(ControllerRefreshTest, ARefreshThatOutlivesTheControllerNeverReachesIt) {
    // A server that holds the answer back until told (the refresh has no time limit), then
    // sends a list that would switch P2P and hand a source to file 1.
    test::TempDir dir;
    const int port = test::FreeTcpPort();
    DownloadPlan plan = test::TestPlan();
    plan.resourceListUrl = "http://127.0.0.1:" + std::to_string(port) + "/list.xml";
    const std::string list =
        "<project><configs><p2p-switch>off</p2p-switch></configs><resources>"
        "<resource id='1' task='" +
        plan.files[1].url +
        "'><cdn id='7' name='m' "
        "middle-dir='/m/' file-name='x' open='1'><ip>127.0.0.1:1</ip></cdn></resource>"
        "</resources></project>";
    const std::string go = dir.File("go");
    test::ChildProcess held;
    ASSERT_TRUE(held.Start(
        {"python3", "-c",
         "import os,socket,time\n"
         "s=socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
         "s.bind(('127.0.0.1'," +
             std::to_string(port) +
             ")); s.listen(5)\n"
             "while True:\n"
             "    c,_=s.accept()\n"
             "    if c.recv(65536): break\n"  // the port probe sends nothing
             "while not os.path.exists('" +
             go +
             "'): time.sleep(0.01)\n"
             "b=b\"" +
             list +
             "\"\n"
             "c.sendall(b'HTTP/1.0 200 OK\\r\\nContent-Length: %d\\r\\n\\r\\n' % len(b) + b)\n"
             "c.close(); time.sleep(5)\n"}));
    ASSERT_TRUE(test::WaitForTcpPort(port));
    auto ended = std::chrono::steady_clock::now();
    {
        ControllerHarness h(plan);
        DownloadController& c = h.Downloading();
        ASSERT_EQ(c.State(), ControllerState::Downloading);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        c.RequestExit();
        const auto exitCall = std::chrono::steady_clock::now();
        c.OnExit();  // returns at once although the refresh still waits
        EXPECT_LT(std::chrono::steady_clock::now() - exitCall, std::chrono::seconds(1));
        ended = std::chrono::steady_clock::now();
    }
    // The controller's end gives the refresh a short while, then leaves it behind.
    const auto endTook = std::chrono::steady_clock::now() - ended;
    EXPECT_GE(endTook, std::chrono::milliseconds(1500));
    EXPECT_LT(endTook, std::chrono::seconds(5));
    // The controller, its engine and its tasks are gone; the answer arrives now. (Under
    // the address sanitizer a refresh that reached them would be reported.)
    test::WriteFile(go, "");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
}

}  // namespace
}  // namespace koruvan::app
