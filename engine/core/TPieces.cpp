#include "engine/core/TPieces.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

#include "engine/core/base/EngineClock.h"
#include "engine/peers/SourceUrl.h"
#include "engine/peers/TPeerId.h"
#include "engine/peers/UsageEvents.h"

namespace koruvan::engine {
namespace {

constexpr std::size_t kHashSize = 20;
constexpr std::int32_t kMaxBudgetUnits = 8000;
constexpr std::int32_t kMinBudgetUnits = 4;

// Event codes of a piece that failed its check, by the kind of source that supplied it.
constexpr std::string_view kEventWebPieceFailed = "11500101";
constexpr std::string_view kEventPeerPieceFailed = "11500102";

std::string AddressText(const TPeerId& peer) {
    std::uint8_t octets[4];
    std::memcpy(octets, &peer.ip, sizeof octets);  // network order in memory
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", octets[0], octets[1], octets[2], octets[3],
                  static_cast<unsigned>(peer.port));
    return text;
}

}  // namespace

TPieces::TPieces(PieceHost& host) : host_(host), storage_(host) {}

TPieces::~TPieces() = default;

// ---- layout -----------------------------------------------------------------------------

bool TPieces::TakeLayout(const MetainfoLayout& layout) {
    const std::uint64_t length = layout.pieceLength > 0 ? layout.pieceLength : 0;
    if (length == 0 || layout.pieceCount == 0 ||
        layout.pieceCount > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()) ||
        layout.files.empty() ||
        layout.files.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        return false;
    }
    // The pieces must cover the content exactly: the last one is 1..piece length bytes.
    const std::uint64_t covered = layout.pieceCount * length;
    if (covered < layout.totalSize || covered - layout.totalSize >= length) {
        return false;
    }
    if (!layout.pieceHashes.empty() && layout.pieceHashes.size() != layout.pieceCount * kHashSize) {
        return false;
    }
    std::uint64_t sum = 0;
    std::vector<TargetFile> files;
    files.reserve(layout.files.size());
    for (const MetainfoFile& f : layout.files) {
        if (f.fullPath.empty() || f.size > layout.totalSize - sum) {
            return false;
        }
        sum += f.size;
        TargetFile t;
        t.index = static_cast<std::int32_t>(files.size());
        t.path = SanitizeTargetPath(f.fullPath);
        t.relativeName = f.relativeName;
        t.length = f.size;
        UseTemporaryName(t);
        files.push_back(std::move(t));
    }
    if (sum != layout.totalSize) {
        return false;
    }
    name_ = layout.name;
    pieceLength_ = layout.pieceLength;
    pieceCount_ = static_cast<std::int32_t>(layout.pieceCount);
    totalSize_ = layout.totalSize;
    hashes_ = layout.pieceHashes;
    PrepareFileTable(files, pieceLength_);
    storage_.SetLayout(std::move(files), pieceLength_, totalSize_);
    pieces_ = std::make_unique<Piece[]>(static_cast<std::size_t>(pieceCount_));
    for (std::int32_t i = 0; i < pieceCount_; ++i) {
        const auto* expected =
            hashes_.empty() ? nullptr
                            : reinterpret_cast<const std::uint8_t*>(hashes_.data()) + kHashSize * i;
        pieces_[static_cast<std::size_t>(i)].Init(i, PieceSize(i), expected);
    }
    bits_.assign((static_cast<std::size_t>(pieceCount_) + 7) / 8, 0);
    return true;
}

bool TPieces::Build(const MetainfoLayout& layout, const std::optional<InfoHashBytes>& infoHash,
                    const PieceMapOptions& options) {
    ResetCounters();
    if (!TakeLayout(layout)) {
        return false;
    }
    infoHash_ = infoHash;
    verify_ = options.verify;
    keepPieceCache_ = options.keepPieceCache;
    acceptResume_ = options.acceptResume;
    trustExisting_ = options.trustExisting;
    pieceCachePath_ = options.keepPieceCache ? options.pieceCachePath : std::string();
    resumeBlob_ = options.resumeBlob;
    targetName_ = options.targetName;
    storage_.SetPreallocate(options.preallocate);
    const std::int32_t units =
        options.budgetUnits == 0
            ? 1
            : std::min(kMaxBudgetUnits, std::max(options.budgetUnits, kMinBudgetUnits));
    budgetBytes_ = units * kBudgetUnitBytes;
    host_.OnPieceEvent(kEventPieceCount, 0, pieceCount_, nullptr);
    const bool ok = trustExisting_ ? CheckExistingFiles() : LoadResume();
    lastProgress_ = EngineSeconds();
    return ok;
}

