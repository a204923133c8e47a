#include "cli/CliSession.h"

#include <cstdio>
#include <string>
#include <thread>

#include "app/ControllerText.h"
#include "app/ResourceList.h"
#include "engine/core/EngineApi.h"
#include "platform/Console.h"

namespace koruvan::cli {
namespace {

using app::ControllerState;
using Clock = std::chrono::steady_clock;

constexpr auto kFastPeriod = std::chrono::milliseconds(100);
constexpr auto kSlowPeriod = std::chrono::milliseconds(1000);
constexpr auto kStuckTimeToGiveUp = std::chrono::seconds(3);

// Task state codes after which a task does no more work.
bool IsEndCode(std::int32_t code) {
    switch (code) {
        case engine::kStateSizeTimeout:
        case engine::kStateTorrentUnusable:
        case engine::kStateGaveUp:
        case engine::kStateWriteFailed:
        case engine::kStateSourceFatal:
            return true;
        default:
            return false;
    }
}

std::string StateWord(ControllerState state) {
    if (const auto name = app::StateName(state)) {
        return std::string(*name);
    }
    return state == ControllerState::Installing ? "installing" : "crashed";
}

std::string Duration(std::uint64_t seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%02llu:%02llu:%02llu",
                  static_cast<unsigned long long>(seconds / 3600),
                  static_cast<unsigned long long>(seconds / 60 % 60),
                  static_cast<unsigned long long>(seconds % 60));
    return text;
}

void Say(const std::string& text) {
    std::fputs((text + "\n").c_str(), stderr);
    std::fflush(stderr);
}

}  // namespace

CliSession::CliSession(const CliOptions& options, app::DownloadPlan plan)
    : options_(options),
      plan_(std::move(plan)),
      terminal_(platform::IsTerminal(platform::StandardStream::Output)),
      frontEnd_(options.verify),
      telemetry_(plan_.telemetry.enabled && !options.noTelemetry),
      portMapping_(plan_.p2p, telemetry_.Events()) {}

int CliSession::Run() {
    app::ControllerEnvironment environment;
    portMapping_.Install(environment);
    controller_ = std::make_unique<app::DownloadController>(
        plan_, frontEnd_, telemetry_.Events(), telemetry_.Prepare(std::move(environment)));
    controller_->SetShutdownAfterDownload(false);
    const int started = controller_->Initialise();
    if (started < 0) {
        Say("koruvan-cli: the controller could not start (the telemetry configuration "
            "could not be written)");
        return Finish(kExitFailed);
    }
    if (started == 0) {
        if (const auto expired = app::CheckExpiry(plan_.resourceListUrl)) {
            Say("koruvan-cli: this downloader has expired: " + expired->message +
                (expired->url.empty() ? "" : " " + expired->url));
            return Finish(kExitFailed);
        }
    }
    switch (options_.command) {
        case Command::Download:
            return Download();
        case Command::Seed:
            return Seed();
        case Command::Verify:
            return Verify();
        case Command::Install:
            return Install();
        case Command::Status:
            break;
    }
    return Finish(kExitUsage);
}

int CliSession::Download() {
    app::DownloadController& c = *controller_;
    const ControllerState state = c.State();
    const bool idle = state == ControllerState::Ready || state == ControllerState::Back;
    if (options_.saveDir) {
        if (idle) {
            c.SetSaveFolder(*options_.saveDir);
        } else if (*options_.saveDir != c.SaveFolder()) {
            Say("koruvan-cli: the download already under way continues in " + c.SaveFolder() +
                "; --save-dir is ignored");
        }
    }
    c.SetP2PAllowed(!options_.noP2p);
    c.ApplySpeedLimit(options_.limitKBps);
    if (state == ControllerState::Finished) {
        Say("koruvan-cli: all files are downloaded in " + c.SaveFolder());
        return Finish(kExitSuccess);
    }
    reportSources_ = true;
    if (idle) {
        c.PrimaryAction();
        const ControllerState after = c.State();
        if (after == ControllerState::Ready || after == ControllerState::Back) {
            return Finish(kExitFailed);  // refused: the notice says why
        }
    }
    return Loop([this, &c] {
        switch (c.State()) {
            case ControllerState::Finished:
                return RecordsWritten() ? Outcome::Success : Outcome::Failure;
            case ControllerState::Failed:
                ReportUnrepaired();
                return Outcome::Failure;
            case ControllerState::Pause:
                if (c.DiskShort()) {
                    Say("koruvan-cli: paused, the disk is too full; free some space and run "
                        "download again");
                    return Outcome::Failure;
                }
                return Outcome::Continue;
            default:
                return AllTasksStuck() || GaveUp() ? Outcome::Failure : Outcome::Continue;
        }
    });
}

