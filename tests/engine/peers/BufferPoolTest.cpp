// The buffer pools and the growth and shrink rules of connection buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "engine/peers/BufferPool.h"
#include "engine/peers/ConnectionBuffer.h"

namespace koruvan::engine {
namespace {

TEST(BufferPool, ReusesExactOrSlightlyLargerBlocksOnly) {
    TBufferPool pool(100, 0);
    std::uint8_t* a = pool.Take(1000);
    std::uint8_t* b = pool.Take(5000);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    pool.Give(a);
    pool.Give(b);

    std::size_t size = 0;
    EXPECT_EQ(pool.Take(1000, &size), a) << "a block of exactly the size is reused";
    EXPECT_EQ(size, 1000u);
    pool.Give(a);
    EXPECT_EQ(pool.Take(950, &size), a) << "50 bytes larger is within the slack of 100";
    EXPECT_EQ(size, 1000u);
    pool.Give(a);
    std::uint8_t* fresh = pool.Take(900, &size);
    EXPECT_NE(fresh, a) << "100 bytes larger is not below the slack";
    EXPECT_EQ(size, 900u);
    std::uint8_t* other = pool.Take(4000);
    EXPECT_NE(other, b);
    pool.Give(fresh);
    pool.Give(other);
    EXPECT_EQ(pool.Totals().inUseBlocks, 0u);
}

TEST(BufferPool, EveryBlockEndsWithAZeroByteEvenWhenReused) {
    TBufferPool pool(1, 0);
    std::uint8_t* block = pool.Take(64);
    ASSERT_NE(block, nullptr);
    std::memset(block, 'x', 65);  // the extra byte is writable and gets dirtied
    pool.Give(block);
    std::uint8_t* again = pool.Take(64);
    ASSERT_EQ(again, block);
    EXPECT_EQ(again[64], 0);
    std::size_t size = 0;
    std::uint8_t* tiny = pool.Take(0, &size);
    EXPECT_NE(tiny, nullptr);
    EXPECT_EQ(size, 1u) << "a request below 1 byte counts as 1";
    pool.Give(again);
    pool.Give(tiny);
}

TEST(BufferPool, IgnoresBlocksItDoesNotHoldAndTrimsLargestFirst) {
    TBufferPool pool(1, 0);
    std::uint8_t* a = pool.Take(100);
    std::uint8_t* b = pool.Take(300);
    std::uint8_t* c = pool.Take(200);
    pool.Give(a);
    pool.Give(a);  // twice: must not be listed free twice
    int foreign = 0;
    pool.Give(&foreign);
    pool.Give(nullptr);
    EXPECT_EQ(pool.Totals().freeBlocks, 1u);
    EXPECT_EQ(pool.Totals().inUseBytes, 500u);

    pool.Give(b);
    pool.Give(c);
    EXPECT_EQ(pool.Totals().freeBytes, 600u);
    pool.Trim(350);
    const BufferPoolTotals t = pool.Totals();
    EXPECT_EQ(t.freeBytes, 300u) << "the 300-byte block goes first";
    EXPECT_EQ(t.freeBlocks, 2u);
    EXPECT_EQ(t.inUseBytes, 0u);
    pool.Trim(0);
    EXPECT_EQ(pool.Totals().freeBytes, 0u);
}

TEST(BufferPool, KeepsAtMostItsIdleLimitOfFreeMemory) {
    TBufferPool pool(1, 1000);
    std::vector<std::uint8_t*> blocks;
    for (int i = 0; i < 5; ++i) {
        blocks.push_back(pool.Take(400));
    }
    for (auto* block : blocks) {
        pool.Give(block);
        EXPECT_LE(pool.Totals().freeBytes, 1000u);
    }
    EXPECT_EQ(pool.Totals().freeBytes, 800u);
}

TEST(BufferPool, ThreadsTakeAndGiveConcurrently) {
    TBufferPool pool(64, 64 * 1024);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&pool, t] {
            for (int i = 0; i < 2000; ++i) {
                const std::size_t n = 16 + static_cast<std::size_t>((i * 7 + t) % 200);
                std::uint8_t* block = pool.Take(n);
                ASSERT_NE(block, nullptr);
                std::memset(block, t, n);
                EXPECT_EQ(block[n], 0);
                pool.Give(block);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(pool.Totals().inUseBlocks, 0u);
    EXPECT_EQ(pool.Totals().inUseBytes, 0u);
}

// Fills a buffer with `used` bytes 0, 1, 2, ... in a block of exactly `capacity` bytes.
void Fill(ConnectionBuffer& buffer, std::int32_t used, std::int32_t capacity) {
    ASSERT_TRUE(buffer.MakeRoom(capacity - ConnectionBuffer::kGrowthMargin));
    ASSERT_EQ(buffer.Capacity(), capacity);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(used));
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i);
    }
    ASSERT_TRUE(buffer.Append(bytes.data(), used));
}

