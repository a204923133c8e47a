#include "telemetry/EventReport.h"

#include "engine/core/base/KoruvanLog.h"
#include "telemetry/DataUpload.h"

namespace koruvan::telemetry {
namespace {

constexpr int kLogCategory = 28;
constexpr std::string_view kBodyVersion = "1.8";

void Append(std::string& body, std::string_view name, std::string_view value) {
    body.append(",\"").append(name).append("\":\"").append(value).append("\"");
}

}  // namespace

std::string EventIncreases::Increase(std::atomic<std::uint64_t>& previous, std::uint64_t value) {
    if (value == 0) {
        return "0";  // the previous value is kept
    }
    const std::uint64_t before = previous.exchange(value, std::memory_order_relaxed);
    return value > before ? std::to_string(value - before) : "0";
}

std::string BuildEventBody(const UploadIdentity& identity, const EventFields& f,
                           EventIncreases& increases) {
    std::string body;
    body.reserve(512 + f.fileName.size() + f.url.size() + f.errorMessage.size());
    Append(body, "DVersion", kBodyVersion);
    Append(body, "GameID", identity.gameId);
    Append(body, "AppVersion", identity.applicationVersion);
    Append(body, "GVersion", identity.gameVersion);
    Append(body, "Dchannel", identity.channel);
    Append(body, "Serverip", f.serverIp);
    Append(body, "Httpresult", f.httpResult);
    Append(body, "Totaltime", std::to_string(f.totalTime));
    Append(body, "Intime", increases.TotalTime(f.totalTime));
    Append(body, "Totalbytes", std::to_string(f.totalBytes));
    Append(body, "Intotalbytes", increases.TotalBytes(f.totalBytes));
    Append(body, "Averagespeed", std::to_string(f.averageSpeed));
    Append(body, "Progress", f.progress);
    Append(body, "Httptotalbytes", std::to_string(f.httpTotalBytes));
    Append(body, "Inhttptotalbytes", increases.HttpBytes(f.httpTotalBytes));
    Append(body, "Httpaveragespeed", std::to_string(f.httpAverageSpeed));
    Append(body, "P2ptotalbytes", std::to_string(f.p2pTotalBytes));
    Append(body, "Inp2ptotalbytes", increases.P2pBytes(f.p2pTotalBytes));
    Append(body, "P2paveragespeed", std::to_string(f.p2pAverageSpeed));
    Append(body, "Corruptpakid", std::to_string(f.corruptPackageId));
    Append(body, "Filename", f.fileName);
    Append(body, "Url", f.url);
    Append(body, "Errormsg", f.errorMessage);
    return body;
}

void ReportEvent(std::string_view code, std::string_view serverIp, std::string_view httpResult,
                 std::uint32_t totalTime, std::uint64_t totalBytes, std::uint64_t averageSpeed,
                 std::string_view progress, std::uint64_t httpTotalBytes,
                 std::uint64_t httpAverageSpeed, std::uint64_t p2pTotalBytes,
                 std::uint64_t p2pAverageSpeed, std::uint32_t corruptPackageId,
                 std::string_view fileName, std::string_view url, std::string_view errorMessage,
                 int flags) noexcept {
    try {
        const std::shared_ptr<DataUploadThread> upload = RunningUpload();
        if (!upload || !upload->Accepting()) {
            return;
        }
        engine::WriteLog(std::string(code), kLogCategory, kLogCategory);
        const EventFields fields{std::string(serverIp),
                                 std::string(httpResult),
                                 totalTime,
                                 totalBytes,
                                 averageSpeed,
                                 std::string(progress),
                                 httpTotalBytes,
                                 httpAverageSpeed,
                                 p2pTotalBytes,
                                 p2pAverageSpeed,
                                 corruptPackageId,
                                 std::string(fileName),
                                 std::string(url),
                                 std::string(errorMessage)};
        const UploadIdentity& identity = upload->Identity();
        std::string body = BuildEventBody(identity, fields, ProcessIncreases());
        if (upload->Statistics().Configured() && !identity.gameId.empty() &&
            !identity.applicationVersion.empty() && !identity.gameVersion.empty()) {
            (void)upload->Queue(QueuedEvent{std::string(code), std::move(body), flags});
        }
    } catch (...) {
        // Reporting never takes the reporter down.
    }
}

void ReportSimpleEvent(std::string_view code, std::string_view text, int flags) noexcept {
    ReportEvent(code, {}, {}, 0, 0, 0, {}, 0, 0, 0, 0, 0, {}, {}, text, flags);
}

void ReportFileEvent(std::string_view code, std::string_view fileName,
                     std::string_view text) noexcept {
    ReportEvent(code, {}, {}, 0, 0, 0, {}, 0, 0, 0, 0, 0, fileName, {}, text, 0);
}

}  // namespace koruvan::telemetry
