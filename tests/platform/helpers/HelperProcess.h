// The platform tests' view of koruvan_platform_helper: started with pipes on its standard
// input and output, read line by line with a time limit, killed and reaped at the end.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace koruvan::test {

class HelperProcess {
  public:
    HelperProcess() = default;
    ~HelperProcess() { Kill(); }
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;

    // Starts the helper with `args` in folder `cwd` (empty: this process's folder).
    bool Start(const std::vector<std::string>& args, const std::string& cwd = "") {
        int in[2];
        int out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        if (!cwd.empty()) {
            posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
        }
        std::vector<std::string> all{KORUVAN_PLATFORM_HELPER};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        input_ = in[1];
        output_ = out[0];
        if (rc != 0) {
            pid_ = -1;
        }
        return rc == 0;
    }

    // The next line of output without its line break; nullopt at the end of the output or
    // when none arrives within `limit`.
    std::optional<std::string> ReadLine(
        std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const auto eol = buffer_.find('\n');
            if (eol != std::string::npos) {
                std::string line = buffer_.substr(0, eol);
                buffer_.erase(0, eol + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{output_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                return std::nullopt;
            }
            char chunk[256];
            const ssize_t n = read(output_, chunk, sizeof chunk);
            if (n <= 0) {
                return std::nullopt;
            }
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // Closes the helper's standard input (a first instance then ends cleanly).
    void CloseInput() {
        if (input_ >= 0) {
            close(input_);
            input_ = -1;
        }
    }

    // The wait status once the helper has ended; nullopt when it still runs after `limit`.
    std::optional<int> Wait(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        if (pid_ < 0) {
            return status_;
        }
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            int status = 0;
            const pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                status_ = status;
                return status_;
            }
            if (r < 0 || std::chrono::steady_clock::now() >= deadline) {
                return std::nullopt;
            }
            usleep(5000);
        }
    }

    void Signal(int sig) const {
        if (pid_ > 0) {
            kill(pid_, sig);
        }
    }

    void Kill() {
        CloseInput();
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            int status = 0;
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
        if (output_ >= 0) {
            close(output_);
            output_ = -1;
        }
    }

    pid_t Pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string buffer_;
    std::optional<int> status_;
};

}  // namespace koruvan::test
