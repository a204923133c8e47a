// koruvan-cli: the headless front end of the download controller (see CliOptions.h).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/PlanSource.h"
#include "app/SecConfig.h"
#include "cli/CliOptions.h"
#include "cli/CliSession.h"
#include "cli/StatusCommand.h"
#include "platform/Console.h"
#include "platform/ExclusiveLock.h"
#include "platform/Paths.h"

namespace {

using namespace koruvan;

// One lock per plan, named by the digest of its installer (as the window's single-instance
// lock is), in $XDG_RUNTIME_DIR or else /tmp.
std::string LockPath(const app::DownloadPlan& plan) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string folder = runtime != nullptr && *runtime == '/' ? runtime : "/tmp";
    return platform::JoinPath(folder, app::TaskIdentity(plan) + ".lock");
}

}  // namespace

int main(int argc, char** argv) {
    const cli::ParsedCommandLine parsed = cli::ParseCommandLine(argc, argv);
    if (!parsed.options) {
        return parsed.exitCode;
    }
    const cli::CliOptions& options = *parsed.options;
    if (options.dataDir) {
        platform::SetDataRootOverride(*options.dataDir);
    }
    app::PlanLoad load = app::LoadPlan(options.planFile);
    if (!load.plan) {
        std::fprintf(stderr, "koruvan-cli: %s\n", load.refusal.Message().c_str());
        return cli::kExitUsage;
    }
    if (options.command == cli::Command::Status) {
        return cli::PrintStatus(*load.plan, options.planFile.value_or("(built-in)"),
                                options.dataDir.value_or(""));
    }
    platform::ExclusiveLock lock;
    const std::string lockPath = LockPath(*load.plan);
    switch (lock.TryAcquire(lockPath)) {
        case platform::ExclusiveLock::Result::HeldElsewhere:
            std::fprintf(stderr, "koruvan-cli: another instance is working on this plan (%s)\n",
                         lockPath.c_str());
            return cli::kExitBusy;
        case platform::ExclusiveLock::Result::Failed:
            std::fprintf(stderr, "koruvan-cli: warning: cannot create the lock file %s\n",
                         lockPath.c_str());
            break;
        case platform::ExclusiveLock::Result::Acquired:
            break;
    }
    platform::CatchInterrupts();
    app::InstallPlan(*load.plan);
    (void)app::ParseSecConfig();
    cli::CliSession session(options, std::move(*load.plan));
    return session.Run();
}
