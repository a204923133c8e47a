#include "engine/core/CandidateRules.h"

#include <algorithm>

namespace koruvan::engine {
namespace {

// Web sources that delivered before are tried again sooner.
void RelieveBackOff(TPeerId& c) {
    if (c.piecesDelivered > 15) {
        c.backOff = 0;
    } else if (c.piecesDelivered > 5) {
        c.backOff = c.backOff < 10 ? 0 : c.backOff / 10;
    } else if (c.piecesDelivered > 0) {
        c.backOff = c.backOff < 5 ? 0 : c.backOff / 5;
    }
}

}  // namespace

bool CheckEligible(TPeerId& c, const EligibilityContext& context) {
    if (!c.resolved) {
        return false;
    }
    if ((c.kind == kKindBitTorrent || c.kind == kKindTracker) && c.activeConnections > 0) {
        return false;
    }
    if (c.IsWebSource()) {
        const std::uint64_t remoteSize =
            c.DetailsIfAny() != nullptr ? c.DetailsIfAny()->remoteSize : 0;
        if (c.activeConnections >= c.maxConnections ||
            (c.activeConnections == 1 && remoteSize == 0)) {
            return false;
        }
        if (c.activeConnections == 0) {
            if (c.piecesDelivered > 15) {
                c.backOff = 0;
                return true;
            }
            RelieveBackOff(c);
        }
        if (!context.downloading && c.backOff > 0) {
            c.backOff = c.backOff <= 10 ? 0 : c.backOff / 10;
        }
    }
    if (c.kind == kKindTracker && c.lastConnectTime != 0 &&
        context.taskClock - static_cast<std::int64_t>(c.lastConnectTime) < kTrackerInterval) {
        return false;
    }
    if (c.backOff > 0) {
        --c.backOff;
    }
    return c.backOff <= 0;
}

bool ApplyFailure(TPeerId& id, const FailureContext& context) {
    if (id.IsWebSource() && id.activeConnections > 1) {
        if (id.backOff <= 0) {
            id.backOff += 2;
        }
        return false;
    }
    const std::int32_t failuresBefore = id.failures;
    if (!context.addressWasBanned) {
        id.backOff += std::max(failuresBefore - 1, 0) * 3;
    }
    id.backOff += context.weight;
    id.failures = failuresBefore + 1;

    if (id.kind != kKindBitTorrent || (context.peerConnected && context.peerStarved)) {
        return false;
    }
    const std::int32_t weight = (context.weight < 0 || context.weight > 4095) ? 1 : context.weight;
    const std::int64_t spread =
        static_cast<std::int64_t>(std::max(failuresBefore - 1, weight)) * context.candidateCount;
    id.backOff += (spread <= 400 ? 1 : 2) * weight + 5;
    if (context.allPiecesDone) {
        id.backOff += 20;
    }
    if (id.backOff <= 0) {
        id.backOff = 10;
    }
    return true;
}

}  // namespace koruvan::engine
