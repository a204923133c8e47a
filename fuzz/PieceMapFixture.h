// A half-finished download on disk for the fuzz targets of the stored records: two target
// files in a folder of this process, a valid resume record and piece cache of them, and a
// piece map built over them from whatever record or cache an input supplies.
//
// Stored records name the target files by full path. The folder is /tmp/kvfz-<pid, eight
// digits>/, so every input's "kvfz-00000000" (the spelling in the committed seeds) is
// rewritten to this process's folder without changing any length.
//
// Set KORUVAN_FUZZ_SEEDS=<folder> to write the fixture's own valid records there as seeds.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/PieceHost.h"
#include "engine/core/Sha1State.h"
#include "engine/core/TPieces.h"
#include "engine/peers/MetainfoLayout.h"
#include "platform/File.h"
#include "platform/Paths.h"

namespace koruvan::fuzz {

inline void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

class QuietHost final : public engine::PieceHost {
  public:
    void OnPieceEvent(std::int32_t type, std::uint32_t, std::int32_t length,
                      const void* data) override {
        if (type == engine::kEventResume && data != nullptr && length > 0) {
            resume.assign(static_cast<const char*>(data), static_cast<std::size_t>(length));
        }
    }
    bool StopRequested() override { return false; }
    bool CheckStopAndRefresh() override { return false; }
    std::uint64_t FreeDiskBytes(const std::string&) override { return 1ull << 40; }

    std::string resume;
};

class PieceMapFixture {
  public:
    static constexpr std::int32_t kPieceLength = 256 * 1024;
    static constexpr std::string_view kSeedFolder = "kvfz-00000000";

    static PieceMapFixture& Get() {
        static PieceMapFixture fixture;
        return fixture;
    }

    // `input` with the seeds' folder name replaced by this process's.
    [[nodiscard]] std::string Localise(std::string_view input) const {
        std::string out(input);
        for (auto at = out.find(kSeedFolder); at != std::string::npos;
             at = out.find(kSeedFolder, at + 1)) {
            out.replace(at, kSeedFolder.size(), folderName_);
        }
        return out;
    }

    // Builds a piece map from `resume`, with the piece cache file holding `cache` (none when
    // nullopt), checks what it believes and releases it. With `trustedRecord` every piece
    // the map holds must be the real content.
    void Run(const std::string& resume, const std::optional<std::string>& cache,
             bool trustedRecord) {
        if (cache) {
            WritePlain(cachePath_, *cache);
        } else {
            platform::RemoveFile(cachePath_);
        }
        QuietHost host;
        auto* map = new engine::TPieces(host);
        engine::PieceMapOptions options;
        options.pieceCachePath = cachePath_;
        options.resumeBlob = resume;
        if (map->Build(layout_, infoHash_, options)) {
            CheckBeliefs(*map, trustedRecord);
            map->SaveResume();  // what the map would store again must read back
            engine::ResumeReader again;
            Check(host.resume.empty() || again.Parse(host.resume));
        }
        const bool wrote = map->Storage().BytesWrittenToDisk() > 0;
        map->CloseFiles(false, false);
        map->Release();
        if (wrote) {
            RestoreFiles();
        }
    }

    [[nodiscard]] const std::string& Resume() const noexcept { return resume_; }
    [[nodiscard]] const std::string& Cache() const noexcept { return cache_; }

