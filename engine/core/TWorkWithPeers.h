// Second task layer: who the task talks to. Source entries from the descriptor, the two
// extra source lists, the candidate identities in candidate order, and the per-task
// connection limits.
//
// Locking: source entries and candidates belong to the task thread. The extra lists, the
// connection limits and the tracker text are also written by the controller's threads and
// are guarded by the thread lock.
#pragma once

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/core/TBaseWork.h"
#include "engine/peers/BtPeerTask.h"
#include "engine/peers/PeerTask.h"
#include "engine/peers/TPeerId.h"
#include "engine/peers/TPeerObject.h"
#include "engine/peers/TTrackerTask.h"
#include "net/CIPFilter.h"

namespace koruvan::engine {

// Source entry states.
constexpr std::int32_t kSourceNew = 0;
constexpr std::int32_t kSourceMetainfoPending = 1;
constexpr std::int32_t kSourceAdded = 16;
constexpr std::int32_t kSourceMetainfoAdded = 17;

struct SourceEntry {
    std::string text;
    std::int32_t state = kSourceNew;
};

// Splits a source list: lines end with CR, LF or CR LF; an empty last line is dropped; each
// line is trimmed of bytes 1..32 at both ends.
std::vector<std::string> SplitSourceLines(const char* text);

class TWorkWithPeers : public TBaseWork {
  public:
    TWorkWithPeers() = default;
    ~TWorkWithPeers() override;

    // Descriptor sources (before the first start).
    void SetSourceEntries(const std::vector<std::string>& lines);
    const std::vector<SourceEntry>& SourceEntries() const noexcept { return sources_; }
    void MarkFirstSourceAsMetainfo();

    // Extra lists A and B (engine call interface; any thread).
    void SetSourceLists(const char* listA, const char* listB);
    void ClearSourceLists();
    bool HasExtraLists();

    virtual std::int32_t SetConnectionLimits(std::int32_t maxWebSources, std::int32_t maxPeers);
    virtual std::int32_t AddTrackerText(const char* text);
    std::int32_t MaxWebConnections();
    std::int32_t MaxBtPeers();
    std::string TrackerText();

    // Candidates (task thread). Refused: a BitTorrent identity at 127.0.0.1 or blocked by
    // the IP filter, and this task itself (IsSelf).
    bool AddCandidate(TPeerId* identity, bool fromList, bool updatePeerId);
    // The identity is this engine: it names the engine's own P2P listener, or (BitTorrent,
    // in a BitTorrent or P2SP task) carries the task's own peer id.
    [[nodiscard]] bool IsSelf(const TPeerId& identity);
    // The candidate for an address (network order) of the kind: an existing resolved one
    // takes the new priority, or a new one is made (a BitTorrent one with a peer id of zeros
    // followed by its address and port, priority at least 19), at the front when `toFront`
    // or a web source, else at the end. A candidate above priority 34 (a local peer) makes
    // room by dropping a BitTorrent peer when no new connection is allowed. Null for a zero
    // address or port, and for the engine's own listener.
    TPeerId* AddAddressCandidate(std::uint32_t ip, std::uint16_t port, std::int32_t kind,
                                 bool toFront, std::int32_t priority);
    // BitTorrent candidates from 6-byte entries (address, port; network order) while at
    // least 6 bytes remain. Returns how many entries were usable.
    std::int32_t AddCompactPeers(const std::uint8_t* data, std::size_t length);
    void BackOff(const TPeerId* identity, std::int32_t wait);
    void RemoveCandidate(const TPeerId* identity);
    const std::vector<TPeerId*>& Candidates() const noexcept { return candidates_; }
    void SortCandidates();

    // Every 15 seconds of task clock: sources become candidates; candidates whose text no
    // longer parses are dropped.
    void SourceMaintenance();
    // At the end of a run: entries go back to their resting states.
    void ReleaseSourceEntries(bool hasTorrentBlob);

