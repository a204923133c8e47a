// The program `koruvan`: the command line, the crash handler, the single-instance check
// (a later start hands over to the running window and ends; a hung one is replaced), and the
// main window for the life of the process.
//
//   koruvan [--plan FILE] [--data-dir DIR] [--save-dir DIR] [--no-telemetry]
//
// Exit codes: 0 normally (also after handing over to the running window), 1 when the
// controller could not start, 2 on a usage or plan error, 3 when another front end (the
// command line) works on the same plan.
#pragma once

#include <optional>
#include <string>

namespace koruvan::ui {

struct AppOptions {
    std::optional<std::string> planFile;
    std::optional<std::string> dataDir;  // absolute
    std::optional<std::string> saveDir;  // absolute; the save folder of a fresh start
    bool noTelemetry = false;            // the user's opt-out of usage statistics
};

struct ParsedAppCommandLine {
    std::optional<AppOptions> options;  // set when the program should run
    int exitCode = 0;                   // otherwise: exit with this
};

// Parses the arguments; prints help or the usage error itself.
[[nodiscard]] ParsedAppCommandLine ParseAppCommandLine(int argc, const char* const* argv);

class CwbeKoruvanUIApp {
  public:
    // The whole program; returns the exit code.
    int Run(int argc, char** argv);
};

}  // namespace koruvan::ui
