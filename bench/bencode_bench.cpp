// Hot paths of metainfo handling: parsing a large metainfo, and SHA-1 over piece-sized
// buffers (to compare with `sha1sum` on the same machine).
#include "engine/peers/BencodeCodec.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using namespace koruvan::engine;

std::string Str(const std::string& s) {
    return std::to_string(s.size()) + ":" + s;
}

// A 2048-piece single-file metainfo: its "pieces" string is 40960 bytes.
std::string LargeMetainfo() {
    std::string pieces(2048 * 20, '\0');
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        pieces[i] = static_cast<char>((i * 131 + 7) & 0xFF);
    }
    return "d" + Str("announce") + Str("http://tracker.koruvan.example:6969/announce") +
           Str("announce-list") + "l" + "l" + Str("http://tracker.koruvan.example/announce") + "e" +
           "l" + Str("udp://tracker.koruvan.example:6969") + "e" + "e" + Str("creation date") +
           "i1700000000e" + Str("info") + "d" + Str("length") + "i4222222222e" + Str("name") +
           Str("vemo_setup_2.2.1.047.cab1") + Str("piece length") + "i2097152e" + Str("pieces") +
           Str(pieces) + "ee";
}

void BM_ParseLargeMetainfo(benchmark::State& state) {
    const std::string metainfo = LargeMetainfo();
    for (auto _ : state) {
        std::unique_ptr<QElement> root = ParseBencode(metainfo);
        benchmark::DoNotOptimize(root.get());
        if (!root) {
            state.SkipWithError("metainfo did not parse");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(metainfo.size()));
    state.counters["bytes"] = static_cast<double>(metainfo.size());
}
BENCHMARK(BM_ParseLargeMetainfo)->Unit(benchmark::kMicrosecond);

void BM_ParseAndFindPieces(benchmark::State& state) {
    const std::string metainfo = LargeMetainfo();
    for (auto _ : state) {
        std::unique_ptr<QElement> root = ParseBencode(metainfo);
        QElement* info = root->NextOf(root->FindString("info"));
        benchmark::DoNotOptimize(info->Find("pieces")->GetTextLength());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(metainfo.size()));
}
BENCHMARK(BM_ParseAndFindPieces)->Unit(benchmark::kMicrosecond);

// Element-heavy input: a multi-file metainfo of 2000 entries, each a dictionary with a
// glued length and a two-component path.
std::string ManyFilesMetainfo() {
    std::string files = "l";
    for (int i = 0; i < 2000; ++i) {
        files += "d" + Str("length") + "i" + std::to_string(1000000 + i) + "e" + Str("path") + "l" +
                 Str("folder" + std::to_string(i % 17)) + Str("file" + std::to_string(i) + ".dat") +
                 "ee";
    }
    files += "e";
    return "d" + Str("info") + "d" + Str("files") + files + Str("name") + Str("bundle") +
           Str("piece length") + "i262144e" + Str("pieces") + Str(std::string(7700 * 20, 'p')) +
           "ee";
}

void BM_ParseManyFiles(benchmark::State& state) {
    const std::string metainfo = ManyFilesMetainfo();
    for (auto _ : state) {
        std::unique_ptr<QElement> root = ParseBencode(metainfo);
        benchmark::DoNotOptimize(root.get());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(metainfo.size()));
    state.counters["bytes"] = static_cast<double>(metainfo.size());
}
BENCHMARK(BM_ParseManyFiles)->Unit(benchmark::kMicrosecond);

void BM_Sha1TwoMiB(benchmark::State& state) {
    std::vector<unsigned char> buffer(2u << 20);
    for (std::size_t i = 0; i < buffer.size(); ++i) {
        buffer[i] = static_cast<unsigned char>(i * 2654435761u >> 24);
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    for (auto _ : state) {
        EVP_Digest(buffer.data(), buffer.size(), digest, &size, EVP_sha1(), nullptr);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(buffer.size()));
}
BENCHMARK(BM_Sha1TwoMiB)->Unit(benchmark::kMicrosecond);

}  // namespace
