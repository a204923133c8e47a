#include "app/PlanSource.h"

#include <cstring>
#include <stdexcept>

#include "app/Base64.h"
#include "app/SecConfig.h"
#include "app/StoredPlan.h"
#include "app/UrlSigning.h"

namespace koruvan::app {
namespace {

std::optional<std::string> DecodeSlot(const char (&slot)[kPlanSlotSize]) {
    const void* end = std::memchr(slot, '\0', kPlanSlotSize);
    if (end == nullptr) {
        return std::nullopt;
    }
    return Base64Decode(std::string_view(slot, static_cast<const char*>(end) - slot));
}

std::optional<std::string> ResourceBytes(const StoredResource& resource) {
    if (resource.bytes == nullptr) {
        return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(resource.bytes), resource.size);
}

}  // namespace

std::optional<DownloadPlan> DecodeStoredPlan(const StoredPlan& stored) {
    DownloadPlan plan;
    auto sec = DecodeSlot(stored.secConfigUrl);
    auto list = DecodeSlot(stored.resourceListUrl);
    if (!sec || !list) {
        return std::nullopt;
    }
    plan.secConfigUrl = std::move(*sec);
    plan.resourceListUrl = std::move(*list);
    for (std::size_t i = 0; i < kFileCount; ++i) {
        auto name = DecodeSlot(stored.fileNames[i]);
        auto url = DecodeSlot(stored.fileUrls[i]);
        const void* digestEnd = std::memchr(stored.fileDigests[i], '\0', 33);
        if (!name || !url || digestEnd == nullptr) {
            return std::nullopt;
        }
        PlannedFile& file = plan.files[i];
        file.name = std::move(*name);
        file.url = std::move(*url);
        file.size = stored.fileSizes[i];
        file.md5 = stored.fileDigests[i];
        file.torrent = ResourceBytes(stored.torrents[i]);
    }
    plan.telemetryConfig = ResourceBytes(stored.telemetryConfig);
    return plan;
}

DownloadPlan BuiltinPlan() {
    auto plan = DecodeStoredPlan(kBuiltinStoredPlan);
    if (!plan) {
        throw std::logic_error("the built-in plan is damaged");
    }
    return std::move(*plan);
}

PlanLoad LoadPlan(const std::optional<std::string>& planFile) {
    if (!planFile) {
        return PlanLoad{BuiltinPlan(), {}};
    }
    PlanLoad load = LoadPlanFile(*planFile);
    if (load.plan && !load.plan->telemetryConfig) {
        load.plan->telemetryConfig = BuiltinPlan().telemetryConfig;
    }
    return load;
}

void InstallPlan(const DownloadPlan& plan) {
    ProcessSecConfig().SetUrl(plan.secConfigUrl);
    RegisterSecConfigHooks();
}

}  // namespace koruvan::app