int CliSession::Seed() {
    app::DownloadController& c = *controller_;
    if (options_.saveDir && *options_.saveDir != c.SaveFolder() &&
        c.State() != ControllerState::Ready && c.State() != ControllerState::Back) {
        Say("koruvan-cli: the download is in " + c.SaveFolder() + "; --save-dir is ignored");
    }
    if (c.State() != ControllerState::Finished) {
        Say("koruvan-cli: the download is not finished and confirmed; nothing to seed (run "
            "download, or verify when files changed since)");
        return Finish(kExitFailed);
    }
    const int files = c.StartSeeding(options_.uploadLimitKBps);
    if (files == 0) {
        Say("koruvan-cli: no file can be seeded (the plan has no torrents)");
        return Finish(kExitFailed);
    }
    Say("koruvan-cli: seeding " + std::to_string(files) + " file" + (files == 1 ? "" : "s") +
        " from " + c.SaveFolder() + "; Ctrl-C stops");
    seeding_ = true;
    const Clock::time_point until = options_.seedSeconds == 0
                                        ? Clock::time_point::max()
                                        : Clock::now() + std::chrono::seconds(options_.seedSeconds);
    return Loop([until] { return Clock::now() >= until ? Outcome::Success : Outcome::Continue; });
}

// --give-up: nothing arrived from any source for that long.
bool CliSession::GaveUp() {
    if (options_.giveUpSeconds == 0 || controller_->SecondsWithoutData() < options_.giveUpSeconds) {
        return false;
    }
    Say("koruvan-cli: no source delivered anything for " + std::to_string(options_.giveUpSeconds) +
        " s; giving up (the download resumes next time)");
    return true;
}

int CliSession::Verify() {
    app::DownloadController& c = *controller_;
    // Files that are all there but no longer recorded (touched or changed since) are
    // exactly what the check is for: their digests decide.
    if (c.State() != ControllerState::Finished && !c.AdoptFilesOnDisk()) {
        Say("koruvan-cli: the download is not complete; nothing to verify");
        return Finish(kExitFailed);
    }
    c.StartVerification(false);
    return Loop([this, &c] {
        const bool running = c.VerificationRunning();
        switch (c.State()) {
            case ControllerState::CheckFinished:
                return Outcome::Success;
            case ControllerState::Failed:
                ReportUnrepaired();
                return Outcome::Failure;
            case ControllerState::Finished:
                return Outcome::Failure;
            default:
                return running ? Outcome::Continue : Outcome::Failure;
        }
    });
}

// A check that ended in `failed` names the file that stayed wrong.
void CliSession::ReportUnrepaired() {
    if (const std::string file = controller_->UnrepairedFile(); !file.empty()) {
        Say("koruvan-cli: " + file + " does not match its MD5 digest and could not be repaired");
    }
}

int CliSession::Install() {
    app::DownloadController& c = *controller_;
    if (c.State() != ControllerState::Finished) {
        Say("koruvan-cli: the download is not complete; nothing to install");
        return Finish(kExitFailed);
    }
    c.PrimaryAction();  // asks whether to verify first: --verify answers yes
    return Loop([this, &c] {
        if (c.InstallerStarted()) {
            return Outcome::Success;
        }
        if (c.VerificationRunning()) {
            return Outcome::Continue;
        }
        HandleMessages();  // the message that ends a verification was posted before
        if (c.InstallerStarted()) {
            return Outcome::Success;
        }
        return Outcome::Failure;  // the launch failed (the notice says why), or the check
    });
}

