#include "cli/StatusCommand.h"

#include <algorithm>
#include <cstdio>

#include "app/ControllerText.h"
#include "app/TaskFileStatus.h"
#include "engine/core/EngineApi.h"
#include "platform/Paths.h"

namespace koruvan::cli {
namespace {

std::string Size(std::uint64_t bytes) {
    return bytes == 0 ? "0 B" : app::FormatSize(bytes);
}

std::string Presence(const app::FileOnDisk& file) {
    switch (file.presence) {
        case app::FileOnDisk::Presence::Complete:
            return file.recordMatches ? "complete" : "complete (not recorded)";
        case app::FileOnDisk::Presence::Partial:
            return "partial, " + Size(file.bytesOnDisk) + " on disk";
        case app::FileOnDisk::Presence::Missing:
            return "missing";
    }
    return {};
}

// Bytes by source in the last run that fetched any of the file, exact and in bytes so that
// scripts can add them up.
std::string Sources(const app::FileOnDisk& file) {
    if (!file.sourceBytes) {
        return {};
    }
    return "  (last run: web " + std::to_string(file.sourceBytes->web) + " B, peers " +
           std::to_string(file.sourceBytes->peers) + " B)";
}

}  // namespace

int PrintStatus(const app::DownloadPlan& plan, const std::string& planName,
                const std::string& dataRoot) {
    const app::PersistedTask task = app::ReadPersistedTask(plan, dataRoot);
    std::printf("plan:          %s\n", planName.c_str());
    std::printf("task file:     %s%s\n", task.location.taskIni.c_str(),
                task.exists ? "" : " (none)");
    if (!task.exists) {
        std::printf("state:         not started\n");
    } else {
        std::printf("state:         %s\n", task.markedComplete ? "finished" : "incomplete");
        std::printf("save folder:   %s\n", task.saveFolder.c_str());
        std::printf("created:       %s\n", task.createTime.c_str());
        std::printf("download time: %u s\n", task.downloadSeconds);
    }
    for (int i = 0; i < app::kFileCount; ++i) {
        const app::FileOnDisk& file = task.files[static_cast<std::size_t>(i)];
        std::printf("file%d  %-32s %10s  %s%s\n", i, file.name.c_str(), Size(file.size).c_str(),
                    task.exists ? Presence(file).c_str() : "-", Sources(file).c_str());
    }
    if (plan.p2p.dht) {
        // The node's table as its last run saved it (at exit and every 15 minutes).
        const std::string nodeFile = platform::KoruvanDataRoot() + "/KoruvanKademlia.kad";
        const std::int32_t contacts = engine::QueryDhtNodeFile(nodeFile.c_str());
        if (contacts < 0) {
            std::printf("dht table:     no node file yet (%s)\n", nodeFile.c_str());
        } else {
            std::printf("dht table:     %d contacts in %s\n", contacts, nodeFile.c_str());
        }
    }
    const bool unrecorded =
        task.exists && std::any_of(task.files.begin(), task.files.end(), [](const auto& f) {
            return f.presence == app::FileOnDisk::Presence::Complete && !f.recordMatches;
        });
    if (unrecorded) {
        std::printf(
            "\n\"not recorded\": the file has its full size, but it changed after it was\n"
            "downloaded (or was never recorded), so its content is unconfirmed. `verify`\n"
            "checks its MD5 and repairs it; `download` re-checks it piece by piece (by its MD5\n"
            "when it has no torrent).\n");
    }
    std::fflush(stdout);
    return 0;
}

}  // namespace koruvan::cli
