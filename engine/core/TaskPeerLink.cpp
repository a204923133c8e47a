#include "engine/core/TaskPeerLink.h"

#include "engine/core/EngineState.h"
#include "engine/core/TPieces.h"
#include "engine/core/TWorkThread.h"
#include "engine/core/base/EngineClock.h"

namespace koruvan::engine {

std::int64_t TaskPeerLink::PeerClock() {
    return task_.TaskClock() != 0 ? task_.TaskClock() : Time().WallSeconds();
}

std::int32_t TaskPeerLink::PieceLength() {
    return task_.Pieces() != nullptr ? task_.Pieces()->PieceLength() : 0;
}

std::int32_t TaskPeerLink::PieceCount() {
    return task_.Pieces() != nullptr ? task_.Pieces()->PieceCount() : 0;
}

std::uint64_t TaskPeerLink::TotalSize() {
    return task_.Pieces() != nullptr ? task_.Pieces()->TotalSize() : 0;
}

bool TaskPeerLink::Complete() {
    return task_.Pieces() != nullptr && task_.Pieces()->AllDone();
}

std::int32_t TaskPeerLink::DownloadFrontier() {
    return task_.TWorkWithPieces::DownloadFrontier();
}

bool TaskPeerLink::Endgame() {
    return task_.Requests().Endgame();
}

bool TaskPeerLink::Stopping() {
    return task_.StopRequested();
}

bool TaskPeerLink::P2PEnabled() {
    return Engine().p2pEnabled.load();
}

bool TaskPeerLink::PieceWanted(std::int32_t piece) {
    return task_.Pieces() != nullptr && task_.Pieces()->Wanted(piece);
}

std::int32_t TaskPeerLink::MissingBytes(std::int32_t piece, std::int32_t& firstOffset) {
    firstOffset = 0;
    return task_.Pieces() != nullptr ? task_.Pieces()->MissingBytes(piece, &firstOffset) : 0;
}

bool TaskPeerLink::HasBlock(std::int32_t block) {
    return task_.Pieces() != nullptr && task_.Pieces()->HasBlock(block);
}

std::int32_t TaskPeerLink::StoreBlock(std::int32_t block, std::int32_t length,
                                      const std::uint8_t* data, TPeerId* supplier,
                                      std::int32_t peerKind, bool& accepted) {
    const std::int32_t result =
        task_.AcceptBlock(block, length, data, supplier, peerKind, accepted);
    if (result == kPieceCompleted && supplier != nullptr) {
        ++supplier->piecesDelivered;
    }
    if (result == kPieceFailed && supplier != nullptr && supplier->kind == kKindBitTorrent) {
        task_.NotePieceFailure(supplier->ip);
    }
    return result == kPieceFailed ? kBlockPieceFailed : result;
}

bool TaskPeerLink::PieceDone(std::int32_t piece) {
    return task_.Pieces() != nullptr && task_.Pieces()->Have(piece);
}

bool TaskPeerLink::LearnTotalSize(std::uint64_t size, const std::string& fileName) {
    if (task_.Pieces() != nullptr || !task_.IsHttpTask()) {
        return false;
    }
    const bool laidOut = task_.SetUnhashedLayout(size, fileName);
    if (laidOut) {
        task_.WebSourcesChanged();
    }
    return laidOut;
}

void TaskPeerLink::ReturnRequests(std::span<const BlockRequest> requests) {
    task_.Requests().ReturnToPool(requests);
}

bool TaskPeerLink::TakePooledRequest(std::int32_t block, std::int32_t length) {
    return task_.Requests().TakeFromPool(block, length);
}

bool TaskPeerLink::PoolHolds(std::int32_t block, std::int32_t length) {
    return task_.Requests().PoolHolds(block, length);
}

void TaskPeerLink::PoolRequest(const BlockRequest& request) {
    task_.Requests().AddToPool(request);
}

void TaskPeerLink::EnsureRanges() {
    if (task_.Ranges().Count() == 0) {
        task_.LayoutRanges(task_.UsableWebSources());
    }
}

std::size_t TaskPeerLink::RangeCount() {
    return task_.Ranges().Count();
}

WorkRange* TaskPeerLink::RangeAt(std::size_t index) {
    return task_.Ranges().At(index);
}

WorkRange* TaskPeerLink::AssignRange(RangeWorker& peer) {
    return task_.TWorkWithPieces::AssignRange(peer);
}

WorkRange* TaskPeerLink::AppendRange(std::unique_ptr<WorkRange> range) {
    return task_.Ranges().Append(std::move(range));
}

void TaskPeerLink::RemoveRange(WorkRange* range) {
    task_.Ranges().Remove(range);
}

std::int32_t TaskPeerLink::DownloadBudget() {
    return task_.RemainingDownloadBudget();
}

std::int32_t TaskPeerLink::SocketReceiveBuffer() {
    return task_.SocketReceiveBuffer();
}

void TaskPeerLink::CountPendingUpload() {
    task_.CountPendingUpload();
}

void TaskPeerLink::BackOff(TPeerId* identity, std::int32_t seconds) {
    if (identity != nullptr) {
        task_.TWorkWithPeers::BackOff(identity, seconds);
    }
}

void TaskPeerLink::RemoveCandidate(TPeerId* identity) {
    if (identity != nullptr) {
        task_.TWorkWithPeers::RemoveCandidate(identity);
        task_.WebSourcesChanged();
    }
}

bool TaskPeerLink::AddCandidate(TPeerId* identity) {
    const bool added = task_.TWorkWithPeers::AddCandidate(identity, false, false);
    task_.WebSourcesChanged();
    return added;
}

void TaskPeerLink::ReportUnresolvedRedirect() {
    task_.ReportUnresolvedRedirect();
}

void TaskPeerLink::SetPhase(std::int32_t phase) {
    task_.SetPhase(phase);
}

}  // namespace koruvan::engine
