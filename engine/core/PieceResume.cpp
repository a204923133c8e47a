// The piece map's persistent side: the resume record and file list it writes when it
// closes its files, loading them back, and the piece cache of partly received pieces.
#include <algorithm>
#include <cstring>

#include "engine/core/PieceCache.h"
#include "engine/core/StorageObserver.h"
#include "engine/core/TPieces.h"
#include "platform/Paths.h"

namespace koruvan::engine {
namespace {

enum class FileMatch { kExact, kLarger, kUntrusted };

void PutU32(std::string& out, std::uint32_t v) {
    const char bytes[4] = {static_cast<char>(v), static_cast<char>(v >> 8),
                           static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
    out.append(bytes, 4);
}

std::uint32_t GetU32(std::string_view data, std::size_t at) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(data.data() + at);
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// How a file on disk compares with its entry in the record. A file that grew since the
// record was written keeps what the record says: the record was saved only after the data
// it counts had been flushed, and later writes only add to it.
FileMatch MatchFile(const TargetFile& file, const ResumeFile& entry) {
    const auto size = platform::FileSize(file.path);
    if (!size) {
        return entry.size == -1 ? FileMatch::kExact : FileMatch::kUntrusted;
    }
    if (entry.low == 0 && entry.high == 0) {
        return FileMatch::kUntrusted;  // recorded as missing (or unreadable), present now
    }
    if (entry.size >= 0 && *size == static_cast<std::uint64_t>(entry.size)) {
        return FileMatch::kExact;
    }
    if (entry.size >= 0 && *size > static_cast<std::uint64_t>(entry.size)) {
        return FileMatch::kLarger;
    }
    return FileMatch::kUntrusted;
}

std::string SerialisePiece(const Piece& p) {
    std::string out;
    PutU32(out, static_cast<std::uint32_t>(p.HashedBytes()));
    std::uint32_t count = 0;
    for (std::int32_t slot = 0; slot < p.BlockCount(); ++slot) {
        count += p.HasBlock(slot) ? 1 : 0;
    }
    PutU32(out, count);
    for (std::int32_t slot = 0; slot < p.BlockCount(); ++slot) {
        if (p.HasBlock(slot)) {
            PutU32(out, static_cast<std::uint32_t>(slot * kBlockSize));
            out.append(reinterpret_cast<const char*>(p.BlockData(slot)),
                       static_cast<std::size_t>(p.BlockLength(slot)));
        }
    }
    return out;
}

}  // namespace

// ---- loading ----------------------------------------------------------------------------

bool TPieces::LoadResume() {
    ResumeReader reader;
    std::vector<std::int64_t> recorded;
    bool trusted = acceptResume_ && !resumeBlob_.empty() && reader.Parse(resumeBlob_);
    if (trusted) {
        const auto stored = reader.InfoHash();
        trusted = !(stored && infoHash_ && *stored != *infoHash_);
    }
    for (TargetFile& f : storage_.Files()) {
        if (!trusted) {
            break;
        }
        const auto entry = reader.File(f.path, f.finalPath);
        trusted = entry && MatchFile(f, *entry) != FileMatch::kUntrusted;
        if (trusted) {
            if (!f.Skipped() && entry->priority >= -2 && entry->priority <= 2) {
                f.priority = entry->priority;
            }
            recorded.push_back(std::max<std::int64_t>(entry->size, 0));
        }
    }
    trusted = trusted && ApplyRecord(reader, recorded);
    if (!trusted) {
        // What is on disk is not vouched for: start empty, and keep whatever data still
        // matches the piece hashes.
        for (std::int32_t i = 0; i < pieceCount_; ++i) {
            pieces_[static_cast<std::size_t>(i)].Reset();
        }
        std::fill(bits_.begin(), bits_.end(), 0);
        ResetCounters();
        if (HasHashes() && verify_ && AnyTargetData()) {
            RecheckExistingData();
        }
    }
    bytesOnDisk_ = totalSize_;
    host_.OnPieceEvent(kEventBitfieldReset, 0, 0, nullptr);
    if (bytesDone_ <= totalSize_ && !checkInterrupted_) {
        LoadPieceCacheFile();
    }
    host_.OnPieceEvent(kEventPublish, 1, 0, nullptr);
    return true;
}

bool TPieces::DataWithin(std::int32_t piece, std::uint64_t bytes,
                         const std::vector<std::int64_t>& sizes) const {
    // Every byte the record counts for the piece must lie inside what the record says the
    // files held.
    const std::uint64_t start = PieceOffset(piece);
    const std::uint64_t end = start + bytes;
    const auto& files = storage_.Files();
    for (std::size_t i = 0; i < files.size(); ++i) {
        const TargetFile& f = files[i];
        if (f.length == 0 || f.offset >= end || f.offset + f.length <= start) {
            continue;
        }
        const std::uint64_t need = std::min(end, f.offset + f.length) - f.offset;
        if (i >= sizes.size() || static_cast<std::uint64_t>(sizes[i]) < need) {
            return false;
        }
    }
    return true;
}

bool TPieces::ApplyRecord(const ResumeReader& reader, const std::vector<std::int64_t>& sizes) {
    const auto bitfield = reader.BitField();
    if (!bitfield || bitfield->size() != bits_.size()) {
        return false;
    }
    for (std::int32_t i = 0; i < pieceCount_; ++i) {
        const auto byte = static_cast<std::uint8_t>((*bitfield)[static_cast<std::size_t>(i) / 8]);
        if ((byte & (0x80u >> (i % 8))) == 0) {
            continue;
        }
        if (!DataWithin(i, static_cast<std::uint64_t>(PieceSize(i)), sizes)) {
            return false;  // the record claims data the files never held
        }
        MarkHaveQuietly(i);
    }
    const std::int32_t unit = std::min(pieceLength_, kFlushMinimum);
    for (const ResumePiece& entry : reader.Pieces()) {
        if (!Valid(entry.index) || Have(entry.index) || entry.part <= 0 ||
            entry.part >= PieceSize(entry.index) || entry.part % unit != 0 ||
            entry.checksum != ResumeStatusChecksum(entry.index, entry.status) ||
            !DataWithin(entry.index, static_cast<std::uint64_t>(entry.part), sizes)) {
            continue;
        }
        Sha1State hash;
        if (!hash.Import(entry.status.data(), entry.status.size()) ||
            hash.BytesHashed() != static_cast<std::uint64_t>(entry.part)) {
            continue;
        }
        pieces_[static_cast<std::size_t>(entry.index)].RestorePrefix(entry.part, hash);
    }
    return true;
}

void TPieces::LoadPieceCacheFile() {
    if (!keepPieceCache_ || pieceCachePath_.empty()) {
        return;
    }
    const InfoHashBytes hash = infoHash_.value_or(InfoHashBytes{});
    (void)LoadPieceCache(
        pieceCachePath_, hash, pieceLength_, pieceCount_,
        [this](std::int32_t piece, std::string_view data) { return RestoreCached(piece, data); });
}

bool TPieces::RestoreCached(std::int32_t piece, std::string_view data) {
    Piece* p = At(piece);
    if (p == nullptr || !Valid(piece) || Have(piece) || p->busy || p->pending) {
        return true;  // nothing to restore into: skip the record
    }
    // The record must continue exactly where the resume record left the piece.
    bool ok = data.size() >= 8 && GetU32(data, 0) == static_cast<std::uint32_t>(p->HashedBytes());
    const std::uint32_t count = ok ? GetU32(data, 4) : 0;
    std::size_t at = 8;
    for (std::uint32_t i = 0; ok && i < count; ++i) {
        ok = at + 4 <= data.size();
        const std::uint32_t offset = ok ? GetU32(data, at) : 0;
        ok = ok && offset % kBlockSize == 0 &&
             offset >= static_cast<std::uint32_t>(p->HashedBytes()) &&
             offset < static_cast<std::uint32_t>(p->Length());
        const auto slot = static_cast<std::int32_t>(offset / kBlockSize);
        const auto n = ok ? static_cast<std::size_t>(p->BlockLength(slot)) : 0;
        ok = ok && !p->HasBlock(slot) && at + 4 + n <= data.size();
        if (ok) {
            const std::int32_t before = p->BufferedBytes();
            ok = p->StoreBlock(slot, reinterpret_cast<const std::uint8_t*>(data.data() + at + 4));
            buffered_ += p->BufferedBytes() - before;
            at += 4 + n;
        }
    }
    if (!ok || at != data.size()) {
        ResetPiece(piece);
        return false;
    }
    if (p->CompleteInMemory()) {
        CompletePiece(*p);
    }
    return true;
}

// ---- saving -----------------------------------------------------------------------------

void TPieces::SaveResume() {
    host_.OnPieceEvent(kEventResume, 0, 0, nullptr);
    // A record may only count data that is on the disk, and only once every byte on disk
    // is accounted for.
    if (pieceCount_ == 0 || checkInterrupted_ || !storage_.SyncAll() ||
        storage_.ConsumeSyncFailure()) {
        return;
    }
    ResumeRecord record;
    record.infoHash = infoHash_;
    for (TargetFile& f : storage_.Files()) {
        if (f.path.empty()) {
            break;
        }
        EngineFile probe;
        EngineFile* handle = f.file.IsOpen() ? &f.file : &probe;
        ResumeFile entry;
        entry.path = f.path;
        entry.priority = f.priority;
        if (handle->IsOpen() || probe.Open(f.path, true)) {
            const auto time = handle->LastWriteTime();
            const auto size = handle->Size();
            if (!time || !size) {
                break;
            }
            entry.low = static_cast<std::uint32_t>(*time);
            entry.high = static_cast<std::uint32_t>(*time >> 32);
            entry.size = static_cast<std::int64_t>(*size);
        }
        record.files.push_back(std::move(entry));
    }
    if (record.files.empty()) {
        return;
    }
    for (std::int32_t i = 0; i < pieceCount_; ++i) {
        const Piece& p = pieces_[static_cast<std::size_t>(i)];
        if (Have(i) || p.HashedBytes() <= 0 || p.Hash() == nullptr) {
            continue;
        }
        ResumePiece entry;
        entry.index = i;
        entry.part = p.HashedBytes();
        entry.status = p.Hash()->Export();
        entry.checksum = ResumeStatusChecksum(i, entry.status);
        record.pieces.push_back(entry);
    }
    record.bitfield.assign(bits_.begin(), bits_.end());
    const std::string blob = EncodeResumeRecord(record);
    if (!blob.empty()) {
        host_.OnPieceEvent(kEventResume, 0, static_cast<std::int32_t>(blob.size()), blob.data());
    }
}

void TPieces::SaveFileList() {
    std::vector<FileListEntry> entries;
    for (const TargetFile& f : storage_.Files()) {
        entries.push_back({f.relativeName, f.Skipped()});
    }
    const std::string blob = EncodeFileList(entries);
    if (!blob.empty()) {
        host_.OnPieceEvent(kEventFileList, 0, static_cast<std::int32_t>(blob.size()), blob.data());
    }
}

bool TPieces::SavePieceCacheFile() {
    if (!keepPieceCache_ || pieceCachePath_.empty()) {
        return true;
    }
    if (AllDone()) {
        if (StorageAllow(StorageOp::kWrite, pieceCachePath_)) {
            platform::RemoveFile(pieceCachePath_);
        }
        return true;
    }
    std::vector<PieceCacheRecord> records;
    for (std::int32_t i = 0; i < pieceCount_; ++i) {
        const Piece& p = pieces_[static_cast<std::size_t>(i)];
        if (p.BufferedBytes() > 0 && !p.pending && !Have(i)) {
            records.push_back({i, SerialisePiece(p)});
        }
    }
    return SavePieceCache(pieceCachePath_, infoHash_.value_or(InfoHashBytes{}), records);
}

void TPieces::CloseFiles(bool saveResume, bool finishing) {
    const bool all = AllDone();
    const bool closedWritable = storage_.CloseAll(finishing, [&](const TargetFile& f) {
        if (all || f.length == 0) {
            return all || f.length == 0;
        }
        for (std::int32_t i = f.firstPiece; i < f.firstPiece + f.pieceSpan; ++i) {
            if (!Have(i)) {
                return false;
            }
        }
        return true;
    });
    if (all) {
        for (std::int32_t i = 0; i < pieceCount_; ++i) {
            pieces_[static_cast<std::size_t>(i)].Reset();
        }
        buffered_ = 0;
        if (!pieceCachePath_.empty() && StorageAllow(StorageOp::kWrite, pieceCachePath_)) {
            platform::RemoveFile(pieceCachePath_);
        }
    }
    if (closedWritable || saveResume) {
        SaveResume();
    }
    SaveFileList();
}

}  // namespace koruvan::engine
