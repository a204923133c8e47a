#include "engine/peers/UploadQueue.h"

#include <vector>

namespace koruvan::engine {

UploadQueue::Added UploadQueue::Add(const UploadRequest& request) {
    if (live_.count(request) != 0) {
        return Added::kDuplicate;
    }
    if (Bytes() + kEntryBytes > peerLimit_ ||
        shared_->load(std::memory_order_relaxed) + kEntryBytes > sharedLimit_) {
        return Added::kFull;
    }
    const std::uint64_t serial = nextSerial_++;
    order_.push_back(Slot{request, serial});
    live_.emplace(request, serial);
    shared_->fetch_add(kEntryBytes, std::memory_order_relaxed);
    return Added::kQueued;
}

bool UploadQueue::Cancel(const UploadRequest& request) {
    if (live_.erase(request) == 0) {
        return false;
    }
    SkipCancelled();
    return true;
}

const UploadRequest& UploadQueue::Front() {
    SkipCancelled();
    return order_.front().request;
}

void UploadQueue::PopFront() {
    SkipCancelled();
    if (!order_.empty()) {
        live_.erase(order_.front().request);
        PopSlot();
        SkipCancelled();
    }
}

void UploadQueue::DropPiece(std::uint32_t index) {
    std::vector<UploadRequest> dropped;
    for (const auto& [request, serial] : live_) {
        if (request.index == index) {
            dropped.push_back(request);
        }
    }
    for (const UploadRequest& request : dropped) {
        live_.erase(request);
    }
    SkipCancelled();
}

void UploadQueue::Clear() noexcept {
    shared_->fetch_sub(Bytes(), std::memory_order_relaxed);
    order_.clear();
    live_.clear();
}

void UploadQueue::SkipCancelled() noexcept {
    while (!order_.empty()) {
        const auto it = live_.find(order_.front().request);
        if (it != live_.end() && it->second == order_.front().serial) {
            return;
        }
        PopSlot();
    }
}

void UploadQueue::PopSlot() noexcept {
    order_.pop_front();
    shared_->fetch_sub(kEntryBytes, std::memory_order_relaxed);
}

}  // namespace koruvan::engine
