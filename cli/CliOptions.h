// The command line of koruvan-cli:
//
//   koruvan-cli [--plan FILE] [--data-dir DIR] [--no-telemetry] COMMAND [options]
//     download [--save-dir DIR] [--limit KBPS] [--no-p2p] [--give-up SECONDS]
//                                                           run until the download is finished
//     seed [--save-dir DIR] [--upload-limit KBPS] [--for SECONDS]
//                                      serve the finished files to peers until Ctrl-C (exit 0)
//     verify                                                check (and repair) the MD5 digests
//     install [--verify]                                    launch the installer
//     status                                                the persisted state, one line per file
//
// The global options are accepted before or after the command. `--no-telemetry` keeps usage
// statistics on the machine (as `[telemetry] enabled = 0` in the plan does).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace koruvan::cli {

// Exit codes.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailed = 1;  // the download or the check failed
inline constexpr int kExitUsage = 2;   // usage or plan error
inline constexpr int kExitBusy = 3;    // another instance holds the plan

enum class Command { Download, Seed, Verify, Install, Status };

struct CliOptions {
    Command command = Command::Status;
    std::optional<std::string> planFile;
    std::optional<std::string> dataDir;  // absolute
    std::optional<std::string> saveDir;  // absolute
    std::uint32_t limitKBps = 0;         // 0: no limit
    bool noP2p = false;
    std::uint32_t giveUpSeconds = 0;    // 0: keep waiting for the sources
    std::uint32_t uploadLimitKBps = 0;  // seed: 0: no limit
    std::uint32_t seedSeconds = 0;      // seed: 0: until interrupted
    bool verify = false;
    bool noTelemetry = false;  // the user's opt-out of usage statistics
};

struct ParsedCommandLine {
    std::optional<CliOptions> options;  // set when the program should run
    int exitCode = kExitSuccess;        // otherwise: exit with this (help printed: 0)
};

// Parses the arguments; prints help or the usage error itself. Relative folders are made
// absolute against the current folder (free-space queries need absolute paths).
[[nodiscard]] ParsedCommandLine ParseCommandLine(int argc, const char* const* argv);

}  // namespace koruvan::cli
