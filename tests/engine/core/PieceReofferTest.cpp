// Pieces a BitTorrent peer took and can no longer fetch are offered to the other peers at
// once, not only in the end game: a piece whose data failed its check.
#include "BtPeerHarness.h"

namespace koruvan::engine {
namespace {

using PieceReoffer = test::BtPeerHarness;

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

}  // namespace
}  // namespace koruvan::engine
