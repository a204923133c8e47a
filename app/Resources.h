// Writing the embedded resources of the plan to disk (the telemetry configuration and the
// torrents), with the temporary folder as a second place, and the telemetry start-up texts.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "app/EventSink.h"
#include "app/Plan.h"
#include "platform/Paths.h"

namespace koruvan::app {

// Where a resource went.
inline constexpr int kReleasedIntoFolder = 0;
inline constexpr int kReleasedIntoTemp = 1;
inline constexpr int kReleaseFailed = -1;

struct ReleasedResource {
    int result = kReleaseFailed;
    std::string path;  // the file written (the attempt that succeeded); empty on failure
};

// Writes resource `type`/`id` of `plan` as `folder` + "/" + `name` (creating the folder,
// level by level), Base64-decoded first when `decodeBase64` is set (at most 4096 bytes).
// The file is replaced atomically, so a crash never leaves half a torrent. When that fails,
// "Koruvan UI : 释放文件(path=…)第一次失败" is logged and the same is tried as `tempFolder`
// + "/" + `name`; a second failure logs "Koruvan UI : 初始化失败，释放文件(path=…)第二次失败".
// A resource the plan does not carry, or one that does not decode, fails in both places.
[[nodiscard]] ReleasedResource ReleaseResource(
    const DownloadPlan& plan, int id, const std::string& folder, const std::string& name,
    std::string_view type, bool decodeBase64,
    const std::string& tempFolder = platform::TempFolder());

// The telemetry bootstrap: writes the telemetry configuration (DUCONF 181, decoded) as
// "dataupload.kvconf" into `dataFolder` (the temporary folder as fall-back) and returns its
// path. When it cannot be written at all, logs "KVconf资源释放失败", reports event
// "11400190" with that text and returns nullopt: the controller's start then fails.
[[nodiscard]] std::optional<std::string> WriteTelemetryConfig(
    const DownloadPlan& plan, const std::string& dataFolder, EventSink& events,
    const std::string& tempFolder = platform::TempFolder());

// The texts the telemetry is started with, in order.
struct TelemetryStartTexts {
    std::string gameId;              // "78"
    std::string applicationVersion;  // this program's version, "%d.%d.%d.%d"
    std::string gameVersion;         // "v2.2.1.047"
    std::string channel;             // "1"
};
[[nodiscard]] TelemetryStartTexts TelemetryTexts();

// The program's version as "%d.%d.%d.%d" (the build's project version); "1.0.3" for a
// build that carries none.
[[nodiscard]] std::string ApplicationVersion();

}  // namespace koruvan::app
