// Network namespaces on one bridge for tests that need several hosts: namespace i (1..n)
// has eth0 with 198.51.100.i/24; the bridge lives in a namespace of its own, so nothing is
// added to the host's network. Everything is deleted when the lab goes away.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace koruvan::engine::test {

class NetnsLab {
  public:
    // Why the lab cannot run here (not root, no `ip`); empty when it can.
    static std::string Unavailable();

    explicit NetnsLab(int hosts);
    ~NetnsLab();
    NetnsLab(const NetnsLab&) = delete;
    NetnsLab& operator=(const NetnsLab&) = delete;

    [[nodiscard]] bool Ready() const { return ready_; }
    [[nodiscard]] std::string Name(int host) const;
    [[nodiscard]] static std::string Address(int host);
    // Runs `body` on a thread that has entered the namespace of `host`: threads and sockets
    // it creates stay in that namespace.
    bool RunInside(int host, const std::function<void()>& body) const;

  private:
    std::string prefix_;
    int hosts_ = 0;
    bool ready_ = false;
};

// Runs a shell command line; true when it exited with 0.
bool Shell(const std::string& command);

}  // namespace koruvan::engine::test
