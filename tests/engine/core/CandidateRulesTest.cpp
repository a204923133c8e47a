#include "engine/core/CandidateRules.h"

#include <gtest/gtest.h>

namespace koruvan::engine {
namespace {

struct Identity {
    TPeerId* id;
    explicit Identity(std::int32_t kind) : id(new TPeerId("http://h.example/f")) {
        id->kind = kind;
        id->resolved = true;
    }
    ~Identity() { id->Release(); }
    TPeerId* operator->() { return id; }
};

TEST(CheckEligible, BackOffCountsDownOnePerCheck) {
    Identity web(kKindHttp);
    web->backOff = 3;
    EXPECT_FALSE(CheckEligible(*web.id, {}));
    EXPECT_FALSE(CheckEligible(*web.id, {}));
    EXPECT_TRUE(CheckEligible(*web.id, {}));
    EXPECT_EQ(web->backOff, 0);

    Identity unresolved(kKindHttp);
    unresolved->resolved = false;
    EXPECT_FALSE(CheckEligible(*unresolved.id, {}));
}

TEST(CheckEligible, PastSuccessRelievesAWebSource) {
    Identity many(kKindHttp);
    many->piecesDelivered = 20;
    many->backOff = 50;
    EXPECT_TRUE(CheckEligible(*many.id, {}));  // at once
    Identity some(kKindHttp);
    some->piecesDelivered = 6;
    some->backOff = 50;  // /10 = 5, then one step
    EXPECT_FALSE(CheckEligible(*some.id, {}));
    EXPECT_EQ(some->backOff, 4);
    Identity few(kKindFtp);
    few->piecesDelivered = 1;
    few->backOff = 4;  // below 5: cleared
    EXPECT_TRUE(CheckEligible(*few.id, {}));
}

TEST(CheckEligible, ConnectionLimitsAndUnknownSize) {
    Identity web(kKindHttp);
    web->maxConnections = 2;
    web->activeConnections = 1;
    EXPECT_FALSE(CheckEligible(*web.id, {}));  // size still unknown: one connection only
    web->Details().remoteSize = 1000;
    EXPECT_TRUE(CheckEligible(*web.id, {}));
    web->activeConnections = 2;
    EXPECT_FALSE(CheckEligible(*web.id, {}));

    Identity bt(kKindBitTorrent);
    bt->activeConnections = 1;
    EXPECT_FALSE(CheckEligible(*bt.id, {}));
}

TEST(CheckEligible, TrackersWaitTenMinutesBetweenAnnounces) {
    Identity tracker(kKindTracker);
    tracker->lastConnectTime = 1000;
    EXPECT_FALSE(CheckEligible(*tracker.id, {true, 1599}));
    EXPECT_TRUE(CheckEligible(*tracker.id, {true, 1600}));
}

TEST(CheckEligible, CompleteTasksForgiveFasterButStillCount) {
    Identity web(kKindHttp);
    web->backOff = 30;
    EXPECT_FALSE(CheckEligible(*web.id, {false, 0}));  // 30 / 10 = 3, minus one
    EXPECT_EQ(web->backOff, 2);
    web->backOff = 10;
    EXPECT_TRUE(CheckEligible(*web.id, {false, 0}));
}

TEST(ApplyFailure, BitTorrentIdentityGrowsByBothRules) {
    Identity bt(kKindBitTorrent);
    bt->failures = 3;
    FailureContext context;
    context.weight = 1;
    context.candidateCount = 10;
    EXPECT_TRUE(ApplyFailure(*bt.id, context));
    // 3 × 2 + 1, then (max(2, 1) × 10 <= 400 ? 1 : 2) × 1 + 5.
    EXPECT_EQ(bt->backOff, 7 + 6);
    EXPECT_EQ(bt->failures, 4);

    Identity crowded(kKindBitTorrent);
    context.candidateCount = 500;
    context.allPiecesDone = true;
    EXPECT_TRUE(ApplyFailure(*crowded.id, context));
    EXPECT_EQ(crowded->backOff, 1 + (2 * 1 + 5) + 20);
}

TEST(ApplyFailure, WebSourcesAndBansAndStarvedPeers) {
    Identity busy(kKindHttp);
    busy->activeConnections = 2;
    EXPECT_FALSE(ApplyFailure(*busy.id, {}));
    EXPECT_EQ(busy->backOff, 2);
    EXPECT_EQ(busy->failures, 0);
    EXPECT_FALSE(ApplyFailure(*busy.id, {}));  // a positive back-off is left alone
    EXPECT_EQ(busy->backOff, 2);

    Identity web(kKindHttp);
    web->failures = 4;
    FailureContext banned;
    banned.weight = 6;
    banned.addressWasBanned = true;
    EXPECT_FALSE(ApplyFailure(*web.id, banned));
    EXPECT_EQ(web->backOff, 6);  // no growth by the failure count while it was banned

    Identity starved(kKindBitTorrent);
    FailureContext context;
    context.peerConnected = true;
    context.peerStarved = true;
    EXPECT_FALSE(ApplyFailure(*starved.id, context));
    EXPECT_EQ(starved->backOff, 1);
}

}  // namespace
}  // namespace koruvan::engine
