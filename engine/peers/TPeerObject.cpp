#include "engine/peers/TPeerObject.h"

#include <algorithm>
#include <cstring>

#include "engine/peers/IpAddress.h"

namespace koruvan::engine {
namespace {

constexpr std::int32_t kFrontierJump = 6;
constexpr std::int32_t kMaxPlanTries = 4;
constexpr std::int32_t kRankStep = 2048;

std::int32_t Clamp0(std::int64_t value) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, 0, INT32_MAX));
}

}  // namespace

TPeerObject::~TPeerObject() {
    Reset();
    connection_.reset();
}

bool TPeerObject::IsConnected() const {
    return connState_ != kConnNone && connection_ != nullptr;
}

bool TPeerObject::IsEstablished() const {
    return connection_ != nullptr && connState_ == kConnEstablished;
}

std::int32_t TPeerObject::MaxOutstanding() const noexcept {
    return counters_.downRate * 2 / kBlockSize + 2;
}

bool TPeerObject::DownloadStep() {
    if (!IsConnected()) {
        return false;
    }
    if (kind_ == kKindBitTorrent && !task_->P2PEnabled()) {
        return false;
    }
    const TPeerConnection* payload = PayloadConnection();
    const std::int64_t sentBefore = connection_->LifetimeBytesSent();
    const std::int64_t recvBefore = payload->LifetimeBytesReceived();
    counters_.recvDelta = 0;
    counters_.sendDelta = 0;
    record_.hadUpload = false;
    const bool ok = OnReceive() && PlanRequests() && SendRequests() && OnSend() && IsConnected();
    // What moved counts against the task's budget even when the step ended the connection.
    counters_.sendDelta = Clamp0(connection_->LifetimeBytesSent() - sentBefore);
    counters_.recvDelta = Clamp0(payload->LifetimeBytesReceived() - recvBefore);
    if (!ok) {
        return false;
    }
    counters_.sendWindow += counters_.sendDelta;
    if (counters_.sendDelta > 0 || counters_.recvDelta > 0) {
        record_.stallCount = 0;
    }
    if (IsEstablished() && connection_->PendingSend() > 0) {
        record_.hadUpload = true;
        task_->CountPendingUpload();
    }
    return true;
}

bool TPeerObject::UploadStep() {
    if (kind_ != kKindBitTorrent) {
        return true;
    }
    if (!IsConnected()) {
        return false;
    }
    const std::int64_t sentBefore = connection_->LifetimeBytesSent();
    const std::int64_t recvBefore = connection_->LifetimeBytesReceived();
    counters_.recvDelta = 0;
    counters_.sendDelta = 0;
    const bool ok = ServeRequests() && IsConnected();
    counters_.sendDelta = Clamp0(connection_->LifetimeBytesSent() - sentBefore);
    counters_.recvDelta = Clamp0(connection_->LifetimeBytesReceived() - recvBefore);
    if (!ok) {
        return false;
    }
    counters_.sendWindow += counters_.sendDelta;
    if (counters_.sendDelta > 0 || counters_.recvDelta > 0) {
        record_.stallCount = 0;
    }
    return true;
}

bool TPeerObject::StoreBlock(std::int32_t block, std::int32_t length, const std::uint8_t* data) {
    if (block < 0 || length < 0 || data == nullptr || !IsConnected()) {
        return false;
    }
    if (task_->PieceCount() <= 0) {
        return true;  // nothing to write into yet: accepted and dropped
    }
    record_.lastActivity = task_->PeerClock();
    const auto limit =
        kind_ == kKindBitTorrent
            ? std::min<std::size_t>(requests_.size(),
                                    static_cast<std::size_t>(std::max(record_.sentRequests, 0)))
            : requests_.size();
    const auto end = requests_.begin() + static_cast<std::ptrdiff_t>(limit);
    const auto found = std::find_if(requests_.begin(), end, [&](const BlockRequest& r) {
        return r.block == block && r.length == length;
    });
    if (found != end) {
        if (record_.sentRequests > 0) {
            --record_.sentRequests;
        }
        requests_.erase(found);
    } else if (!task_->TakePooledRequest(block, length)) {
        return false;  // an unrequested block is refused
    }
    record_.idlePasses = -2;
    if (transferState_ == kTransferWaiting) {
        transferState_ = kTransferActive;
    }
    bool accepted = false;
    const std::int32_t result = task_->StoreBlock(block, length, data, peerId_, kind_, accepted);
    bool ok = true;
    if (result == kBlockPieceFailed) {
        ++record_.strikes;
        ok = false;
    } else if (accepted) {
        counters_.downloadedKiB += length / 1024;
        counters_.recvWindow += length;
    }
    const std::int32_t pieceLength = task_->PieceLength();
    if (task_->Endgame() && pieceLength > 0) {
        const auto piece =
            static_cast<std::int32_t>(static_cast<std::int64_t>(block) * kBlockSize / pieceLength);
        if (task_->PieceDone(piece)) {
            const auto from =
                requests_.begin() +
                std::min<std::ptrdiff_t>(std::max(record_.sentRequests, 0),
                                         static_cast<std::ptrdiff_t>(requests_.size()));
            requests_.erase(std::remove_if(from, requests_.end(),
                                           [&](const BlockRequest& r) {
                                               return static_cast<std::int64_t>(r.block) *
                                                          kBlockSize / pieceLength ==
                                                      piece;
                                           }),
                            requests_.end());
        }
    }
    return ok;
}

