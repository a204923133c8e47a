#include "telemetry/DataUpload.h"

#include <mutex>

#include "engine/core/base/KoruvanLog.h"

namespace koruvan::telemetry {
namespace {

constexpr std::size_t kMachineIdBuffer = 4096;

struct UploadState {
    std::mutex lock;
    std::shared_ptr<DataUploadThread> thread;           // guarded by lock
    std::chrono::milliseconds stopLimit{kPostTimeout};  // guarded by lock
    std::string machineIdText;                          // guarded by lock
};

// Lives until the process ends, so that a report from a late thread never meets a
// destroyed state.
UploadState& State() {
    static auto* state = new UploadState;
    return *state;
}

}  // namespace

bool CollectDataUpload(const std::string& configPath, const std::string& gameId,
                       const std::string& applicationVersion, const std::string& gameVersion,
                       const std::string& channel, const UploadOptions& options) {
    try {
        UploadState& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        if (state.thread) {
            return false;
        }
        CDataStatisticsImp* statistics =
            options.statistics != nullptr
                ? options.statistics
                : static_cast<CDataStatisticsImp*>(CreateDataStatistics(kDataStatisticsClassId));
        if (statistics == nullptr) {
            return false;
        }
        statistics->ResumeTransfers();
        statistics->SetConfigPath(configPath.c_str());
        auto thread = std::make_shared<DataUploadThread>(
            *statistics, UploadIdentity{gameId, applicationVersion, gameVersion, channel},
            options.period);
        if (!thread->Start()) {
            return false;
        }
        std::string text(kMachineIdBuffer, '\0');
        state.machineIdText = statistics->GetMachineIdText(text.data(), text.size()) == 1
                                  ? std::string(text.c_str())
                                  : std::string();
        state.thread = std::move(thread);
        state.stopLimit = options.stopLimit;
        engine::SetLogCloseHook(&StopDataUpload);
        return true;
    } catch (...) {
        return false;
    }
}

void StopDataUpload() noexcept {
    try {
        std::shared_ptr<DataUploadThread> thread;
        std::chrono::milliseconds limit{};
        {
            UploadState& state = State();
            std::lock_guard<std::mutex> guard(state.lock);
            thread = std::move(state.thread);
            state.thread = nullptr;
            limit = state.stopLimit;
        }
        if (thread) {
            thread->Stop(limit);
        }
    } catch (...) {
    }
}

std::shared_ptr<DataUploadThread> RunningUpload() noexcept {
    UploadState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.thread;
}

std::string MachineIdText() {
    UploadState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.machineIdText;
}

EventIncreases& ProcessIncreases() noexcept {
    static auto* increases = new EventIncreases;
    return *increases;
}

}  // namespace koruvan::telemetry
