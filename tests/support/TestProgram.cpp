#include "support/TestProgram.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

extern char** environ;

namespace koruvan::test {
namespace {

std::string NameOf(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& s : strings) {
        out.push_back(s.data());
    }
    out.push_back(nullptr);
    return out;
}

}  // namespace

TestProgram::~TestProgram() {
    Kill();
}

bool TestProgram::Start(const ProgramLaunch& launch) {
    std::vector<std::string> argv = {launch.program};
    argv.insert(argv.end(), launch.args.begin(), launch.args.end());
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const std::string& own : launch.environment) {
            replaced = replaced || NameOf(own) == NameOf(entry);
        }
        if (!replaced) {
            env.push_back(entry);
        }
    }
    for (const std::string& own : launch.environment) {
        if (own.find('=') != std::string::npos) {
            env.push_back(own);
        }
    }
    std::vector<char*> cargv = Pointers(argv);
    std::vector<char*> cenv = Pointers(env);

    constexpr int kAppend = O_WRONLY | O_CREAT | O_APPEND;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!launch.workDir.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, launch.workDir.c_str());
    }
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, launch.outFile.c_str(), kAppend, 0644);
    if (launch.errFile.empty()) {
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 2, launch.errFile.c_str(), kAppend, 0644);
    }
    const int rc = posix_spawn(&pid_, cargv[0], &actions, nullptr, cargv.data(), cenv.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        pid_ = -1;
    }
    return rc == 0;
}

int TestProgram::Wait(std::chrono::milliseconds limit, bool killOnTimeout) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (pid_ > 0) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() > end) {
            if (killOnTimeout) {
                Kill();
            }
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

bool TestProgram::Running() {
    return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0;
}

void TestProgram::Signal(int signal) {
    if (pid_ > 0) {
        kill(pid_, signal);
    }
}

void TestProgram::Kill() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

}  // namespace koruvan::test