int CliSession::Loop(const std::function<Outcome()>& judge) {
    Clock::time_point nextFast = Clock::now();
    Clock::time_point nextSlow = nextFast + kSlowPeriod;
    while (true) {
        std::this_thread::sleep_until(nextFast);
        nextFast += kFastPeriod;
        FastStep();
        HandleMessages();
        bool printed = false;
        if (Clock::now() >= nextSlow) {
            nextSlow += kSlowPeriod;
            SlowStep();
            printed = true;
        }
        if (platform::Interrupted() && seeding_) {
            frontEnd_.SetLineOpen(false);
            std::fputs(terminal_ ? "\n" : "", stdout);
            Say("koruvan-cli: seeding stopped");
            return Finish(kExitSuccess);
        }
        if (platform::Interrupted()) {
            frontEnd_.SetLineOpen(false);
            std::fputs(terminal_ ? "\n" : "", stdout);
            Say("koruvan-cli: interrupted; the download is paused and resumes next time");
            const ControllerState state = controller_->State();
            if (state == ControllerState::Downloading || state == ControllerState::Resume) {
                controller_->PrimaryAction();  // pause: the tasks save their state
            }
            return Finish(kExitFailed);
        }
        const Outcome outcome = judge();
        if (outcome != Outcome::Continue) {
            // The step the window's next 100 ms would make: the controller observes the final
            // state (entering `finished` records the files and reports the session).
            FastStep();
            if (!printed) {
                PrintProgress();  // the final state
            }
            if (terminal_) {
                std::fputs("\n", stdout);
                frontEnd_.SetLineOpen(false);
            }
            if (reportSources_) {
                ReportSources();
            }
            return Finish(outcome == Outcome::Success ? kExitSuccess : kExitFailed);
        }
    }
}

// Bytes by source of this run, one line per file that received any.
void CliSession::ReportSources() {
    const auto bytes = controller_->SourceBytesOfRun();
    std::uint64_t web = 0;
    std::uint64_t peers = 0;
    for (int i = 0; i < app::DownloadController::FileCount(); ++i) {
        const app::SourceBytes& b = bytes[static_cast<std::size_t>(i)];
        web += b.web;
        peers += b.peers;
    }
    Say("koruvan-cli: received from web sources " + std::to_string(web) + " B, from peers " +
        std::to_string(peers) + " B");
}

void CliSession::FastStep() {
    shown_ = controller_->Reconcile();
}

void CliSession::HandleMessages() {
    while (const std::uint32_t message = frontEnd_.TakeMessage()) {
        if (message == app::kVerificationDoneMessage) {
            controller_->PrimaryAction();
        }
    }
    for (const auto& [wParam, lParam] : portMapping_.TakeNotifications()) {
        controller_->OnPortForwardNotification(wParam, lParam);
    }
}

// The window's second: a repaint (which evaluates the speed once), then, unless the
// download is over, Tick and the speed again, the size, the percent and the file list.
void CliSession::SlowStep() {
    app::DownloadController& c = *controller_;
    const ControllerState state = c.State();
    const bool over = state == ControllerState::Finished || state == ControllerState::CheckFinished;
    if (!over && state != ControllerState::Installing) {
        (void)c.SpeedText();
    }
    if (!over) {
        c.Tick();
        speedText_ = c.SpeedText();
    }
    for (int i = 0; i < app::DownloadController::FileCount(); ++i) {
        (void)c.FileStatusText(i);
    }
    PrintProgress();
}

