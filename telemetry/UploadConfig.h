// The statistics configuration file (an INI document the controller writes from the
// program's resources): where events are posted and which key words an event must carry.
//
//   [SubmitEventDownload]          the single-event endpoint, and the key words
//   SubmitUrl=http://host/launchersubmit/eventInfoSubmit
//   InputDataKeyWord=DVersion;GameID;GVersion;AppVersion   ; must occur in every event body
//   SubmitDataKeyWord=MachId;Mac;OS                        ; must occur in every info text
//   [SubmitEventDownloadSeveral]   the batch endpoint
//   SubmitUrl=http://host/launchersubmit/eventListSubmit
//   SubmitUrl1=...                 further URLs, tried in order; the list ends at the first
//                                  missing or empty key
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace koruvan::telemetry {

inline constexpr std::string_view kSingleEventSection = "SubmitEventDownload";
inline constexpr std::string_view kBatchSection = "SubmitEventDownloadSeveral";
// The file used when no path was set.
inline constexpr std::string_view kDefaultConfigFile = "Serverlist.ini";

struct SubmitSettings {
    std::vector<std::string> inputKeyWords;   // of the single-event section
    std::vector<std::string> submitKeyWords;  // of the single-event section
    std::vector<std::string> urls;            // of the section asked for
};

// The non-empty words of a ";"-separated list.
[[nodiscard]] std::vector<std::string> SplitKeyWords(std::string_view list);

// The key words and the URLs of `urlSection`; nullopt when the file does not exist or
// cannot be read.
[[nodiscard]] std::optional<SubmitSettings> ReadSubmitSettings(const std::string& configPath,
                                                               std::string_view urlSection);

}  // namespace koruvan::telemetry