  private:
    PieceMapFixture() {
        char name[32];
        std::snprintf(name, sizeof name, "kvfz-%08d", static_cast<int>(getpid() % 100000000));
        folderName_ = name;
        folder_ = "/tmp/" + folderName_;  // the seeds' spelling: same length everywhere
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_);
        cachePath_ = folder_ + "/task.kvinfodf";
        content_.resize(900 * 1024);
        std::uint32_t x = 12345;
        for (char& c : content_) {
            x = x * 1103515245u + 12345u;
            c = static_cast<char>(x >> 24);
        }
        layout_.name = "game";
        layout_.multiFile = true;
        layout_.targetFolder = folder_ + "/";
        layout_.pieceLength = kPieceLength;
        layout_.totalSize = content_.size();
        layout_.pieceCount = (content_.size() + kPieceLength - 1) / kPieceLength;
        for (std::size_t at = 0; at < content_.size(); at += kPieceLength) {
            const auto digest = engine::Sha1State::Of(
                content_.data() + at, std::min<std::size_t>(kPieceLength, content_.size() - at));
            layout_.pieceHashes.append(reinterpret_cast<const char*>(digest.data()), digest.size());
        }
        for (const auto& [file, size] : {std::pair{"a.bin", 600 * 1024}, {"b.bin", 300 * 1024}}) {
            engine::MetainfoFile f;
            f.fullPath = folder_ + "/" + file;
            f.relativeName = file;
            f.size = static_cast<std::uint64_t>(size);
            f.offset = layout_.files.empty() ? 0 : layout_.files.back().size;
            layout_.files.push_back(f);
        }
        infoHash_.emplace();
        for (std::size_t i = 0; i < infoHash_->size(); ++i) {
            (*infoHash_)[i] = static_cast<std::uint8_t>(i * 7 + 1);
        }
        HalfDownload();
        for (const auto& f : std::filesystem::directory_iterator(folder_)) {
            if (f.path().string() != cachePath_) {
                std::string bytes;
                Check(platform::ReadWholeFile(f.path().string(), bytes));
                files_.emplace_back(f.path().string(), std::move(bytes));
            }
        }
        if (const char* seeds = std::getenv("KORUVAN_FUZZ_SEEDS")) {
            WriteSeed(std::string(seeds) + "/resume.bin", resume_);
            WriteSeed(std::string(seeds) + "/cache.bin", cache_);
        }
    }
    ~PieceMapFixture() {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    // Piece 0 whole, half of piece 1 written and two more of its blocks held, two blocks
    // of piece 2 held: a record with a hashed prefix and a cache with two records.
    void HalfDownload() {
        QuietHost host;
        auto* map = new engine::TPieces(host);
        engine::PieceMapOptions options;
        options.pieceCachePath = cachePath_;
        Check(map->Build(layout_, infoHash_, options));
        constexpr std::int32_t kBlocks = kPieceLength / engine::kBlockSize;
        std::vector<std::int32_t> blocks;
        for (std::int32_t b = 0; b < kBlocks + 10; ++b) {
            blocks.push_back(b);
        }
        for (const std::int32_t b : {kBlocks + 12, 2 * kBlocks + 3, 2 * kBlocks + 4}) {
            blocks.push_back(b);
        }
        for (const std::int32_t b : blocks) {
            bool accepted = false;
            (void)map->PutBlock(
                b, engine::kBlockSize,
                reinterpret_cast<const std::uint8_t*>(content_.data()) + b * engine::kBlockSize,
                nullptr, accepted);
            Check(accepted);
        }
        Check(map->FlushAll());
        Check(map->SavePieceCacheFile());
        map->CloseFiles(true, false);
        map->Release();
        resume_ = Seeded(host.resume);
        Check(!resume_.empty() && platform::ReadWholeFile(cachePath_, cache_));
    }

    // The record with this process's folder spelt as in the seeds.
    [[nodiscard]] std::string Seeded(std::string record) const {
        for (auto at = record.find(folderName_); at != std::string::npos;
             at = record.find(folderName_, at + 1)) {
            record.replace(at, folderName_.size(), kSeedFolder);
        }
        return record;
    }

    // Fixture files need no crash safety: plain writes keep the fuzzer fast.
    static void WritePlain(const std::string& path, const std::string& bytes) {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        Check(f != nullptr);
        Check(std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size());
        Check(std::fclose(f) == 0);
    }

    static void WriteSeed(const std::string& path, const std::string& bytes) {
        Check(platform::WriteFileAtomic(path, bytes));
    }

    void CheckBeliefs(engine::TPieces& map, bool trustedRecord) {
        Check(map.BytesDone() <= map.TotalSize());
        std::int32_t have = 0;
        std::string piece(kPieceLength, '\0');
        for (std::int32_t i = 0; i < map.PieceCount(); ++i) {
            if (!map.Have(i)) {
                continue;
            }
            ++have;
            if (trustedRecord) {
                const std::int32_t size = map.PieceSize(i);
                Check(map.ReadPiece(i, 0, size, reinterpret_cast<std::uint8_t*>(piece.data())) ==
                      size);
                Check(std::memcmp(piece.data(), content_.data() + map.PieceOffset(i),
                                  static_cast<std::size_t>(size)) == 0);
            }
        }
        Check(have == map.PiecesDone());
    }

    void RestoreFiles() {
        for (const auto& [path, bytes] : files_) {
            WritePlain(path, bytes);
        }
    }

    std::string folderName_;
    std::string folder_;
    std::string cachePath_;
    std::string content_;
    engine::MetainfoLayout layout_;
    std::optional<engine::InfoHashBytes> infoHash_;
    std::string resume_;
    std::string cache_;
    std::vector<std::pair<std::string, std::string>> files_;
};

}  // namespace koruvan::fuzz
