// A seed's side of a connection: a remote that asks for more than the upload queue holds is
// choked (which discards the queue on both sides), never left waiting for requests dropped
// unseen, and is served again once unchoked.
#include "BtPeerHarness.h"

namespace koruvan::engine {
namespace {

using BtUploadQueue = test::BtPeerHarness;

TEST_F(BtUploadQueue, ARemoteAskingBeyondTheQueueIsChokedThenServedAgain) {
    MakeTask(2);
    Complete();
    test::ScriptedRemote& leecher =
        Connect(std::vector<bool>(2, false), bt::Simple(bt::kInterested));
    ASSERT_FALSE(leecher.peer->WeChoke());
    // Distinct requests (each of another length) until one more than the queue holds.
    const auto capacity =
        static_cast<std::uint32_t>(UploadQueue::kPeerBytes / UploadQueue::kEntryBytes);
    std::string requests;
    for (std::uint32_t length = 1; length <= capacity + 1; ++length) {
        requests += bt::Request(bt::kRequest, 0, 0, length);
    }
    Send(leecher, requests);
    for (int i = 0; i < 400 && !leecher.peer->WeChoke(); ++i) {
        ASSERT_TRUE(Pump(leecher, 1));
    }
    EXPECT_TRUE(leecher.peer->WeChoke()) << leecher.peer->QueuedUploads() << " requests queued";
    ASSERT_TRUE(Pump(leecher, 5));
    EXPECT_NE(std::find(leecher.messages.begin(), leecher.messages.end(), bt::kChoke),
              leecher.messages.end());
    EXPECT_EQ(leecher.peer->QueuedUploads(), 0u);

    // Unchoked again (the task's evaluation does this), it asks again and gets the block.
    ASSERT_TRUE(leecher.peer->Unchoke());
    Send(leecher, bt::Request(bt::kRequest, 1, kBlockSize, kBlockSize));
    for (int i = 0; i < 200 && leecher.blocks.empty(); ++i) {
        ASSERT_TRUE(Pump(leecher, 1));
        ASSERT_TRUE(leecher.peer->UploadStep());
    }
    EXPECT_EQ(leecher.blocks, content_.substr(kPiece + kBlockSize, kBlockSize));
}

}  // namespace
}  // namespace koruvan::engine
