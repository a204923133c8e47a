// The IP filter on filter text: which lines are usable, the level limit, merging of
// overlapping ranges, lookups at the range edges, and an unreadable file.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>
#include <utility>
#include <vector>

#include "net/CIPFilter.h"
#include "support/TempDir.h"

namespace koruvan::net {
namespace {

std::uint32_t Net(const char* dotted) {
    in_addr a{};
    EXPECT_EQ(inet_pton(AF_INET, dotted, &a), 1);
    return a.s_addr;
}

using Ranges = std::vector<std::pair<std::uint32_t, std::uint32_t>>;  // start, end

Ranges RangesOf(const CIPFilter& f) {
    Ranges out;
    for (const auto& [end, start] : f.Ranges()) {
        out.emplace_back(start, end);
    }
    return out;
}

TEST(IpFilterTest, LinesAreUsableOnlyInTheirOneForm) {
    struct Case {
        const char* text;
        std::int32_t added;
    };
    const Case cases[] = {
        {"1.2.3.4-1.2.3.9 0\n", 1},    {"  \t1.2.3.4-1.2.3.9 5 some name\n", 1},
        {"1.2.3.4 -1.2.3.9 0\n", 0},  // a blank before the dash
        {"1.2.3.4-1.2.3.9\n", 0},     // no level
        {"# 1.2.3.4-1.2.3.9 0\n", 0},  {"x1.2.3.4-1.2.3.9 0\n", 0},
        {"1.2.3.9-1.2.3.4 0\n", 0},  // end below start
        {"1.2.3.4-1.2.3.9 127\n", 0},  {"1.2.3.4-1.2.3.9 126\n", 1},
        {"1.2.3.4-1.2.3.9 -3\r\n", 1}, {"\n\n", 0},
    };
    for (const Case& c : cases) {
        CIPFilter f;
        EXPECT_EQ(f.LoadText(c.text), c.added) << c.text;
    }
}

TEST(IpFilterTest, OctetsWrapAndMissingOctetsAreZero) {
    EXPECT_EQ(ParseFilterAddress("1.2.3.4"), 0x01020304u);
    EXPECT_EQ(ParseFilterAddress("1.2.3.260"), 0x01020304u);
    EXPECT_EQ(ParseFilterAddress("10.1"), 0x0A010000u);
}

TEST(IpFilterTest, OverlapsMergeIntoOneRange) {
    CIPFilter f;
    EXPECT_EQ(f.LoadText("1.0.0.0-1.0.0.255 0\n1.0.0.128-1.0.1.0 0\n"), 1);
    EXPECT_EQ(RangesOf(f), (Ranges{{0x01000000u, 0x01000100u}}));
    // A range that swallows one range and overlaps the next leaves no overlap behind, so
    // an address inside the wide range but below the narrow one is still blocked.
    CIPFilter g;
    g.LoadText("9.0.0.1-9.0.0.6 0\n9.0.0.10-9.0.0.20 0\n9.0.0.5-9.0.0.30 0\n");
    EXPECT_EQ(RangesOf(g), (Ranges{{0x09000001u, 0x0900001Eu}}));
    EXPECT_TRUE(g.IsBlocked(Net("9.0.0.7")));
    // Contained ranges add nothing.
    EXPECT_EQ(g.LoadText("9.0.0.2-9.0.0.3 0\n"), 0);
}

TEST(IpFilterTest, LookupIsInclusiveAtBothEnds) {
    CIPFilter f;
    EXPECT_FALSE(f.IsBlocked(Net("1.0.0.0")));  // empty filter
    f.LoadText("1.0.0.0-1.0.1.0 0\n127.0.0.2-127.0.0.2 0\n");
    EXPECT_TRUE(f.IsBlocked(Net("1.0.0.0")));
    EXPECT_TRUE(f.IsBlocked(Net("1.0.1.0")));
    EXPECT_FALSE(f.IsBlocked(Net("1.0.1.1")));
    EXPECT_FALSE(f.IsBlocked(Net("0.255.255.255")));
    EXPECT_TRUE(f.IsBlocked(Net("127.0.0.2")));
    EXPECT_FALSE(f.IsBlocked(Net("127.0.0.3")));
    CIPFilter copy;
    copy.CopyFrom(f);
    EXPECT_EQ(copy.RangeCount(), 2u);
    f.Clear();
    EXPECT_FALSE(f.IsBlocked(Net("127.0.0.2")));
    EXPECT_TRUE(copy.IsBlocked(Net("127.0.0.2")));
}

TEST(IpFilterTest, AFileIsReadAndAnUnreadableOneEmptiesTheFilter) {
    test::TempDir dir;
    const std::string path = dir.File("filter.txt");
    test::WriteFile(path, "# blocked\n127.0.0.2-127.0.0.2 0\n");
    CIPFilter f;
    EXPECT_EQ(f.Load(path), 1);
    EXPECT_EQ(f.Load(dir.File("missing.txt")), -1);
    EXPECT_TRUE(f.Empty());
}

}  // namespace
}  // namespace koruvan::net