void TPieces::ResetCounters() noexcept {
    piecesDone_ = 0;
    bytesDone_ = 0;
    bytesOnDisk_ = 0;
    lastCompleted_ = -1;
    pendingCount_ = 0;
    buffered_ = 0;
    checkInterrupted_ = false;
    pendingOrder_.clear();
}

std::int32_t TPieces::PieceSize(std::int32_t piece) const noexcept {
    if (piece < 0 || piece >= pieceCount_) {
        return 0;
    }
    const std::uint64_t start = PieceOffset(piece);
    return static_cast<std::int32_t>(
        std::min<std::uint64_t>(static_cast<std::uint64_t>(pieceLength_), totalSize_ - start));
}

std::uint64_t TPieces::PieceOffset(std::int32_t piece) const noexcept {
    return static_cast<std::uint64_t>(piece) * static_cast<std::uint64_t>(pieceLength_);
}

std::uint64_t TPieces::BytesNeeded() const noexcept {
    std::uint64_t skipped = 0;
    for (const TargetFile& f : storage_.Files()) {
        if (f.Skipped()) {
            skipped += f.length;
        }
    }
    return totalSize_ - skipped;
}

Piece* TPieces::At(std::int32_t piece) noexcept {
    return piece >= 0 && piece < pieceCount_ ? &pieces_[static_cast<std::size_t>(piece)] : nullptr;
}

// ---- predicates -------------------------------------------------------------------------

bool TPieces::Valid(std::int32_t piece) const noexcept {
    return piece >= 0 && piece < pieceCount_ &&
           pieces_[static_cast<std::size_t>(piece)].Length() > 0;
}

bool TPieces::Have(std::int32_t piece) const noexcept {
    return Valid(piece) &&
           (bits_[static_cast<std::size_t>(piece) / 8] & (0x80u >> (piece % 8))) != 0;
}

bool TPieces::Wanted(std::int32_t piece) const noexcept {
    if (!Valid(piece) || Have(piece)) {
        return false;
    }
    const Piece& p = pieces_[static_cast<std::size_t>(piece)];
    return !p.busy && !p.pending;
}

bool TPieces::Partial(std::int32_t piece) const noexcept {
    if (!Wanted(piece)) {
        return false;
    }
    const Piece& p = pieces_[static_cast<std::size_t>(piece)];
    return p.BufferedBytes() > 0 || p.HashedBytes() > 0;
}

bool TPieces::HasBlockAt(std::int32_t piece, std::int32_t offset,
                         std::int32_t length) const noexcept {
    if (!Valid(piece) || offset < 0 || length <= 0 || offset % kBlockSize != 0) {
        return false;
    }
    if (Have(piece)) {
        return true;
    }
    const Piece& p = pieces_[static_cast<std::size_t>(piece)];
    const std::int32_t slot = offset / kBlockSize;
    return p.HasBlock(slot) && p.BlockLength(slot) == length;
}

bool TPieces::HasBlock(std::int32_t block) const noexcept {
    const std::int32_t piece = PieceOfBlock(block);
    if (piece < 0) {
        return false;
    }
    const auto offset = static_cast<std::int32_t>(static_cast<std::int64_t>(block) * kBlockSize -
                                                  static_cast<std::int64_t>(PieceOffset(piece)));
    return HasBlockAt(piece, offset, BlockLength(block));
}

std::int32_t TPieces::MissingBytes(std::int32_t piece, std::int32_t* firstOffset) const noexcept {
    if (firstOffset != nullptr) {
        *firstOffset = 0;
    }
    if (!Wanted(piece)) {
        return 0;
    }
    const Piece& p = pieces_[static_cast<std::size_t>(piece)];
    std::int32_t missing = 0;
    bool first = true;
    for (std::int32_t slot = p.HashedBytes() / kBlockSize; slot < p.BlockCount(); ++slot) {
        if (!p.HasBlock(slot)) {
            if (first && firstOffset != nullptr) {
                *firstOffset = slot * kBlockSize;
            }
            first = false;
            missing += p.BlockLength(slot);
        }
    }
    return missing;
}

std::int32_t TPieces::PieceOfBlock(std::int32_t block) const noexcept {
    if (block < 0 || pieceLength_ <= 0 || pieceLength_ % kBlockSize != 0) {
        return -1;
    }
    const std::uint64_t offset = static_cast<std::uint64_t>(block) * kBlockSize;
    if (offset >= totalSize_) {
        return -1;
    }
    return static_cast<std::int32_t>(offset / static_cast<std::uint64_t>(pieceLength_));
}

