#include "engine/peers/TBTPeer.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "engine/core/base/EngineClock.h"
#include "engine/peers/IpAddress.h"

namespace koruvan::engine {
namespace {

constexpr std::int32_t kHandshakeRead = 2048;
constexpr std::int32_t kMaxBuffered = 8192000;
constexpr std::int32_t kFullSocketBuffer = 32768;

}  // namespace

// ---- receiving --------------------------------------------------------------------------

bool TBTPeer::OnReceive() {
    if (!IsConnected()) {
        return false;
    }
    const std::int64_t now = task_->PeerClock();
    if (connectStart_ == 0) {
        connectStart_ = now;  // an accepted connection: its handshake time starts now
    }
    if (!connection_->IsConnected()) {
        if (!connection_->IsOpen()) {
            return false;
        }
        return now - connectStart_ <= (udp_ ? kUdpConnectSeconds : kConnectSeconds);
    }
    const bool handshaking = connState_ != kConnEstablished;
    std::int32_t budget = task_->DownloadBudget();
    if (budget <= 0 && !handshaking) {
        return true;
    }
    std::int32_t size = kHandshakeRead;
    if (!handshaking && !remoteChokes_ && !requests_.empty()) {
        const std::int32_t rate = PipelineRate();
        size = (rate <= 65535 ? 16384 : rate <= 262143 ? 32768 : 65536) + 1024;
        if (budget < size) {
            size = std::max(budget, 192);
        }
    }
    const std::int32_t before = connection_->DataSize();
    const std::int32_t held = connection_->Receive(size);
    if (held < 0) {
        return handshaking ? HandshakeFailed() : false;
    }
    if (handshaking) {
        if (!FinishHandshake(now)) {
            return HandshakeFailed();
        }
        if (connState_ != kConnEstablished) {
            return true;
        }
    } else if (held == 0 || connection_->DataSize() == before) {
        return true;
    }
    // A read that filled its request suggests more is waiting: read on, doubling.
    std::int32_t got = connection_->DataSize() - before;
    budget -= got;
    while (!handshaking && got >= size && connection_->DataSize() < kMaxBuffered && budget > 0) {
        size = std::min(size * 2, budget);
        const std::int32_t at = connection_->DataSize();
        if (connection_->Receive(size) < 0) {
            return false;
        }
        got = connection_->DataSize() - at;
        budget -= got;
    }
    if (!widened_ && connection_->DataSize() - before >= kFullSocketBuffer) {
        // One pass found the small socket buffer full (the kernel keeps about 32 KiB of the
        // 40960 bytes for data): the remote sends faster than the buffer lets it between
        // two passes. From now on the buffer follows the task's budget, as a web
        // connection's does.
        widened_ = true;
        connection_->SetReceiveBuffer(std::max(kSocketBuffer, task_->SocketReceiveBuffer()));
    }
    const bool wasChoked = remoteChokes_;
    const std::int32_t buffered = connection_->DataSize();
    const std::int32_t consumed = ParseMessages();
    if (consumed < 0 || !IsConnected() || consumed > connection_->DataSize()) {
        return false;
    }
    connection_->Consume(consumed, counters_.downRate > 262143 || buffered > 16383);
    if (remoteChokes_ != wasChoked) {
        if (remoteChokes_) {
            if (!requests_.empty()) {
                return CancelAll();
            }
        } else {
            record_.idlePasses = 0;
            record_.midMessage = false;
            return RequestBlocks(true);
        }
    }
    return true;
}

std::int32_t TBTPeer::ParseMessages() {
    const std::int32_t consumed = bt::ScanMessages(
        connection_->Data(), connection_->DataSize(),
        [this](std::uint8_t id, const std::uint8_t* payload, std::uint32_t size) {
            bool drop = false;
            if (HandleMessage(id, payload, size, drop)) {
                return bt::Verdict::kContinue;
            }
            return drop ? bt::Verdict::kDrop : bt::Verdict::kSkipRest;
        },
        [this](bool complete) {
            record_.midMessage = !complete;
            // Part of a block: a request still being answered is not overdue.
            const std::int64_t received = connection_->BytesReceived();
            if (!complete && record_.sentRequests > 0 && !requests_.empty() &&
                received - partMark_ > 1024) {
                partMark_ = received;
                requests_.front().issueTime = static_cast<std::uint32_t>(task_->PeerClock());
            }
        });
    if (consumed < 0) {
        ++record_.strikes;
    }
    return consumed;
}

bool TBTPeer::HandleMessage(std::uint8_t id, const std::uint8_t* payload, std::uint32_t size,
                            bool& drop) {
    const auto strike = [this]() {
        ++record_.strikes;
        return false;
    };
    switch (id) {
        case bt::kChoke:
        case bt::kUnchoke:
            remoteChokes_ = id == bt::kChoke;
            chokedSince_ = remoteChokes_ ? task_->PeerClock() : 0;
            transferState_ = remoteChokes_ || weChoke_ ? kTransferChoked : kTransferActive;
            return true;
        case bt::kInterested:
        case bt::kNotInterested:
            remoteInterested_ = id == bt::kInterested;
            return true;
        case bt::kHave:
            if (size != 4) {
                return strike();
            }
            OnHave(bt::Get32(payload));
            return true;
        case bt::kBitfield:
            if (size == 0) {
                return strike();
            }
            if (!OnBitfield(payload, size)) {
                ++record_.strikes;
                drop = true;
                return false;
            }
            return true;
        case bt::kRequest:
        case bt::kCancel:
            if (size != 12) {
                return strike();
            }
            OnRequest(bt::Get32(payload), bt::Get32(payload + 4), bt::Get32(payload + 8),
                      id == bt::kCancel);
            return true;
        case bt::kPiece: {
            if (size <= 8) {
                return strike();
            }
            const std::uint32_t index = bt::Get32(payload);
            const std::uint32_t begin = bt::Get32(payload + 4);
            const std::int64_t pieceLength = task_->PieceLength();
            const std::int64_t offset = static_cast<std::int64_t>(index) * pieceLength + begin;
            if (pieceLength <= 0 || index >= static_cast<std::uint32_t>(task_->PieceCount()) ||
                begin >= pieceLength || offset % kBlockSize != 0) {
                drop = true;  // no request of ours looks like this
                return false;
            }
            const auto block = static_cast<std::int32_t>(offset / kBlockSize);
            if (CrossedCancel(block, static_cast<std::int32_t>(size - 8))) {
                return true;  // answered before our cancel arrived: not the remote's fault
            }
            if (!StoreBlock(block, static_cast<std::int32_t>(size - 8), payload + 8)) {
                drop = true;
                return false;
            }
            return true;
        }
        default:
            return true;
    }
}

void TBTPeer::OnHave(std::uint32_t index) {
    const std::int32_t pieces = task_->PieceCount();
    if (index >= static_cast<std::uint32_t>(std::max(pieces, 0))) {
        return;  // no such piece
    }
    const auto piece = static_cast<std::int32_t>(index);
    SetExcluded(piece, false);
    if (!RemoteHas(piece)) {
        remotePieces_[index / 8] |= static_cast<std::uint8_t>(0x80u >> (index % 8));
        ++have_.newHaves;
        ++have_.remotePieceCount;
        if (have_.remotePieceCount >= pieces) {
            (void)IsSeed();
        }
    }
    if (nothingToRequest_ && task_->PieceWanted(piece)) {
        nothingToRequest_ = false;
    }
    have_.lastHave = piece;
}

bool TBTPeer::OnBitfield(const std::uint8_t* bits, std::uint32_t size) {
    const std::int32_t pieces = task_->PieceCount();
    if (pieces > 0 && size != static_cast<std::uint32_t>(pieces + 7) / 8) {
        return false;
    }
    if (pieces <= 0) {
        return true;
    }
    remotePieces_.assign(bits, bits + size);
    if (pieces % 8 != 0) {
        remotePieces_.back() &= static_cast<std::uint8_t>(0xFFu << (8 - pieces % 8));  // spare bits
    }
    std::int32_t count = 0;
    for (const std::uint8_t b : remotePieces_) {
        count += std::popcount(b);
    }
    have_.remotePieceCount = count;
    have_.initialPieces = count;
    nothingToRequest_ = count == 0;
    record_.settled = count > 0;
    if (!record_.incoming) {
        bt_->ReportRemotePieces(peerId_, count);
    }
    (void)IsSeed();
    return true;
}

// ---- requests ---------------------------------------------------------------------------

bool TBTPeer::BlockValid(std::int32_t block) const {
    const std::int64_t total = static_cast<std::int64_t>(task_->TotalSize());
    return block >= 0 && static_cast<std::int64_t>(block) * kBlockSize < total;
}

std::string TBTPeer::RequestBytes(bt::MessageId id, const BlockRequest& request) const {
    const std::int64_t pieceLength = std::max(task_->PieceLength(), 1);
    const std::int64_t offset = static_cast<std::int64_t>(request.block) * kBlockSize;
    const auto index = static_cast<std::uint32_t>(offset / pieceLength);
    const auto begin = static_cast<std::uint32_t>(offset % pieceLength);
    return bt::Request(id, index, begin, static_cast<std::uint32_t>(request.length));
}

std::int32_t TBTPeer::PipelineRate() const {
    return std::max(counters_.downRate, counters_.recvWindow / 3);
}

std::int32_t TBTPeer::QueueAllowance() const {
    return std::min(PipelineRate() * 2 / kBlockSize + 2, kMaxQueuedRequests);
}

std::int32_t TBTPeer::RequestWindow() const {
    return std::min(std::max(PipelineRate() / kBlockSize + 2, 6), kMaxRequestsInFlight);
}

bool TBTPeer::SendNow(const std::string& bytes) {
    return connection_ != nullptr &&
           connection_->Send(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                             static_cast<std::int32_t>(bytes.size())) >= 0;
}

bool TBTPeer::SendRaw(const std::string& bytes) {
    return IsEstablished() && SendNow(bytes);
}

bool TBTPeer::SendRequests() {
    if (!IsEstablished() || remoteChokes_ || !have_.ready ||
        record_.sentRequests >=
            std::min(std::max(PipelineRate() / kBlockSize - 1, 5), kMaxRequestsInFlight - 3) ||
        record_.sentRequests >= static_cast<std::int32_t>(requests_.size())) {
        return true;
    }
    std::int32_t room = RequestWindow() - record_.sentRequests;
    std::string batch;
    for (auto i = static_cast<std::size_t>(record_.sentRequests);
         i < requests_.size() && room > 0;) {
        const BlockRequest& r = requests_[i];
        // A block already here is never asked for again (a second copy of a pooled request
        // can reach the queue after the first was answered).
        if (!BlockValid(r.block) || task_->HasBlock(r.block)) {
            requests_.erase(requests_.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        batch += RequestBytes(bt::kRequest, r);
        ++record_.sentRequests;
        --room;
        ++i;
        if (batch.size() > kRequestBatchBytes) {
            if (!SendNow(batch)) {
                return false;
            }
            batch.clear();
        }
    }
    return batch.empty() || SendNow(batch);
}

bool TBTPeer::RequestBlocks(bool force) {
    if (requests_.empty() || !IsEstablished() || task_->PieceCount() <= 0) {
        return true;
    }
    if (!force) {
        if (!record_.midMessage) {
            ++record_.idlePasses;
        }
        if (record_.idlePasses > 7) {
            if (bt_->PiecesMissing() <= 2) {
                connection_->Close();
                return false;
            }
            return CancelAll();
        }
        return true;
    }
    if (remoteChokes_) {
        return true;
    }
    record_.sentRequests = 0;
    return SendRequests();
}

bool TBTPeer::CancelAll() {
    std::string cancels;
    const auto sent = std::min<std::size_t>(
        static_cast<std::size_t>(std::max(record_.sentRequests, 0)), requests_.size());
    for (std::size_t i = 0; i < sent; ++i) {
        cancels += RequestBytes(bt::kCancel, requests_[i]);
        NoteCancelled(requests_[i]);
    }
    ReturnRequests();
    record_.idlePasses = 0;
    record_.sentRequests = 0;
    return cancels.empty() || !IsEstablished() || SendNow(cancels);
}

void TBTPeer::CancelObsolete() {
    if (!IsEstablished()) {
        return;
    }
    const std::int32_t pieceLength = task_->PieceLength();
    const std::int32_t frontier = task_->DownloadFrontier();
    const std::int32_t window = pieceLength > 0 ? 8388608 / pieceLength : 40;
    const auto now = static_cast<std::uint32_t>(task_->PeerClock());
    std::string cancels;
    std::int32_t cancelled = 0;
    for (std::size_t i = 0; i < requests_.size();) {
        BlockRequest& r = requests_[i];
        if (task_->HasBlock(r.block)) {
            // The sent requests lead the queue; the ones erased already have left it.
            if (static_cast<std::int32_t>(i) < record_.sentRequests - cancelled) {
                cancels += RequestBytes(bt::kCancel, r);
                NoteCancelled(r);
                ++cancelled;
            }
            requests_.erase(requests_.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        const std::int32_t piece =
            pieceLength > 0 ? static_cast<std::int32_t>(static_cast<std::int64_t>(r.block) *
                                                        kBlockSize / pieceLength)
                            : -1;
        if (frontier >= 0 && piece >= frontier && piece <= frontier + window &&
            now - r.issueTime > 8 && !task_->PoolHolds(r.block, r.length)) {
            r.issueTime = now;
            task_->PoolRequest(r);
        }
        ++i;
    }
    record_.sentRequests = std::max(record_.sentRequests - cancelled, 0);
    if (!cancels.empty()) {
        (void)SendNow(cancels);
    }
}

bool TBTPeer::PlanRequests() {
    if (!IsEstablished() || remoteChokes_ || task_->PieceCount() <= 0) {
        return true;
    }
    if (task_->Complete()) {
        return requests_.empty() || CancelAll();
    }
    const std::int32_t want =
        std::min(std::max(PipelineRate() * 2 / kBlockSize, 2), kMaxQueuedRequests);
    if (static_cast<std::int32_t>(requests_.size()) >= want || have_.remotePieceCount <= 0) {
        return true;
    }
    const bool inFlight = !requests_.empty();
    // Blocks other peers gave back (or planned beyond their queue) wait for no scan: a peer
    // that found nothing to take a while ago still picks them up at once.
    (void)bt_->PickBlocks(requests_, remotePieces_, want, {});
    const std::int64_t now = task_->PeerClock();
    const bool scan =
        !nothingToRequest_ || now - record_.lastPlanTime > 59 || bt_->OfferSerial() != offerSerial_;
    if (scan) {
        record_.lastPlanTime = now;
    }
    for (std::int32_t tries = 0;
         scan && tries < 4 && static_cast<std::int32_t>(requests_.size()) < want; ++tries) {
        const std::int32_t piece = NextPiece();
        if (piece < 0) {
            std::fill(excluded_.begin(), excluded_.end(), 0);
            break;
        }
        std::int32_t firstOffset = 0;
        const std::size_t before = requests_.size();
        if (task_->MissingBytes(piece, firstOffset) > 0) {
            QueueBlocks(piece, firstOffset);
        }
        if (requests_.size() == before) {
            bt_->Untake(piece);
            continue;
        }
        break;
    }
    if (!inFlight && !requests_.empty()) {
        return RequestBlocks(true);
    }
    return true;
}

// ---- predicates -------------------------------------------------------------------------

bool TBTPeer::RemoteHas(std::int32_t piece) const noexcept {
    return piece >= 0 && static_cast<std::size_t>(piece / 8) < remotePieces_.size() &&
           (remotePieces_[static_cast<std::size_t>(piece / 8)] & (0x80u >> (piece % 8))) != 0;
}

bool TBTPeer::IsSeed() const {
    if (seedSince_ != 0) {
        return true;
    }
    const std::int32_t pieces = task_->PieceCount();
    if (IsEstablished() && pieces > 0 && have_.remotePieceCount >= pieces) {
        seedSince_ = std::max<std::int64_t>(task_->PeerClock(), 1);
        return true;
    }
    return false;
}

bool TBTPeer::IsSettledSeed() const {
    return IsSeed() && task_->PeerClock() - seedSince_ > 15;
}

bool TBTPeer::IsStarved() const {
    return nothingToRequest_ && task_->PeerClock() - starvedSince_ > 90;
}

bool TBTPeer::IsSlow() {
    if (!task_->P2PEnabled()) {
        return true;
    }
    const std::int64_t now = task_->PeerClock();
    if (!IsEstablished() || now - established_ <= 120) {
        return false;
    }
    if (task_->Complete()) {
        return counters_.upRate < 1 && AverageSendRate(now) <= 18;
    }
    return counters_.downRate < 1 && AverageReceiveRate(now) <= 18;
}

std::int32_t TBTPeer::RemoteRate() const {
    const std::int32_t growth = have_.remotePieceCount - have_.initialPieces;
    if (!IsEstablished() || growth <= 4) {
        return 0;
    }
    const std::int64_t seconds = std::max<std::int64_t>(1, task_->PeerClock() - established_);
    return static_cast<std::int32_t>(static_cast<std::int64_t>(growth) *
                                     (task_->PieceLength() / 1024) / seconds);
}

void* TBTPeer::GetInfo(std::int32_t what) {
    return what == 1 ? static_cast<void*>(&have_) : TPeerObject::GetInfo(what);
}

void TBTPeer::Reset() {
    if (peerId_ != nullptr && !record_.incoming && !udp_ && connectStart_ != 0 &&
        established_ == 0 && !disguiseRefused_) {
        peerId_->directlyConnectable = false;  // our TCP dial ended before a handshake
    }
    EndHandshakeTurn();
    remotePieces_.clear();
    TPeerObject::Reset();
    excluded_.clear();
    uploads_.Clear();
    blockBuffer_.clear();
    blockBuffer_.shrink_to_fit();
    have_ = BtHaveRecord{};
    weChoke_ = true;
    remoteChokes_ = true;
    remoteInterested_ = false;
    nothingToRequest_ = false;
    udp_ = false;
    starvedSince_ = chokedSince_ = seedSince_ = 0;
    connectStart_ = established_ = partMark_ = 0;
    sendPasses_ = 0;
    widened_ = false;
    cancelled_.clear();
    disguisedOut_ = answered_ = disguiseRefused_ = false;
    sentAtConnect_ = 0;
}

void TBTPeer::NoteCancelled(const BlockRequest& request) {
    if (cancelled_.size() >= static_cast<std::size_t>(kRememberedCancels)) {
        cancelled_.erase(cancelled_.begin());
    }
    cancelled_.push_back(request);
}

bool TBTPeer::CrossedCancel(std::int32_t block, std::int32_t length) {
    const auto same = [&](const BlockRequest& r) { return r.block == block && r.length == length; };
    const auto cancelled = std::find_if(cancelled_.begin(), cancelled_.end(), same);
    if (cancelled == cancelled_.end()) {
        return false;
    }
    cancelled_.erase(cancelled);
    // Asked for again since: the block is ours to store.
    const auto sentEnd = requests_.begin() +
                         std::clamp<std::ptrdiff_t>(record_.sentRequests, 0,
                                                    static_cast<std::ptrdiff_t>(requests_.size()));
    return std::find_if(requests_.begin(), sentEnd, same) == sentEnd &&
           !task_->PoolHolds(block, length);
}

// ---- exclusion bits ---------------------------------------------------------------------

void TBTPeer::SetExcluded(std::int32_t piece, bool on) {
    if (piece < 0 || static_cast<std::size_t>(piece / 8) >= excluded_.size()) {
        return;
    }
    const auto bit = static_cast<std::uint8_t>(0x80u >> (piece % 8));
    auto& byte = excluded_[static_cast<std::size_t>(piece / 8)];
    byte = on ? static_cast<std::uint8_t>(byte | bit) : static_cast<std::uint8_t>(byte & ~bit);
}

bool TBTPeer::IsExcluded(std::int32_t piece) const {
    return piece >= 0 && static_cast<std::size_t>(piece / 8) < excluded_.size() &&
           (excluded_[static_cast<std::size_t>(piece / 8)] & (0x80u >> (piece % 8))) != 0;
}

}  // namespace koruvan::engine
