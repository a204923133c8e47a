// Pieces a BitTorrent peer took and can no longer fetch are offered to the other peers at
// once, not only in the end game: the unreached part of a run the peer cut from a web
// source's range when the peer leaves, a piece whose data failed its check, and the blocks
// a leaving peer gives back, also to a peer that found nothing to take a moment before.
#include "BtPeerHarness.h"

namespace koruvan::engine {
namespace {

using PieceReoffer = test::BtPeerHarness;

TEST_F(PieceReoffer, TheUnreachedPartOfARunGoesBackWhenItsPeerLeaves) {
    MakeTask(12);
    LayOutWebRanges(3);  // 0..3, 4..7, 8..11; the sources never connect
    test::ScriptedRemote& first = Connect();
    ASSERT_TRUE(Pump(first));
    const WorkRange* run = first.peer->Range();
    ASSERT_NE(run, nullptr);
    ASSERT_TRUE(run->splitOff);
    const std::int32_t low = run->first;
    const std::int32_t reached = run->current;
    ASSERT_LT(low, reached) << "the run steps down from its high end";
    EXPECT_EQ(first.RequestedPieces(), std::set<std::int32_t>{reached});
    // The web range gave the run up (keeping at most the piece it stands at): nobody else
    // is going to fetch those pieces for it.
    for (std::size_t i = 0; i < task_->Ranges().Count(); ++i) {
        const WorkRange* range = task_->Ranges().At(i);
        EXPECT_TRUE(range->last <= low || range->first > reached) << range->first;
    }

    Drop(first);
    for (std::int32_t p = low; p < reached; ++p) {
        EXPECT_TRUE(task_->WantsPiece(p)) << "piece " << p;
    }
    EXPECT_FALSE(task_->Requests().Endgame());
    // Another peer that has only those pieces asks for them.
    std::vector<bool> has(12, false);
    for (std::int32_t p = low; p < reached; ++p) {
        has[static_cast<std::size_t>(p)] = true;
    }
    test::ScriptedRemote& second = Connect(has);
    ASSERT_TRUE(Pump(second));
    EXPECT_FALSE(second.RequestedPieces().empty());
}

TEST_F(PieceReoffer, APieceThatFailsItsCheckIsOfferedAgainAtOnce) {
    MakeTask(8);
    test::ScriptedRemote& bad = Connect();
    ASSERT_TRUE(Pump(bad));
    ASSERT_FALSE(bad.requests.empty());
    const auto piece = static_cast<std::int32_t>(bad.requests.front().first);
    EXPECT_FALSE(task_->WantsPiece(piece)) << "taken while the peer fetches it";

    SendPiece(bad, piece, true);
    EXPECT_FALSE(Pump(bad, 200)) << "a peer whose piece fails its check is dropped";
    Drop(bad);
    EXPECT_FALSE(task_->Pieces()->Have(piece));
    EXPECT_TRUE(task_->WantsPiece(piece));
    EXPECT_FALSE(task_->Requests().Endgame());
    // A peer that has only this piece fetches it, and it completes.
    std::vector<bool> has(8, false);
    has[static_cast<std::size_t>(piece)] = true;
    test::ScriptedRemote& good = Connect(has);
    ASSERT_TRUE(Pump(good));
    EXPECT_EQ(good.RequestedPieces(), std::set<std::int32_t>{piece});
    SendPiece(good, piece);
    ASSERT_TRUE(Pump(good, 200));
    EXPECT_TRUE(task_->Pieces()->Have(piece) || task_->Pieces()->PendingPieces() > 0);
}

TEST_F(PieceReoffer, BlocksALeavingPeerGivesBackReachAPeerThatFoundNothingToTake) {
    MakeTask(3);
    test::ScriptedRemote& first = Connect(std::vector<bool>(3, false));
    // Fast enough to queue a whole piece at once: nothing of it is left in the pool.
    first.peer->Counters().downRate = 16 * kBlockSize;
    Send(first, bt::Have(1));
    ASSERT_TRUE(Pump(first));
    ASSERT_EQ(first.RequestedPieces(), std::set<std::int32_t>{1});
    ASSERT_EQ(first.requests.size(), 16u);

    // The second remote has only that piece: its peer finds nothing to take.
    test::ScriptedRemote& second = Connect({false, true, false});
    ASSERT_TRUE(Pump(second));
    EXPECT_TRUE(second.requests.empty());
    ASSERT_FALSE(task_->Requests().Endgame());

    // The first leaves; its requests go back to the task, and the second takes them up now
    // rather than a minute later.
    Drop(first);
    ASSERT_TRUE(Pump(second));
    EXPECT_EQ(second.RequestedPieces(), std::set<std::int32_t>{1});
}

}  // namespace
}  // namespace koruvan::engine