std::int32_t TPieces::BlockLength(std::int32_t block) const noexcept {
    if (PieceOfBlock(block) < 0) {
        return 0;
    }
    const std::uint64_t offset = static_cast<std::uint64_t>(block) * kBlockSize;
    return static_cast<std::int32_t>(std::min<std::uint64_t>(kBlockSize, totalSize_ - offset));
}

std::int32_t TPieces::FirstBlockOf(std::int32_t piece) const noexcept {
    if (!Valid(piece) || pieceLength_ % kBlockSize != 0) {
        return -1;
    }
    return static_cast<std::int32_t>(PieceOffset(piece) / kBlockSize);
}

// ---- receiving --------------------------------------------------------------------------

std::int32_t TPieces::PutBlock(std::int32_t block, std::int32_t length, const std::uint8_t* data,
                               TPeerId* supplier, bool& accepted) {
    accepted = false;
    const std::int32_t index = PieceOfBlock(block);
    if (data == nullptr || !Wanted(index)) {
        return 0;
    }
    Piece& p = pieces_[static_cast<std::size_t>(index)];
    const auto offset = static_cast<std::int32_t>(static_cast<std::int64_t>(block) * kBlockSize -
                                                  static_cast<std::int64_t>(PieceOffset(index)));
    const std::int32_t slot = offset / kBlockSize;
    if (length != p.BlockLength(slot)) {
        return 0;  // a block is always delivered whole
    }
    p.SetSupplier(supplier);
    ++p.supplierBlocks;
    p.lastUse = EngineSeconds();
    if (offset >= p.HashedBytes()) {
        const std::int32_t before = p.BufferedBytes();
        if (!p.StoreBlock(slot, data)) {
            return 0;  // no memory for it: the block is fetched again
        }
        buffered_ += p.BufferedBytes() - before;
    }
    accepted = true;
    std::int32_t result = 0;
    if (p.CompleteInMemory()) {
        result = CompletePiece(p);
    } else if (p.ContiguousFromPrefix() >= kFlushMinimum) {
        result = FlushContiguous(p, kFlushMinimum);
    }
    EnforceBudget();
    return result;
}

std::int32_t TPieces::CompletePiece(Piece& p) {
    const std::uint8_t* expected = p.ExpectedHash();
    if (verify_ && expected != nullptr) {
        Sha1State hash = p.Hash() != nullptr ? *p.Hash() : Sha1State();
        for (std::int32_t slot = p.HashedBytes() / kBlockSize; slot < p.BlockCount(); ++slot) {
            hash.Update(p.BlockData(slot), static_cast<std::size_t>(p.BlockLength(slot)));
        }
        const Sha1State::Digest digest = hash.Peek();
        if (std::memcmp(digest.data(), expected, digest.size()) != 0) {
            FailPiece(p);
            return kPieceFailed;
        }
    }
    if (TPeerId* supplier = p.Supplier()) {
        supplier->failures = 0;
    }
    p.pending = true;
    p.verified = true;
    ++pendingCount_;
    pendingOrder_.push_back(p.Index());
    if (piecesDone_ + pendingCount_ >= pieceCount_) {
        WriteAllPending();  // nothing else is missing: finish now rather than at the next sync
    } else if (p.HashedBytes() > 0) {
        // Most of the piece is on disk already and only its tail is in memory: keeping it
        // pending saves nothing, and it would stay out of the progress (bytes done count
        // written pieces) until the budget or the next save forced it out.
        WritePendingPiece(p);
    }
    return kPieceCompleted;
}

void TPieces::FailPiece(Piece& p) {
    buffered_ -= p.BufferedBytes();
    p.Reset();
    TPeerId* supplier = p.Supplier();
    if (supplier == nullptr) {
        return;
    }
    ++supplier->Details().failedPieces;
    if ((supplier->kind & kKindBitTorrent) != 0) {
        ReportUsageEvent(kEventPeerPieceFailed, AddressText(*supplier), targetName_);
    } else if ((supplier->kind & kKindWebSource) != 0) {
        ReportUsageEvent(kEventWebPieceFailed, supplier->text, targetName_);
    }
}

// ---- writing in piece order -------------------------------------------------------------

