// Who fetches what: web-source work ranges and their split rules, the BitTorrent request
// pool and endgame counts, start pieces, HAVE batches, and the P2SP key template.
#include <gtest/gtest.h>

#include "PieceTestSupport.h"
#include "engine/core/KeyTemplate.h"
#include "engine/core/RequestPlanner.h"
#include "engine/core/WorkRanges.h"
#include "engine/peers/TPeerId.h"
#include "support/EngineTestClock.h"
#include "support/TempDir.h"

namespace koruvan::engine {
namespace {

struct IdRelease {
    void operator()(TPeerId* p) const { p->Release(); }
};
using IdPtr = std::unique_ptr<TPeerId, IdRelease>;

IdPtr Source(const std::string& url, std::int32_t connections = 1) {
    IdPtr id(new TPeerId(url));
    id->maxConnections = connections;
    return id;
}

// A web-source connection as the range rules see it.
class FakeWorker final : public RangeWorker {
  public:
    explicit FakeWorker(std::int32_t rate, bool taken = true, std::int32_t last = -1)
        : rate_(rate), taken_(taken), last_(last) {}
    std::int32_t Rate() const override { return rate_; }
    std::int32_t LastPiece() const override { return last_; }
    bool HasTakenRange() const override { return taken_; }
    TPeerId* Source() const override { return nullptr; }
    void ReleaseRange() override {
        ++released;
        if (held != nullptr) {
            held->owner = nullptr;
            held = nullptr;
        }
    }
    WorkRange* held = nullptr;
    int released = 0;

  private:
    std::int32_t rate_;
    bool taken_;
    std::int32_t last_;
};

std::vector<std::pair<std::int32_t, std::int32_t>> Spans(const WorkRanges& ranges) {
    std::vector<std::pair<std::int32_t, std::int32_t>> out;
    for (std::size_t i = 0; i < ranges.Count(); ++i) {
        out.emplace_back(ranges.At(i)->first, ranges.At(i)->last);
    }
    return out;
}

RangeContext Context(std::int64_t now, std::int32_t missing = 100) {
    RangeContext c;
    c.pieceLength = 1024 * 1024;
    c.missingPieces = missing;
    c.wanted = [](std::int32_t) { return true; };
    c.now = now;
    return c;
}

TEST(WorkRangeLayout, SegmentsFollowTheSourcesAndConnectionCounts) {
    auto a = Source("http://a.example/f");
    auto b = Source("http://b.example/f");
    auto c = Source("http://c.example/f");
    WorkRanges ranges;
    ranges.Layout({a.get(), b.get(), c.get()}, 10, 100);
    EXPECT_EQ(Spans(ranges),
              (std::vector<std::pair<std::int32_t, std::int32_t>>{{0, 2}, {3, 5}, {6, 9}}));
    EXPECT_EQ(ranges.At(0)->source, a.get());
    EXPECT_EQ(ranges.At(2)->current, 6);

    // A source with 4 connections and 8 pieces: min((8 + 4) / 5, 4, 8) = 2 ranges of 4.
    auto wide = Source("http://w.example/f", 4);
    ranges.Layout({wide.get()}, 8, 100);
    EXPECT_EQ(Spans(ranges), (std::vector<std::pair<std::int32_t, std::int32_t>>{{0, 3}, {4, 7}}));
    EXPECT_EQ(wide->maxConnections, 2);

    // 3 pieces and 5 sources: one piece each for the first three, nothing for the rest.
    auto d = Source("http://d.example/f");
    auto e = Source("http://e.example/f");
    ranges.Layout({a.get(), b.get(), c.get(), d.get(), e.get()}, 3, 100);
    EXPECT_EQ(Spans(ranges),
              (std::vector<std::pair<std::int32_t, std::int32_t>>{{0, 0}, {1, 1}, {2, 2}}));

    ranges.Layout({}, 10, 100);
    EXPECT_EQ(ranges.Count(), 0u);
    // The ranges held references to their sources and gave them back.
    EXPECT_EQ(a->RefCount(), 1);
}

TEST(WorkRangeAssignment, FreeRangesFirstThenStalledOnes) {
    auto a = Source("http://a.example/f");
    auto b = Source("http://b.example/f");
    WorkRanges ranges;
    ranges.Layout({a.get(), b.get()}, 20, 100);
    FakeWorker first(0, true, 9);  // fetched piece 9 last: continues at 10
    WorkRange* r = ranges.Assign(first, Context(100));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->first, 10);
    first.held = r;

