// The texts of a bundle: the torrents (written with the engine's own bencode writer), the
// two XML documents of the downloader service and the plan file.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/mkplan/BundleOptions.h"
#include "tools/mkplan/PlanContent.h"

namespace koruvan::tools {

// Bencoded single-file metainfo for `name`: "announce" (the first tracker) and
// "announce-list" (one tier per tracker) when trackers are given, "created by",
// "creation date", and the info dictionary ("length", "name", "piece length", "pieces",
// "private" 0). Keys in sorted order, as BitTorrent clients expect.
[[nodiscard]] std::string MakeTorrent(std::string_view name, const FileDigest& file,
                                      std::int32_t pieceLength,
                                      const std::vector<std::string>& trackers,
                                      std::int64_t creationDate);

// The info hash (40 lower-case hex digits) the engine computes for `torrent`; nullopt when
// the engine does not load it or its layout is not one file of `size` bytes named `name`
// with pieces of `pieceLength`.
[[nodiscard]] std::optional<std::string> TorrentInfoHash(const std::string& torrent,
                                                         std::string_view name, std::uint64_t size,
                                                         std::int32_t pieceLength);

// The sec configuration: one "sec" element with the key, then the User-Agent ("client")
// and Referer ("web") texts; key, client and web in Base64.
[[nodiscard]] std::string MakeSecConfig(std::string_view secType, std::string_view key,
                                        std::string_view userAgent, std::string_view referer);

struct ResourceListInput {
    std::array<std::string, kBundleFiles> urls;   // the plan's URL of each file
    std::array<std::string, kBundleFiles> names;  // and its name
    std::vector<Mirror> mirrors;
    bool p2p = true;
    std::string expiredMessage;  // non-empty: expired
    std::string expiredUrl;
};

// The resource list: the P2P switch, the expiry notice, and per file one resource whose
// "task" is the file's plan URL, with one open "cdn" per mirror.
[[nodiscard]] std::string MakeResourceList(const ResourceListInput& input);

// The telemetry configuration, with usage events posted below `submitRoot` (the paths are
// the statistics service's: "/launchersubmit/eventInfoSubmit" and ".../eventListSubmit").
[[nodiscard]] std::string MakeTelemetryConfig(std::string_view submitRoot);

struct PlanEntry {
    std::string name;
    std::uint64_t size = 0;
    std::string md5;
    std::string url;
    std::string torrent;  // relative to the plan file; empty: none
};

// The plan's [p2p] section as a bundle writes it. Bundles serve tests and demos, so the
// section keeps the P2P service off the network: no port mapping, no multicast discovery,
// and (for loopback bundles) a loopback address for the listener and outgoing peers.
struct PlanP2p {
    bool upnp = false;
    bool lanDiscovery = false;
    std::string bindAddress;       // empty: not written (the system's choice)
    std::optional<bool> disguise;  // nullopt: not written (the product's disguise)
    std::uint16_t listenPort = 0;  // 0: not written (the controller's choice)
};

// plan.ini in the plan-file format; `telemetryConfig` is the path of the telemetry
// configuration relative to the plan file (empty: the built-in one).
[[nodiscard]] std::string MakePlanIni(std::string_view secConfigUrl,
                                      std::string_view resourceListUrl,
                                      std::string_view telemetryConfig,
                                      const std::array<PlanEntry, kBundleFiles>& files,
                                      const PlanP2p& p2p = {});

}  // namespace koruvan::tools
