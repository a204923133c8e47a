// Peer management of a task: creating and pooling peer objects, connecting web sources
// within the task's limits, stepping the peers every round, failure accounting, dropping
// and evaluating peers, web-source rotation and the low-rate restart.
#include <algorithm>
#include <cctype>
#include <random>

#include "engine/core/CandidateRules.h"
#include "engine/core/TWorkWithPeers.h"
#include "engine/core/base/EngineClock.h"
#include "engine/core/base/LockGuard.h"
#include "engine/core/base/SecConfigHook.h"
#include "engine/peers/TBTPeer.h"
#include "engine/peers/TFtpPeer.h"
#include "engine/peers/THttpPeer.h"
#include "engine/peers/TTrackerPeer.h"

namespace koruvan::engine {
namespace {

constexpr std::int32_t kSourcePriority = 29;
constexpr std::int32_t kIdleWebSecondsBeforeExtras = 9;
constexpr std::int32_t kLowRate = 1024;
constexpr std::int32_t kLowRateSeconds = 16;
constexpr std::int64_t kRotationWithLists = 31;
constexpr std::int64_t kRotationWithoutLists = 45;
constexpr std::int32_t kDeadSourcePieces = 32;

}  // namespace

// ---- peer objects ----

TPeerObject* TWorkWithPeers::CreatePeer(std::int32_t kind) {
    for (auto it = idlePool_.begin(); it != idlePool_.end(); ++it) {
        if ((*it)->Kind() == kind) {
            TPeerObject* peer = *it;
            idlePool_.erase(it);
            peer->Reset();
            return peer;
        }
    }
    switch (kind) {
        case kKindHttp:
            return new THttpPeer(AsPeerTask());
        case kKindFtp:
            return new TFtpPeer(AsPeerTask());
        case kKindTracker:
            return AsTrackerTask() != nullptr ? new TTrackerPeer(AsPeerTask(), *AsTrackerTask())
                                              : nullptr;
        case kKindBitTorrent:
            return AsBtTask() != nullptr ? new TBTPeer(AsPeerTask(), *AsBtTask()) : nullptr;
        default:
            return nullptr;
    }
}

void TWorkWithPeers::ReleasePeer(TPeerObject* peer) {
    if (peer == nullptr) {
        return;
    }
    if (peerNumber_ > 0) {
        --peerNumber_;
    }
    const auto limit = static_cast<std::size_t>(options_.maxPeers) + 12;
    if (idlePool_.size() > limit) {
        for (TPeerObject* idle : idlePool_) {
            idle->Release();
        }
        idlePool_.clear();
    }
    peer->Reset();
    if (std::find(idlePool_.begin(), idlePool_.end(), peer) == idlePool_.end()) {
        idlePool_.push_back(peer);
    } else {
        peer->Release();  // already pooled: this was an extra reference
    }
}

bool TWorkWithPeers::ConnectSource(TPeerId* identity) {
    if (identity == nullptr || !identity->IsWebSource()) {
        return false;
    }
    TPeerObject* peer = CreatePeer(identity->kind);
    if (peer == nullptr) {
        return false;
    }
    peer->SetNumber(++peerNumber_);
    if (!peer->Connect(identity)) {
        NoteSourceProblem(peer->FailureText());
        ReleasePeer(peer);
        return false;
    }
    identity->lastConnectTime = static_cast<std::uint64_t>(CurrentTaskClock());
    ++identity->activeConnections;
    ++identity->connectionsMade;
    peers_.push_back(peer);
    return true;
}

// ---- failure accounting ----

void TWorkWithPeers::NoteSourceProblem(const std::string& text) {
    if (!text.empty() && work_.sourceProblem != text) {
        work_.sourceProblem = text;
        publishPending_ = true;
    }
}

void TWorkWithPeers::Ban(std::uint32_t ip) {
    if (!IsBanned(ip)) {
        banned_.push_back(ip);
    }
}

bool TWorkWithPeers::Unban(std::uint32_t ip) {
    const auto it = std::find(banned_.begin(), banned_.end(), ip);
    if (it == banned_.end()) {
        return false;
    }
    banned_.erase(it);
    return true;
}

bool TWorkWithPeers::IsBanned(std::uint32_t ip) const {
    return std::find(banned_.begin(), banned_.end(), ip) != banned_.end();
}

void TWorkWithPeers::ReportFailure(TPeerId* identity, TPeerObject* peer, std::int32_t weight) {
    if (identity == nullptr || (peer != nullptr && peer->Range() != nullptr)) {
        return;
    }
    if (peer != nullptr && peer->Kind() == kKindBitTorrent &&
        static_cast<const TBTPeer*>(peer)->DisguiseRefused()) {
        return;  // not the party's failure: it is dialled plain at the next connect pass
    }
    FailureContext context;
    context.weight = weight;
    context.addressWasBanned =
        !(identity->IsWebSource() && identity->activeConnections > 1) && Unban(identity->ip);
    context.peerConnected = peer != nullptr && peer->IsEstablished();
    context.peerStarved = peer != nullptr && peer->IsStarved();
    context.candidateCount = static_cast<std::int32_t>(candidates_.size());
    context.allPiecesDone = !Downloading();
    if (ApplyFailure(*identity, context)) {
        const auto it = std::find(candidates_.begin(), candidates_.end(), identity);
        if (it != candidates_.end()) {
            candidates_.erase(it);
            candidates_.push_back(identity);
        }
    }
}

// ---- stepping ----

void TWorkWithPeers::StepPeers(bool fullRound, std::int32_t fast, std::int32_t& received,
                               std::int32_t& sent) {
    // Under a speed limit the budget runs out within a round: each round starts at the next
    // peer, so that every connection gets its turn rather than the first taking it all.
    if (BudgetLimited() && peers_.size() > 1) {
        std::rotate(peers_.begin(), peers_.begin() + 1, peers_.end());
    }
    for (std::size_t i = 0; i < peers_.size();) {
        TPeerObject* peer = peers_[i];
        // The 3-second rate, or what the window since the last evaluation already
        // guarantees the next one to report (so a fast new peer is not held back).
        const TPeerCounters& c = peer->Counters();
        const std::int32_t rate = Downloading() ? std::max(c.downRate, c.recvWindow / 3)
                                                : std::max(c.upRate, c.sendWindow / 3);
        if (!fullRound && rate <= fast) {
            ++i;
            continue;
        }
        const bool ok = peer->DownloadStep();
        received += peer->Counters().recvDelta;
        sent += peer->Counters().sendDelta;
        if (ok) {
            ++i;
            continue;
        }
        RetirePeer(i);
    }
}

// A peer whose step failed leaves the list; one that did not end normally counts as a
// failure of its party.
void TWorkWithPeers::RetirePeer(std::size_t index) {
    TPeerObject* peer = peers_[index];
    peers_.erase(peers_.begin() + static_cast<std::ptrdiff_t>(index));
    if (!peer->EndedNormally()) {
        ReportFailure(peer->Identity(), peer, 1);
    }
    // A tracker brings no data: its failures are not why data does not arrive.
    if (peer->TransferState() != kTransferFinished && peer->Kind() != kKindTracker) {
        NoteSourceProblem(peer->FailureText());
    }
    ReleasePeer(peer);
}

void TWorkWithPeers::StepUploads(bool periodRound, std::int32_t fast, std::int32_t limit,
                                 std::int32_t& received, std::int32_t& sent) {
    std::int32_t uploaders = 0;
    for (std::size_t i = 0; i < peers_.size() && uploaders < limit;) {
        TPeerObject* peer = peers_[i];
        const TPeerCounters& c = peer->Counters();
        const std::int32_t rate = std::max(c.upRate, c.sendWindow / 3);
        if (peer->Kind() != kKindBitTorrent || (rate <= fast && !periodRound)) {
            ++i;
            continue;
        }
        const bool ok = peer->UploadStep();
        received += c.recvDelta;
        sent += c.sendDelta;
        if (c.sendDelta > 0) {
            ++uploaders;
        }
        if (ok) {
            ++i;
            continue;
        }
        RetirePeer(i);
    }
}

std::int64_t TWorkWithPeers::SumPeerRate(std::int32_t kindMask) const {
    std::int64_t sum = 0;
    for (const TPeerObject* peer : peers_) {
        if ((peer->Kind() & kindMask) != 0) {
            sum += peer->Counters().downRate;
        }
    }
    return sum;
}

void TWorkWithPeers::SortPeers() {
    const bool seeding = !Downloading();
    const std::int64_t now = CurrentTaskClock();
    std::stable_sort(peers_.begin(), peers_.end(), [&](const TPeerObject* a, const TPeerObject* b) {
        return ComparePeers(a, b, seeding, now) < 0;
    });
}

void TWorkWithPeers::DropPeers(std::int32_t kindMask, std::int32_t count, bool careful) {
    SortPeers();
    std::int32_t dropped = 0;
    std::int32_t looked = 0;  // careful mode considers only the last `count` of the kinds
    for (std::size_t i = peers_.size(); i-- > 0 && dropped < count && looked < count;) {
        TPeerObject* peer = peers_[i];
        if ((peer->Kind() & kindMask) == 0) {
            continue;
        }
        looked += careful ? 1 : 0;
        if (careful) {
            const TPeerIdDetails* details =
                peer->Identity() != nullptr ? peer->Identity()->DetailsIfAny() : nullptr;
            if (peer->IsWebSource() || details == nullptr || !details->excluded) {
                continue;
            }
            peer->Identity()->priority = std::max(peer->Identity()->priority - 1, 20);
        }
        peers_.erase(peers_.begin() + static_cast<std::ptrdiff_t>(i));
        ReleasePeer(peer);
        ++dropped;
        if (careful) {
            break;
        }
    }
    SortCandidates();
}

// ---- connecting web sources ----

std::int32_t TWorkWithPeers::ActiveWebPeers() const {
    return static_cast<std::int32_t>(
        std::count_if(peers_.begin(), peers_.end(),
                      [](const TPeerObject* p) { return p->IsWebSource() && p->IsConnected(); }));
}

std::vector<TPeerId*> TWorkWithPeers::UsableWebSources() const {
    std::vector<TPeerId*> usable;
    for (TPeerId* c : candidates_) {
        if (c != nullptr && c->IsWebSource() && c->resolved &&
            (c->DetailsIfAny() == nullptr || !c->DetailsIfAny()->metainfoSource)) {
            usable.push_back(c);
        }
    }
    return usable;
}

std::int32_t TWorkWithPeers::RotationChoices() {
    std::vector<std::string> listA;
    {
        LockGuard guard(&ThreadLock(), true);
        listA = extraA_;
    }
    auto choices = static_cast<std::int32_t>(UsableWebSources().size());
    for (const std::string& text : listA) {
        const bool known =
            std::any_of(candidates_.begin(), candidates_.end(), [&](const TPeerId* c) {
                return c != nullptr && c->text.size() == text.size() &&
                       std::equal(text.begin(), text.end(), c->text.begin(), [](char x, char y) {
                           return std::tolower(static_cast<unsigned char>(x)) ==
                                  std::tolower(static_cast<unsigned char>(y));
                       });
            });
        choices += known || !SplitSourceUrl(text) ? 0 : 1;
    }
    return choices;
}

void TWorkWithPeers::ConnectWebSources() {
    const std::int32_t needed = MaxWebConnections() - ActiveWebPeers();
    if (needed <= 0 || !Downloading()) {
        return;
    }
    const EligibilityContext context{Downloading(), CurrentTaskClock()};
    std::int32_t opened = 0;
    for (TPeerId* c : std::vector<TPeerId*>(candidates_)) {
        if (opened >= needed) {
            break;
        }
        if (c == nullptr || !c->IsWebSource() || IsBanned(c->ip) || !CheckEligible(*c, context)) {
            continue;
        }
        const bool metainfoSource =
            c->DetailsIfAny() != nullptr && c->DetailsIfAny()->metainfoSource;
        const bool rangesIgnored = c->DetailsIfAny() != nullptr && c->DetailsIfAny()->rangesIgnored;
        const std::int32_t perSource =
            metainfoSource || rangesIgnored
                ? c->maxConnections
                : std::max(c->maxConnections, options_.connectionsPerSource);
        const bool sizeKnown = c->DetailsIfAny() != nullptr && c->DetailsIfAny()->remoteSize > 0;
        const std::int32_t before = opened;
        for (std::int32_t n = c->activeConnections; n < perSource && opened < needed; ++n) {
            if (!ConnectSource(c)) {
                break;
            }
            ++opened;
            if (!sizeKnown) {
                break;  // one connection until the source has told its size
            }
        }
        if (opened == before) {
            ++c->failures;
        }
    }
    if (opened > 0) {
        idleWebSeconds_ = 0;
    } else if (++idleWebSeconds_ > kIdleWebSecondsBeforeExtras) {
        idleWebSeconds_ = 0;
        ConnectExtraSources(needed, true);
    }
    SortCandidates();
}

void TWorkWithPeers::ConnectPassIfDue() {
    const std::int64_t now = CurrentTaskClock();
    if (now != lastConnectPass_) {
        lastConnectPass_ = now;
        ConnectWebSources();
        ConnectTrackers();
        ConnectPeers();
    }
}

void TWorkWithPeers::ConnectExtraSources(std::int32_t count, bool direct) {
    std::vector<std::string> listA;
    std::vector<std::string> listB;
    {
        LockGuard guard(&ThreadLock(), true);
        listA = extraA_;
        listB = extraB_;
    }
    if (listA.empty() || count <= 0) {
        return;
    }
    std::mt19937 random(static_cast<std::uint32_t>(Time().WallSeconds()));
    std::int32_t done = 0;
    for (std::int32_t attempt = 0; attempt < 2 * count && done < count; ++attempt) {
        const std::size_t i = random() % listA.size();
        auto* identity = new TPeerId(listA[i], kSourcePriority);
        if (i < listB.size() && listB[i] != "null" && !listB[i].empty()) {
            identity->Details().requestHost = listB[i];
        }
        if (ParseSourceUrl(*identity)) {
            TPeerId* target = identity;
            if (direct) {
                // Connect the candidate entry for this source so its counters stay together.
                AddCandidate(identity, true, false);
                const auto it = std::find_if(
                    candidates_.begin(), candidates_.end(),
                    [&](TPeerId* c) { return c != nullptr && c->text == identity->text; });
                target = it != candidates_.end() ? *it : identity;
                if (ConnectSource(target)) {
                    ++done;
                }
            } else if (AddCandidate(identity, true, false)) {
                ++done;
            }
        }
        if (identity->fatal) {
            work_.stateCode = kStateSourceFatal;
            publishPending_ = true;
        }
        identity->Release();
    }
    ExpandAddresses();
    WebSourcesChanged();
}

// ---- per-second upkeep ----

void TWorkWithPeers::ConnectionUpkeep() {
    // Metainfo documents that metainfo sources finished fetching.
    for (std::size_t i = 0; i < peers_.size();) {
        TPeerObject* peer = peers_[i];
        TPeerId* identity = peer->Identity();
        TPeerIdDetails* details = identity != nullptr ? &identity->Details() : nullptr;
        if (identity == nullptr || !identity->torrentSource || details == nullptr ||
            !details->done) {
            ++i;
            continue;
        }
        const std::string document = std::move(details->memory);
        details->memory.clear();
        identity->backOff += 60;
        peers_.erase(peers_.begin() + static_cast<std::ptrdiff_t>(i));
        ReleasePeer(peer);
        TakeMetainfoDocument(document);
    }

    const std::int64_t now = CurrentTaskClock();
    ConnectPassIfDue();

    // Rotation: keep one web connection slot moving through the sources (only when there is
    // another source to move to: reconnecting the same ones throws away what the server
    // has queued).
    const std::int32_t maximum = MaxWebConnections();
    const std::int32_t active = ActiveWebPeers();
    if (HasExtraLists()) {
        if (now - lastRotation_ >= kRotationWithLists && active > maximum - 1 &&
            RotationChoices() > maximum) {
            lastRotation_ = now;
            DropPeers(kKindWebSource, active - maximum + 1, false);
            ConnectExtraSources(std::max(maximum - ActiveWebPeers(), 1), false);
        }
    } else if (SecondsSinceStart() > kRotationWithoutLists &&
               now - lastRotation_ >= kRotationWithoutLists && active >= maximum &&
               static_cast<std::int32_t>(UsableWebSources().size()) > maximum) {
        lastRotation_ = now;
        DropPeers(kKindWebSource, active - maximum + 1, false);
    }

    // A lower speed limit needs fewer connections: the surplus goes now rather than
    // holding server data it cannot read.
    if (const std::int32_t now_active = ActiveWebPeers(); now_active > MaxWebConnections()) {
        DropPeers(kKindWebSource, now_active - MaxWebConnections(), false);
    }

    // Low-rate restart: a slow web download asks for the signing configuration again.
    std::int64_t webRate = 0;
    for (const TPeerObject* peer : peers_) {
        if (peer->IsWebSource()) {
            webRate += peer->Counters().downRate;
        }
    }
    if (!Downloading() || webRate >= kLowRate) {
        lowRateSeconds_ = 0;
    } else if (++lowRateSeconds_ >= kLowRateSeconds) {
        lowRateSeconds_ = 0;
        (void)RefreshSecConfig();
        if (ActiveWebPeers() < maximum) {
            ConnectExtraSources(maximum - ActiveWebPeers(), false);
        }
    }
}

// ---- evaluation ----

void TWorkWithPeers::EvaluatePeerSet(std::int64_t& downRate, std::int64_t& upRate) {
    downRate = 0;
    upRate = 0;
    for (TPeerObject* peer : peers_) {
        peer->RateTick();
        downRate += peer->Counters().downRate;
        upRate += peer->Counters().upRate;
    }
    ++evaluations_;
    DropSurplusPeers();
    // Dead web sources: many failed pieces against few good ones.
    for (TPeerId*& c : candidates_) {
        const TPeerIdDetails* details = c != nullptr ? c->DetailsIfAny() : nullptr;
        if (c == nullptr || !c->IsWebSource() || details == nullptr ||
            details->failedPieces < kDeadSourcePieces ||
            details->failedPieces * 2 < c->piecesDelivered) {
            continue;
        }
        TPeerId* dead = c;
        for (std::size_t i = 0; i < peers_.size();) {
            if (peers_[i]->Identity() == dead) {
                TPeerObject* peer = peers_[i];
                peers_.erase(peers_.begin() + static_cast<std::ptrdiff_t>(i));
                ReleasePeer(peer);
            } else {
                ++i;
            }
        }
        c = nullptr;
        dead->Release();
        WebSourcesChanged();
    }
    SortCandidates();
    SortPeers();
}

// Surplus BitTorrent peers: beyond the allowance the last ones in peer order go, and so do
// those not worth keeping; pending ones far down the list that brought nothing go too.
void TWorkWithPeers::DropSurplusPeers() {
    std::int32_t maxPeers = 0;
    {
        LockGuard guard(&ThreadLock(), true);
        maxPeers = options_.maxPeers;
    }
    const std::int32_t allowed = (maxPeers - 6) - std::max((maxPeers - 6) / 12 - 6, 0);
    const std::int32_t keep = allowed + 12;
    std::int32_t connected = 0;
    for (const TPeerObject* p : peers_) {
        connected += p->Kind() == kKindBitTorrent && p->IsEstablished() ? 1 : 0;
    }
    if (connected <= allowed) {
        return;
    }
    BtPeerTask* bt = AsBtTask();
    const bool endPhase =
        bt != nullptr && AsPeerTask().PieceCount() > 0 && bt->PiecesMissing() <= 6;
    std::int32_t ordinal = connected;  // the connected peer's place from the front, counted down
    for (std::size_t i = peers_.size(); i-- > 0;) {
        TPeerObject* peer = peers_[i];
        if (peer->Kind() != kKindBitTorrent) {
            continue;
        }
        bool drop = false;
        if (peer->IsEstablished()) {
            --ordinal;
            const bool uploading = endPhase && peer->Counters().downRate > 0;
            drop = ordinal >= allowed || peer->ShouldDrop(uploading);
        } else {
            const TPeerConnection* c = peer->Connection();
            drop = static_cast<std::int32_t>(i) >= keep &&
                   (c == nullptr || c->LifetimeBytesReceived() == 0);
        }
        if (drop) {
            peers_.erase(peers_.begin() + static_cast<std::ptrdiff_t>(i));
            ReportFailure(peer->Identity(), peer, 6);
            ReleasePeer(peer);
        }
    }
}

}  // namespace koruvan::engine
