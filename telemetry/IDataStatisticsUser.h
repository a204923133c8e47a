// The statistics component's interface, in its fixed slot order. Texts of the "A" (ANSI)
// operations are in the program's own code page (UTF-8 here); the "W" operations take
// UTF-16. The upload thread uses SetConfigPath, AddEvent, SubmitEventBatch and
// GetMachineIdText; the single-event and device-information submissions are there for
// other users of the component.
//
// Operations 0 to 12 first (re-)install the crash handler, then do their work; none of them
// lets an exception out: those that return a result then return kStatException.
#pragma once

#include <cstddef>
#include <string_view>

namespace koruvan::telemetry {

// Result codes.
inline constexpr int kStatNothing = 0;  // nothing to do, or no URL accepted
inline constexpr int kStatOk = 1;
inline constexpr int kStatInputKeyMissing = 11;   // a required input key word is not in the body
inline constexpr int kStatSubmitKeyMissing = 13;  // a submit key word is not in the info text
inline constexpr int kStatException = 16;
inline constexpr int kStatBatchFull = 18;  // more than 20 events in one batch
inline constexpr int kStatConfigMissing = 20;
inline constexpr int kStatBatchUnbuilt = 21;

inline constexpr int kMaxBatchEvents = 20;

class IDataStatisticsUser {
  public:
    // 0, 1: the device information (identity, hardware sections, operating-system code)
    // as one event named `code`, posted to the single-event URLs.
    virtual int SubmitDeviceInfo(const char* code) = 0;
    virtual int SubmitDeviceInfoW(const char16_t* code) = 0;
    // 2, 3: an update event; 4, 5: a download event. Both are posted at once, alone, to
    // the single-event URLs.
    virtual int SubmitUpdateEventW(const char16_t* code, const char16_t* body, int flags) = 0;
    virtual int SubmitUpdateEvent(const char* code, const char* body, int flags) = 0;
    virtual int SubmitDownloadEventW(const char16_t* code, const char16_t* body, int flags) = 0;
    virtual int SubmitDownloadEvent(const char* code, const char* body, int flags) = 0;
    // 6, 7: the configuration file; marks the component as configured.
    virtual void SetConfigPathW(const char16_t* path) = 0;
    virtual void SetConfigPath(const char* path) = 0;
    // 8, 9: the Sessionid value of every event.
    virtual void SetSessionIdW(const char16_t* id) = 0;
    virtual void SetSessionId(const char* id) = 0;
    // 10, 11: queues one event for the next batch.
    virtual int AddEventW(const char16_t* code, const char16_t* body, int flags) = 0;
    virtual int AddEvent(const char* code, const char* body, int flags) = 0;
    // 12: posts the queued events as one batch.
    virtual int SubmitEventBatch() = 0;
    // 13, 14: the machine id text ("0x341134AB, 0x44897856") with its NUL: 1; the length
    // when `capacity` (in characters) is too small; 0 without a machine id.
    virtual int GetMachineIdTextW(char16_t* buffer, std::size_t capacity) = 0;
    virtual int GetMachineIdText(char* buffer, std::size_t capacity) = 0;
    // 15.
    virtual ~IDataStatisticsUser() = default;
};

// The class identifier the creator accepts.
inline constexpr std::string_view kDataStatisticsClassId = "{91095A15-3C46-43b5-BA5F-462064037E59}";

// The process's one statistics component for kDataStatisticsClassId; null for any other
// identifier. The component lives until the process ends.
[[nodiscard]] IDataStatisticsUser* CreateDataStatistics(std::string_view classId) noexcept;

}  // namespace koruvan::telemetry
