// One run of koruvan-cli's download, verify or install command: the controller driven
// exactly as the window drives it — Reconcile every 100 ms, Tick and the texts every second,
// PrimaryAction for the command and for the message that ends a verification — with the
// progress printed as one live line on a terminal, else one line per second.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "app/DownloadController.h"
#include "app/Plan.h"
#include "app/PortMapping.h"
#include "app/TelemetryRoute.h"
#include "cli/CliOptions.h"
#include "cli/ConsoleFrontEnd.h"

namespace koruvan::cli {

class CliSession {
  public:
    CliSession(const CliOptions& options, app::DownloadPlan plan);
    CliSession(const CliSession&) = delete;
    CliSession& operator=(const CliSession&) = delete;

    // Runs the command; returns the exit code.
    [[nodiscard]] int Run();

  private:
    enum class Outcome { Continue, Success, Failure };

    [[nodiscard]] int Download();
    [[nodiscard]] int Seed();
    [[nodiscard]] int Verify();
    [[nodiscard]] int Install();

    // The window's part until `judge` says the command is over (or Ctrl-C).
    [[nodiscard]] int Loop(const std::function<Outcome()>& judge);
    void FastStep();
    void SlowStep();
    void HandleMessages();
    void PrintProgress();
    [[nodiscard]] std::string SeedingLine();
    void ReportSources();
    [[nodiscard]] bool AllTasksStuck();
    [[nodiscard]] bool GaveUp();
    void ReportUnrepaired();
    // True when the finished download's records are stored; else says why not.
    [[nodiscard]] bool RecordsWritten();
    // Tells a changed reason why nothing arrives on standard error, once per change.
    void ReportProblem(const std::string& problem);
    // The exit step, as the window's close (or the installer's start) would run it.
    [[nodiscard]] int Finish(int code);

    const CliOptions options_;
    const app::DownloadPlan plan_;
    const bool terminal_;
    ConsoleFrontEnd frontEnd_;
    app::TelemetryRoute telemetry_;  // where the controller's usage events go
    app::PortMapping portMapping_;   // outlives the controller, which calls it
    std::unique_ptr<app::DownloadController> controller_;
    app::ControllerState shown_ = app::ControllerState::Ready;
    int stuckSteps_ = 0;  // judged steps in a row with every unfinished task ended
    std::string speedText_;
    bool seeding_ = false;        // the seed command runs: its line, Ctrl-C is success
    bool reportSources_ = false;  // the download command tells the bytes by source at the end
    std::string problemShown_;    // the reason last told on standard error
};

}  // namespace koruvan::cli
