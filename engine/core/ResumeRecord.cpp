#include "engine/core/ResumeRecord.h"

#include <zlib.h>

#include <cstring>
#include <limits>

#include "engine/peers/BencodeCodec.h"

namespace koruvan::engine {
namespace {

std::int32_t ClampToInt32(std::int64_t v) noexcept {
    if (v < std::numeric_limits<std::int32_t>::min() ||
        v > std::numeric_limits<std::int32_t>::max()) {
        return -1;
    }
    return static_cast<std::int32_t>(v);
}

bool TextIs(const QElement* e, std::string_view text) noexcept {
    return e != nullptr && e->Type() == kElementString && e->GetText() == text;
}

// One "PieceStatus" dictionary; keys carrying integers have no value child of their own.
std::optional<ResumePiece> ReadPiece(const QElement& dict) {
    ResumePiece piece;
    bool haveStatus = false;
    bool haveIndex = false;
    const std::int32_t n = dict.Count();
    for (std::int32_t i = 0; i < n; ++i) {
        const QElement* child = dict.At(i);
        if (TextIs(child, "Index")) {
            piece.index = ClampToInt32(child->GetInteger());
            haveIndex = true;
        } else if (TextIs(child, "Part")) {
            piece.part = ClampToInt32(child->GetInteger());
        } else if (TextIs(child, "CRC32")) {
            piece.checksum = static_cast<std::uint32_t>(child->GetInteger());
        } else if (TextIs(child, "Status") && !child->HasInteger() && i + 1 < n) {
            const QElement* value = dict.At(++i);
            const std::string_view bytes = value->GetText();
            if (value->Type() == kElementString && bytes.size() >= Sha1State::kStoredSize) {
                std::memcpy(piece.status.data(), bytes.data(), Sha1State::kStoredSize);
                haveStatus = true;
            }
        }
    }
    // A negative count (or one past 32 bits, clamped to -1) is a damaged entry.
    if (!haveStatus || !haveIndex || piece.index < 0 || piece.part < 0) {
        return std::nullopt;
    }
    return piece;
}

}  // namespace

std::uint32_t ResumeStatusChecksum(std::int32_t index, const Sha1State::Stored& status) noexcept {
    return static_cast<std::uint32_t>(adler32(static_cast<uLong>(static_cast<std::uint32_t>(index)),
                                              status.data(), static_cast<uInt>(status.size())));
}

std::string EncodeResumeRecord(const ResumeRecord& record) {
    auto root = NewDictionary();
    if (record.infoHash) {
        root->AppendString("infohash", -1);
        root->AppendString(reinterpret_cast<const char*>(record.infoHash->data()), 20);
    }
    for (const ResumeFile& f : record.files) {
        if (f.path.empty() ||
            f.path.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
            return {};
        }
        root->AppendString(f.path.data(), static_cast<std::int32_t>(f.path.size()));
        root->AppendString("Low", -1, f.low);
        root->AppendString("High", -1, f.high);
        root->AppendString("Size", -1, f.size);
        root->AppendString("Priority", -1, f.priority);
    }
    root->AppendString("PieceStatus", -1);
    auto list = NewList();
    for (const ResumePiece& p : record.pieces) {
        auto dict = NewDictionary();
        dict->AppendString("Index", -1, p.index);
        dict->AppendString("Part", -1, p.part);
        dict->AppendString("Status", -1);
        dict->AppendString(reinterpret_cast<const char*>(p.status.data()),
                           static_cast<std::int32_t>(p.status.size()));
        dict->AppendString("CRC32", -1, p.checksum);
        if (list->Append(dict.get()) != nullptr) {
            (void)dict.release();
        }
    }
    if (root->Append(list.get()) != nullptr) {
        (void)list.release();
    }
    root->AppendString("BitField", -1);
    root->AppendString(record.bitfield.data(), static_cast<std::int32_t>(record.bitfield.size()));
    std::string out;
    if (!Encode(root.get(), out)) {
        return {};
    }
    return out;
}

bool ResumeReader::Parse(std::string_view blob) {
    root_.reset();
    blob_.assign(blob);
    auto root = ParseBencode(blob_);
    if (!root || root->ValidType() != kElementDictionary) {
        return false;
    }
    root_ = std::move(root);
    return true;
}

const QElement* ResumeReader::ValueAfter(const char* key) const {
    if (!root_) {
        return nullptr;
    }
    const QElement* k = root_->FindString(key);
    return k != nullptr && !k->HasInteger() ? root_->NextOf(k) : nullptr;
}

std::optional<InfoHashBytes> ResumeReader::InfoHash() const {
    const QElement* value = ValueAfter("infohash");
    if (value == nullptr || value->Type() != kElementString || value->GetText().size() != 20) {
        return std::nullopt;
    }
    InfoHashBytes out{};
    std::memcpy(out.data(), value->GetText().data(), out.size());
    return out;
}

std::optional<ResumeFile> ResumeReader::File(const std::string& path,
                                             const std::string& alternative) const {
    if (!root_ || path.empty()) {
        return std::nullopt;
    }
    const QElement* name = root_->FindString(path.c_str(), static_cast<std::int32_t>(path.size()));
    if (name == nullptr && !alternative.empty()) {
        name =
            root_->FindString(alternative.c_str(), static_cast<std::int32_t>(alternative.size()));
    }
    if (name == nullptr) {
        return std::nullopt;
    }
    const QElement* low = root_->NextOf(name);
    const QElement* high = root_->NextOf(low);
    const QElement* size = root_->NextOf(high);
    if (!TextIs(low, "Low") || !TextIs(high, "High") || !TextIs(size, "Size")) {
        return std::nullopt;
    }
    ResumeFile f;
    f.path.assign(name->GetText());
    f.low = static_cast<std::uint32_t>(low->GetInteger());
    f.high = static_cast<std::uint32_t>(high->GetInteger());
    f.size = size->GetInteger();
    const QElement* priority = root_->NextOf(size);
    if (TextIs(priority, "Priority")) {
        f.priority = ClampToInt32(priority->GetInteger());
    }
    return f;
}

std::optional<std::string> ResumeReader::BitField() const {
    const QElement* value = ValueAfter("BitField");
    if (value == nullptr || value->Type() != kElementString) {
        return std::nullopt;
    }
    return std::string(value->GetText());
}

std::vector<ResumePiece> ResumeReader::Pieces() const {
    std::vector<ResumePiece> out;
    const QElement* list = ValueAfter("PieceStatus");
    if (list == nullptr || list->ValidType() != kElementList) {
        return out;
    }
    const std::int32_t n = list->Count();
    for (std::int32_t i = 0; i < n; ++i) {
        const QElement* entry = list->At(i);
        if (entry == nullptr || entry->ValidType() != kElementDictionary) {
            continue;
        }
        if (auto piece = ReadPiece(*entry)) {
            out.push_back(*piece);
        }
    }
    return out;
}

std::string EncodeFileList(const std::vector<FileListEntry>& files) {
    auto list = NewList();
    for (const FileListEntry& f : files) {
        if (f.relativeName.empty()) {
            continue;  // an empty text could not carry the skip mark
        }
        list->AppendString(f.relativeName.data(), static_cast<std::int32_t>(f.relativeName.size()),
                           f.skipped ? 1 : 0);
    }
    auto empty = NewDictionary();
    if (list->Append(empty.get()) != nullptr) {
        (void)empty.release();
    }
    std::string out;
    if (!Encode(list.get(), out)) {
        return {};
    }
    return out;
}

}  // namespace koruvan::engine
