// Reporting usage events: fire and forget. ReportEvent formats an event's values into the
// event body and queues it for the upload thread (DataUpload.h); it never waits for the
// network and does nothing unless the upload thread runs.
//
// The body is one line beginning with a comma — ,"DVersion":"1.8","GameID":"78",… — whose
// values are written as they are (not escaped). The In… values are increases since the
// previous event that carried a non-zero value ("0" when the value did not grow or is 0);
// those previous values are process-wide.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace koruvan::telemetry {

// The texts the upload is started with (CollectDataUpload).
struct UploadIdentity {
    std::string gameId;
    std::string applicationVersion;
    std::string gameVersion;
    std::string channel;
};

// An event's values, in the order the body lists them.
struct EventFields {
    std::string serverIp;
    std::string httpResult;
    std::uint32_t totalTime = 0;
    std::uint64_t totalBytes = 0;
    std::uint64_t averageSpeed = 0;
    std::string progress;
    std::uint64_t httpTotalBytes = 0;
    std::uint64_t httpAverageSpeed = 0;
    std::uint64_t p2pTotalBytes = 0;
    std::uint64_t p2pAverageSpeed = 0;
    std::uint32_t corruptPackageId = 0;
    std::string fileName;
    std::string url;
    std::string errorMessage;
};

// The previous non-zero values the In… fields are measured against. Each counter is one
// atomic word: reporters on several threads never tear it (the last writer wins).
class EventIncreases {
  public:
    // The increase of `value` over the previous non-zero value of its kind, as text.
    std::string TotalTime(std::uint32_t value) { return Increase(time_, value); }
    std::string TotalBytes(std::uint64_t value) { return Increase(bytes_, value); }
    std::string HttpBytes(std::uint64_t value) { return Increase(httpBytes_, value); }
    std::string P2pBytes(std::uint64_t value) { return Increase(p2pBytes_, value); }

  private:
    static std::string Increase(std::atomic<std::uint64_t>& previous, std::uint64_t value);

    std::atomic<std::uint64_t> time_{0};
    std::atomic<std::uint64_t> bytes_{0};
    std::atomic<std::uint64_t> httpBytes_{0};
    std::atomic<std::uint64_t> p2pBytes_{0};
};

// The event body for `fields`, measuring the In… values with `increases`.
[[nodiscard]] std::string BuildEventBody(const UploadIdentity& identity, const EventFields& fields,
                                         EventIncreases& increases);

void ReportEvent(std::string_view code, std::string_view serverIp, std::string_view httpResult,
                 std::uint32_t totalTime, std::uint64_t totalBytes, std::uint64_t averageSpeed,
                 std::string_view progress, std::uint64_t httpTotalBytes,
                 std::uint64_t httpAverageSpeed, std::uint64_t p2pTotalBytes,
                 std::uint64_t p2pAverageSpeed, std::uint32_t corruptPackageId,
                 std::string_view fileName, std::string_view url, std::string_view errorMessage,
                 int flags) noexcept;

// ReportEvent with the error message `text` and the flags; everything else empty or 0.
void ReportSimpleEvent(std::string_view code, std::string_view text, int flags) noexcept;

// ReportEvent with the file name and the error message `text`; flags 0.
void ReportFileEvent(std::string_view code, std::string_view fileName,
                     std::string_view text) noexcept;

}  // namespace koruvan::telemetry
