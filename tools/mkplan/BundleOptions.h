// What koruvan-mkplan is asked to make: a plan bundle for the downloader's `--plan` option.
//
// Layout of a bundle (OUT is the output folder):
//   OUT/plan.ini                          the plan (names, sizes, digests, URLs, torrents)
//   OUT/torrents/<name>.torrent           one single-file torrent per file
//   OUT/dataupload.kvconf                 the telemetry configuration
//   OUT/infohashes.txt                    the torrents' info hashes, one per line in hex (a
//                                         tracker whitelist)
//   OUT/www/                              the web root to serve as CDN and downloader service:
//   OUT/www/vemo047/<name>                the five files
//   OUT/www/downloader/secres/vemo/vemo_sec.xml
//   OUT/www/downloader/secres/vemo/VemoResourceList20250711.xml
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace koruvan::tools {

inline constexpr int kBundleFiles = 5;

// The file names of the built-in plan; a bundle uses them unless told otherwise.
inline constexpr std::array<std::string_view, kBundleFiles> kDefaultNames = {
    "vemo_setup_2.2.1.047.exe", "data047.001.cab", "data047.002.cab", "data047.003.cab",
    "data047.004.cab"};

// Where the files and documents lie below the web roots.
inline constexpr std::string_view kFileFolder = "/vemo047/";
inline constexpr std::string_view kSecConfigPath = "/downloader/secres/vemo/vemo_sec.xml";
inline constexpr std::string_view kResourceListPath =
    "/downloader/secres/vemo/VemoResourceList20250711.xml";

// Piece length of each file's torrent; a file smaller than its piece length keeps it (one
// short piece).
inline constexpr std::array<std::int32_t, kBundleFiles> kPieceLengths = {32768, 2097152, 2097152,
                                                                         2097152, 1048576};

struct BundleOptions {
    std::string outDir;
    // Either a folder holding the five files (by their names) ...
    std::optional<std::string> fromDir;
    bool hardLink = false;  // link the files of fromDir instead of copying them
    // ... or the sizes of five files to generate with random content.
    std::vector<std::uint64_t> sizes;
    std::array<std::string, kBundleFiles> names{
        std::string(kDefaultNames[0]), std::string(kDefaultNames[1]), std::string(kDefaultNames[2]),
        std::string(kDefaultNames[3]), std::string(kDefaultNames[4])};
    // Generated file 0 is a shell script that reports the installation (padded to its size).
    bool installerScript = false;
    std::uint64_t seed = 1;  // of the generated content

    std::string baseUrl;    // CDN root, e.g. "http://127.0.0.1:8080"
    std::string configUrl;  // downloader service root; empty: the CDN root
    // Extra CDN roots offered in the resource list ("http://127.0.0.1:8081"); the downloader
    // addresses each as "https://" + host:port, so only the host and port are used.
    std::vector<std::string> mirrors;
    std::vector<std::string> trackers;  // announce URLs of every torrent, in order
    bool torrents = true;

    // Sec configuration.
    std::string secType = "B1";
    std::string secKey;  // empty: a random one
    std::string userAgent = "KoruvanDownloader/1.0";
    std::string referer;  // empty: the CDN root + "/"

    // Where usage events are posted; empty: the downloader service root.
    std::string telemetryUrl;

    // The plan's [p2p] section. Bundles serve mirrors on loopback and in tests, where no
    // device search or discovery datagram may go out: port mapping and multicast discovery
    // are off unless asked for, and a loopback bundle binds its P2P service to a loopback
    // address (kLoopbackBindAddress unless --bind-address says otherwise).
    bool upnp = false;
    bool lanDiscovery = false;
    std::optional<std::string> bindAddress;  // nullopt: by the base URL; "": none
    std::optional<bool> disguise;
    std::uint16_t listenPort = 0;

    // Resource list.
    bool p2p = true;
    std::string expiredMessage;  // non-empty: the list declares this downloader expired
    std::string expiredUrl;
};

// The P2P address of a loopback bundle: not 127.0.0.1, which the engine refuses as a
// BitTorrent identity.
inline constexpr std::string_view kLoopbackBindAddress = "127.0.0.2";

// The bind address a bundle's plan names: the one asked for, else kLoopbackBindAddress when
// the base URL's host is a loopback address (127.0.0.0/8 or localhost), else none.
[[nodiscard]] std::string PlanBindAddress(const BundleOptions& options);

// An extra CDN as the resource list offers it: the address the downloader connects to
// ("127.0.0.1:8081") and the folder of the files there ("/vemo047/", behind the mirror
// URL's own path when it has one).
struct Mirror {
    std::string address;
    std::string folder;
};

// The mirror an http(s) URL names; nullopt for anything else.
[[nodiscard]] std::optional<Mirror> ParseMirror(std::string_view url);

// "1048576", "512K", "20M", "4G" (binary multiples, upper or lower case); nullopt for
// anything else, zero or an overflow.
[[nodiscard]] std::optional<std::uint64_t> ParseSize(std::string_view text);

// A comma-separated list of exactly five sizes.
[[nodiscard]] std::optional<std::vector<std::uint64_t>> ParseSizes(std::string_view text);

// The first problem with `options`, or nullopt when they can make a bundle.
[[nodiscard]] std::optional<std::string> CheckOptions(const BundleOptions& options);

}  // namespace koruvan::tools
