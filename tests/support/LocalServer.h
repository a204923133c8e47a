// Real servers for integration tests, started on 127.0.0.1 with free ports and stopped
// (with their whole process group) when the object goes away.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace koruvan::test {

// A free TCP port on 127.0.0.1 (bound and released; good enough for test servers).
int FreeTcpPort();
// Waits until something accepts connections on 127.0.0.1:port.
bool WaitForTcpPort(int port, std::chrono::milliseconds limit = std::chrono::seconds(10));

// A child process in its own process group; killed (SIGTERM, then SIGKILL) on Stop.
class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess() { Stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0] (looked up on PATH) with the arguments; output goes to `logFile` when
    // given. False when the program could not be started.
    bool Start(const std::vector<std::string>& argv, const std::string& logFile = "");
    void Stop();
    bool Running() const;
    pid_t Pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
};

// Path of a program on PATH or in the usual system folders; empty when absent.
std::string FindProgram(const std::string& name);

// What a shell command writes on its standard output (empty when it cannot be run).
std::string CommandOutput(const std::string& command);

// nginx serving `root` on the given ports of 127.0.0.1 (byte ranges on), with its
// configuration, logs and temporary folders under `workDir`. `extraServerConfig` is added
// inside every server block (for example "location /gone { return 404; }").
class NginxServer {
  public:
    NginxServer(std::string workDir, std::string root, std::vector<int> ports,
                std::string extraServerConfig = "");
    bool Start();
    void Stop() { process_.Stop(); }
    const std::vector<int>& Ports() const { return ports_; }
    std::string Url(std::size_t portIndex, const std::string& path) const;

  private:
    std::string workDir_;
    std::string root_;
    std::vector<int> ports_;
    std::string extra_;
    ChildProcess process_;
};

}  // namespace koruvan::test