    FakeWorker second(0);
    WorkRange* other = ranges.Assign(second, Context(100));
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->first, 0);
    second.held = other;

    // Nothing free, and the owners have no rate yet: a newcomer waits while the ranges are
    // young, then takes over one that has not moved for more than 10 seconds.
    FakeWorker third(50000, false);
    EXPECT_EQ(ranges.Assign(third, Context(103)), nullptr);
    WorkRange* taken = ranges.Assign(third, Context(111));
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(taken->owner, &third);
    EXPECT_EQ(first.released + second.released, 1);
}

TEST(WorkRangeAssignment, TheSlowestRangeIsSplitByTheRates) {
    auto a = Source("http://a.example/f");
    WorkRanges ranges;
    ranges.Layout({a.get()}, 10, 100);
    FakeWorker slow(100 * 1024);
    WorkRange* r = ranges.Assign(slow, Context(100));
    ASSERT_NE(r, nullptr);
    slow.held = r;
    r->current = 0;
    // 300 KiB/s against 100 KiB/s, 10 pieces left: m = 75 + 1, 10 × 76 / 100 = 7, + 1 = 8.
    FakeWorker fast(300 * 1024);
    WorkRange* tail = ranges.Assign(fast, Context(101));
    ASSERT_NE(tail, nullptr);
    EXPECT_EQ(tail->first, 2);
    EXPECT_EQ(tail->last, 9);
    EXPECT_EQ(r->last, 1);
    EXPECT_EQ(slow.released, 0);

    // A newcomer that never had a range takes half.
    WorkRanges fresh;
    fresh.Layout({a.get()}, 10, 100);
    FakeWorker owner(100 * 1024);
    owner.held = fresh.Assign(owner, Context(100));
    FakeWorker newcomer(100 * 1024, false);
    WorkRange* half = fresh.Assign(newcomer, Context(101));
    ASSERT_NE(half, nullptr);
    EXPECT_EQ(half->last - half->first + 1, 5);
}

TEST(WorkRangeAssignment, ShortAndLastPieceRangesAreLeftAlone) {
    auto a = Source("http://a.example/f");
    WorkRanges ranges;
    ranges.Layout({a.get()}, 10, 100);
    FakeWorker owner(1024 * 1024);  // 10 pieces of 1 MiB at 1 MiB/s: 10 seconds left
    owner.held = ranges.Assign(owner, Context(100));
    FakeWorker other(1024 * 1024);
    EXPECT_EQ(ranges.Assign(other, Context(101, 10)), nullptr);
    // With fewer than 4 pieces missing short ranges may be split.
    EXPECT_NE(ranges.Assign(other, Context(101, 3)), nullptr);

    // One piece left: only a peer at least twice as fast shares it.
    WorkRanges single;
    single.Layout({a.get()}, 1, 100);
    FakeWorker lone(100 * 1024);
    lone.held = single.Assign(lone, Context(100));
    FakeWorker same(150 * 1024);
    EXPECT_EQ(single.Assign(same, Context(101, 1)), nullptr);
    FakeWorker twice(200 * 1024);
    WorkRange* shared = single.Assign(twice, Context(101, 1));
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(shared->first, 0);
    EXPECT_EQ(lone.released, 0);
}

class RequestPlannerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        content_ = test::MakeContent(20 * 64 * 1024);
        map_ = test::NewPieces(host_);
        ASSERT_TRUE(map_->Build(test::MakeLayout(dir_.File("r.bin"), 64 * 1024, content_),
                                std::nullopt, {}));
    }
    test::TempDir dir_;
    test::EngineTestClock clock_{1000.0};
    test::RecordingHost host_;
    std::string content_;
    test::PiecesPtr map_;
    RequestPlanner planner_;
};