void CliSession::PrintProgress() {
    app::DownloadController& c = *controller_;
    const ControllerState state = c.State();
    std::string line = StateWord(state) + "  ";
    if (seeding_) {
        line = SeedingLine();
    } else if (state == ControllerState::Md5Checking) {
        // Hashing a file of gigabytes takes a while: the line names it and moves with it.
        line += "checking MD5 of " + c.VerifyingFile() + "  verified " +
                app::FormatPercent(std::min(c.VerifyProgress(), 10000u));
    } else if (state == ControllerState::CheckFinished) {
        line += "verified " + app::FormatPercent(std::min(c.VerifyProgress(), 10000u));
    } else if (state == ControllerState::CheckRecover) {
        const std::uint32_t repair = c.RepairProgress();
        line += "repairing " + c.VerifyingFile() + " " +
                (repair == 0
                     ? std::string("...")
                     : app::FormatPercent(std::min(repair, 10000u)) + "  " + c.RepairSpeedText());
    } else {
        const std::uint32_t percent = std::min(c.OverallProgress(), 10000u);
        const std::uint64_t total = c.TotalBytes();
        const std::uint64_t done = std::min(c.DownloadedBytes(), total);
        const std::uint32_t speed = c.ShownSpeed();
        line += app::FormatPercent(percent) + "  " + c.SizeText() + "  " + speedText_;
        const std::string problem = c.ProblemText();
        if (!problem.empty()) {
            line += "  " + problem;
        } else if (state != ControllerState::Finished) {
            line += "  " +
                    (speed == 0 ? std::string("--:--:--") : Duration((total - done) / speed)) +
                    " left";
        }
        ReportProblem(problem);
        const std::int32_t dhtContacts = engine::QueryDhtTableSize();
        if (dhtContacts >= 0) {
            line += "  dht " + std::to_string(dhtContacts) + " nodes";
        }
    }
    if (terminal_) {
        std::fputs(("\r" + line + "\x1b[K").c_str(), stdout);
        frontEnd_.SetLineOpen(true);
    } else {
        std::fputs((line + "\n").c_str(), stdout);
    }
    std::fflush(stdout);
}

// seeding  3 peers  up 1.20 MB/s  sent 512.00 MB  port 41234
std::string CliSession::SeedingLine() {
    const app::SwarmReport swarm = controller_->Swarm();
    std::string line =
        "seeding  " + std::to_string(swarm.peers) + (swarm.peers == 1 ? " peer" : " peers") +
        "  up " + (swarm.uploadRate == 0 ? std::string("0 B") : app::FormatSize(swarm.uploadRate)) +
        "/s  sent " +
        (swarm.uploadedBytes == 0 ? std::string("0 B") : app::FormatSize(swarm.uploadedBytes));
    if (swarm.listenPort > 0) {
        line += "  port " + std::to_string(swarm.listenPort);
    }
    return line;
}

void CliSession::ReportProblem(const std::string& problem) {
    if (problem == problemShown_) {
        return;
    }
    problemShown_ = problem;
    if (problem.empty()) {
        return;
    }
    if (terminal_) {
        std::fputs("\n", stdout);  // keep the live line whole
        std::fflush(stdout);
    }
    Say("koruvan-cli: " + problem);
}

// Every unfinished file's task has ended without completing (or has none) for a few
// seconds in a row: nothing will move any more.
bool CliSession::AllTasksStuck() {
    bool stuck = true;
    bool unfinished = false;
    for (int i = 0; i < app::DownloadController::FileCount() && stuck; ++i) {
        const app::FileReport r = controller_->ReportFile(i);
        unfinished = unfinished || !r.done;
        stuck = r.done || !r.queried || IsEndCode(r.stateCode);
    }
    stuckSteps_ = stuck && unfinished ? stuckSteps_ + 1 : 0;
    if (stuckSteps_ * kFastPeriod < kStuckTimeToGiveUp) {
        return false;
    }
    Say("koruvan-cli: no task can make progress; the download failed");
    return true;
}

// A download whose records could not be stored is not reported as a success: the files
// are complete, but nothing vouches for them until a later run records them.
bool CliSession::RecordsWritten() {
    const std::string problem = controller_->RecordWriteProblem();
    if (problem.empty()) {
        return true;
    }
    Say("koruvan-cli: the files are downloaded, but " + problem +
        "; free some space there and run download again to record them");
    return false;
}

int CliSession::Finish(int code) {
    if (!controller_->InstallerStarted()) {
        controller_->RequestExit();
    }
    controller_->OnExit();
    return code;
}

}  // namespace koruvan::cli
