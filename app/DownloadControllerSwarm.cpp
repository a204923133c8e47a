// The controller's BitTorrent side: seeding finished files, the swarm figures of the
// tasks, and the per-file bytes from web sources and from peers, kept in the task file so
// that `status` can show them after the run.
#include <algorithm>

#include "app/DownloadController.h"

namespace koruvan::app {

// A file's pair is written when this run's counters moved and differ from what the task
// file holds: a file that received nothing in this run keeps the figures of the run that
// fetched it. Each write replaces the task file atomically, so a crash leaves the old or
// the new pair.
void DownloadController::SaveSourceBytesLocked() {
    if (taskIni_.empty()) {
        return;
    }
    for (int i = 0; i < kFileCount; ++i) {
        const auto k = static_cast<std::size_t>(i);
        const SourceBytes now{lastHttpBytes_[k], lastPeerBytes_[k]};
        if (now.web + now.peers == 0 || (storedSourceBytes_[k] && *storedSourceBytes_[k] == now)) {
            continue;
        }
        WriteTask(SourceBytesKey(i), FormatSourceBytes(now));
        storedSourceBytes_[k] = now;
    }
}

int DownloadController::StartSeeding(std::uint32_t uploadLimitKBps) {
    std::lock_guard<std::mutex> step(stepLock_);
    std::unique_lock<std::mutex> fields(lock_);
    if (state_ != ControllerState::Finished && state_ != ControllerState::CheckFinished) {
        return 0;
    }
    int seeding = 0;
    for (int i = 0; i < kFileCount; ++i) {
        if (!plan_.files[static_cast<std::size_t>(i)].torrent || tasks_.WebOnly(i)) {
            continue;  // no torrent: no peer can ask for the file
        }
        if (tasks_.Handle(i) != nullptr) {
            ++seeding;  // a task of this run still serves the file
            continue;
        }
        if (!CompletionMatchesLocked(i, false)) {
            Log("Seed] [" + FileName(i) + "] [完成记录不符，不做种");
            continue;
        }
        fields.unlock();
        const std::int32_t result = tasks_.SeedFile(i);
        fields.lock();
        if (result == engine::kOk) {
            ++seeding;
        }
    }
    ApplyUploadLimitLocked(uploadLimitKBps);
    (void)engine_.EnableP2P(p2pOn_);
    return seeding;
}

void DownloadController::ApplyUploadLimit(std::uint32_t kibPerSecond) {
    std::lock_guard<std::mutex> fields(lock_);
    ApplyUploadLimitLocked(kibPerSecond);
}

void DownloadController::ApplyUploadLimitLocked(std::uint32_t kibPerSecond) {
    // 0 means no limit, as the engine takes it; values beyond its range are no limit too.
    const std::int32_t value = kibPerSecond > 32766 ? 0 : static_cast<std::int32_t>(kibPerSecond);
    for (int i = 0; i < kFileCount; ++i) {
        if (const engine::TaskHandle h = tasks_.Handle(i)) {
            (void)engine_.SetTaskSpeedLimit(h, kUploadLimitSelector, value);
        }
    }
}

SwarmReport DownloadController::Swarm() {
    SwarmReport report;
    std::lock_guard<std::mutex> step(stepLock_);
    std::lock_guard<std::mutex> fields(lock_);
    for (int i = 0; i < kFileCount; ++i) {
        const engine::TaskHandle h = tasks_.Handle(i);
        SwarmFigures figures;
        if (h == nullptr || engine_.QueryTaskSwarm(h, &figures) != engine::kOk) {
            continue;
        }
        ++report.tasks;
        report.peers += figures.connectedPeers;
        report.uploadRate += static_cast<std::uint64_t>(std::max(figures.uploadRate, 0));
        report.uploadedBytes += figures.uploadedBytes;
        if (figures.listenPort > 0) {
            report.listenPort = figures.listenPort;
        }
    }
    return report;
}

std::array<SourceBytes, kFileCount> DownloadController::SourceBytesOfRun() const {
    std::lock_guard<std::mutex> fields(lock_);
    std::array<SourceBytes, kFileCount> bytes;
    for (std::size_t k = 0; k < bytes.size(); ++k) {
        bytes[k] = SourceBytes{lastHttpBytes_[k], lastPeerBytes_[k]};
    }
    return bytes;
}

}  // namespace koruvan::app
