// The serving side of a BitTorrent peer: the requests the remote queues with us, the
// blocks we send for them within the task's upload budget, the flushing of the send buffer,
// and choking.
#include <algorithm>

#include "engine/peers/TBTPeer.h"

namespace koruvan::engine {
namespace {

constexpr std::int32_t kSlowUpRate = 28672;

}  // namespace

void TBTPeer::OnRequest(std::uint32_t index, std::uint32_t begin, std::uint32_t length,
                        bool cancel) {
    const UploadRequest request{index, begin, length};
    if (cancel) {
        (void)uploads_.Cancel(request);
        return;
    }
    const std::int64_t pieceLength = task_->PieceLength();
    if (weChoke_ || pieceLength <= 0 || index >= static_cast<std::uint32_t>(task_->PieceCount()) ||
        !bt_->HavePiece(static_cast<std::int32_t>(index))) {
        return;
    }
    // A request longer than a piece, or than a block ever may be, is never served.
    if (length == 0 || length > static_cast<std::uint32_t>(bt::kMaxBlockLength) ||
        static_cast<std::int64_t>(length) > pieceLength) {
        return;
    }
    if (uploads_.Add(request) == UploadQueue::Added::kFull) {
        // Never dropped unseen: a remote that waits for a dropped request stalls until its
        // time-out. Choking discards the queue on both sides; the task's next evaluation
        // unchokes the remote and it asks again.
        (void)Choke();
    }
}

// ---- uploading --------------------------------------------------------------------------

bool TBTPeer::ServeRequests() {
    if (!IsEstablished() || weChoke_ || record_.hadUpload || uploads_.Empty() ||
        connection_->PendingSend() > 0 || task_->PieceCount() <= 0) {
        return true;
    }
    const std::int32_t budget = bt_->UploadBudgetLeft();
    if (budget <= 0) {
        return true;
    }
    std::int32_t allowance = kBlockSize;
    if (counters_.upRate / 65536 > 1) {
        allowance = (counters_.upRate / 65536) * kBlockSize - kBlockSize;
    }
    if (task_->Complete()) {
        allowance += kBlockSize;
    }
    allowance = std::min(allowance, budget);
    std::int32_t used = 0;
    while (!uploads_.Empty() && used < allowance) {
        const UploadRequest r = uploads_.Front();
        if (used > 0 && used + static_cast<std::int32_t>(r.length) > allowance &&
            bt_->PendingUploadPeers() > 0) {
            break;
        }
        blockBuffer_.resize(r.length);
        if (!bt_->ReadBlock(static_cast<std::int32_t>(r.index), static_cast<std::int32_t>(r.begin),
                            static_cast<std::int32_t>(r.length), blockBuffer_.data())) {
            // Not readable here: the reject form, and the piece's requests are dropped.
            if (!SendNow(bt::Reject(r.index))) {
                return false;
            }
            uploads_.DropPiece(r.index);
            continue;
        }
        const std::string header = bt::PieceHeader(r.index, r.begin, r.length);
        if (!connection_->Queue(reinterpret_cast<const std::uint8_t*>(header.data()),
                                static_cast<std::int32_t>(header.size())) ||
            !connection_->Queue(blockBuffer_.data(), static_cast<std::int32_t>(r.length))) {
            return false;
        }
        counters_.uploadedKiB += static_cast<std::int32_t>(r.length / 1024);
        uploads_.PopFront();
        bt_->AddUploaded(static_cast<std::int32_t>(r.length));
        used += static_cast<std::int32_t>(r.length);
    }
    if (connection_->PendingSend() > 0) {
        task_->CountPendingUpload();
        return OnSend();
    }
    return true;
}

bool TBTPeer::OnSend() {
    if (!IsConnected()) {
        return false;
    }
    const std::int32_t queued = connection_->PendingSend();
    if (queued <= 0 || !connection_->IsConnected()) {
        return true;
    }
    if (counters_.upRate < kSlowUpRate && queued > 1024 && (++sendPasses_ % 2) != 0 &&
        connState_ == kConnEstablished) {
        return true;  // at low rates every other pass: fuller packets
    }
    const std::int32_t half = bt_->UploadBudget() / 2;
    if (half <= 0 && connState_ == kConnEstablished) {
        return true;
    }
    std::int32_t chunk = kBlockSize;
    if (bt_->ActivePeers() < 12 && counters_.upRate < kSlowUpRate) {
        chunk = 8192;
    }
    if (half > 0 && chunk >= half) {
        chunk = std::max(half - 512, 512);
    }
    connection_->SetCompactSend(counters_.upRate > 262143);
    // The handshake and control messages go out whole; under an upload limit blocks are
    // paced by the chunk, so that one peer cannot take a pass's budget. Without a limit the
    // socket paces them: a chunk a round held every peer to about 8 MB/s.
    const std::int32_t limit =
        connState_ == kConnEstablished && bt_->UploadLimited() ? chunk + 1024 : -1;
    return connection_->Flush(limit) >= 0;
}

// ---- choking ----------------------------------------------------------------------------

bool TBTPeer::Choke() {
    weChoke_ = true;
    transferState_ = kTransferChoked;
    uploads_.Clear();
    return !IsEstablished() || SendNow(bt::Simple(bt::kChoke));
}

bool TBTPeer::Unchoke() {
    weChoke_ = false;
    transferState_ = remoteChokes_ ? kTransferChoked : kTransferActive;
    return !IsEstablished() || SendNow(bt::Simple(bt::kUnchoke));
}

}  // namespace koruvan::engine
