// The base of every peer a task drives: the connection, the identity of the remote party,
// the block requests in flight, the per-peer counters, the work range a web source fills,
// the idle time-out of the web sources and the ranking order.
//
// A peer belongs to one task and is touched only by that task's work thread; it takes no
// lock. It is reference counted and deleted only through Release.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/base/TRefObject.h"
#include "engine/peers/BlockRequest.h"
#include "engine/peers/PeerTask.h"
#include "engine/peers/SourceUrl.h"
#include "engine/peers/TPeerConnection.h"
#include "engine/peers/TPeerId.h"
#include "engine/peers/WorkRange.h"

namespace koruvan::engine {

// Connection states.
inline constexpr std::int32_t kConnNone = 0;
inline constexpr std::int32_t kConnPending = 1;
inline constexpr std::int32_t kConnEstablished = 2;
// Transfer states.
inline constexpr std::int32_t kTransferReset = 0;
inline constexpr std::int32_t kTransferActive = 1;
inline constexpr std::int32_t kTransferChoked = 2;
inline constexpr std::int32_t kTransferWaiting = 4;
inline constexpr std::int32_t kTransferTimedOut = 5;
inline constexpr std::int32_t kTransferFinished = 6;

struct TPeerRecord {
    bool incoming = false;
    std::int64_t partMark = 0;
    std::int64_t lastPlanTime = 0;
    std::int64_t lastActivity = 0;
    bool hadUpload = false;
    bool midMessage = false;
    std::int32_t idlePasses = 0;
    bool fresh = true;
    bool settled = false;
    std::int32_t sentRequests = 0;
    std::int32_t stallCount = 0;
    std::int32_t strikes = 0;
    std::int32_t currentPiece = -1;
    std::int32_t rangesTaken = 0;
};

struct TPeerCounters {
    std::int32_t recvDelta = 0;
    std::int32_t sendDelta = 0;
    std::int32_t recvWindow = 0;
    std::int32_t sendWindow = 0;
    std::int32_t downRate = 0;
    std::int32_t upRate = 0;
    std::int64_t lastTotals[2] = {0, 0};
    std::int32_t downloadedKiB = 0;
    std::int32_t uploadedKiB = 0;
};

class TPeerObject : public TRefObject, public RangeWorker {
  public:
    TPeerObject(PeerTask& task, std::int32_t kind) : task_(&task), kind_(kind) {}

    // ---- protocol operations ----
    virtual bool OnReceive() = 0;
    virtual bool OnSend() { return true; }
    virtual bool PlanRequests();
    virtual bool ServeRequests() { return true; }
    virtual void Reset();
    bool DownloadStep();
    bool UploadStep();
    virtual bool SendRequests() { return true; }
    virtual bool Connect(TPeerId* identity);
    bool AttachConnection(std::unique_ptr<TPeerConnection> connection);
    // The protocol's opening exchange (BitTorrent replaces both; nothing to do elsewhere).
    virtual bool SendHandshake() { return true; }
    virtual bool CheckHandshake(TPeerConnection* /*connection*/) { return true; }
    virtual bool IsSlow() { return false; }
    bool ShouldDrop(bool keepWhileUseful);
    virtual bool IsTimedOut() { return false; }
    // What 0: the peer record (TPeerRecord); what 1: the remote piece map of a BitTorrent
    // peer; null for anything a kind does not keep.
    virtual void* GetInfo(std::int32_t what) { return what == 0 ? &record_ : nullptr; }
    virtual bool IsConnected() const;
    virtual std::int32_t RemoteRate() const { return 0; }
    virtual bool IsStarved() const { return false; }
    virtual bool IsSettledSeed() const { return false; }
    virtual void CancelObsolete() {}
    virtual bool IsSeed() const { return true; }
    void ReleaseRange() override;
    virtual std::int32_t NextPiece();

    // ---- RangeWorker ----
    [[nodiscard]] std::int32_t Rate() const override { return counters_.downRate; }
    [[nodiscard]] std::int32_t LastPiece() const override { return record_.currentPiece; }
    [[nodiscard]] bool HasTakenRange() const override { return record_.rangesTaken > 0; }
    [[nodiscard]] TPeerId* Source() const override { return peerId_; }

