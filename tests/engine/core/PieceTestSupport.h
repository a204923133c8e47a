// Helpers for the piece-layer tests: deterministic content, torrents built with the
// project's own bencode writer, a recording piece host and a recording usage-event sink.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/core/BlockBuffers.h"
#include "engine/core/PieceHost.h"
#include "engine/core/Sha1State.h"
#include "engine/core/TPieces.h"
#include "engine/peers/BencodeCodec.h"
#include "engine/peers/MetainfoLayout.h"
#include "engine/peers/UsageEvents.h"

namespace koruvan::test {

// Content that differs at every offset, so misplaced data is always noticed.
inline std::string MakeContent(std::size_t size, std::uint32_t seed = 1) {
    std::string out(size, '\0');
    std::uint32_t x = seed * 2654435761u + 12345u;
    for (std::size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        out[i] = static_cast<char>(x >> 24);
    }
    return out;
}

inline std::string PieceHashes(const std::string& content, std::int32_t pieceLength) {
    std::string hashes;
    for (std::size_t at = 0; at < content.size(); at += static_cast<std::size_t>(pieceLength)) {
        const std::size_t n =
            std::min<std::size_t>(static_cast<std::size_t>(pieceLength), content.size() - at);
        const auto digest = engine::Sha1State::Of(content.data() + at, n);
        hashes.append(reinterpret_cast<const char*>(digest.data()), digest.size());
    }
    return hashes;
}

struct TorrentFile {
    std::string name;  // one path component
    std::uint64_t size = 0;
};

// A metainfo for `content`: one file named `name`, or several files in a folder `name`.
inline std::string MakeTorrent(const std::string& name, std::int32_t pieceLength,
                               const std::string& content,
                               const std::vector<TorrentFile>& files = {}) {
    using namespace engine;
    auto info = NewDictionary();
    if (files.empty()) {
        info->AppendString("length", -1, static_cast<std::int64_t>(content.size()));
    } else {
        info->AppendString("files", -1);
        auto list = NewList();
        for (const TorrentFile& f : files) {
            auto entry = NewDictionary();
            entry->AppendString("length", -1, static_cast<std::int64_t>(f.size), true);
            entry->AppendString("path", -1);
            auto path = NewList();
            path->AppendString(f.name.c_str(), -1);
            entry->Append(path.release());
            list->Append(entry.release());
        }
        info->Append(list.release());
    }
    info->AppendString("name", -1);
    info->AppendString(name.c_str(), -1);
    info->AppendString("piece length", -1, pieceLength);
    info->AppendString("pieces", -1);
    const std::string hashes = PieceHashes(content, pieceLength);
    info->AppendString(hashes.data(), static_cast<std::int32_t>(hashes.size()));
    auto root = NewDictionary();
    root->AppendString("announce", -1);
    root->AppendString("http://tracker.koruvan.example:6969/announce", -1);
    root->AppendString("info", -1);
    root->Append(info.release());
    std::string out;
    EXPECT_TRUE(Encode(root.get(), out));
    return out;
}

// A single-file layout over `content` (hashes optional) with the file at `path`.
inline engine::MetainfoLayout MakeLayout(const std::string& path, std::int32_t pieceLength,
                                         const std::string& content, bool hashed = true) {
    engine::MetainfoLayout layout;
    layout.name = "content.bin";
    layout.pieceLength = pieceLength;
    layout.totalSize = content.size();
    layout.pieceCount = (content.size() + static_cast<std::size_t>(pieceLength) - 1) /
                        static_cast<std::size_t>(pieceLength);
    if (hashed) {
        layout.pieceHashes = PieceHashes(content, pieceLength);
    }
    engine::MetainfoFile file;
    file.fullPath = path;
    file.relativeName = "content.bin";
    file.size = content.size();
    layout.files.push_back(file);
    return layout;
}

struct RecordedEvent {
    std::int32_t type = 0;
    std::uint32_t flags = 0;
    std::int32_t length = 0;
    std::string data;
};

// A piece host that records every event and lets a test set free space and stop.
class RecordingHost final : public engine::PieceHost {
  public:
    void OnPieceEvent(std::int32_t type, std::uint32_t flags, std::int32_t length,
                      const void* data) override {
        std::lock_guard<std::mutex> guard(lock);
        RecordedEvent e{type, flags, length, {}};
        if (data != nullptr && length > 0) {
            e.data.assign(static_cast<const char*>(data), static_cast<std::size_t>(length));
        }
        if (type == engine::kEventResume && length > 0) {
            resume = e.data;
        }
        events.push_back(std::move(e));
    }
    bool StopRequested() override { return stop.load(); }
    bool CheckStopAndRefresh() override {
        const int n = ++refreshes;
        return stop.load() || (stopAtRefresh > 0 && n >= stopAtRefresh);
    }
    std::uint64_t FreeDiskBytes(const std::string&) override {
        ++freeQueries;
        return freeBytes.load();
    }

    int Count(std::int32_t type) {
        std::lock_guard<std::mutex> guard(lock);
        int n = 0;
        for (const auto& e : events) {
            n += e.type == type ? 1 : 0;
        }
        return n;
    }

    std::mutex lock;
    std::vector<RecordedEvent> events;  // guarded by lock
    std::string resume;                 // the last non-empty resume record
    std::atomic<bool> stop{false};
    std::atomic<int> refreshes{0};
    int stopAtRefresh = 0;
    std::atomic<std::uint64_t> freeBytes{std::numeric_limits<std::uint64_t>::max()};
    std::atomic<int> freeQueries{0};
};

struct PiecesRelease {
    void operator()(engine::TPieces* p) const { p->Release(); }
};
using PiecesPtr = std::unique_ptr<engine::TPieces, PiecesRelease>;

inline PiecesPtr NewPieces(engine::PieceHost& host) {
    return PiecesPtr(new engine::TPieces(host));
}

// Delivers block `block` of `content` (16 KiB units) to a piece map.
inline std::int32_t Deliver(engine::TPieces& map, const std::string& content, std::int32_t block,
                            engine::TPeerId* supplier = nullptr, bool* accepted = nullptr) {
    const std::size_t at = static_cast<std::size_t>(block) * engine::kBlockSize;
    const auto n =
        static_cast<std::int32_t>(std::min<std::size_t>(engine::kBlockSize, content.size() - at));
    bool taken = false;
    const std::int32_t result = map.PutBlock(
        block, n, reinterpret_cast<const std::uint8_t*>(content.data() + at), supplier, taken);
    if (accepted != nullptr) {
        *accepted = taken;
    }
    return result;
}

// Records usage events for the life of the object.
class UsageRecorder {
  public:
    UsageRecorder() {
        engine::SetUsageEventSink([this](const engine::UsageEvent& e) {
            std::lock_guard<std::mutex> guard(lock_);
            events_.push_back(e);
        });
    }
    ~UsageRecorder() { engine::SetUsageEventSink({}); }
    std::vector<engine::UsageEvent> Events() {
        std::lock_guard<std::mutex> guard(lock_);
        return events_;
    }

  private:
    std::mutex lock_;
    std::vector<engine::UsageEvent> events_;
};

}  // namespace koruvan::test
