// Plan files (`--plan FILE`): another set of five files and configuration URLs, so that a
// mirror, a staging server or a test can be used without a rebuild. The built-in plan is
// compiled from one too (plan/plan.ini).
//
//   [plan]
//   sec_config_url = http://host:port/downloader/secres/vemo/vemo_sec.xml
//   resource_list_url = http://host:port/downloader/secres/vemo/VemoResourceList20250711.xml
//   telemetry_config = dataupload.kvconf   ; optional: INI text; default: the built-in one
//   [file0]                                ; file0 … file4, exactly five; file0 is the installer
//   name = vemo_setup_2.2.1.047.exe
//   size = 39714680
//   md5 = bf20ec6ea8c684d53f4849109a955294
//   url = https://host:port/vemo047/vemo_setup_2.2.1.047.exe
//   torrent = vemo_setup_2.2.1.047.exe.torrent   ; optional
//
// Syntax: "[section]" and "key = value" lines; lines starting with ";" or "#" are comments,
// and a value ends before a ";" or "#" that follows a blank (an inline comment). One pair of
// double quotes around a value is removed. Section and key names are exact (case included);
// an unknown, repeated or misspelt one is refused rather than ignored, so that a typo cannot
// silently drop a torrent. Paths are relative to the folder of the plan file.
//
// A plan file is refused as a whole, with a message naming the file, the section and the
// key, when anything is missing or malformed: a missing section or key, not exactly five
// files, a size that is not a decimal number, an md5 that is not 32 hex digits, a URL that is
// not http(s) (ftp also for files), a file name that is not a plain name, two files with the
// same name or URL, a torrent that cannot be read or is not a bencoded dictionary, a
// telemetry configuration that cannot be read or exceeds 4096 bytes. Loading never writes.
//
// Two optional sections serve deployers and tests; an absent key keeps the product's
// behaviour, and unknown keys or bad values are refused like the rest:
//
//   [p2p]
//   listen_port = 0            ; 0: the controller's choice (UPnP port or the engine default)
//   bind_address = 127.0.0.3   ; listener, outgoing peers, announces, multicast interface
//   disguise = 1               ; HTTP-style disguise of outgoing BitTorrent connections
//   lan_discovery = 1          ; multicast discovery on the local network
//   ip_filter = blocklist.txt  ; IP filter file, relative to the plan
//   upnp = 1                   ; ask the home router to forward the listening port
//   rendezvous = host:82       ; rendezvous server of the UDP transport
//   udp_port = 0               ; local UDP port of the transport; 0: the engine's default
//   dht = 0                    ; the Kademlia node (the product keeps it off)
//   dht_bootstrap = host:port[,host:port...]
//   [telemetry]
//   enabled = 1                ; 0: no usage statistics leave the machine
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "app/Plan.h"

namespace koruvan::app {

struct PlanRefusal {
    std::string file;
    std::string section;  // empty when the file as a whole is refused
    std::string key;      // empty when a section or a line is refused
    std::string reason;

    // e.g. `plan file "p.ini": [file2] md5: not 32 hexadecimal digits`
    [[nodiscard]] std::string Message() const;
};

struct PlanLoad {
    std::optional<DownloadPlan> plan;  // set on success
    PlanRefusal refusal;               // set on failure
};

// Reads the whole file at a path; false when it cannot be read.
using PlanFileReader = std::function<bool(const std::string& path, std::string& bytes)>;

// Limits on the files a plan names.
inline constexpr std::size_t kMaxTorrentBytes = 16u * 1024 * 1024;
inline constexpr std::size_t kMaxPlanTextBytes = 2048;  // names and URLs

// Loads and checks the plan file at `path`. The telemetry configuration is left absent
// when the file names none.
[[nodiscard]] PlanLoad LoadPlanFile(const std::string& path);

// The same for plan text already read; `path` names it in messages and anchors relative
// paths, which are read through `reader`.
[[nodiscard]] PlanLoad ParsePlanText(std::string_view text, const std::string& path,
                                     const PlanFileReader& reader);

// True for a dotted-quad IPv4 address ("127.0.0.3").
[[nodiscard]] bool IsDottedIpv4(std::string_view text) noexcept;

// `relative` resolved against the folder of the file `anchor` (absolute paths stay).
[[nodiscard]] std::string ResolveBeside(const std::string& anchor, const std::string& relative);

}  // namespace koruvan::app
