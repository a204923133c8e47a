// Single- and multi-file metainfo made with the engine's own bencode writer, for tests.
#pragma once

#include <openssl/sha.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/peers/BencodeCodec.h"

namespace koruvan::test {

// One file of a multi-file metainfo: its path components below the download's folder.
struct TorrentEntry {
    std::vector<std::string> path;
    std::uint64_t size = 0;
};

// A metainfo for `content`: one file named `name`, or, with `entries` (whose sizes add up to
// the content's), several files in a folder `name`.
inline std::string MakeTorrent(const std::string& name, const std::string& content,
                               std::int32_t pieceLength, const std::string& announce = "",
                               const std::vector<TorrentEntry>& entries = {}) {
    std::string hashes;
    for (std::size_t at = 0; at < content.size(); at += static_cast<std::size_t>(pieceLength)) {
        const std::size_t n = std::min(content.size() - at, static_cast<std::size_t>(pieceLength));
        unsigned char digest[SHA_DIGEST_LENGTH];
        SHA1(reinterpret_cast<const unsigned char*>(content.data() + at), n, digest);
        hashes.append(reinterpret_cast<const char*>(digest), SHA_DIGEST_LENGTH);
    }
    auto root = engine::NewDictionary();
    if (!announce.empty()) {
        root->AppendString("announce", -1);
        root->AppendString(announce.data(), static_cast<std::int32_t>(announce.size()));
    }
    root->AppendString("info", -1);
    auto info = engine::NewDictionary();
    if (entries.empty()) {
        info->AppendString("length", -1, static_cast<std::int64_t>(content.size()), true);
    } else {
        info->AppendString("files", -1);
        auto list = engine::NewList();
        for (const TorrentEntry& e : entries) {
            auto entry = engine::NewDictionary();
            entry->AppendString("length", -1, static_cast<std::int64_t>(e.size), true);
            entry->AppendString("path", -1);
            auto path = engine::NewList();
            for (const std::string& component : e.path) {
                path->AppendString(component.data(), static_cast<std::int32_t>(component.size()));
            }
            entry->Append(path.release());
            list->Append(entry.release());
        }
        info->Append(list.release());
    }
    info->AppendString("name", -1);
    info->AppendString(name.data(), static_cast<std::int32_t>(name.size()));
    info->AppendString("piece length", -1, pieceLength, true);
    info->AppendString("pieces", -1);
    info->AppendString(hashes.data(), static_cast<std::int32_t>(hashes.size()));
    root->Append(info.release());
    std::string out;
    if (!engine::Encode(root.get(), out)) {
        return {};
    }
    return out;
}

// The info hash of a metainfo document: SHA-1 over the raw bytes of its info dictionary.
inline std::array<std::uint8_t, 20> TorrentInfoHash(const std::string& torrent) {
    std::array<std::uint8_t, 20> hash{};
    const auto root = engine::ParseBencode(torrent);
    const engine::QElement* info = root != nullptr ? root->Find("info") : nullptr;
    if (info != nullptr) {
        SHA1(reinterpret_cast<const unsigned char*>(info->GetSource()),
             static_cast<std::size_t>(info->EncodedLength()), hash.data());
    }
    return hash;
}

}  // namespace koruvan::test
