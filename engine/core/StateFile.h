// The task state file: one bencoded dictionary holding the four state blobs, keys written
// in the order "bits", "part", "seeds", "torrent", each only when its blob is not empty.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace koruvan::engine {

struct StateFileBlobs {
    std::optional<std::string> bits;
    std::optional<std::string> part;
    std::optional<std::string> seeds;
    std::optional<std::string> torrent;
};

// The blobs of a state file's content; nullopt when it is not one dictionary. A blob is
// taken only when its value is a string longer than 2 bytes (shorter ones carry nothing).
[[nodiscard]] std::optional<StateFileBlobs> ParseStateFile(std::string_view content);

}  // namespace koruvan::engine
