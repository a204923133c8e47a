// A small program the platform tests start as a separate process:
//
//   koruvan_platform_helper instance LOCKDIR DIGEST [--patience-ms N] [--ignore-wakeups]
//       settles the single instance and prints "role <name>". A first instance then runs a
//       main loop until its standard input closes: each wake-up is answered from the main
//       loop and reported as "woken <folder>" (with --ignore-wakeups the main loop only
//       prints "wake-ignored" and never answers, like a hung window).
//   koruvan_platform_helper crash
//       installs the crash handler, crashes when KORUVAN_TEST_CRASH asks for it, and
//       otherwise prints "no crash".
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/CrashDump.h"
#include "platform/SingleInstance.h"

namespace {

using namespace koruvan::platform;

void Say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// Waits for input on standard input; true once it has closed.
bool InputClosed(int timeoutMs) {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) {
        return false;
    }
    char buffer[64];
    return read(STDIN_FILENO, buffer, sizeof buffer) <= 0;
}

int RunInstance(int argc, char** argv) {
    if (argc < 4) {
        return 2;
    }
    SingleInstanceOptions options;
    options.lockFolder = argv[2];
    bool ignoreWakeUps = false;
    for (int i = 4; i < argc; ++i) {
        if (std::strcmp(argv[i], "--patience-ms") == 0 && i + 1 < argc) {
            options.patience = std::chrono::milliseconds(std::stoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--ignore-wakeups") == 0) {
            ignoreWakeUps = true;
        }
    }
    SingleInstance instance(argv[3], options);
    const InstanceRole role = instance.Settle();
    Say("role " + std::string(RoleName(role)));
    if (role != InstanceRole::First && role != InstanceRole::TookOver) {
        return 0;
    }
    std::mutex lock;
    int pending = 0;
    // The listener only posts; the main loop below answers, as a window would.
    if (!instance.Listen([&] {
            std::lock_guard<std::mutex> guard(lock);
            ++pending;
        })) {
        Say("listen failed");
    }
    while (!InputClosed(20)) {
        int wakeUps = 0;
        {
            std::lock_guard<std::mutex> guard(lock);
            wakeUps = pending;
            pending = 0;
        }
        for (int i = 0; i < wakeUps; ++i) {
            if (ignoreWakeUps) {
                Say("wake-ignored");
                continue;
            }
            const auto folder = instance.AnswerWakeUp();
            Say(folder ? "woken " + *folder : "answer failed");
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "instance") == 0) {
        return RunInstance(argc, argv);
    }
    if (argc >= 2 && std::strcmp(argv[1], "crash") == 0) {
        if (!InstallCrashHandler()) {
            Say("install failed");
            return 1;
        }
        CrashIfRequested();
        Say("no crash");
        return 0;
    }
    return 2;
}
