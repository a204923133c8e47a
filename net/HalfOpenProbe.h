// The probe of the system's limit on outgoing TCP connection attempts pending at once. Some
// Windows TCP/IP driver versions keep that limit as a constant inside the driver file; the
// probe finds it next to a known byte pattern. On Linux there is no such driver file (the
// default path is empty), so the probe reports "not concerned" and the engine allows its
// own maximum; the file parser still works on any file it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace koruvan::net {

// Results of ReadHalfOpenLimit besides a limit.
inline constexpr int kProbeNotConcerned = -1;  // the driver version keeps no limit
inline constexpr int kProbeCannotOpen = -2;
inline constexpr int kProbeBadSize = -3;  // outside kMinDriverSize..kMaxDriverSize
inline constexpr int kProbeReadFailed = -4;
inline constexpr int kProbePatternMissing = -5;
inline constexpr int kProbeCheckFailed = -6;  // pattern found, check bytes do not match

inline constexpr std::uint64_t kMinDriverSize = 32768;
inline constexpr std::uint64_t kMaxDriverSize = 2097152;

// The four numbers of a file's fixed version information (all 0 when unavailable).
struct DriverVersion {
    std::uint16_t major = 0;
    std::uint16_t minor = 0;
    std::uint16_t build = 0;
    std::uint16_t revision = 0;
};

// Whether a driver of this version keeps the limit in its file.
[[nodiscard]] bool VersionConcerned(const DriverVersion& v) noexcept;

// The fixed version information in a file's bytes: the 52-byte block that begins with the
// signature 0xFEEF04BD (little-endian), file version words most significant first. False
// when no complete block is there.
[[nodiscard]] bool FindFixedVersion(const std::uint8_t* data, std::size_t size,
                                    DriverVersion& out) noexcept;

// The limit in the bytes of a driver file: after the 40-byte pattern ("\Device\RasAcd" in
// UTF-16LE with its NUL, six 0xCC, four 0x90) at the first position other than 0 up to
// size - 1024, the 32-bit little-endian value 128 bytes on, preceded by a 0 byte and
// followed (4 bytes on) by 0xB8. kProbePatternMissing or kProbeCheckFailed otherwise.
[[nodiscard]] int FindHalfOpenLimit(const std::uint8_t* data, std::size_t size) noexcept;

// The driver file in a system folder; the separator is not doubled. Empty for an empty
// folder.
[[nodiscard]] std::string DriverPathIn(std::string_view systemFolder);

class TcpDriverProbe {
  public:
    // The system's driver file: none on Linux, which has no system folder of that kind.
    TcpDriverProbe();
    // A given driver file; its version is read when it exists.
    explicit TcpDriverProbe(std::string path);

    // The limit, or one of the kProbe* codes.
    [[nodiscard]] int ReadHalfOpenLimit() const;
    [[nodiscard]] const DriverVersion& Version() const noexcept { return version_; }
    [[nodiscard]] const std::string& Path() const noexcept { return path_; }

  private:
    std::string path_;
    DriverVersion version_;
};

}  // namespace koruvan::net
