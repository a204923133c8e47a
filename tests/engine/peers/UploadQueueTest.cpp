// The queue of blocks a remote peer asked us for: order, duplicates, cancels (also of a
// request asked again), the per-peer and the shared memory budget, and the shared count
// given back by every way a request leaves.
#include <gtest/gtest.h>

#include "engine/peers/UploadQueue.h"

namespace koruvan::engine {
namespace {

constexpr std::int64_t kEntry = UploadQueue::kEntryBytes;

UploadRequest Block(std::uint32_t index, std::uint32_t n) {
    return UploadRequest{index, n * 16384, 16384};
}

TEST(UploadQueue, ServesInOrderAndSkipsWhatWasCancelled) {
    std::atomic<std::int64_t> shared{0};
    UploadQueue queue(shared);
    for (std::uint32_t n = 0; n < 4; ++n) {
        EXPECT_EQ(queue.Add(Block(7, n)), UploadQueue::Added::kQueued);
    }
    EXPECT_EQ(queue.Add(Block(7, 2)), UploadQueue::Added::kDuplicate);
    EXPECT_TRUE(queue.Cancel(Block(7, 1)));
    EXPECT_FALSE(queue.Cancel(Block(7, 1)));
    // Asked again after the cancel: it goes to the end, and is served once.
    EXPECT_EQ(queue.Add(Block(7, 1)), UploadQueue::Added::kQueued);
    std::vector<std::uint32_t> served;
    while (!queue.Empty()) {
        served.push_back(queue.Front().begin / 16384);
        queue.PopFront();
    }
    EXPECT_EQ(served, (std::vector<std::uint32_t>{0, 2, 3, 1}));
    EXPECT_EQ(shared.load(), 0);
}

TEST(UploadQueue, ABudgetThatIsUsedUpRefusesTheRequest) {
    struct Case {
        std::int64_t peerEntries;
        std::int64_t sharedEntries;
        std::int64_t alreadyShared;  // entries other queues hold
        int accepted;
    } const cases[] = {
        {4, 100, 0, 4},   // the peer's own budget
        {100, 10, 7, 3},  // the budget all queues share
        {4, 10, 0, 4},
    };
    for (const Case& c : cases) {
        std::atomic<std::int64_t> shared{c.alreadyShared * kEntry};
        UploadQueue queue(shared, c.peerEntries * kEntry, c.sharedEntries * kEntry);
        int accepted = 0;
        for (std::uint32_t n = 0; n < 20; ++n) {
            const UploadQueue::Added added = queue.Add(Block(1, n));
            if (added != UploadQueue::Added::kQueued) {
                EXPECT_EQ(added, UploadQueue::Added::kFull);
                break;
            }
            ++accepted;
        }
        EXPECT_EQ(accepted, c.accepted) << c.peerEntries << "/" << c.sharedEntries;
        EXPECT_EQ(queue.Size(), static_cast<std::size_t>(c.accepted));
    }
}

TEST(UploadQueue, TheSharedCountIsGivenBackHoweverRequestsLeave) {
    std::atomic<std::int64_t> shared{0};
    {
        UploadQueue queue(shared);
        for (std::uint32_t n = 0; n < 3; ++n) {
            ASSERT_EQ(queue.Add(Block(1, n)), UploadQueue::Added::kQueued);
            ASSERT_EQ(queue.Add(Block(2, n)), UploadQueue::Added::kQueued);
        }
        EXPECT_EQ(shared.load(), 6 * kEntry);
        queue.DropPiece(1);  // unreadable here
        EXPECT_EQ(queue.Size(), 3u);
        EXPECT_EQ(queue.Front(), Block(2, 0));
        EXPECT_EQ(shared.load(), 5 * kEntry) << "slots of dropped requests go when reached";
        queue.PopFront();
        queue.Clear();  // a choke
        EXPECT_TRUE(queue.Empty());
        EXPECT_EQ(shared.load(), 0);
        ASSERT_EQ(queue.Add(Block(3, 0)), UploadQueue::Added::kQueued);
    }
    EXPECT_EQ(shared.load(), 0) << "a queue that goes away gives its share back";
}

}  // namespace
}  // namespace koruvan::engine
