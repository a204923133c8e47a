// The machine's network adapters as the identity of the telemetry sees them: each interface
// with a six-byte hardware address (loopback left out), in the order the system lists them,
// with its first IPv4 address; and the machine's processor architecture name.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace koruvan::platform {

using MacAddress = std::array<std::uint8_t, 6>;

struct NetworkAdapter {
    std::string name;       // e.g. "eth0"
    MacAddress address{};   // the hardware address
    std::string firstIpv4;  // dotted; "0.0.0.0" when the adapter has none
};

// The adapters of this machine (getifaddrs); empty when the system cannot list them.
std::vector<NetworkAdapter> ListNetworkAdapters();

// The hardware name of the running kernel's machine (uname: "x86_64", "i686", "aarch64");
// empty when it cannot be read.
std::string MachineArchitecture();

}  // namespace koruvan::platform
