// A made-up machine for the telemetry tests: a /proc, /sys and /etc tree in a temporary
// folder, and two network adapters.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "support/TempDir.h"
#include "telemetry/HardwareInventory.h"

namespace koruvan::test {

// A SMBIOS memory device structure (type 17, 0x28 bytes) with its empty string set.
inline std::string MemoryDevice(unsigned size, unsigned type, unsigned speed,
                                unsigned extendedSize = 0, unsigned length = 0x28) {
    std::string raw(length, '\0');
    raw[0] = 17;
    raw[1] = static_cast<char>(length);
    const auto put = [&raw](std::size_t at, unsigned value, int bytes) {
        for (int i = 0; i < bytes && at + i < raw.size(); ++i) {
            raw[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
        }
    };
    put(0x0C, size, 2);
    put(0x12, type, 1);
    put(0x15, speed, 2);
    put(0x1C, extendedSize, 4);
    return raw + std::string(2, '\0');
}

class FakeSystem {
  public:
    // Writes `content` at `relative` below the root, creating the folders.
    void Put(const std::string& relative, const std::string& content) {
        const std::string path = dir_.File(relative);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        WriteFile(path, content);
    }

    // The machine of the identity example: volume serial 0x12345678, first adapter
    // 00-11-22-33-44-55, a 64-bit kernel 6.1.0.
    telemetry::SystemSources Sources(bool withAdapters = true) const {
        telemetry::SystemSources sources;
        sources.root = dir_.Path();
        sources.machine = "x86_64";
        sources.adapters = [withAdapters] {
            std::vector<platform::NetworkAdapter> adapters;
            if (withAdapters) {
                adapters.push_back({"eth0", {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}, "192.0.2.10"});
                adapters.push_back({"wlan0", {0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb}, "0.0.0.0"});
            }
            return adapters;
        };
        return sources;
    }

    void WriteIdentity() {
        Put("etc/machine-id", "12345678c4c5404aaa1f6d2a48adfda4\n");
        Put("proc/sys/kernel/osrelease", "6.1.0-18-amd64\n");
    }

  private:
    TempDir dir_;
};

}  // namespace koruvan::test
