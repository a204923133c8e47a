#include "support/LocalServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdio>

#include <fcntl.h>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace koruvan::test {
namespace {

sockaddr_in Loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

}  // namespace

int FreeTcpPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = Loopback(0);
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        socklen_t len = sizeof addr;
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
    }
    close(fd);
    return port;
}

bool WaitForTcpPort(int port, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = Loopback(port);
        const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        close(fd);
        if (ok) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::string CommandOutput(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n = 0;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            out.append(buffer, n);
        }
        pclose(pipe);
    }
    return out;
}

std::string FindProgram(const std::string& name) {
    std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    path += ":/usr/sbin:/sbin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = path.find(':', start);
        const std::string dir =
            path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!dir.empty()) {
            const std::string candidate = dir + "/" + name;
            if (access(candidate.c_str(), X_OK) == 0) {
                return candidate;
            }
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return {};
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& logFile) {
    Stop();
    if (argv.empty()) {
        return false;
    }
    const std::string program =
        argv[0].find('/') == std::string::npos ? FindProgram(argv[0]) : argv[0];
    if (program.empty()) {
        return false;
    }
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        return false;
    }
    if (pid == 0) {
        setpgid(0, 0);
        if (!logFile.empty()) {
            const int fd = open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
                close(fd);
            }
        }
        execv(program.c_str(), args.data());
        _exit(127);
    }
    setpgid(pid, pid);
    pid_ = pid;
    return true;
}

bool ChildProcess::Running() const {
    return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0;
}

void ChildProcess::Stop() {
    if (pid_ <= 1) {
        return;
    }
    const pid_t pid = pid_;
    pid_ = -1;
    kill(-pid, SIGTERM);  // the whole group: servers that fork workers lose them too
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) != 0) {
            kill(-pid, SIGKILL);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

NginxServer::NginxServer(std::string workDir, std::string root, std::vector<int> ports,
                         std::string extraServerConfig)
    : workDir_(std::move(workDir)),
      root_(std::move(root)),
      ports_(std::move(ports)),
      extra_(std::move(extraServerConfig)) {}

std::string NginxServer::Url(std::size_t portIndex, const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(ports_.at(portIndex)) + path;
}

bool NginxServer::Start() {
    std::filesystem::create_directories(workDir_ + "/tmp");
    std::ofstream conf(workDir_ + "/nginx.conf");
    conf << "daemon off;\nworker_processes 1;\npid " << workDir_ << "/nginx.pid;\n"
         << "error_log " << workDir_ << "/error.log;\n"
         << "events { worker_connections 256; }\n"
         << "http {\n  access_log " << workDir_ << "/access.log;\n"
         << "  client_body_temp_path " << workDir_ << "/tmp;\n"
         << "  proxy_temp_path " << workDir_ << "/tmp;\n"
         << "  fastcgi_temp_path " << workDir_ << "/tmp;\n"
         << "  uwsgi_temp_path " << workDir_ << "/tmp;\n"
         << "  scgi_temp_path " << workDir_ << "/tmp;\n"
         << "  sendfile on;\n  default_type application/octet-stream;\n";
    for (const int port : ports_) {
        conf << "  server {\n    listen 127.0.0.1:" << port << ";\n    root " << root_ << ";\n"
             << extra_ << "\n  }\n";
    }
    conf << "}\n";
    conf.close();
    if (!process_.Start({"nginx", "-c", workDir_ + "/nginx.conf", "-p", workDir_},
                        workDir_ + "/stderr.log")) {
        return false;
    }
    for (const int port : ports_) {
        if (!WaitForTcpPort(port)) {
            return false;
        }
    }
    return true;
}

}  // namespace koruvan::test
