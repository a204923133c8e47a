// The piece cache file (state-file path + "df") is read back after a stop or a crash: each
// input is the cache file of a half-finished download (fuzz/PieceMapFixture.h) whose resume
// record is intact. Whatever the cache holds, every piece the map then has must be the real
// content: a cached record may only complete a piece whose hash it matches.
#include <cstddef>
#include <cstdint>
#include <string>

#include "PieceMapFixture.h"
#include "engine/core/PieceCache.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace koruvan;
    if (size > (4u << 20)) {
        return 0;
    }
    auto& fixture = fuzz::PieceMapFixture::Get();
    const std::string cache(reinterpret_cast<const char*>(data), size);
    fixture.Run(fixture.Localise(fixture.Resume()), cache, true);
    return 0;
}
