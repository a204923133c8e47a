// Hot paths of the piece layer: SHA-1 over piece data (to set next to `sha1sum` on the same
// machine), the bookkeeping of one received block, and blocks end to end (stored, hashed in
// piece order and written to a file).
//
// Run: build/<dir>/bench/pieces_bench --benchmark_min_time=2
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "engine/core/BlockBuffers.h"
#include "engine/core/PieceHost.h"
#include "engine/core/Sha1State.h"
#include "engine/core/TPieces.h"
#include "engine/peers/MetainfoLayout.h"
#include "platform/Paths.h"
#include "platform/Random.h"

namespace {

using namespace koruvan;
using namespace koruvan::engine;

std::string Content(std::size_t size) {
    std::string out(size, '\0');
    std::uint32_t x = 12345;
    for (char& c : out) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return out;
}

class QuietHost final : public PieceHost {
  public:
    void OnPieceEvent(std::int32_t, std::uint32_t, std::int32_t, const void*) override {}
    bool StopRequested() override { return false; }
    bool CheckStopAndRefresh() override { return false; }
    std::uint64_t FreeDiskBytes(const std::string&) override {
        return std::numeric_limits<std::uint64_t>::max();
    }
};

struct PiecesRelease {
    void operator()(TPieces* p) const { p->Release(); }
};

// A scratch folder for one benchmark, removed afterwards.
class Scratch {
  public:
    Scratch() {
        folder_ =
            platform::JoinPath(platform::TempFolder(),
                               "koruvan-pieces-bench-" + std::to_string(platform::RandomUint32()));
        (void)platform::CreateFolders(folder_);
    }
    ~Scratch() {
        platform::RemoveFile(File() + ".kvtmp");
        platform::RemoveFile(File());
        std::remove(folder_.c_str());
    }
    std::string File() const { return folder_ + "/data.bin"; }

  private:
    std::string folder_;
};

MetainfoLayout Layout(const std::string& path, std::int32_t pieceLength, const std::string& content,
                      bool hashed) {
    MetainfoLayout layout;
    layout.pieceLength = pieceLength;
    layout.totalSize = content.size();
    layout.pieceCount = (content.size() + static_cast<std::size_t>(pieceLength) - 1) /
                        static_cast<std::size_t>(pieceLength);
    if (hashed) {
        for (std::size_t at = 0; at < content.size(); at += static_cast<std::size_t>(pieceLength)) {
            const auto d =
                Sha1State::Of(content.data() + at, static_cast<std::size_t>(pieceLength));
            layout.pieceHashes.append(reinterpret_cast<const char*>(d.data()), d.size());
        }
    }
    MetainfoFile file;
    file.fullPath = path;
    file.relativeName = "data.bin";
    file.size = content.size();
    layout.files.push_back(file);
    return layout;
}

// SHA-1 of a 2 MiB piece, fed in 16 KiB blocks as received data is.
void BM_PieceVerificationSha1(benchmark::State& state) {
    const std::string piece = Content(2 * 1024 * 1024);
    for (auto _ : state) {
        Sha1State hash;
        for (std::size_t at = 0; at < piece.size(); at += kBlockSize) {
            hash.Update(piece.data() + at, kBlockSize);
        }
        benchmark::DoNotOptimize(hash.Peek());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(piece.size()));
}
BENCHMARK(BM_PieceVerificationSha1);

// Storing and taking up the running hash of a partly received piece (resume record).
void BM_Sha1StateRoundTrip(benchmark::State& state) {
    const std::string data = Content(100000);
    Sha1State hash;
    hash.Update(data.data(), data.size());
    for (auto _ : state) {
        const Sha1State::Stored stored = hash.Export();
        Sha1State back;
        benchmark::DoNotOptimize(back.Import(stored.data(), stored.size()));
    }
}
BENCHMARK(BM_Sha1StateRoundTrip);

// One received block: checks, supplier, the copy into a pooled buffer, the contiguity test.
// Block 0 of each 1 MiB piece is withheld so nothing is written; the piece is then dropped.
void BM_PutBlockBookkeeping(benchmark::State& state) {
    constexpr std::int32_t kPiece = 1024 * 1024;
    const std::string content = Content(64 * static_cast<std::size_t>(kPiece));
    Scratch scratch;
    QuietHost host;
    std::unique_ptr<TPieces, PiecesRelease> map(new TPieces(host));
    if (!map->Build(Layout(scratch.File(), kPiece, content, true), std::nullopt, {})) {
        state.SkipWithError("layout");
        return;
    }
    const std::int32_t perPiece = kPiece / kBlockSize;
    std::int32_t piece = 0;
    std::int32_t slot = 1;
    for (auto _ : state) {
        const std::int32_t block = piece * perPiece + slot;
        bool accepted = false;
        map->PutBlock(block, kBlockSize,
                      reinterpret_cast<const std::uint8_t*>(content.data()) +
                          static_cast<std::size_t>(block) * kBlockSize,
                      nullptr, accepted);
        if (++slot == perPiece) {
            state.PauseTiming();
            map->ResetPiece(piece);
            piece = (piece + 1) % 64;
            slot = 1;
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_PutBlockBookkeeping);

// Blocks in order end to end: stored, written in 128 KiB runs, hashed once, the piece
// verified and written to a file (page cache), for a 64 MiB download.
void BM_PutBlockEndToEnd(benchmark::State& state) {
    constexpr std::int32_t kPiece = 1024 * 1024;
    const std::string content = Content(64 * static_cast<std::size_t>(kPiece));
    const auto blocks = static_cast<std::int32_t>(content.size() / kBlockSize);
    for (auto _ : state) {
        state.PauseTiming();
        Scratch scratch;
        QuietHost host;
        std::unique_ptr<TPieces, PiecesRelease> map(new TPieces(host));
        if (!map->Build(Layout(scratch.File(), kPiece, content, true), std::nullopt, {})) {
            state.SkipWithError("layout");
            return;
        }
        state.ResumeTiming();
        for (std::int32_t b = 0; b < blocks; ++b) {
            bool accepted = false;
            map->PutBlock(b, kBlockSize,
                          reinterpret_cast<const std::uint8_t*>(content.data()) +
                              static_cast<std::size_t>(b) * kBlockSize,
                          nullptr, accepted);
        }
        map->FlushAll();
        if (!map->AllDone()) {
            state.SkipWithError("not complete");
        }
        state.PauseTiming();
        map.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(content.size()));
}
BENCHMARK(BM_PutBlockEndToEnd)->Unit(benchmark::kMillisecond);

}  // namespace
