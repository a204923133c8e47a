#include "telemetry/DeviceIdentity.h"

#include <cstdio>

#include "platform/File.h"
#include "platform/Paths.h"

namespace koruvan::telemetry {
namespace {

bool IsHexDigit(char c) noexcept {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The leading decimal digits of `text`; empty when it starts with something else.
std::string_view LeadingDigits(std::string_view text) noexcept {
    std::size_t n = 0;
    while (n < text.size() && text[n] >= '0' && text[n] <= '9') {
        ++n;
    }
    return text.substr(0, n);
}

}  // namespace

std::string ComputeMachineId(std::uint32_t volumeSerial, const MacAddress& m) {
    const auto s = [volumeSerial](int i) {
        return static_cast<unsigned>((volumeSerial >> (8 * i)) & 0xFF);
    };
    const unsigned bytes[8] = {m[0] + s(2), m[1],        m[2] + s(3), m[3] + s(0),
                               m[4],        m[5] + s(2), s(0),        s(1)};
    char text[kMachineIdDigits + 1];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X%02X%02X", bytes[0] & 0xFF,
                  bytes[1] & 0xFF, bytes[2] & 0xFF, bytes[3] & 0xFF, bytes[4] & 0xFF,
                  bytes[5] & 0xFF, bytes[6] & 0xFF, bytes[7] & 0xFF);
    return text;
}

std::string MachineIdTextOf(std::string_view machineId) {
    if (machineId.size() < kMachineIdDigits) {
        return {};
    }
    return "0x" + std::string(machineId.substr(0, 8)) + ", 0x" +
           std::string(machineId.substr(8, 8));
}

std::string FormatMac(const MacAddress& mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x-%02x-%02x-%02x-%02x-%02x", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

AdapterLists JoinAdapterLists(const std::vector<NetworkAdapter>& adapters) {
    AdapterLists lists;
    for (const NetworkAdapter& adapter : adapters) {
        if (!lists.macs.empty()) {
            lists.macs += ';';
            lists.ips += ';';
        }
        lists.macs += FormatMac(adapter.address);
        lists.ips += adapter.firstIpv4;
    }
    return lists;
}

std::uint32_t ReadVolumeSerial(const std::string& root) {
    std::string text;
    if (!platform::ReadWholeFile(platform::JoinPath(root, "etc/machine-id"), text) ||
        text.size() < 8) {
        return 0;
    }
    std::uint32_t serial = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        const char c = text[i];
        if (!IsHexDigit(c)) {
            return 0;
        }
        const unsigned digit = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
        serial = (serial << 4) | digit;
    }
    return serial;
}

char CodePageClass(int codePage) noexcept {
    switch (codePage) {
        case 936:
        case 950:
        case 10002:
        case 10008:
        case 20000:
        case 20002:
        case 20936:
        case 50227:
        case 50229:
        case 50935:
        case 50936:
        case 51936:
        case 51950:
        case 52936:
        case 54936:
            return '0';
        case 1252:
            return '1';
        default:
            return '2';
    }
}

bool IsSixtyFourBitMachine(std::string_view machine) noexcept {
    for (const std::string_view wide :
         {"x86_64", "amd64", "aarch64", "arm64", "ia64", "ppc64", "ppc64le", "s390x", "riscv64",
          "loongarch64", "mips64", "sparc64", "alpha"}) {
        if (machine == wide) {
            return true;
        }
    }
    return false;
}

std::string ComputeOsCode(std::string_view release, std::string_view machine, int codePage) {
    std::string code;
    const std::size_t firstDot = release.find('.');
    const std::string_view major = LeadingDigits(release.substr(0, firstDot));
    if (firstDot == std::string_view::npos || major.empty()) {
        code = "999";
    } else {
        const std::string_view rest = release.substr(firstDot + 1);
        const std::size_t secondDot = rest.find('.');
        const std::string_view minor = LeadingDigits(rest);
        const std::string_view patch = secondDot == std::string_view::npos
                                           ? std::string_view()
                                           : LeadingDigits(rest.substr(secondDot + 1));
        code.append(major).append(minor).append(patch.empty() ? std::string_view("0") : patch);
    }
    code += IsSixtyFourBitMachine(machine) ? "64" : "32";
    code += CodePageClass(codePage);
    return code;
}

}  // namespace koruvan::telemetry
