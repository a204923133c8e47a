// The half-open limit probe on driver files made by the test: which versions keep the
// limit, the size bounds, the search pattern and its check bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "net/HalfOpenProbe.h"
#include "platform/File.h"
#include "support/TempDir.h"

namespace koruvan::net {
namespace {

constexpr std::size_t kNone = ~std::size_t{0};

struct DriverFile {
    std::size_t size = 65536;
    DriverVersion version{5, 1, 2600, 2180};
    bool withVersion = true;
    std::size_t patternAt = 4096;  // kNone: no pattern
    std::uint32_t limit = 10;
    std::uint8_t before = 0;    // the byte before the limit
    std::uint8_t check = 0xB8;  // the byte 4 after the limit
};

void Put32(std::string& s, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        s[at + static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
    }
}

std::string Bytes(const DriverFile& f) {
    std::string s(f.size, '\0');
    if (f.withVersion) {
        Put32(s, 1000, 0xFEEF04BD);
        Put32(s, 1004, 0x00010000);
        Put32(s, 1008, (static_cast<std::uint32_t>(f.version.major) << 16) | f.version.minor);
        Put32(s, 1012, (static_cast<std::uint32_t>(f.version.build) << 16) | f.version.revision);
    }
    if (f.patternAt != kNone) {
        std::size_t at = f.patternAt;
        for (const char c : std::string("\\Device\\RasAcd")) {
            s[at++] = c;
            s[at++] = 0;
        }
        at += 2;
        s.replace(at, 6, 6, static_cast<char>(0xCC));
        s.replace(at + 6, 4, 4, static_cast<char>(0x90));
        const std::size_t q = f.patternAt + 128;
        s[q - 1] = static_cast<char>(f.before);
        Put32(s, q, f.limit);
        s[q + 4] = static_cast<char>(f.check);
    }
    return s;
}

class HalfOpenProbeTest : public ::testing::Test {
  protected:
    int Probe(const DriverFile& f) {
        const std::string path = dir_.File("tcpip.sys");
        EXPECT_TRUE(platform::WriteFileAtomic(path, Bytes(f)));
        return TcpDriverProbe(path).ReadHalfOpenLimit();
    }
    test::TempDir dir_;
};

TEST_F(HalfOpenProbeTest, ResultsByDriverFile) {
    struct Case {
        const char* name;
        DriverFile file;
        int expected;
    };
    const auto with = [](auto change) {
        DriverFile f;
        change(f);
        return f;
    };
    const Case cases[] = {
        {"5.1.2600.2180 keeps the limit", DriverFile{}, 10},
        {"5.1.2600.2179 does not", with([](DriverFile& f) {
             f.version = {5, 1, 2600, 2179};
         }),
         kProbeNotConcerned},
        {"5.1.2599", with([](DriverFile& f) {
             f.version = {5, 1, 2599, 9999};
         }),
         kProbeNotConcerned},
        {"5.2.3790.0", with([](DriverFile& f) {
             f.version = {5, 2, 3790, 0};
         }),
         kProbeNotConcerned},
        {"5.2.3790.1", with([](DriverFile& f) {
             f.version = {5, 2, 3790, 1};
         }),
         10},
        {"5.3", with([](DriverFile& f) {
             f.version = {5, 3, 0, 0};
         }),
         10},
        {"6.0", with([](DriverFile& f) {
             f.version = {6, 0, 0, 0};
         }),
         10},
        {"5.0", with([](DriverFile& f) {
             f.version = {5, 0, 9999, 9999};
         }),
         kProbeNotConcerned},
        {"no version block", with([](DriverFile& f) { f.withVersion = false; }),
         kProbeNotConcerned},
        {"32767 bytes", with([](DriverFile& f) { f.size = 32767; }), kProbeBadSize},
        {"32768 bytes", with([](DriverFile& f) { f.size = 32768; }), 10},
        {"2097153 bytes", with([](DriverFile& f) { f.size = 2097153; }), kProbeBadSize},
        {"no pattern", with([](DriverFile& f) { f.patternAt = kNone; }), kProbePatternMissing},
        {"pattern only at the very start", with([](DriverFile& f) { f.patternAt = 0; }),
         kProbePatternMissing},
        {"pattern within the last 1024 bytes",
         with([](DriverFile& f) { f.patternAt = f.size - 1023; }), kProbePatternMissing},
        {"pattern at the last position searched",
         with([](DriverFile& f) { f.patternAt = f.size - 1024; }), 10},
        {"check byte wrong", with([](DriverFile& f) { f.check = 0xB9; }), kProbeCheckFailed},
        {"byte before not zero", with([](DriverFile& f) { f.before = 1; }), kProbeCheckFailed},
        {"limit 50", with([](DriverFile& f) { f.limit = 50; }), 50},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Probe(c.file), c.expected) << c.name;
    }
}

TEST_F(HalfOpenProbeTest, VersionAndPaths) {
    const std::string path = dir_.File("tcpip.sys");
    ASSERT_TRUE(platform::WriteFileAtomic(path, Bytes(DriverFile{})));
    const TcpDriverProbe probe(path);
    EXPECT_EQ(probe.Version().major, 5);
    EXPECT_EQ(probe.Version().minor, 1);
    EXPECT_EQ(probe.Version().build, 2600);
    EXPECT_EQ(probe.Version().revision, 2180);
    EXPECT_EQ(TcpDriverProbe(dir_.File("missing.sys")).ReadHalfOpenLimit(), kProbeNotConcerned);
    // Linux has no driver file: the engine keeps its own maximum.
    EXPECT_TRUE(TcpDriverProbe().Path().empty());
    EXPECT_EQ(TcpDriverProbe().ReadHalfOpenLimit(), kProbeNotConcerned);
    EXPECT_EQ(DriverPathIn("/sys32"), "/sys32/drivers/tcpip.sys");
    EXPECT_EQ(DriverPathIn("/sys32/"), "/sys32/drivers/tcpip.sys");
    EXPECT_EQ(DriverPathIn(""), "");
}

}  // namespace
}  // namespace koruvan::net
