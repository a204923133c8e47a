// Downloads one file with the engine, as the download controller would: one HTTP (or P2SP,
// with --torrent) task through the flat call interface, polled until it completes or stops.
//
//   engine_fetch [--torrent FILE] [--state FILE] [--limit KIB] [--progress]
//                [--bind ADDR [--listen-port N] [--disguise]] TARGET URL [URL...]
//
// --progress prints the bytes received from web sources and the bytes done once a second.
// --bind switches P2P on with the P2P service at that local address (multicast discovery
// off; plain BitTorrent unless --disguise), so that the task also fetches from the
// torrent's swarm. Without it P2P stays off.
//
// Exit status: 0 complete, 1 the task ended without completing, 2 usage error.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/EngineApi.h"

using namespace koruvan::engine;

int main(int argc, char** argv) {
    std::string torrent;
    std::string state;
    int limit = 0;
    bool progress = false;
    std::string bind;
    int listenPort = 0;
    bool disguise = false;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--torrent" && i + 1 < argc) {
            torrent = argv[++i];
        } else if (arg == "--limit" && i + 1 < argc) {
            limit = std::atoi(argv[++i]);
        } else if (arg == "--progress") {
            progress = true;
        } else if (arg == "--bind" && i + 1 < argc) {
            bind = argv[++i];
        } else if (arg == "--listen-port" && i + 1 < argc) {
            listenPort = std::atoi(argv[++i]);
        } else if (arg == "--disguise") {
            disguise = true;
        } else if (arg == "--state" && i + 1 < argc) {
            state = argv[++i];
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() < 2) {
        std::fprintf(stderr, "usage: engine_fetch [--torrent FILE] [--state FILE] TARGET URL...\n");
        return 2;
    }
    std::string sources;
    for (std::size_t i = 1; i < positional.size(); ++i) {
        sources += positional[i] + "\r\n";
    }
    static TaskDescriptor d{};
    d.flags = kFlagRecorded | kFlagFullPath;
    std::strncpy(d.targetPath, positional[0].c_str(), sizeof d.targetPath - 1);
    const std::string statePath = state.empty() ? positional[0] + ".kvinfo" : state;
    std::strncpy(d.stateFilePath, statePath.c_str(), sizeof d.stateFilePath - 1);
    if (!torrent.empty()) {
        d.flags |= kFlagP2spTask;
        std::snprintf(d.p2spKey, sizeof d.p2spKey, "file://%s", torrent.c_str());
    }
    d.sourceList = sources.c_str();

    EngineStartup(nullptr);
    if (!bind.empty()) {
        if (SetBindAddress(bind.c_str()) != 0) {
            std::fprintf(stderr, "engine_fetch: --bind needs a dotted IPv4 address\n");
            return 2;
        }
        SetLanDiscovery(false);
        SetListenPort(listenPort);
        SetBtPeerFlag(disguise ? 1 : 0);
        EnableP2P(true);
    }
    if (const int rc = RecoverAndContinueTask(&d, true); rc != 0) {
        std::fprintf(stderr, "engine_fetch: task not started (%d)\n", rc);
        return 1;
    }
    if (limit > 0) {
        SetTaskSpeedLimit(d.handle, 1, limit);
    }
    SetTaskConnectionLimits(d.handle, static_cast<int>(positional.size() - 1) * 4,
                            bind.empty() ? 0 : 52);
    int result = 1;
    for (int round = 1;; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (progress && round % 100 == 0) {
            TaskProgress shown{};
            if (QueryTask(d.handle, &shown) == 0) {
                std::printf("%4d s  received %llu  peers %llu  done %llu  rate %d\n", round / 100,
                            static_cast<unsigned long long>(shown.httpBytes),
                            static_cast<unsigned long long>(shown.peerBytes),
                            static_cast<unsigned long long>(shown.bytesDone), shown.currentRate);
                std::fflush(stdout);
            }
        }
        std::int32_t done = 0;
        TaskProgress p{};
        if (IsTaskComplete(d.handle, &done) == 0 && done == 1) {
            result = 0;
            break;
        }
        if (QueryTask(d.handle, &p) != 0 ||
            (p.stateCode != 0 && p.stateCode != kStateComplete && p.stateCode != kStateDiskFull)) {
            std::fprintf(stderr, "engine_fetch: task ended with state %d\n", p.stateCode);
            break;
        }
    }
    if (TaskProgress last{}; QueryTask(d.handle, &last) == 0) {
        std::fprintf(stderr, "engine_fetch: web %llu B, peers %llu B\n",
                     static_cast<unsigned long long>(last.httpBytes),
                     static_cast<unsigned long long>(last.peerBytes));
    }
    std::int32_t stopped = 0;
    StopTasks(&d.handle, 1, false, &stopped);
    EngineCleanup();
    return result;
}