TEST_F(RequestPlannerTest, PiecesAreListedOnceUntilFewAreMissing) {
    // With 60 connected peers and 10 pieces missing a piece may be listed 64 - 10 = 54
    // times; with 20 (all) missing, 44 times; with 100 missing it would be once.
    std::int32_t listed = 0;
    while (planner_.MarkRequested(3, true, false, 60, false, *map_)) {
        ++listed;
    }
    EXPECT_EQ(listed, 44);
    EXPECT_EQ(planner_.TimesRequested(3), 44);
    planner_.MarkRequested(3, false, false, 60, false, *map_);
    EXPECT_EQ(planner_.TimesRequested(3), 43);

    // 10 missing: complete pieces 0..9.
    for (std::int32_t b = 0; b < 40; ++b) {
        test::Deliver(*map_, content_, b);
    }
    map_->FlushAll();
    ASSERT_EQ(map_->PieceCount() - map_->PiecesDone(), 10);
    listed = 0;
    while (planner_.MarkRequested(12, true, false, 60, false, *map_)) {
        ++listed;
    }
    EXPECT_EQ(listed, 54);
    // Many peers raise the allowance: 300 / 3 = 100 - 10 = 90.
    EXPECT_TRUE(planner_.MarkRequested(12, true, false, 300, false, *map_));
}

TEST_F(RequestPlannerTest, EndgameStartsWhenEveryMissingPieceIsRequested) {
    EXPECT_TRUE(planner_.WantsPiece(0, *map_));
    for (std::int32_t piece = 0; piece < 19; ++piece) {
        ASSERT_TRUE(planner_.MarkRequested(piece, true, false, 0, false, *map_));
    }
    EXPECT_FALSE(planner_.WantsPiece(0, *map_));  // listed, and not yet endgame
    EXPECT_FALSE(planner_.Endgame());
    EXPECT_TRUE(planner_.WantsPiece(19, *map_));
    ASSERT_TRUE(planner_.MarkRequested(19, true, false, 0, false, *map_));
    EXPECT_TRUE(planner_.WantsPiece(0, *map_));  // endgame: anyone may fetch anything
    EXPECT_TRUE(planner_.Endgame());
    EXPECT_TRUE(planner_.EndgameReached());
    planner_.MarkRequested(19, false, true, 0, false, *map_);
    planner_.UpdateEndgame(20);
    EXPECT_FALSE(planner_.Endgame());
    EXPECT_TRUE(planner_.EndgameReached());  // kept until the run's data is reset
}

TEST_F(RequestPlannerTest, CancelForgetsProgressOnlyWhenItIsSafe) {
    test::Deliver(*map_, content_, 8);  // piece 2 partly received
    planner_.MarkRequested(2, true, false, 0, false, *map_);
    planner_.MarkRequested(2, false, true, 0, true, *map_);  // while stopping: kept
    EXPECT_TRUE(map_->Partial(2));
    EXPECT_EQ(planner_.TimesRequested(2), 0);
    planner_.MarkRequested(2, false, true, 0, false, *map_);
    EXPECT_FALSE(map_->Partial(2));
}

TEST_F(RequestPlannerTest, PickBlocksHandsOutOnePieceThePeerHas) {
    // Pool: blocks of piece 1 (4..7), then piece 2 (8, 9).
    for (std::int32_t b : {4, 5, 6, 7, 8, 9}) {
        planner_.AddToPool({b, kBlockSize, 1});
    }
    std::vector<std::uint8_t> bits(3, 0);
    bits[0] = 0x20;  // the peer has piece 2 only
    std::vector<BlockRequest> out{{9, kBlockSize, 1}};
    EXPECT_TRUE(planner_.PickBlocks(out, bits, 0, {}, *map_));
    EXPECT_EQ(out.size(), 2u);  // block 8 added, 9 was already held
    EXPECT_EQ(out[1].block, 8);
    EXPECT_EQ(planner_.Pool().size(), 5u);  // 4..7 and the duplicate 9 stay

    bits[0] = 0x40;  // piece 1, but excluded
    std::vector<BlockRequest> none;
    const std::int32_t excluded[] = {1};
    EXPECT_FALSE(planner_.PickBlocks(none, bits, 0, excluded, *map_));
    EXPECT_TRUE(planner_.PickBlocks(none, bits, 3, {}, *map_));
    EXPECT_EQ(none.size(), 3u);  // capped at max

    // Requests given back go to the front.
    planner_.ReturnToPool(none);
    EXPECT_EQ(planner_.Pool().front().block, 4);
    EXPECT_TRUE(planner_.TakeFromPool(5, kBlockSize));
    EXPECT_FALSE(planner_.TakeFromPool(5, kBlockSize));
}

