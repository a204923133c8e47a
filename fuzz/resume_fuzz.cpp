// Resume records ("bits" blob of the state file) are read back from disk after crashes and
// by whatever else touched the file: each input is a record a piece map is built from over
// a half-finished download (fuzz/PieceMapFixture.h). The reader's own lookups run on it too.
// Whatever the record says, the map's counts must agree with its pieces, and the record
// it would write next must read back.
#include <cstddef>
#include <cstdint>
#include <string>

#include "PieceMapFixture.h"
#include "engine/core/ResumeRecord.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace koruvan;
    if (size > (1u << 20)) {
        return 0;
    }
    auto& fixture = fuzz::PieceMapFixture::Get();
    const std::string record =
        fixture.Localise(std::string_view(reinterpret_cast<const char*>(data), size));
    engine::ResumeReader reader;
    if (reader.Parse(record)) {
        (void)reader.InfoHash();
        (void)reader.BitField();
        for (const engine::ResumePiece& piece : reader.Pieces()) {
            fuzz::Check(piece.part >= 0);
        }
    }
    fixture.Run(record, fixture.Cache(), false);
    return 0;
}