    // Connection upkeep of the per-second maintenance: connect passes, web-source
    // rotation, the low-rate restart and metainfo documents fetched by sources.
    void ConnectionUpkeep();

    // ---- peers (task thread) ----
    const std::vector<TPeerObject*>& Peers() const noexcept { return peers_; }
    // A pooled peer object of the kind, reset, or a new one; null for unknown kinds.
    virtual TPeerObject* CreatePeer(std::int32_t kind);
    // Connects a web source directly; true when a connection was opened.
    bool ConnectSource(TPeerId* identity);
    void ReleasePeer(TPeerObject* peer);
    void ReportFailure(TPeerId* identity, TPeerObject* peer, std::int32_t weight);
    // Keeps the text of a source's failure for the user (TaskInfo::sourceProblem).
    void NoteSourceProblem(const std::string& text);
    void DropPeers(std::int32_t kindMask, std::int32_t count, bool careful);
    void ConnectWebSources();
    // A connect pass, at most one per second of task clock.
    void ConnectPassIfDue();
    // Announces to the trackers among the candidates that are due (TrackerAnnounces.cpp):
    // "started" first, "completed" as soon as the last piece is in, regular announces
    // every 600 seconds, while P2P is enabled.
    void ConnectTrackers();
    // At the end of a run: "stopped" to every tracker that heard "started", within a
    // second altogether.
    void AnnounceStopped();
    void ConnectExtraSources(std::int32_t count, bool direct);
    // Web sources connected now, and those among the candidates that could be.
    [[nodiscard]] std::int32_t ActiveWebPeers() const;
    [[nodiscard]] std::vector<TPeerId*> UsableWebSources() const;
    // Web sources a rotation could move a connection slot to: the usable candidates and the
    // entries of extra list A that are not candidates yet.
    [[nodiscard]] std::int32_t RotationChoices();

    // Temporarily banned addresses (network order).
    void Ban(std::uint32_t ip);
    bool Unban(std::uint32_t ip);
    [[nodiscard]] bool IsBanned(std::uint32_t ip) const;
    // Whether the IP filter blocks an address (network order): the task's copy of the
    // engine's filter, refreshed when that changed; also a BitTorrent party refused for
    // sending bad data.
    [[nodiscard]] bool IsFiltered(std::uint32_t ip);

    // ---- BitTorrent peers (BitTorrentPeers.cpp; task thread) ----
    // A piece from a BitTorrent party at `ip` failed its check: the second failure refuses
    // the address for the rest of the run (its peers are dropped, it is never re-admitted).
    void NotePieceFailure(std::uint32_t ip);
    // Connects eligible BitTorrent candidates up to the BitTorrent peer limit (at most 16
    // new connections a pass, within the engine's pending-connection limit); while P2P is
    // off, drops one BitTorrent peer instead.
    void ConnectPeers();
    // An incoming connection screened by the P2P service: becomes a BitTorrent peer unless
    // the peer table is full, the address is filtered or the handshake names this task's
    // own peer id or an already connected peer.
    bool AcceptIncomingPeer(std::unique_ptr<TPeerConnection>& connection);
    // Per second: the choked-pass check and obsolete requests of every BitTorrent peer.
    void BitTorrentSecond();
    // At each evaluation: settled seeds leave a complete task, slow peers and peers silent
    // for five evaluations go, and the interested peers beyond `uploadSlots` (in peer
    // order) are choked, the others unchoked.
    void BitTorrentEvaluation(std::int32_t uploadSlots);
    // Connected BitTorrent peers (established).
    [[nodiscard]] std::int32_t ConnectedBtPeers() const;
    // An established BitTorrent peer other than `self` at `ip` with this peer id.
    [[nodiscard]] bool IsConnectedPeerId(const TPeerObject* self, std::uint32_t ip,
                                         const std::uint8_t* peerId) const;

