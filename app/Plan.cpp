#include "app/Plan.h"

#include <limits>

namespace koruvan::app {

std::uint64_t RequiredBytes(const DownloadPlan& plan) noexcept {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t total = kSpaceReserveBytes;
    for (const PlannedFile& file : plan.files) {
        total = file.size > kMax - total ? kMax : total + file.size;
    }
    return total;
}

const std::string& TaskIdentity(const DownloadPlan& plan) noexcept {
    return plan.files[0].md5;
}

const std::string& InstallerName(const DownloadPlan& plan) noexcept {
    return plan.files[0].name;
}

std::optional<std::string_view> FindResource(const DownloadPlan& plan, std::string_view type,
                                             int id) noexcept {
    if (type == kTelemetryResourceType && id == kTelemetryResourceId) {
        if (plan.telemetryConfig) {
            return std::string_view(*plan.telemetryConfig);
        }
        return std::nullopt;
    }
    if (type == kTorrentResourceType && id >= kFirstTorrentResourceId &&
        id < kFirstTorrentResourceId + kFileCount) {
        const auto& torrent =
            plan.files[static_cast<std::size_t>(id - kFirstTorrentResourceId)].torrent;
        if (torrent) {
            return std::string_view(*torrent);
        }
    }
    return std::nullopt;
}

}  // namespace koruvan::app
