// The task state file: writing, reading and parsing it (layout in StateFile.h).
#include "engine/core/StateFile.h"

#include <memory>
#include <string>

#include "engine/core/TWorkWithPieces.h"
#include "engine/core/base/LockGuard.h"
#include "engine/peers/BencodeCodec.h"
#include "platform/File.h"
#include "platform/Paths.h"

namespace koruvan::engine {
namespace {

// A loaded blob replaces the current one only when it is longer than this.
constexpr std::int32_t kMinimumBlobLength = 2;

}  // namespace

std::optional<StateFileBlobs> ParseStateFile(std::string_view content) {
    const auto root = ParseBencode(content);
    if (!root || root->ValidType() != kElementDictionary) {
        return std::nullopt;
    }
    StateFileBlobs blobs;
    const std::pair<const char*, std::optional<std::string>*> keys[] = {{"torrent", &blobs.torrent},
                                                                        {"part", &blobs.part},
                                                                        {"bits", &blobs.bits},
                                                                        {"seeds", &blobs.seeds}};
    for (const auto& [key, blob] : keys) {
        const QElement* value = root->Find(key);
        if (value != nullptr && value->ValidType() == kElementString &&
            value->GetTextLength() > kMinimumBlobLength) {
            blob->emplace(value->GetText());
        }
    }
    return blobs;
}

bool TWorkWithPieces::SaveStateFile(const std::string& path) {
    if (path.empty()) {
        return false;
    }
    std::string encoded;
    {
        LockGuard guard(&ThreadLock(), true);
        if (!bits_.dirty && !part_.dirty && !seeds_.dirty && !torrent_.dirty) {
            return true;
        }
        auto root = NewDictionary();
        const std::pair<const char*, const StateBlob*> blobs[] = {
            {"bits", &bits_}, {"part", &part_}, {"seeds", &seeds_}, {"torrent", &torrent_}};
        for (const auto& [key, blob] : blobs) {
            if (blob->data.empty()) {
                continue;
            }
            root->AppendString(key, -1);
            root->AppendString(blob->data.data(), static_cast<std::int32_t>(blob->data.size()));
        }
        if (!Encode(root.get(), encoded)) {
            return false;
        }
    }
    // Written under a temporary name and renamed, so a crash or a full disk leaves the
    // previous complete file.
    if (!platform::WriteFileAtomic(path, encoded)) {
        return false;
    }
    LockGuard guard(&ThreadLock(), true);
    bits_.dirty = part_.dirty = seeds_.dirty = torrent_.dirty = false;
    return true;
}

bool TWorkWithPieces::LoadStateFile(const std::string& path) {
    if (path.empty()) {
        return false;
    }
    std::string content;
    if (!platform::ReadWholeFile(path, content)) {
        return false;
    }
    auto blobs = ParseStateFile(content);
    if (!blobs) {
        return false;
    }
    LockGuard guard(&ThreadLock(), true);
    const std::pair<std::optional<std::string>*, StateBlob*> taken[] = {
        {&blobs->torrent, &torrent_},
        {&blobs->part, &part_},
        {&blobs->bits, &bits_},
        {&blobs->seeds, &seeds_}};
    for (const auto& [blob, into] : taken) {
        if (*blob) {
            into->data = std::move(**blob);
        }
    }
    bits_.dirty = part_.dirty = seeds_.dirty = torrent_.dirty = false;
    return true;
}

void TWorkWithPieces::DeleteStateFile(const std::string& path) {
    if (!path.empty()) {
        platform::RemoveFile(path);
    }
}

}  // namespace koruvan::engine