TEST_F(RequestPlannerTest, UpkeepSortsAnOversizedPoolAndClearsItAtTheEnd) {
    // 64 KiB pieces: more than 4 × 64 + 64 = 320 records is oversized.
    for (std::int32_t i = 0; i < 321; ++i) {
        planner_.AddToPool({(i * 7) % 80, kBlockSize, 0});
    }
    planner_.Upkeep(*map_, 64 * 1024);
    EXPECT_TRUE(std::is_sorted(planner_.Pool().begin(), planner_.Pool().end(),
                               [](const auto& a, const auto& b) { return a.block < b.block; }));
    for (std::int32_t b = 0; b < 4; ++b) {
        test::Deliver(*map_, content_, b);
    }
    map_->FlushAll();
    planner_.DropCompleted(*map_);
    for (const BlockRequest& r : planner_.Pool()) {
        EXPECT_GE(r.block, 4);
    }
    for (std::int32_t b = 4; b < 80; ++b) {
        test::Deliver(*map_, content_, b);
    }
    ASSERT_TRUE(map_->AllDone());
    planner_.UpdateEndgame(0);
    planner_.Upkeep(*map_, 64 * 1024);  // endgame keeps it from sorting; all done: freed
    EXPECT_TRUE(planner_.Pool().empty());
}

TEST(StartPiece, PseudoRandomAmongTheFirstPieces) {
    EXPECT_EQ(RandomStartPiece(false, 100, 0, 12345), 0);
    EXPECT_EQ(RandomStartPiece(true, 0, 0, 12345), 0);
    EXPECT_EQ(RandomStartPiece(true, 100, 0, 12345), 12345 % 6);
    EXPECT_EQ(RandomStartPiece(true, 100, 1, 12345), 12345 % 26);
    EXPECT_EQ(RandomStartPiece(true, 100, 4, 12345), (12345 % 86) + 4);
    for (std::uint32_t tick = 0; tick < 500; ++tick) {
        const std::int32_t r = RandomStartPiece(true, 7, 5, tick);
        EXPECT_GE(r, 0);
        EXPECT_LT(r, 7);
    }
}

TEST(HaveMessages, BatchesOfAtMost4097) {
    std::vector<std::int32_t> pieces(4098);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        pieces[i] = static_cast<std::int32_t>(i);
    }
    pieces[1] = 0x01020304;
    const auto batches = BuildHaveBatches(pieces);
    ASSERT_EQ(batches.size(), 2u);
    EXPECT_EQ(batches[0].size(), 4097u * 9);
    EXPECT_EQ(batches[1], std::string("\0\0\0\x05\x04\0\0\x10\x01", 9));
    EXPECT_EQ(batches[0].substr(9, 9), std::string("\0\0\0\x05\x04\x01\x02\x03\x04", 9));
    EXPECT_TRUE(BuildHaveBatches({}).empty());
}

TEST(KeyTemplateText, MarkersGiveTheLayout) {
    const std::string hash = "0123456789abcdefABCDEF0123456789abcdef01";
    const auto t = ParseKeyTemplate("x$Hash$" + hash + "$Size$4222222222$Length$2097152" +
                                    "$Tracker$http$$$tracker.koruvan.example/announce$End$");
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(t->infoHash[0], 0x01);
    EXPECT_EQ(t->infoHash[8], 0xAB);
    EXPECT_EQ(t->totalSize, 4222222222u);
    EXPECT_EQ(t->pieceLength, 2097152);
    EXPECT_EQ(t->pieceCount, 2014u);
    EXPECT_EQ(t->tracker, "http://tracker.koruvan.example/announce");

    EXPECT_FALSE(IsKeyTemplate("$End$"));  // the marker must follow the first character
    EXPECT_FALSE(ParseKeyTemplate("$Hash$" + hash + "$Size$10$Length$0$End$"));
    EXPECT_FALSE(ParseKeyTemplate("x$Hash$" + hash.substr(0, 39) + "$Size$1$Length$1$End$"));
    EXPECT_FALSE(ParseKeyTemplate("x$Hash$" + hash + "$Size$$Length$16384$End$"));
    EXPECT_FALSE(ParseKeyTemplate("x$Hash$" + hash + "$Size$99999999999999999999$Length$1$End$"));
    EXPECT_FALSE(ParseKeyTemplate("x$Hash$" + hash + "$Size$4294967296$Length$1$End$"));
}

}  // namespace
}  // namespace koruvan::engine
