#include "net/HalfOpenProbe.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "platform/File.h"

namespace koruvan::net {
namespace {

constexpr std::uint32_t kFixedVersionSignature = 0xFEEF04BDu;
constexpr std::size_t kFixedVersionSize = 52;
// The version information is read from files of at most this size.
constexpr std::uint64_t kMaxVersionFileSize = 64ull * 1024 * 1024;
constexpr std::size_t kSearchTail = 1024;
constexpr std::size_t kLimitOffset = 128;

std::uint32_t Little32(const std::uint8_t* at) noexcept {
    return static_cast<std::uint32_t>(at[0]) | (static_cast<std::uint32_t>(at[1]) << 8) |
           (static_cast<std::uint32_t>(at[2]) << 16) | (static_cast<std::uint32_t>(at[3]) << 24);
}

// "\Device\RasAcd" in UTF-16LE and its NUL, six 0xCC, four 0x90.
std::array<std::uint8_t, 40> SearchPattern() noexcept {
    std::array<std::uint8_t, 40> pattern{};
    const char* text = "\\Device\\RasAcd";
    std::size_t at = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        pattern[at++] = static_cast<std::uint8_t>(*c);
        pattern[at++] = 0;
    }
    at += 2;  // the NUL character
    for (int i = 0; i < 6; ++i) {
        pattern[at++] = 0xCC;
    }
    for (int i = 0; i < 4; ++i) {
        pattern[at++] = 0x90;
    }
    return pattern;
}

// Reads the whole file when its size lies in [minSize, maxSize]; the size goes to `size`.
int ReadFile(const std::string& path, std::uint64_t minSize, std::uint64_t maxSize,
             std::vector<std::uint8_t>& out, std::uint64_t& size) {
    platform::File file;
    if (path.empty() || !file.Open(path, platform::OpenMode::ReadExisting)) {
        return kProbeCannotOpen;
    }
    const auto length = file.Size();
    if (!length) {
        return kProbeReadFailed;
    }
    size = *length;
    if (size < minSize || size > maxSize) {
        return kProbeBadSize;
    }
    out.resize(static_cast<std::size_t>(size));
    if (file.ReadAt(0, out.data(), out.size()) != static_cast<std::int64_t>(out.size())) {
        return kProbeReadFailed;
    }
    return 0;
}

}  // namespace

bool VersionConcerned(const DriverVersion& v) noexcept {
    if (v.major > 5) {
        return true;
    }
    if (v.major != 5) {
        return false;
    }
    return (v.minor == 1 && v.build >= 2600 && v.revision >= 2180) ||
           (v.minor == 2 && v.build >= 3790 && v.revision != 0) || v.minor >= 3;
}

bool FindFixedVersion(const std::uint8_t* data, std::size_t size, DriverVersion& out) noexcept {
    if (data == nullptr || size < kFixedVersionSize) {
        return false;
    }
    for (std::size_t at = 0; at + kFixedVersionSize <= size; at += 4) {
        if (Little32(data + at) != kFixedVersionSignature) {
            continue;
        }
        const std::uint32_t high = Little32(data + at + 8);
        const std::uint32_t low = Little32(data + at + 12);
        out.major = static_cast<std::uint16_t>(high >> 16);
        out.minor = static_cast<std::uint16_t>(high & 0xFFFFu);
        out.build = static_cast<std::uint16_t>(low >> 16);
        out.revision = static_cast<std::uint16_t>(low & 0xFFFFu);
        return true;
    }
    return false;
}

int FindHalfOpenLimit(const std::uint8_t* data, std::size_t size) noexcept {
    static const auto kPattern = SearchPattern();
    if (data == nullptr || size <= kSearchTail) {
        return kProbePatternMissing;
    }
    const std::size_t last = size - kSearchTail;
    for (std::size_t at = 1; at <= last && at + kPattern.size() <= size; ++at) {
        if (std::memcmp(data + at, kPattern.data(), kPattern.size()) != 0) {
            continue;
        }
        const std::size_t q = at + kLimitOffset;
        if (data[q - 1] != 0 || data[q + 4] != 0xB8) {
            return kProbeCheckFailed;
        }
        return static_cast<int>(Little32(data + q));
    }
    return kProbePatternMissing;
}

std::string DriverPathIn(std::string_view systemFolder) {
    if (systemFolder.empty()) {
        return {};
    }
    std::string path(systemFolder);
    if (path.back() != '/') {
        path += '/';
    }
    return path + "drivers/tcpip.sys";
}

TcpDriverProbe::TcpDriverProbe() : TcpDriverProbe(DriverPathIn({})) {}

TcpDriverProbe::TcpDriverProbe(std::string path) : path_(std::move(path)) {
    std::vector<std::uint8_t> bytes;
    std::uint64_t size = 0;
    if (ReadFile(path_, 0, kMaxVersionFileSize, bytes, size) == 0) {
        (void)FindFixedVersion(bytes.data(), bytes.size(), version_);
    }
}

int TcpDriverProbe::ReadHalfOpenLimit() const {
    if (!VersionConcerned(version_)) {
        return kProbeNotConcerned;
    }
    std::vector<std::uint8_t> bytes;
    std::uint64_t size = 0;
    const int read = ReadFile(path_, kMinDriverSize, kMaxDriverSize, bytes, size);
    if (read != 0) {
        return read;
    }
    return FindHalfOpenLimit(bytes.data(), bytes.size());
}

}  // namespace koruvan::net
