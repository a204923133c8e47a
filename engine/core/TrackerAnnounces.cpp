// The task's announces to its trackers. Each announce is one tracker peer with its event
// fixed at creation: "started" the first time a tracker is asked in a run, "completed" as
// soon as all pieces are in (also before the 600 seconds are over), a regular announce
// every 600 seconds, and "stopped" when the run ends. A tracker's host name is looked up
// only when its first announce is due.
#include <algorithm>

#include "engine/core/CandidateRules.h"
#include "engine/core/TWorkWithPeers.h"
#include "engine/core/base/EngineClock.h"
#include "engine/peers/TTrackerPeer.h"

namespace koruvan::engine {
namespace {

// How long the end of a run waits for the "stopped" announces, in milliseconds.
constexpr std::uint32_t kStoppedAnnounceMs = 1000;
constexpr std::uint32_t kStoppedPassMs = 5;

TTrackerPeer* AsTracker(TPeerObject* peer) {
    return peer != nullptr && peer->Kind() == kKindTracker ? static_cast<TTrackerPeer*>(peer)
                                                           : nullptr;
}

}  // namespace

void TWorkWithPeers::ConnectTrackers() {
    if (AsTrackerTask() == nullptr || !AsPeerTask().P2PEnabled()) {
        return;
    }
    const std::int64_t now = CurrentTaskClock();
    const bool complete = !Downloading();
    const EligibilityContext context{!complete, now};
    for (TPeerId* c : std::vector<TPeerId*>(candidates_)) {
        if (c == nullptr || c->kind != kKindTracker) {
            continue;
        }
        auto run = std::find_if(trackerRuns_.begin(), trackerRuns_.end(),
                                [&](const TrackerRun& r) { return r.text == c->text; });
        if (run == trackerRuns_.end()) {
            run = trackerRuns_.insert(trackerRuns_.end(), TrackerRun{c->text});
        }
        const bool completedDue =
            complete && run->started && !run->completed && c->activeConnections == 0;
        if (!c->resolved) {
            // Looked up once its announce is due; a name that fails waits for the next turn.
            if (c->lastConnectTime != 0 &&
                now - static_cast<std::int64_t>(c->lastConnectTime) < kTrackerInterval) {
                continue;
            }
            c->lastConnectTime = static_cast<std::uint64_t>(now);
            if (!ParseSourceUrl(*c)) {
                ++c->failures;
                continue;
            }
            c->lastConnectTime = 0;
        }
        if (!completedDue && !CheckEligible(*c, context)) {
            continue;
        }
        if (IsBanned(c->ip)) {
            continue;
        }
        const std::int32_t event = !run->started  ? kAnnounceStarted
                                   : completedDue ? kAnnounceCompleted
                                                  : kAnnounceRegular;
        TTrackerPeer* peer = AsTracker(CreatePeer(kKindTracker));
        if (peer == nullptr) {
            return;
        }
        peer->SetEvent(event);
        peer->SetNumber(++peerNumber_);
        c->lastConnectTime = static_cast<std::uint64_t>(now);
        if (!peer->Connect(c)) {
            ReleasePeer(peer);
            ++c->failures;
            continue;
        }
        ++c->activeConnections;
        ++c->connectionsMade;
        peers_.push_back(peer);
        run->started = true;
        run->completed = run->completed || complete;
    }
}

void TWorkWithPeers::AnnounceStopped() {
    if (AsTrackerTask() == nullptr) {
        return;
    }
    std::vector<TTrackerPeer*> stopping;
    for (const TrackerRun& run : trackerRuns_) {
        if (!run.started) {
            continue;
        }
        const auto c = std::find_if(candidates_.begin(), candidates_.end(), [&](TPeerId* id) {
            return id != nullptr && id->kind == kKindTracker && id->resolved &&
                   id->text == run.text;
        });
        if (c == candidates_.end()) {
            continue;
        }
        TTrackerPeer* peer = AsTracker(CreatePeer(kKindTracker));
        if (peer == nullptr) {
            break;
        }
        peer->SetEvent(kAnnounceStopped);
        if (!peer->Connect(*c)) {
            ReleasePeer(peer);
            continue;
        }
        ++(*c)->activeConnections;
        stopping.push_back(peer);
    }
    trackerRuns_.clear();
    const std::uint32_t start = TickCount();
    while (!stopping.empty() && TickCount() - start < kStoppedAnnounceMs) {
        for (std::size_t i = 0; i < stopping.size();) {
            if (stopping[i]->DownloadStep()) {
                ++i;
                continue;
            }
            ReleasePeer(stopping[i]);
            stopping.erase(stopping.begin() + static_cast<std::ptrdiff_t>(i));
        }
        if (!stopping.empty()) {
            SleepMs(kStoppedPassMs);
        }
    }
    for (TTrackerPeer* peer : stopping) {
        ReleasePeer(peer);
    }
}

}  // namespace koruvan::engine