void ExpectRestAfter(const ConnectionBuffer& buffer, std::int32_t removed) {
    for (std::int32_t i = 0; i < buffer.Used(); ++i) {
        ASSERT_EQ(buffer.Data()[i], static_cast<std::uint8_t>(removed + i)) << i;
    }
    EXPECT_EQ(buffer.Data()[buffer.Used()], 0) << "the byte after the data is 0";
}

TEST(ConnectionBuffer, GrowsByTheRoomAskedPlusAMarginOnlyWhenNeeded) {
    TBufferPool pool(1, 0);
    ConnectionBuffer buffer(pool);
    EXPECT_EQ(buffer.Data()[0], 0) << "an empty buffer reads as an empty text";
    ASSERT_TRUE(buffer.MakeRoom(43008));
    EXPECT_EQ(buffer.Capacity(), 43008 + 2048);
    ASSERT_TRUE(buffer.Append(reinterpret_cast<const std::uint8_t*>("abc"), 3));
    ASSERT_TRUE(buffer.MakeRoom(43008));
    EXPECT_EQ(buffer.Capacity(), 43008 + 2048) << "enough room: no new block";
    ASSERT_TRUE(buffer.MakeRoom(45054));
    EXPECT_EQ(buffer.Capacity(), 3 + 45054 + 2048);
    EXPECT_EQ(std::memcmp(buffer.Data(), "abc", 4), 0);
    EXPECT_FALSE(buffer.MakeRoom(ConnectionBuffer::kMaxCapacity)) << "refused, not wrapped";
    EXPECT_FALSE(buffer.MakeRoom(-1));
    EXPECT_EQ(buffer.Used(), 3);
}

struct ShrinkCase {
    std::int32_t capacity;
    std::int32_t used;
    std::int32_t removed;
    std::int32_t expectedCapacity;
};

class ConnectionBufferShrink : public ::testing::TestWithParam<ShrinkCase> {};

TEST_P(ConnectionBufferShrink, FollowsTheTidyRule) {
    const ShrinkCase c = GetParam();
    TBufferPool pool(1, 0);
    ConnectionBuffer buffer(pool);
    Fill(buffer, c.used, c.capacity);
    buffer.RemoveFront(c.removed, false);
    EXPECT_EQ(buffer.Capacity(), c.expectedCapacity);
    EXPECT_EQ(buffer.Used(), c.used - c.removed);
    ExpectRestAfter(buffer, c.removed);
}

INSTANTIATE_TEST_SUITE_P(Rules, ConnectionBufferShrink,
                         ::testing::Values(
                             // mostly unused, small rest: exactly 1024
                             ShrinkCase{45056, 40000, 39900, 1024},
                             // mostly unused, rest of 1024 or more: rest + 1024
                             ShrinkCase{45056, 40000, 34000, 7024},
                             // capacity / rest just below 6: bytes only move
                             ShrinkCase{45056, 40000, 32490, 45056},
                             // a 4096-byte block is never shrunk by the ratio rule
                             ShrinkCase{4096, 4000, 3990, 4096},
                             // a large block with 2101249 bytes unused: rest + rest / 10
                             ShrinkCase{3101249, 1100000, 100000, 1100000},
                             // one byte less unused: bytes only move
                             ShrinkCase{3101248, 1100000, 100000, 3101248}));

TEST(ConnectionBuffer, EmptiedBufferGoesBackUnlessTheBlockIsKept) {
    TBufferPool pool(1, 0);
    ConnectionBuffer buffer(pool);
    Fill(buffer, 5000, 50000);
    buffer.RemoveFront(-1, true);
    EXPECT_EQ(buffer.Used(), 0);
    EXPECT_EQ(buffer.Capacity(), 50000) << "keepBlock only moves the bytes";
    EXPECT_EQ(pool.Totals().inUseBlocks, 1u);
    ASSERT_TRUE(buffer.Append(reinterpret_cast<const std::uint8_t*>("xyz"), 3));
    buffer.RemoveFront(1, true);
    EXPECT_EQ(std::memcmp(buffer.Data(), "yz", 3), 0);
    buffer.RemoveFront(10, false);
    EXPECT_EQ(buffer.Capacity(), 0);
    EXPECT_EQ(pool.Totals().inUseBlocks, 0u);
    EXPECT_EQ(pool.Totals().freeBlocks, 1u);
}

TEST(ConnectionBuffer, SteadyTransferKeepsReusingPooledBlocks) {
    // Reads of 43008 bytes, consumed in 16384-byte blocks: the pool serves the regrown
    // blocks from what the shrinking gave back instead of allocating without end.
    TBufferPool pool(32 * 1024, 0);
    ConnectionBuffer buffer(pool);
    std::vector<std::uint8_t> chunk(43008, 7);
    for (int pass = 0; pass < 200; ++pass) {
        ASSERT_TRUE(buffer.MakeRoom(43008));
        std::memcpy(buffer.End(), chunk.data(), chunk.size());
        buffer.Commit(43008);
        while (buffer.Used() >= 16384) {
            buffer.RemoveFront(16384, false);
        }
    }
    const BufferPoolTotals t = pool.Totals();
    EXPECT_LE(t.inUseBlocks + t.freeBlocks, 6u);
}

}  // namespace
}  // namespace koruvan::engine
