// The identity fields every usage event carries: the machine id (16 hexadecimal digits
// mixed from the volume serial and the first adapter's address), its text form for the
// program's message boxes, the MAC and IP lists, and the operating-system code.
//
// On this platform the volume serial is the first four bytes of /etc/machine-id (its first
// eight hexadecimal digits, read as one number), the adapters are the interfaces with a
// hardware address, and the operating-system code is made from the kernel release.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/NetworkAdapters.h"

namespace koruvan::telemetry {

using platform::MacAddress;
using platform::NetworkAdapter;

inline constexpr std::size_t kMachineIdDigits = 16;

// The eight bytes m0+s2, m1, m2+s3, m3+s0, m4, m5+s2, s0, s1 (each modulo 256; s0 the least
// significant byte of the serial) as 16 uppercase hexadecimal digits.
[[nodiscard]] std::string ComputeMachineId(std::uint32_t volumeSerial, const MacAddress& mac);

// "0x" + the first 8 digits + ", 0x" + the last 8; empty when the id has fewer than 16.
[[nodiscard]] std::string MachineIdTextOf(std::string_view machineId);

// Copies MachineIdTextOf(machineId) with its terminating NUL into `buffer` (capacity in
// characters) and returns 1; when it does not fit, writes nothing and returns the text's
// length; 0 when the id is shorter than 16 digits.
template <typename Char>
int CopyMachineIdText(std::string_view machineId, Char* buffer, std::size_t capacity) {
    const std::string text = MachineIdTextOf(machineId);
    if (text.empty()) {
        return 0;
    }
    if (buffer == nullptr || capacity < text.size() + 1) {
        return static_cast<int>(text.size());
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        buffer[i] = static_cast<Char>(static_cast<unsigned char>(text[i]));
    }
    buffer[text.size()] = Char{};
    return 1;
}

// "%02x-%02x-%02x-%02x-%02x-%02x".
[[nodiscard]] std::string FormatMac(const MacAddress& mac);

// The MAC list and the IP list: one entry per adapter, joined with ";".
struct AdapterLists {
    std::string macs;
    std::string ips;
};
[[nodiscard]] AdapterLists JoinAdapterLists(const std::vector<NetworkAdapter>& adapters);

// The volume serial: the first 8 hexadecimal digits of `root`/etc/machine-id as a number;
// 0 when the file is missing or does not start with 8 hexadecimal digits.
[[nodiscard]] std::uint32_t ReadVolumeSerial(const std::string& root);

// The code-page class of the operating-system code: "0" for the Chinese code pages, "1" for
// 1252, "2" for any other (this program's code page, UTF-8, is one of those).
[[nodiscard]] char CodePageClass(int codePage) noexcept;

// The operating-system code: major and minor version digits of the kernel release
// ("6.1.0-18-amd64" gives "61"), its patch number as the service pack ("0"), "64" on a
// 64-bit machine else "32", then the code-page class. A release that cannot be read gives
// "999" followed by the architecture and code-page parts.
[[nodiscard]] std::string ComputeOsCode(std::string_view kernelRelease, std::string_view machine,
                                        int codePage);

// True for the machine names of 64-bit processors (x86_64, aarch64, ia64, ...).
[[nodiscard]] bool IsSixtyFourBitMachine(std::string_view machine) noexcept;

}  // namespace koruvan::telemetry