    // ---- shared helpers ----
    [[nodiscard]] bool IsEstablished() const;
    bool StoreBlock(std::int32_t block, std::int32_t length, const std::uint8_t* data);
    [[nodiscard]] bool HasRequestInPiece(std::int32_t piece) const;
    [[nodiscard]] std::int32_t MaxOutstanding() const noexcept;
    // Requests QueueBlocks may keep in this peer's queue (MaxOutstanding unless a kind sizes
    // its pipeline otherwise).
    [[nodiscard]] virtual std::int32_t QueueAllowance() const { return MaxOutstanding(); }
    // The connection's average rates since it was made.
    [[nodiscard]] std::int64_t AverageReceiveRate(std::int64_t now) const;
    [[nodiscard]] std::int64_t AverageSendRate(std::int64_t now) const;
    // The rate tick of the task's evaluation: windows become rates (window / 3).
    void RateTick();

    [[nodiscard]] std::int32_t Kind() const noexcept { return kind_; }
    [[nodiscard]] bool IsWebSource() const noexcept { return (kind_ & kKindWebSource) != 0; }
    [[nodiscard]] TPeerId* Identity() const noexcept { return peerId_; }
    [[nodiscard]] TPeerConnection* Connection() const noexcept { return connection_.get(); }
    // The connection the content arrives on: the peer's own, or an FTP source's data
    // connection. A step counts the bytes received on it; a waiting task polls it too.
    [[nodiscard]] virtual const TPeerConnection* PayloadConnection() const noexcept {
        return connection_.get();
    }
    [[nodiscard]] WorkRange* Range() const noexcept { return range_; }
    [[nodiscard]] const std::vector<BlockRequest>& Requests() const noexcept { return requests_; }
    [[nodiscard]] std::int32_t ConnState() const noexcept { return connState_; }
    [[nodiscard]] std::int32_t TransferState() const noexcept { return transferState_; }
    // Why this peer's connection failed or its source was turned away, for the user
    // ("HTTP 403 from 127.0.0.1:8080"); empty when nothing failed.
    [[nodiscard]] std::string FailureText() const;
    // Peers that ended normally (timed out, finished) are not reported as failed.
    [[nodiscard]] bool EndedNormally() const noexcept {
        return transferState_ == kTransferTimedOut || transferState_ == kTransferFinished;
    }
    TPeerRecord& Record() noexcept { return record_; }
    const TPeerRecord& Record() const noexcept { return record_; }
    TPeerCounters& Counters() noexcept { return counters_; }
    const TPeerCounters& Counters() const noexcept { return counters_; }
    void SetNumber(std::int32_t number) noexcept { number_ = number; }

  protected:
    ~TPeerObject() override;

    // The web-source range walk.
    std::int32_t NextPieceInRange(std::int32_t tries);
    std::int32_t TakeFreshRange();
    std::int32_t JumpToFrontier();
    bool CheckRangeEnd();
    bool CheckFinished();
    // Web-source idle rule: 15 s, 30 s while `longWait`, doubled while the rate is low.
    bool IdleTimedOut(bool longWait);
    // Hands the requests back to the task (or frees them while it stops).
    void ReturnRequests();
    // Detaches the identity without releasing it (the caller holds a reference).
    TPeerId* DetachIdentity() noexcept;
    // Remembers why the source failed (FailureText).
    void NoteFailure(std::string text) { failure_ = std::move(text); }
    // The source as the user knows it: "host:port".
    [[nodiscard]] std::string Where() const;

    PeerTask* task_;
    std::int32_t kind_;
    std::int32_t number_ = 0;
    std::int32_t connState_ = kConnNone;
    std::int32_t transferState_ = kTransferReset;
    std::int32_t frontierSnapshot_ = 0;
    std::vector<BlockRequest> requests_;
    std::vector<BlockRequest> remoteRequests_;
    TPeerRecord record_;
    TPeerCounters counters_;
    TPeerId* peerId_ = nullptr;   // one counted reference while attached
    WorkRange* range_ = nullptr;  // listed by the task, or split off and owned here
    std::unique_ptr<TPeerConnection> connection_;
    std::string failure_;

    // Queues the missing blocks of a piece from firstOffset on (BitTorrent peers beyond
    // MaxOutstanding put them into the task's shared pool).
    void QueueBlocks(std::int32_t piece, std::int32_t firstOffset);

  private:
    [[nodiscard]] bool WantedUnrequested(std::int32_t piece) const;
    [[nodiscard]] bool RangeStillWanted(const WorkRange& range) const;
    // Marks the held range done and lets it go (kept for a restart or removed).
    void FinishRange();
};

// The ranking order of the task's peer list: negative when `a` goes before `b`.
std::int32_t ComparePeers(const TPeerObject* a, const TPeerObject* b, bool seeding,
                          std::int64_t now);

}  // namespace koruvan::engine