bool TPeerObject::HasRequestInPiece(std::int32_t piece) const {
    const std::int32_t pieceLength = task_->PieceLength();
    if (pieceLength <= 0) {
        return false;
    }
    return std::any_of(requests_.begin(), requests_.end(), [&](const BlockRequest& r) {
        return static_cast<std::int64_t>(r.block) * kBlockSize / pieceLength == piece;
    });
}

void TPeerObject::QueueBlocks(std::int32_t piece, std::int32_t firstOffset) {
    const std::int64_t pieceLength = task_->PieceLength();
    const std::int64_t total = static_cast<std::int64_t>(task_->TotalSize());
    const std::int64_t pieceStart = piece * pieceLength;
    const std::int64_t pieceEnd = std::min(pieceStart + pieceLength, total);
    const auto now = static_cast<std::uint32_t>(task_->PeerClock());
    const std::int32_t allowance = QueueAllowance();
    for (std::int64_t at = pieceStart + (firstOffset / kBlockSize) * kBlockSize; at < pieceEnd;
         at += kBlockSize) {
        const auto block = static_cast<std::int32_t>(at / kBlockSize);
        const auto length =
            static_cast<std::int32_t>(std::min<std::int64_t>(kBlockSize, pieceEnd - at));
        const bool listed = std::any_of(requests_.begin(), requests_.end(),
                                        [&](const BlockRequest& r) { return r.block == block; });
        if (listed || task_->HasBlock(block)) {
            continue;
        }
        const BlockRequest request{block, length, now};
        if (kind_ != kKindBitTorrent || static_cast<std::int32_t>(requests_.size()) < allowance) {
            requests_.push_back(request);
        } else if (!(task_->Endgame() && task_->PoolHolds(block, length))) {
            task_->PoolRequest(request);
        }
    }
}

bool TPeerObject::PlanRequests() {
    if (static_cast<std::int32_t>(requests_.size()) > MaxOutstanding()) {
        return true;
    }
    if (task_->PieceLength() <= 0 || task_->PieceLength() % kBlockSize != 0) {
        return true;  // blocks cannot be formed for this layout
    }
    std::int32_t piece = -1;
    std::int32_t firstOffset = 0;
    for (std::int32_t tries = 0; tries < kMaxPlanTries; ++tries) {
        const std::int32_t next = NextPiece();
        if (next < 0) {
            break;
        }
        if (task_->MissingBytes(next, firstOffset) > 0) {
            piece = next;
            break;
        }
    }
    const std::int32_t frontier = task_->DownloadFrontier();
    if (peerId_ != nullptr && peerId_->IsWebSource() && IsWebSource() &&
        std::abs(frontierSnapshot_ - frontier) > kFrontierJump && piece > 0 && frontier > 0) {
        ReleaseRange();
        const std::int32_t jumped = JumpToFrontier();
        if (jumped < 0) {
            return true;
        }
        if (task_->MissingBytes(jumped, firstOffset) > 0) {
            record_.currentPiece = jumped;
            piece = jumped;
        }
    }
    frontierSnapshot_ = frontier;
    if (piece < 0) {
        return true;
    }
    if (range_ != nullptr) {
        range_->current = piece;
    }
    QueueBlocks(piece, firstOffset);
    return true;
}

void TPeerObject::ReturnRequests() {
    if (!requests_.empty() && !task_->Stopping()) {
        task_->ReturnRequests(requests_);
    }
    requests_.clear();
}

TPeerId* TPeerObject::DetachIdentity() noexcept {
    TPeerId* identity = peerId_;
    peerId_ = nullptr;
    return identity;
}

std::string TPeerObject::Where() const {
    if (peerId_ == nullptr) {
        return "?";
    }
    std::string host = peerId_->host;
    if (host.empty()) {
        const std::uint32_t ip = NetToHost32(peerId_->ip);
        host = std::to_string(ip >> 24) + "." + std::to_string((ip >> 16) & 255) + "." +
               std::to_string((ip >> 8) & 255) + "." + std::to_string(ip & 255);
    }
    return host + ":" + std::to_string(peerId_->port);
}

std::string TPeerObject::FailureText() const {
    if (!failure_.empty()) {
        return failure_;
    }
    const std::int32_t error = connection_ != nullptr ? connection_->LastError() : 0;
    const std::string reason = error != 0 ? std::string(" (") + std::strerror(error) + ")" : "";
    if (transferState_ == kTransferTimedOut) {
        return Where() + " sent nothing for too long";
    }
    if (connState_ == kConnNone && error == 0) {
        return {};  // never tried: nothing went wrong
    }
    if (connState_ == kConnPending) {
        return "no connection to " + Where() + reason;
    }
    return Where() + " closed the connection" + reason;
}

