#include "ui/CwbeKoruvanUIApp.h"

#include <CLI/CLI.hpp>
#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "app/PlanSource.h"
#include "app/PortMapping.h"
#include "app/TelemetryRoute.h"
#include "platform/Console.h"
#include "platform/CrashDump.h"
#include "platform/Paths.h"
#include "platform/SingleInstance.h"
#include "ui/CwbeKoruvanUIDlg.h"

namespace koruvan::ui {
namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitBusy = 3;

std::string Absolute(const std::string& path) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute.lexically_normal().string();
}

void Say(const std::string& text) {
    std::fprintf(stderr, "koruvan: %s\n", text.c_str());
    std::fflush(stderr);
}

}  // namespace

ParsedAppCommandLine ParseAppCommandLine(int argc, const char* const* argv) {
    CLI::App cli{"The game client's downloader window.", "koruvan"};
    std::string plan;
    std::string dataDir;
    std::string saveDir;
    cli.add_option("--plan", plan, "plan file (default: the built-in plan)");
    cli.add_option("--data-dir", dataDir, "folder for the task state and logs");
    cli.add_option("--save-dir", saveDir,
                   "folder the files go to when no download is under way (used as given)");
    bool noTelemetry = false;
    cli.add_flag("--no-telemetry", noTelemetry, "send no usage statistics");
    try {
        cli.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = cli.exit(e);
        return ParsedAppCommandLine{std::nullopt, code == 0 ? 0 : kExitUsage};
    }
    AppOptions options;
    options.noTelemetry = noTelemetry;
    if (!plan.empty()) {
        options.planFile = plan;
    }
    if (!dataDir.empty()) {
        options.dataDir = Absolute(dataDir);
    }
    if (!saveDir.empty()) {
        options.saveDir = Absolute(saveDir);
    }
    return ParsedAppCommandLine{options, 0};
}

int CwbeKoruvanUIApp::Run(int argc, char** argv) {
    platform::InstallCrashHandler();
    platform::CrashIfRequested();
    const ParsedAppCommandLine parsed = ParseAppCommandLine(argc, argv);
    if (!parsed.options) {
        return parsed.exitCode;
    }
    const AppOptions& options = *parsed.options;
    if (options.dataDir) {
        platform::SetDataRootOverride(*options.dataDir);
    }
    app::PlanLoad load = app::LoadPlan(options.planFile);
    if (!load.plan) {
        Say(load.refusal.Message());
        return kExitUsage;
    }

    auto instance = std::make_unique<platform::SingleInstance>(app::TaskIdentity(*load.plan));
    switch (instance->Settle()) {
        case platform::InstanceRole::HandedOver:
            return 0;  // the running window came to the front
        case platform::InstanceRole::HeldElsewhere:
            Say("another front end is working on this plan (" + instance->Names().lockFile + ")");
            return kExitBusy;
        case platform::InstanceRole::TookOver:
            Say("the running window did not answer within a second; it was ended and this "
                "one takes its place");
            break;
        case platform::InstanceRole::Unguarded:
            Say("warning: the single-instance check could not be made");
            break;
        case platform::InstanceRole::First:
            break;
    }

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("koruvan"));
    QApplication::setDesktopFileName(QStringLiteral("koruvan"));
    QApplication::setQuitOnLastWindowClosed(false);
    platform::CatchInterrupts();

    app::TelemetryRoute telemetry(load.plan->telemetry.enabled && !options.noTelemetry);
    // The port mapping outlives the window; its notifications go to the window's thread.
    app::PortMapping portMapping(load.plan->p2p, telemetry.Events());
    app::ControllerEnvironment environment;
    portMapping.Install(environment);
    WindowOptions windowOptions;
    if (options.saveDir) {
        windowOptions.initialSaveFolder = QString::fromStdString(*options.saveDir);
    }
    auto window = std::make_unique<CwbeKoruvanUIDlg>(std::move(*load.plan), telemetry.Events(),
                                                     telemetry.Prepare(std::move(environment)),
                                                     windowOptions);
    portMapping.SetNotify([shown = window.get()](std::uintptr_t w, std::intptr_t l) {
        shown->PostWindowMessage(app::kPortForwardMessage, w, l);
    });
    QObject::connect(window.get(), &CwbeKoruvanUIDlg::Ended, &application, &QApplication::quit,
                     Qt::QueuedConnection);
    // A later start wakes this one up: the answer comes from this (the main) loop, so that a
    // hung window does not answer and is replaced.
    CwbeKoruvanUIDlg* shown = window.get();
    platform::SingleInstance* guard = instance.get();
    (void)instance->Listen([&application, shown, guard] {
        QMetaObject::invokeMethod(
            &application,
            [shown, guard] {
                (void)guard->AnswerWakeUp();
                shown->BringToFront();
            },
            Qt::QueuedConnection);
    });
    // Ctrl-C and a polite kill end the program as the tray menu's exit does.
    QTimer interrupts;
    QObject::connect(&interrupts, &QTimer::timeout, shown, [shown] {
        if (platform::Interrupted()) {
            platform::ClearInterrupt();
            shown->Exit();
        }
    });
    interrupts.start(100);

    window->InitDialog();
    window->show();
    (void)QApplication::exec();
    interrupts.stop();
    const int initResult = window->InitResult();
    instance.reset();                // no wake-up may reach the window from here on
    portMapping.SetNotify(nullptr);  // nor a port-mapping result
    window.reset();
    return initResult < 0 ? kExitFailed : 0;
}

}  // namespace koruvan::ui