  protected:
    void ResetPeers();
    // Frees the pooled peer objects (while the task they point to still exists).
    void ReleasePool();
    void ReleaseCandidates();
    // A resolved web source whose host has several addresses gets one candidate per address.
    void ExpandAddresses();

    // What the later layers provide: the task as the peers see it, whether pieces are still
    // missing, and the task clock.
    virtual PeerTask& AsPeerTask() = 0;
    [[nodiscard]] virtual bool Downloading() const = 0;
    [[nodiscard]] virtual std::int64_t CurrentTaskClock() const = 0;
    // The task as its tracker clients see it; null where the layer has none.
    virtual TrackerTask* AsTrackerTask() { return nullptr; }
    // The task as its BitTorrent peers see it; null where the layer has none.
    virtual BtPeerTask* AsBtTask() { return nullptr; }
    // The set of usable web sources changed: lay the work ranges out again.
    virtual void WebSourcesChanged() {}
    // A speed limit caps what the peers may read this second, and how many web connections
    // are worth keeping: every connection closed before the end of the file throws away
    // what the server has already queued for it.
    [[nodiscard]] virtual bool BudgetLimited() const { return false; }
    [[nodiscard]] virtual std::int32_t WebConnectionsForBudget() const { return INT32_MAX; }
    // A metainfo document arrived from a source.
    virtual void TakeMetainfoDocument(const std::string& /*document*/) {}

    // Drives every peer one step; removes and reports those whose step failed. `fast` is
    // the 3-second rate above which a peer is stepped on every round.
    void StepPeers(bool fullRound, std::int32_t fast, std::int32_t& received, std::int32_t& sent);
    // Upload steps of the BitTorrent peers: fast uploaders every round, the others on the
    // upload period when there is room; stops once `limit` peers uploaded.
    void StepUploads(bool periodRound, std::int32_t fast, std::int32_t limit,
                     std::int32_t& received, std::int32_t& sent);
    // Removes the peer at `index` after a failed step, reports it unless it ended normally
    // and returns it to the pool.
    void RetirePeer(std::size_t index);
    void DropSurplusPeers();

  public:
    // Sum of the download rates of the peers whose kind matches the mask.
    [[nodiscard]] virtual std::int64_t SumPeerRate(std::int32_t kindMask) const;

  protected:
    // Every 3 seconds: rates, surplus peers and dead web sources. Returns the summed
    // download and upload rates.
    void EvaluatePeerSet(std::int64_t& downRate, std::int64_t& upRate);
    void SortPeers();

    std::vector<SourceEntry> sources_;
    std::vector<TPeerId*> candidates_;
    std::vector<TPeerObject*> peers_;
    std::vector<TPeerObject*> idlePool_;
    std::vector<std::uint32_t> banned_;
    net::CIPFilter filter_;
    std::uint32_t filterGeneration_ = 0;
    // BitTorrent parties whose pieces failed their check: address, failures.
    std::vector<std::pair<std::uint32_t, std::int32_t>> pieceFailures_;
    std::vector<std::uint32_t> refused_;  // addresses refused for bad data
    std::int32_t peerNumber_ = 0;
    std::int32_t idleWebSeconds_ = 0;
    std::int32_t lowRateSeconds_ = 0;
    std::int64_t lastConnectPass_ = 0;
    std::int64_t lastRotation_ = 0;
    std::int32_t evaluations_ = 0;

    // What each tracker of this run has been told, by its address text.
    struct TrackerRun {
        std::string text;
        bool started = false;
        bool completed = false;  // or the task was complete when it heard "started"
    };
    std::vector<TrackerRun> trackerRuns_;

    // Guarded by the thread lock.
    std::vector<std::string> extraA_;
    std::vector<std::string> extraB_;
    bool extraPresent_ = false;
    bool extraTried_ = false;
    std::int32_t maxWebConnections_ = 49;
    std::int32_t maxBtPeers_ = 0;
    std::string trackerText_;
};

}  // namespace koruvan::engine
