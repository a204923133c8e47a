// Response headers from web sources are outside input: parse them whole and cut at every
// length the fuzzer picks, then read every derived value.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/peers/THttpHeader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace koruvan::engine;
    const std::string copy(reinterpret_cast<const char*>(data), size);
    THttpHeader header;
    for (std::size_t cut : {size / 3, size / 2, size}) {
        const std::int32_t used = header.Parse(copy.data(), static_cast<std::int32_t>(cut));
        if (used < 0 || static_cast<std::size_t>(used) > cut) {
            __builtin_trap();
        }
    }
    bool unknown = false;
    (void)ContentLength(header, unknown);
    (void)HttpDispositionFileName(header);
    (void)AbsoluteLocation(header.Get("Location"), "host", 8080);
    (void)header.Get("Content-Type");
    return 0;
}
