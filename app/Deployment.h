// Where this program's servers are: the deployment values of the built-in configuration.
// All of them lie in the reserved domain koruvan.example, which never resolves to a real
// server; a real deployment, a mirror or a test uses a plan file instead (PlanFile.h). The
// built-in plan (plan/plan.ini) and telemetry configuration (plan/dataupload.kvconf) name
// the same hosts.
#pragma once

#include <string_view>

namespace koruvan::app::deployment {

inline constexpr std::string_view kDomain = "koruvan.example";

// The CDN of the five files ("/vemo047/" + file name).
inline constexpr std::string_view kCdnHost = "cdn.koruvan.example";
// The downloader service with the sec configuration and the resource list.
inline constexpr std::string_view kDownloaderServiceHost = "dl.koruvan.example";
inline constexpr std::string_view kSecConfigPath = "/downloader/secres/vemo/vemo_sec.xml";
inline constexpr std::string_view kResourceListPath =
    "/downloader/secres/vemo/VemoResourceList20250711.xml";

// The trackers the embedded torrents announce to (HTTP, path "/announce").
inline constexpr std::string_view kTrackerHosts[] = {"tracker1.koruvan.example",
                                                     "tracker2.koruvan.example"};
inline constexpr int kTrackerPorts[] = {2710, 6961};

// The NAT rendezvous server of the UDP transport.
inline constexpr std::string_view kRendezvousHost = "rendezvous.koruvan.example";
inline constexpr int kRendezvousPort = 82;

// DHT bootstrap nodes.
struct HostPort {
    std::string_view host;
    int port;
};
inline constexpr HostPort kDhtBootstrapNodes[] = {{"dht1.koruvan.example", 6881},
                                                  {"dht2.koruvan.example", 6881},
                                                  {"dht3.koruvan.example", 6881}};

// The statistics endpoint of the telemetry upload.
inline constexpr std::string_view kStatisticsHost = "stats.koruvan.example";
inline constexpr int kStatisticsPort = 80;
inline constexpr std::string_view kSingleEventPath = "/launchersubmit/eventInfoSubmit";
inline constexpr std::string_view kEventBatchPath = "/launchersubmit/eventListSubmit";

}  // namespace koruvan::app::deployment
