// The task state file: one bencoded dictionary of four blobs, read at every start. Each
// input is a state file; its "bits" blob then drives a piece map over a half-finished
// download (fuzz/PieceMapFixture.h), as a restart would.
#include <cstddef>
#include <cstdint>
#include <string>

#include "PieceMapFixture.h"
#include "engine/core/StateFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace koruvan;
    if (size > (1u << 20)) {
        return 0;
    }
    auto& fixture = fuzz::PieceMapFixture::Get();
    const std::string content =
        fixture.Localise(std::string_view(reinterpret_cast<const char*>(data), size));
    const auto blobs = engine::ParseStateFile(content);
    if (!blobs) {
        return 0;
    }
    for (const auto* blob : {&blobs->bits, &blobs->part, &blobs->seeds, &blobs->torrent}) {
        fuzz::Check(!*blob || (*blob)->size() > 2);
    }
    if (blobs->bits) {
        fixture.Run(*blobs->bits, std::nullopt, false);
    }
    return 0;
}
