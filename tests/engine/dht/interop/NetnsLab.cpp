#include "NetnsLab.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

namespace koruvan::engine::test {

bool Shell(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

std::string NetnsLab::Unavailable() {
    if (geteuid() != 0) {
        return "network namespaces need root";
    }
    if (access("/usr/sbin/ip", X_OK) != 0 && access("/sbin/ip", X_OK) != 0) {
        return "the ip tool (iproute2) is missing";
    }
    return {};
}

NetnsLab::NetnsLab(int hosts) : prefix_("kvdht" + std::to_string(getpid())), hosts_(hosts) {
    const std::string bridge = prefix_ + "-br";
    std::string script = "set -e; ip netns add " + bridge + "; ip -n " + bridge +
                         " link add br0 type bridge; ip -n " + bridge + " link set br0 up;";
    for (int i = 1; i <= hosts; ++i) {
        const std::string ns = Name(i);
        const std::string port = "p" + std::to_string(i);
        script += " ip netns add " + ns + "; ip -n " + ns + " link add eth0 type veth peer name " +
                  port + " netns " + bridge + "; ip -n " + ns + " addr add " + Address(i) +
                  "/24 dev eth0; ip -n " + ns + " link set eth0 up; ip -n " + ns +
                  " link set lo up; ip -n " + bridge + " link set " + port + " master br0; ip -n " +
                  bridge + " link set " + port + " up;";
    }
    ready_ = Shell("sh -c '" + script + "' >/dev/null 2>&1");
}

NetnsLab::~NetnsLab() {
    for (int i = 1; i <= hosts_; ++i) {
        Shell("ip netns del " + Name(i) + " >/dev/null 2>&1");
    }
    Shell("ip netns del " + prefix_ + "-br >/dev/null 2>&1");
}

std::string NetnsLab::Name(int host) const {
    return prefix_ + "-" + std::to_string(host);
}

std::string NetnsLab::Address(int host) {
    return "198.51.100." + std::to_string(host);
}

bool NetnsLab::RunInside(int host, const std::function<void()>& body) const {
    bool entered = false;
    std::thread worker([&] {
        const int fd = open(("/var/run/netns/" + Name(host)).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return;
        }
        entered = setns(fd, CLONE_NEWNET) == 0;
        close(fd);
        if (entered) {
            body();
        }
    });
    worker.join();
    return entered;
}

}  // namespace koruvan::engine::test