// The blocks go to the disk straight from their buffers, up to 1 MiB in one call.
template <typename OnWritten>
bool TPieces::WriteBlocks(Piece& p, std::int32_t firstSlot, std::int32_t end, OnWritten written) {
    constexpr std::size_t kGatherBytes = 1024 * 1024;
    const std::uint64_t base = PieceOffset(p.Index());
    std::int32_t runStart = firstSlot;
    std::size_t gathered = 0;
    spans_.clear();
    const auto flushRun = [&](std::int32_t stopSlot) {
        if (spans_.empty()) {
            return true;
        }
        const std::uint64_t at = base + static_cast<std::uint64_t>(runStart) * kBlockSize;
        if (storage_.WriteSpans(at, spans_, gathered) != gathered) {
            return false;
        }
        for (std::int32_t slot = runStart; slot < stopSlot; ++slot) {
            written(slot, p.BlockData(slot), p.BlockLength(slot));
        }
        spans_.clear();
        gathered = 0;
        return true;
    };
    for (std::int32_t slot = firstSlot; slot < p.BlockCount() && slot * kBlockSize < end; ++slot) {
        const std::uint8_t* data = p.BlockData(slot);
        if (data == nullptr) {
            return false;
        }
        const std::int32_t n = p.BlockLength(slot);
        spans_.push_back({data, static_cast<std::size_t>(n)});
        gathered += static_cast<std::size_t>(n);
        if (gathered >= kGatherBytes) {
            if (!flushRun(slot + 1)) {
                return false;
            }
            runStart = slot + 1;
        }
    }
    const std::int32_t stop = std::min(p.BlockCount(), (end + kBlockSize - 1) / kBlockSize);
    return flushRun(stop);
}

std::int32_t TPieces::FlushContiguous(Piece& p, std::int32_t minimum) {
    if (p.verified || p.BufferedBytes() == 0) {
        return 0;
    }
    const std::int32_t run = p.ContiguousFromPrefix();
    if (run < minimum || run == 0) {
        return 0;
    }
    if (p.HashedBytes() + run == p.Length()) {
        return CompletePiece(p);
    }
    // Only whole flush units, so that the stored prefix can always be taken up again.
    const std::int32_t unit = std::min(pieceLength_, kFlushMinimum);
    const std::int32_t end = (p.HashedBytes() + run) / unit * unit;
    if (end <= p.HashedBytes()) {
        return 0;
    }
    p.busy = true;
    const bool ok = WriteBlocks(p, p.HashedBytes() / kBlockSize, end,
                                [&](std::int32_t slot, const std::uint8_t* data, std::int32_t n) {
                                    p.AdvancePrefix(data, n);
                                    p.DropBlock(slot);
                                    buffered_ -= n;
                                });
    if (!ok) {
        buffered_ -= p.BufferedBytes();
        p.Reset();  // a short write loses the piece's progress; it is fetched again
        return 0;
    }
    p.busy = false;
    return 0;
}

bool TPieces::WritePendingPiece(Piece& p) {
    if (!p.pending) {
        return false;
    }
    p.busy = true;
    const bool ok = WriteBlocks(p, p.HashedBytes() / kBlockSize, p.Length(),
                                [](std::int32_t, const std::uint8_t*, std::int32_t) {});
    p.pending = false;
    --pendingCount_;
    pendingOrder_.erase(std::remove(pendingOrder_.begin(), pendingOrder_.end(), p.Index()),
                        pendingOrder_.end());
    buffered_ -= p.BufferedBytes();
    p.Reset();  // buffers and hash state are no longer needed either way
    if (ok) {
        SetPieceState(p.Index(), true);
    }
    return ok;
}

void TPieces::WriteAllPending() {
    while (!pendingOrder_.empty()) {
        WritePendingPiece(pieces_[static_cast<std::size_t>(pendingOrder_.front())]);
    }
}

std::int64_t TPieces::KeepLimit() const noexcept {
    const std::int64_t written = static_cast<std::int64_t>(storage_.BytesWrittenToDisk());
    return written < budgetBytes_ / 2 ? budgetBytes_ / 5 : budgetBytes_ / 2;
}

void TPieces::EnforceBudget() {
    // Complete pieces stay in memory (for uploads) only while the buffers are small.
    while (!pendingOrder_.empty() && buffered_ >= KeepLimit()) {
        WritePendingPiece(pieces_[static_cast<std::size_t>(pendingOrder_.front())]);
    }
}

