// The download plan: the five files of the game client (file 0 is the installer) with
// their names, sizes, MD5 digests, source URLs and optional torrents, the two configuration
// document URLs and the telemetry configuration. The built-in plan is compiled from plan/;
// `--plan FILE` loads another one (PlanFile.h). A plan is a plain value: once loaded it is
// never changed, so any thread may read it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace koruvan::app {

inline constexpr int kFileCount = 5;

// Free space asked for beyond the sum of the file sizes.
inline constexpr std::uint64_t kSpaceReserveBytes = 104857600;  // 100 MiB

// Folder made inside the chosen drive or folder.
inline constexpr std::string_view kDefaultFolderName = "vemo221047";

// Title of the controller's notices.
inline constexpr std::string_view kNoticeTitle = "Irvane下载器";

// Embedded resources: the telemetry configuration (Base64 text of an INI document, written
// decoded as "dataupload.kvconf") and one torrent per file (bencoded, written as is).
inline constexpr std::string_view kTelemetryResourceType = "DUCONF";
inline constexpr int kTelemetryResourceId = 181;
inline constexpr std::string_view kTelemetryConfigFileName = "dataupload.kvconf";
inline constexpr std::string_view kTorrentResourceType = "TORRENT";
inline constexpr int kFirstTorrentResourceId = 301;

struct PlannedFile {
    std::string name;
    std::uint64_t size = 0;
    std::string md5;  // 32 lower-case hex digits
    std::string url;
    // Bencoded single-file metainfo; absent when the plan carries none (the file is then
    // downloaded as a plain HTTP task).
    std::optional<std::string> torrent;
};

// A "host:port" endpoint named in a plan file (port 1..65535).
struct PlanEndpoint {
    std::string host;
    std::uint16_t port = 0;
};

// The optional [p2p] section of a plan file: deployers' and tests' settings of the
// BitTorrent side. Every member's default is the product's own behaviour.
struct P2pSettings {
    // TCP listening port of the P2P service; 0: the controller's choice (the UPnP port or
    // the engine's default).
    std::uint16_t listenPort = 0;
    // Local IPv4 address (dotted) for the listener, outgoing peer connections, tracker
    // announces and the multicast interface; empty: the system's preferred address.
    std::string bindAddress;
    // The HTTP-style disguise of outgoing BitTorrent connections (the product's
    // BitTorrent peer flag 1); false lets standard clients connect.
    bool disguise = true;
    // Multicast discovery of peers on the local network.
    bool lanDiscovery = true;
    // IP filter file (absolute, resolved beside the plan); empty: no filter.
    std::string ipFilterPath;
    // Ask the home router to forward the listening port.
    bool upnp = true;
    // Rendezvous server of the UDP transport; absent: the built-in endpoint.
    std::optional<PlanEndpoint> rendezvous;
    // Local UDP port of the transport; 0: the engine's default.
    std::uint16_t udpPort = 0;
    // The Kademlia node (the product keeps it off).
    bool dht = false;
    // DHT bootstrap nodes; empty: the built-in endpoints.
    std::vector<PlanEndpoint> dhtBootstrap;
};

// The optional [telemetry] section: the user's opt-out of usage statistics.
struct TelemetrySettings {
    bool enabled = true;
};

struct DownloadPlan {
    std::string secConfigUrl;
    std::string resourceListUrl;
    std::array<PlannedFile, kFileCount> files;
    // The telemetry configuration resource: Base64 text of the INI document. Absent only in
    // a plan file that names none, before the built-in one is put in (PlanSource.h).
    std::optional<std::string> telemetryConfig;
    P2pSettings p2p;
    TelemetrySettings telemetry;
};

// Sum of the five sizes plus the reserve (saturating; a loaded plan never overflows).
[[nodiscard]] std::uint64_t RequiredBytes(const DownloadPlan& plan) noexcept;

// The digest of file 0, which names the task: its data folder, task INI and single-instance
// objects.
[[nodiscard]] const std::string& TaskIdentity(const DownloadPlan& plan) noexcept;

// The installer, file 0: the default entrance launched after the download.
[[nodiscard]] const std::string& InstallerName(const DownloadPlan& plan) noexcept;

// The bytes of an embedded resource by type name and id (DUCONF 181, TORRENT 301..305);
// nullopt when the plan does not carry it.
[[nodiscard]] std::optional<std::string_view> FindResource(const DownloadPlan& plan,
                                                           std::string_view type, int id) noexcept;

}  // namespace koruvan::app
