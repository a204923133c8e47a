// The arithmetic of peer management on one identity: when a candidate may be tried again
// and how much a failure pushes it back. Kept apart from the lists so that each rule can be
// checked on its own.
#pragma once

#include <cstdint>

#include "engine/peers/TPeerId.h"

namespace koruvan::engine {

// Seconds a tracker waits between two announces.
constexpr std::int64_t kTrackerInterval = 600;

struct EligibilityContext {
    bool downloading = true;     // not all pieces done yet
    std::int64_t taskClock = 0;  // task clock in seconds
};

// Whether the candidate may be connected now. Each check also counts its back-off down by
// one; past success with a web source relieves the back-off. Filters that need the task's
// other lists (IP filter, already-connected peers) are the caller's.
bool CheckEligible(TPeerId& candidate, const EligibilityContext& context);

struct FailureContext {
    std::int32_t weight = 1;
    bool addressWasBanned = false;  // the address was on the temporary ban list (caller removes it)
    bool peerConnected = false;     // the peer behind the failure got connected
    bool peerStarved = false;       // ... and starved (BitTorrent)
    std::int32_t candidateCount = 0;
    bool allPiecesDone = false;
};

// Failure accounting for a dropped peer's identity. Returns true when a BitTorrent identity
// must move to the end of the candidate list.
bool ApplyFailure(TPeerId& identity, const FailureContext& context);

}  // namespace koruvan::engine
