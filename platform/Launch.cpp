#include "platform/Launch.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/File.h"

extern char** environ;

namespace koruvan::platform {
namespace {

enum class Kind { Windows, Native, Other };

// What the first bytes say the file is; errno when it cannot be read.
Kind KindOf(const std::string& path, int& error) {
    File file;
    if (!file.Open(path, OpenMode::ReadExisting)) {
        error = file.LastError();
        return Kind::Other;
    }
    char head[4] = {};
    const std::int64_t n = file.ReadAt(0, head, sizeof head);
    if (n >= 2 && head[0] == 'M' && head[1] == 'Z') {
        return Kind::Windows;
    }
    if ((n >= 2 && head[0] == '#' && head[1] == '!') || (n == 4 && std::memcmp(head,
                                                                               "\x7f"
                                                                               "ELF",
                                                                               4) == 0)) {
        return Kind::Native;
    }
    return Kind::Other;
}

void ReportAndExit(int fd, int error) {
    const ssize_t ignored = write(fd, &error, sizeof error);
    (void)ignored;
    _exit(127);
}

// Runs `argv` in `folder` as a grandchild in a session of its own (so nothing has to wait
// for it), with standard input from /dev/null. 0 once it was executed, else the errno of
// the step that failed. Only async-signal-safe calls run between fork and exec.
int SpawnDetached(const std::vector<std::string>& args, const std::string& folder) {
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return errno;
    }
    const pid_t child = fork();
    if (child < 0) {
        const int error = errno;
        close(fds[0]);
        close(fds[1]);
        return error;
    }
    if (child == 0) {
        close(fds[0]);
        setsid();
        const pid_t grandchild = fork();
        if (grandchild < 0) {
            ReportAndExit(fds[1], errno);
        }
        if (grandchild > 0) {
            _exit(0);
        }
        if (!folder.empty() && chdir(folder.c_str()) != 0) {
            ReportAndExit(fds[1], errno);
        }
        const int null = open("/dev/null", O_RDONLY);
        if (null > 0) {
            dup2(null, 0);
            close(null);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);  // this process ignores it; the installer must not
        execv(argv[0], argv.data());
        ReportAndExit(fds[1], errno);
    }
    close(fds[1]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t n;
    do {
        n = read(fds[0], &error, sizeof error);
    } while (n < 0 && errno == EINTR);
    close(fds[0]);
    return n == static_cast<ssize_t>(sizeof error) ? error : 0;
}

}  // namespace

int LaunchCodeFromErrno(int error) noexcept {
    switch (error) {
        case ENOENT:
            return kLaunchFileNotFound;
        case ENOTDIR:
            return kLaunchPathNotFound;
        case EACCES:
        case EPERM:
            return kLaunchAccessDenied;
        case ENOMEM:
            return kLaunchOutOfMemory;
        case ENOEXEC:
            return kLaunchBadFormat;
        default:
            return kLaunchUnknownFailure;
    }
}

std::string FindOnPath(std::string_view name) {
    const char* path = std::getenv("PATH");
    std::string_view rest = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    while (true) {
        const std::size_t colon = rest.find(':');
        const std::string_view dir = rest.substr(0, colon);
        if (!dir.empty()) {
            std::string candidate = std::string(dir) + "/" + std::string(name);
            struct stat st {};
            if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                access(candidate.c_str(), X_OK) == 0) {
                return candidate;
            }
        }
        if (colon == std::string_view::npos) {
            return {};
        }
        rest.remove_prefix(colon + 1);
    }
}

int OpenInstaller(const std::string& path, const std::string& workingFolder) {
    int error = 0;
    const Kind kind = KindOf(path, error);
    if (error != 0) {
        return LaunchCodeFromErrno(error);
    }
    std::vector<std::string> argv;
    if (kind == Kind::Windows) {
        if (std::string wine = FindOnPath("wine"); !wine.empty()) {
            argv = {wine, path};
        }
    } else if (kind == Kind::Native) {
        struct stat st {};
        if (stat(path.c_str(), &st) == 0 && (st.st_mode & S_IXUSR) == 0) {
            (void)chmod(path.c_str(), (st.st_mode & 07777) | S_IXUSR);
        }
        argv = {path};
    }
    if (argv.empty()) {
        std::string open = FindOnPath("xdg-open");
        if (open.empty()) {
            return kLaunchNoAssociation;
        }
        argv = {open, path};
    }
    error = SpawnDetached(argv, workingFolder);
    return error == 0 ? kLaunchStarted : LaunchCodeFromErrno(error);
}

bool ScheduleSystemShutdown(std::string_view message, int delayMinutes) {
    const char* configured = std::getenv("KORUVAN_SHUTDOWN_CMD");
    const std::string command =
        configured != nullptr && *configured != '\0' ? configured : "shutdown";
    std::vector<std::string> args = {command, "-P", "+" + std::to_string(delayMinutes),
                                     std::string(message)};
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, command.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int status = 0;
    while (true) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
        if (done < 0 && errno != EINTR) {
            return false;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace koruvan::platform
