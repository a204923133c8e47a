#include "engine/core/Sha1State.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "PieceTestSupport.h"

namespace koruvan::engine {
namespace {

std::uint32_t U32At(const Sha1State::Stored& s, std::size_t at) {
    return static_cast<std::uint32_t>(s[at]) | (static_cast<std::uint32_t>(s[at + 1]) << 8) |
           (static_cast<std::uint32_t>(s[at + 2]) << 16) |
           (static_cast<std::uint32_t>(s[at + 3]) << 24);
}

TEST(Sha1State, IncrementalMatchesOneShotForEverySplit) {
    const std::string data = test::MakeContent(1000, 7);
    const auto expected = Sha1State::Of(data.data(), data.size());
    for (std::size_t split : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 128u, 999u, 1000u}) {
        Sha1State s;
        s.Update(data.data(), split);
        s.Update(data.data() + split, data.size() - split);
        EXPECT_EQ(s.Peek(), expected) << "split " << split;
        EXPECT_EQ(s.BytesHashed(), data.size());
    }
    // Peek leaves the running state alone.
    Sha1State s;
    s.Update(data.data(), 500);
    (void)s.Peek();
    s.Update(data.data() + 500, 500);
    EXPECT_EQ(s.Peek(), expected);
}

TEST(Sha1State, StoredRecordHasTheReferenceContextLayout) {
    // A fresh context: the five initial values, zeros elsewhere.
    const Sha1State::Stored fresh = Sha1State().Export();
    EXPECT_EQ(U32At(fresh, 0), 0x67452301u);
    EXPECT_EQ(U32At(fresh, 4), 0xEFCDAB89u);
    EXPECT_EQ(U32At(fresh, 8), 0x98BADCFEu);
    EXPECT_EQ(U32At(fresh, 12), 0x10325476u);
    EXPECT_EQ(U32At(fresh, 16), 0xC3D2E1F0u);
    for (std::size_t i = 20; i < Sha1State::kStoredSize; ++i) {
        EXPECT_EQ(fresh[i], 0) << "offset " << i;
    }
    // 70 bytes: one block processed, 6 waiting at the start of the message block, the
    // length in bits, the index after them.
    const std::string data = test::MakeContent(70, 3);
    Sha1State s;
    s.Update(data.data(), data.size());
    const Sha1State::Stored stored = s.Export();
    EXPECT_EQ(U32At(stored, 20), 70u * 8);
    EXPECT_EQ(U32At(stored, 24), 0u);
    EXPECT_EQ(stored[28], 6);
    EXPECT_EQ(stored[29], 0);
    EXPECT_EQ(std::memcmp(stored.data() + 30, data.data() + 64, 6), 0);
    EXPECT_EQ(U32At(stored, 96), 0u);   // computed
    EXPECT_EQ(U32At(stored, 100), 0u);  // corrupted
}

TEST(Sha1State, StateStoredMidBlockContinuesInANewObject) {
    const std::string data = test::MakeContent(300 * 1024 + 37, 11);
    const auto expected = Sha1State::Of(data.data(), data.size());
    for (std::size_t cut : {100u, 131072u, 131072u + 17u}) {
        Sha1State first;
        first.Update(data.data(), cut);
        // Only the stored bytes travel, as through a resume record on disk.
        const Sha1State::Stored bytes = first.Export();
        std::string onDisk(reinterpret_cast<const char*>(bytes.data()), bytes.size());

        Sha1State second;
        ASSERT_TRUE(
            second.Import(reinterpret_cast<const std::uint8_t*>(onDisk.data()), onDisk.size()));
        EXPECT_EQ(second.BytesHashed(), cut);
        second.Update(data.data() + cut, data.size() - cut);
        EXPECT_EQ(second.Peek(), expected) << "cut " << cut;
    }
}

TEST(Sha1State, RecordsThisCodeCannotHaveWrittenAreRefused) {
    Sha1State s;
    const std::string data = test::MakeContent(90, 5);
    s.Update(data.data(), data.size());
    const Sha1State::Stored good = s.Export();
    const auto refused = [&](auto change) {
        Sha1State::Stored bad = good;
        change(bad);
        Sha1State target;
        const auto before = target.Export();
        const bool ok = target.Import(bad.data(), bad.size());
        EXPECT_EQ(target.Export(), before);  // unchanged on refusal
        return !ok;
    };
    EXPECT_TRUE(refused([](auto& b) { b[96] = 1; }));     // computed
    EXPECT_TRUE(refused([](auto& b) { b[100] = 1; }));    // corrupted
    EXPECT_TRUE(refused([](auto& b) { b[28] = 64; }));    // index out of the block
    EXPECT_TRUE(refused([](auto& b) { b[29] = 0x80; }));  // negative index
    EXPECT_TRUE(refused([](auto& b) { b[20] ^= 8; }));    // length disagrees with index
    EXPECT_TRUE(refused([](auto& b) { b[20] |= 1; }));    // not whole bytes
    Sha1State target;
    EXPECT_FALSE(target.Import(good.data(), good.size() - 1));
    EXPECT_FALSE(target.Import(nullptr, good.size()));
    EXPECT_TRUE(target.Import(good.data(), good.size()));
}

}  // namespace
}  // namespace koruvan::engine
