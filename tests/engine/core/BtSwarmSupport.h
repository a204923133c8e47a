// Swarm fixtures for the BitTorrent tests: python3-libtorrent (Debian's /usr/bin/python3)
// as an independent peer on a loopback address, a P2SP engine task over a torrent, and
// engine-wide P2P settings put back after each test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "EngineTestSupport.h"
#include "engine/core/EngineApi.h"
#include "integration/TorrentMaker.h"
#include "support/LocalServer.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"

namespace koruvan::test {

inline constexpr const char* kSystemPython = "/usr/bin/python3";

inline bool HaveLibtorrent() {
    return std::system("/usr/bin/python3 -c 'import libtorrent' >/dev/null 2>&1") == 0;
}

// Deterministic content that differs from piece to piece.
inline std::string SwarmContent(std::size_t size) {
    std::string out(size, '\0');
    std::uint32_t x = 2463534242u;
    for (char& c : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return out;
}

// One libtorrent peer in its own folder.
class LibtorrentPeer {
  public:
    struct Status {
        long ppm = 0;
        long peers = 0;
        bool done = false;
        long long uploaded = 0;
        long long downloaded = 0;
    };

    // mode "seed" (the file must already be in `saveDir`) or "leech"; connect "-" or
    // "ip:port" of a peer it dials every two seconds.
    bool Start(const std::string& mode, const std::string& torrent, const std::string& saveDir,
               const std::string& address, int port, const std::string& connect) {
        status_ = dir_.File("status");
        return process_.Start(
                   {kSystemPython,
                    std::string(KORUVAN_SOURCE_DIR) + "/tests/engine/core/scripts/lt_peer.py", mode,
                    torrent, saveDir, address, std::to_string(port), connect, status_},
                   dir_.File("lt.log")) &&
               WaitFor([&] { return std::ifstream(status_).good(); }, std::chrono::seconds(20));
    }
    Status Read() const {
        Status s;
        std::ifstream in(status_);
        int done = 0;
        in >> s.ppm >> s.peers >> done >> s.uploaded >> s.downloaded;
        s.done = done != 0;
        return s;
    }
    void Stop() {
        WriteFile(dir_.File("stop"), "");
        process_.Stop();
    }
    ~LibtorrentPeer() { Stop(); }

  private:
    TempDir dir_;
    std::string status_;
    ChildProcess process_;
};

// Engine-wide P2P settings for one test, restored afterwards.
class SwarmTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!HaveLibtorrent()) {
            GTEST_SKIP() << "python3-libtorrent is missing (scripts/bootstrap.sh installs it)";
        }
        ASSERT_EQ(engine::EngineStartup(dir_.Path().c_str()), 0);
        port_ = FreeTcpPort();
        engine::SetListenPort(port_);
        ASSERT_EQ(engine::SetBindAddress("127.0.0.3"), 0);
        engine::SetLanDiscovery(false);
        engine::SetBtPeerFlag(0);
        engine::EnableP2P(true);
    }
    void TearDown() override {
        EXPECT_EQ(engine::EngineCleanup(), 0);
        engine::EnableP2P(false);
        engine::SetListenPort(0);
        (void)engine::SetBindAddress(nullptr);
        engine::SetLanDiscovery(true);
        (void)engine::LoadIpFilter(nullptr);
    }

    // Writes the torrent of `content` (name "swarm.bin") and returns its path.
    std::string WriteTorrent(const std::string& content, std::int32_t pieceLength) {
        const std::string path = dir_.File("swarm.torrent");
        WriteFile(path, MakeTorrent("swarm.bin", content, pieceLength));
        return path;
    }

    // A P2SP task over the torrent saving into `folder`; sources one a line.
    engine::TaskHandle StartTask(const std::string& folder, const std::string& sources,
                                 std::uint32_t extraFlags = 0, bool recover = false,
                                 const std::string& torrent = "") {
        auto d = MakeDescriptor(
            engine::kFlagRecorded | engine::kFlagFullPath | engine::kFlagP2spTask | extraFlags,
            folder + "/swarm.bin", folder + "/swarm.kvinfo", sources,
            "file://" + (torrent.empty() ? dir_.File("swarm.torrent") : torrent));
        const std::int32_t r = recover ? engine::RecoverAndContinueTask(d.get(), true)
                                       : engine::CreateAndStartTask(d.get());
        EXPECT_EQ(r, 0);
        if (r != 0) {
            return nullptr;
        }
        EXPECT_EQ(engine::SetTaskConnectionLimits(d->handle, 4, 20), 0);
        return d->handle;
    }

    static engine::TaskProgress Progress(engine::TaskHandle handle) {
        engine::TaskProgress p{};
        (void)engine::QueryTask(handle, &p);
        return p;
    }
    static engine::TaskSwarm Swarm(engine::TaskHandle handle) {
        engine::TaskSwarm s{};
        (void)engine::QueryTaskSwarm(handle, &s);
        return s;
    }

    TempDir dir_;
    int port_ = 0;
};

}  // namespace koruvan::test