void TPeerObject::Reset() {
    failure_.clear();
    ReturnRequests();
    remoteRequests_.clear();
    if (connection_ != nullptr) {
        connection_->Close();
    }
    ReleaseRange();
    connState_ = kConnNone;
    transferState_ = kTransferReset;
    record_ = TPeerRecord{};
    counters_ = TPeerCounters{};
    frontierSnapshot_ = 0;
    if (peerId_ != nullptr) {
        if (peerId_->activeConnections > 0) {
            --peerId_->activeConnections;
        }
        DetachIdentity()->Release();
    }
}

bool TPeerObject::Connect(TPeerId* identity) {
    if (identity == nullptr || identity == peerId_ || !IsValidIp(identity->ip) ||
        identity->port == 0) {
        return false;
    }
    identity->AddRef();
    peerId_ = identity;
    identity->Details().done = false;
    if (connection_ != nullptr) {
        connection_->Close();
    } else {
        connection_ = std::make_unique<TPeerConnection>();
    }
    record_.lastActivity = task_->PeerClock();
    return true;
}

bool TPeerObject::AttachConnection(std::unique_ptr<TPeerConnection> connection) {
    Reset();
    connection_ = std::move(connection);
    record_.incoming = true;
    connState_ = connection_ != nullptr ? kConnPending : kConnNone;
    record_.lastActivity = task_->PeerClock();
    return IsConnected();
}

bool TPeerObject::ShouldDrop(bool keepWhileUseful) {
    return !IsConnected() || IsSlow() || (!keepWhileUseful && IsStarved()) ||
           (task_->Complete() && IsSeed());
}

bool TPeerObject::IdleTimedOut(bool longWait) {
    std::int64_t limit = longWait ? 30 : 15;
    if (counters_.downRate > 0 && counters_.downRate < 2048) {
        limit *= 2;
    }
    if (task_->PeerClock() - record_.lastActivity <= limit) {
        return false;
    }
    transferState_ = kTransferTimedOut;
    ReleaseRange();
    return true;
}

void TPeerObject::RateTick() {
    counters_.downRate = counters_.recvWindow / 3;
    counters_.upRate = counters_.sendWindow / 3;
    counters_.recvWindow = 0;
    counters_.sendWindow = 0;
    record_.settled = true;
}

std::int64_t TPeerObject::AverageReceiveRate(std::int64_t now) const {
    const TPeerConnection* payload = PayloadConnection();
    return payload != nullptr ? payload->AverageReceiveRate(now) : 0;
}

std::int64_t TPeerObject::AverageSendRate(std::int64_t now) const {
    return connection_ != nullptr ? connection_->AverageSendRate(now) : 0;
}

std::int32_t ComparePeers(const TPeerObject* a, const TPeerObject* b, bool seeding,
                          std::int64_t now) {
    if (a == nullptr || b == nullptr) {
        return a == nullptr ? (b == nullptr ? 0 : 1) : -1;
    }
    const auto sign = [](std::int64_t v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); };
    const int estA = a->IsEstablished() ? 1 : 0;
    const int estB = b->IsEstablished() ? 1 : 0;
    if (estA != estB) {
        return estB - estA;
    }
    if (estA == 0) {
        return 0;
    }
    const auto& ra = a->Record();
    const auto& rb = b->Record();
    const auto& ca = a->Counters();
    const auto& cb = b->Counters();
    std::int64_t keys[6];
    if (seeding) {
        keys[0] = ra.settled - rb.settled;
        keys[1] = ra.hadUpload - rb.hadUpload;
        keys[2] = cb.sendWindow / kRankStep - ca.sendWindow / kRankStep;
        keys[3] = b->AverageSendRate(now) / kRankStep - a->AverageSendRate(now) / kRankStep;
        keys[4] = keys[5] = 0;
    } else {
        keys[0] = cb.recvWindow / kRankStep - ca.recvWindow / kRankStep;
        keys[1] = b->AverageReceiveRate(now) / kRankStep - a->AverageReceiveRate(now) / kRankStep;
        keys[2] = ra.settled - rb.settled;
        keys[3] = ca.sendWindow / kRankStep - cb.sendWindow / kRankStep;
        const std::int64_t sentA = a->Connection()->BytesSent() / kRankStep;
        const std::int64_t sentB = b->Connection()->BytesSent() / kRankStep;
        keys[4] = sign(sentA - sentB);
        keys[5] = b->Connection()->ConnectTime() - a->Connection()->ConnectTime();
    }
    for (const std::int64_t key : keys) {
        if (key != 0) {
            return sign(key);
        }
    }
    return 0;
}

}  // namespace koruvan::engine
