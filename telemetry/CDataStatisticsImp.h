// The statistics component: collects up to 20 events, adds the machine's identity fields
// to each, and posts them as one form-encoded JSON batch to the first configured URL that
// accepts it (its answer contains "error":0). Nothing is retried or stored: after any
// submission attempt the batch is emptied.
//
// A batch is a JSON array with one element per event, in queue order: {"code": code,
// "info": info}, where info is "{" + the compact JSON of the identity object (the hardware
// sections the event's flags ask for, "Mac", "OS", "MachId", "Sessionid", "Sequence") + the
// event body + "}"; an event whose info text lacks a submit key word becomes null. The
// array's compact JSON is form-encoded and sent as "data=…".
//
// Locking: `lock_` guards every field below marked so; AddEvent, SubmitEventBatch and the
// single-event operations hold it for their whole run (a submission included), so they
// never interleave. The poster's abort flag is atomic and may be set from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <json/value.h>

#include "telemetry/DeviceInventory.h"
#include "telemetry/HttpPoster.h"
#include "telemetry/IDataStatisticsUser.h"

namespace koruvan::telemetry {

class CDataStatisticsImp final : public IDataStatisticsUser {
  public:
    // The Sessionid value is "%08X" of a random 32-bit number.
    explicit CDataStatisticsImp(SystemSources sources = {},
                                std::chrono::milliseconds postTimeout = kPostTimeout);
    ~CDataStatisticsImp() override = default;
    CDataStatisticsImp(const CDataStatisticsImp&) = delete;
    CDataStatisticsImp& operator=(const CDataStatisticsImp&) = delete;

    int SubmitDeviceInfo(const char* code) override;
    int SubmitDeviceInfoW(const char16_t* code) override;
    int SubmitUpdateEventW(const char16_t* code, const char16_t* body, int flags) override;
    int SubmitUpdateEvent(const char* code, const char* body, int flags) override;
    int SubmitDownloadEventW(const char16_t* code, const char16_t* body, int flags) override;
    int SubmitDownloadEvent(const char* code, const char* body, int flags) override;
    void SetConfigPathW(const char16_t* path) override;
    void SetConfigPath(const char* path) override;
    void SetSessionIdW(const char16_t* id) override;
    void SetSessionId(const char* id) override;
    int AddEventW(const char16_t* code, const char16_t* body, int flags) override;
    int AddEvent(const char* code, const char* body, int flags) override;
    int SubmitEventBatch() override;
    int GetMachineIdTextW(char16_t* buffer, std::size_t capacity) override;
    int GetMachineIdText(char* buffer, std::size_t capacity) override;

    // Whether a configuration path was set. Never waits for a submission.
    [[nodiscard]] bool Configured() const;
    // Ends a submission under way within about a second, and makes later ones fail at once,
    // until ResumeTransfers.
    void AbortTransfers() noexcept { poster_.Abort(); }
    void ResumeTransfers() noexcept { poster_.Resume(); }

  private:
    struct Identity;

    int AddEventLocked(const std::string& code, const std::string& body, int flags);
    int SubmitSingleLocked(const std::string& code, const std::string& body, int flags);
    int SubmitDeviceInfoLocked(const std::string& code);
    [[nodiscard]] Identity ReadIdentityLocked();
    [[nodiscard]] Json::Value IdentityObjectLocked(const Identity& identity, int flags);
    [[nodiscard]] Json::Value BuildBatchLocked(const std::vector<std::string>& submitKeyWords);
    // Posts `body` to the URLs in order until one accepts; kStatOk or kStatNothing.
    int PostToFirstAccepting(const std::vector<std::string>& urls, const std::string& body);
    [[nodiscard]] std::string ConfigPathLocked() const;

    mutable std::mutex lock_;
    std::string configPath_;  // guarded by lock_
    // Read by reporters without the lock, which a submission holds for seconds.
    std::atomic<bool> configured_{false};
    std::string sessionId_;            // guarded by lock_
    std::vector<std::string> codes_;   // guarded by lock_
    std::vector<std::string> bodies_;  // guarded by lock_
    std::vector<int> flags_;           // guarded by lock_
    int batchCount_ = 0;               // guarded by lock_: AddEvent calls since the last submission
    std::uint64_t sequence_ = 0;       // guarded by lock_: events packed so far
    DeviceInventory inventory_;        // guarded by lock_
    HttpPoster poster_;
};

}  // namespace koruvan::telemetry