void TPieces::Synchronize() {
    for (std::int32_t i = 0; i < pieceCount_; ++i) {
        Piece& p = pieces_[static_cast<std::size_t>(i)];
        if (p.BufferedBytes() == 0) {
            continue;
        }
        if (!p.pending && !p.verified && !p.busy && !Have(i) &&
            p.BufferedBytes() >= kFlushMinimum) {
            FlushContiguous(p, kFlushMinimum);
        } else if (p.pending && p.verified && buffered_ >= KeepLimit()) {
            WritePendingPiece(p);
        }
    }
    buffered_ = 0;
    for (std::int32_t i = 0; i < pieceCount_; ++i) {
        buffered_ += pieces_[static_cast<std::size_t>(i)].BufferedBytes();
    }
}

bool TPieces::FlushAll() {
    WriteAllPending();
    const std::int32_t unit = std::min(pieceLength_, kFlushMinimum);
    for (std::int32_t i = 0; i < pieceCount_; ++i) {
        Piece& p = pieces_[static_cast<std::size_t>(i)];
        if (p.BufferedBytes() > 0 && !p.pending && !Have(i)) {
            FlushContiguous(p, unit);
        }
    }
    WriteAllPending();  // a flush may have completed a piece
    return storage_.SyncAll();
}

void TPieces::ResetPiece(std::int32_t piece) {
    Piece* p = At(piece);
    if (p == nullptr || Have(piece) || p->pending || p->busy) {
        return;
    }
    buffered_ -= p->BufferedBytes();
    p->Reset();
}

void TPieces::SetBit(std::int32_t piece, bool on) noexcept {
    const auto mask = static_cast<std::uint8_t>(0x80u >> (piece % 8));
    auto& byte = bits_[static_cast<std::size_t>(piece) / 8];
    byte = on ? static_cast<std::uint8_t>(byte | mask) : static_cast<std::uint8_t>(byte & ~mask);
}

void TPieces::MarkHaveQuietly(std::int32_t piece) noexcept {
    if (!Valid(piece) || Have(piece)) {
        return;
    }
    SetBit(piece, true);
    bytesDone_ += static_cast<std::uint64_t>(PieceSize(piece));
    ++piecesDone_;
    lastCompleted_ = piece;
}

void TPieces::SetPieceState(std::int32_t piece, bool have) {
    if (!Valid(piece) || Have(piece) == have) {
        return;
    }
    const auto size = static_cast<std::uint64_t>(PieceSize(piece));
    if (have) {
        SetBit(piece, true);
        bytesDone_ += size;
        ++piecesDone_;
        lastCompleted_ = piece;
        lastProgress_ = EngineSeconds();
    } else {
        SetBit(piece, false);
        bytesDone_ = bytesDone_ > size ? bytesDone_ - size : 0;
        piecesDone_ = std::max(piecesDone_ - 1, 0);
        if (lastCompleted_ == piece) {
            lastCompleted_ = -1;
        }
    }
    host_.OnPieceEvent(kEventPieceState, have ? 1 : 0, piece, nullptr);
}

// ---- reading ----------------------------------------------------------------------------

std::int32_t TPieces::ReadPiece(std::int32_t piece, std::int32_t offset, std::int32_t length,
                                std::uint8_t* out) {
    if (!Valid(piece) || out == nullptr || offset < 0 || length <= 0 ||
        offset >= PieceSize(piece)) {
        return 0;
    }
    length = std::min(length, PieceSize(piece) - offset);
    if (Have(piece)) {
        return static_cast<std::int32_t>(
            storage_.Read(PieceOffset(piece) + static_cast<std::uint64_t>(offset), out,
                          static_cast<std::size_t>(length)));
    }
    // Not written yet: only what is buffered in memory can be served.
    const Piece& p = pieces_[static_cast<std::size_t>(piece)];
    std::int32_t done = 0;
    while (done < length) {
        const std::int32_t at = offset + done;
        const std::int32_t slot = at / kBlockSize;
        const std::uint8_t* data = p.BlockData(slot);
        if (data == nullptr) {
            break;
        }
        const std::int32_t inBlock = at - slot * kBlockSize;
        const std::int32_t n = std::min(p.BlockLength(slot) - inBlock, length - done);
        std::memcpy(out + done, data + inBlock, static_cast<std::size_t>(n));
        done += n;
    }
    return done;
}

std::int32_t TPieces::ReadBlock(std::int32_t block, std::int32_t length, std::uint8_t* out) {
    const std::int32_t piece = PieceOfBlock(block);
    if (piece < 0 || length != BlockLength(block)) {
        return 0;
    }
    const auto offset = static_cast<std::int32_t>(static_cast<std::int64_t>(block) * kBlockSize -
                                                  static_cast<std::int64_t>(PieceOffset(piece)));
    return ReadPiece(piece, offset, length, out);
}

}  // namespace koruvan::engine
