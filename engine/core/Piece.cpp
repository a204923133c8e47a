#include "engine/core/Piece.h"

#include <algorithm>
#include <cstring>

#include "engine/peers/TPeerId.h"

namespace koruvan::engine {

Piece::~Piece() {
    SetSupplier(nullptr);
}

void Piece::Init(std::int32_t index, std::int32_t length,
                 const std::uint8_t* expectedHash) noexcept {
    index_ = index;
    length_ = length;
    expected_ = expectedHash;
}

std::int32_t Piece::BlockLength(std::int32_t slot) const noexcept {
    return std::min(kBlockSize, length_ - slot * kBlockSize);
}

bool Piece::HasBlock(std::int32_t slot) const noexcept {
    return slot >= 0 && static_cast<std::size_t>(slot) < blocks_.size() &&
           blocks_[static_cast<std::size_t>(slot)] != nullptr;
}

const std::uint8_t* Piece::BlockData(std::int32_t slot) const noexcept {
    return HasBlock(slot) ? blocks_[static_cast<std::size_t>(slot)].get() : nullptr;
}

bool Piece::StoreBlock(std::int32_t slot, const std::uint8_t* data) {
    if (slot < 0 || slot >= BlockCount()) {
        return false;
    }
    if (blocks_.empty()) {
        blocks_.resize(static_cast<std::size_t>(BlockCount()));
    }
    auto& holder = blocks_[static_cast<std::size_t>(slot)];
    if (holder == nullptr) {
        holder = TakeBlockBuffer();
        if (holder == nullptr) {
            return false;
        }
        buffered_ += BlockLength(slot);
    }
    std::memcpy(holder.get(), data, static_cast<std::size_t>(BlockLength(slot)));
    return true;
}

void Piece::DropBlock(std::int32_t slot) noexcept {
    if (HasBlock(slot)) {
        blocks_[static_cast<std::size_t>(slot)].reset();
        buffered_ -= BlockLength(slot);
    }
}

std::int32_t Piece::ContiguousFromPrefix() const noexcept {
    std::int32_t bytes = 0;
    for (std::int32_t slot = hashedBytes_ / kBlockSize; HasBlock(slot); ++slot) {
        bytes += BlockLength(slot);
    }
    return bytes;
}

void Piece::ReleaseBuffers() noexcept {
    blocks_.clear();
    blocks_.shrink_to_fit();
    buffered_ = 0;
}

Sha1State& Piece::EnsureHash() {
    if (!hash_) {
        hash_ = std::make_unique<Sha1State>();
    }
    return *hash_;
}

void Piece::AdvancePrefix(const std::uint8_t* data, std::int32_t size) {
    // Without a digest to check against (a layout without metainfo) the running hash would
    // be computed for nothing; only the prefix length is kept.
    if (expected_ != nullptr) {
        EnsureHash().Update(data, static_cast<std::size_t>(size));
    }
    hashedBytes_ += size;
}

void Piece::RestorePrefix(std::int32_t hashedBytes, const Sha1State& hash) {
    EnsureHash() = hash;
    hashedBytes_ = hashedBytes;
}

void Piece::Reset() noexcept {
    ReleaseBuffers();
    hash_.reset();
    hashedBytes_ = 0;
    busy = false;
    pending = false;
    verified = false;
}

void Piece::SetSupplier(TPeerId* peer) noexcept {
    if (peer == supplier_) {
        return;
    }
    if (peer != nullptr) {
        peer->AddRef();
    }
    if (supplier_ != nullptr) {
        supplier_->Release();
    }
    supplier_ = peer;
    supplierBlocks = 0;
}

}  // namespace koruvan::engine
