#include "cli/CliOptions.h"

#include <CLI/CLI.hpp>
#include <filesystem>

namespace koruvan::cli {
namespace {

// The user's speed-limit range of the settings dialog; 0 means no limit.
constexpr std::uint32_t kLowestLimit = 10;
constexpr std::uint32_t kHighestLimit = 30000;

std::string Absolute(const std::string& path) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute.lexically_normal().string();
}

}  // namespace

ParsedCommandLine ParseCommandLine(int argc, const char* const* argv) {
    CLI::App app{"Downloads, verifies and installs the game client.", "koruvan-cli"};
    app.fallthrough();
    app.require_subcommand(1);
    std::string plan;
    std::string dataDir;
    app.add_option("--plan", plan, "plan file (default: the built-in plan)");
    app.add_option("--data-dir", dataDir, "folder for the task state and logs");
    CliOptions options;
    app.add_flag("--no-telemetry", options.noTelemetry, "send no usage statistics");
    std::string saveDir;
    CLI::App* download = app.add_subcommand("download", "download until all files are complete");
    download->add_option("--save-dir", saveDir, "folder the files go to (used as given)");
    download->add_option("--limit", options.limitKBps, "speed limit in KB/s (10-30000, 0: none)")
        ->check([](const std::string& text) -> std::string {
            try {
                const unsigned long value = std::stoul(text);
                if (value == 0 || (value >= kLowestLimit && value <= kHighestLimit)) {
                    return {};
                }
            } catch (...) {
            }
            return "the limit is 0 or 10 to 30000 KB/s";
        });
    download->add_flag("--no-p2p", options.noP2p, "use only the web sources");
    download
        ->add_option("--give-up", options.giveUpSeconds,
                     "fail (exit 1) when no source delivered a byte for this many seconds")
        ->check(CLI::Range(1u, 31u * 24 * 3600));
    CLI::App* seed =
        app.add_subcommand("seed", "serve the finished download to peers until Ctrl-C");
    seed->add_option("--save-dir", saveDir, "folder the download went to (used as given)");
    seed->add_option("--upload-limit", options.uploadLimitKBps, "upload limit in KB/s (0: none)")
        ->check(CLI::Range(0u, 32766u));
    seed->add_option("--for", options.seedSeconds, "stop after this many seconds")
        ->check(CLI::Range(1u, 31u * 24 * 3600));
    CLI::App* verify = app.add_subcommand("verify", "check the files' MD5 digests, repair damage");
    CLI::App* install = app.add_subcommand("install", "launch the installer");
    install->add_flag("--verify", options.verify, "check the files before installing");
    CLI::App* status = app.add_subcommand("status", "show the persisted state of the download");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return ParsedCommandLine{std::nullopt, code == 0 ? kExitSuccess : kExitUsage};
    }
    if (download->parsed()) {
        options.command = Command::Download;
    } else if (seed->parsed()) {
        options.command = Command::Seed;
    } else if (verify->parsed()) {
        options.command = Command::Verify;
    } else if (install->parsed()) {
        options.command = Command::Install;
    } else if (status->parsed()) {
        options.command = Command::Status;
    }
    if (!plan.empty()) {
        options.planFile = plan;
    }
    if (!dataDir.empty()) {
        options.dataDir = Absolute(dataDir);
    }
    if (!saveDir.empty()) {
        options.saveDir = Absolute(saveDir);
    }
    return ParsedCommandLine{options, kExitSuccess};
}

}  // namespace koruvan::cli
