// What a response to a web-source request carries, judged before a byte of its body is
// used: the status, Content-Range and Content-Length must describe the bytes that were
// asked for, of a file of the size the download expects. A body is stored by the offsets
// it claims, so a response that contradicts itself or the file would write wrong bytes.
#pragma once

#include <cstdint>
#include <string>

#include "engine/peers/THttpHeader.h"

namespace koruvan::engine {

struct HttpBody {
    enum class Verdict {
        kUsable,
        kOtherRange,  // a 206 for another first byte than the one asked for
        kWrongSize,   // the file the response describes has another size
        kUnusable,    // anything else that does not describe the file's bytes
    };
    Verdict verdict = Verdict::kUnusable;
    std::int64_t start = 0;     // content offset of the first body byte
    std::int64_t end = 0;       // content offset just past the last body byte
    std::int64_t fileSize = 0;  // the file's size as the response states it
    std::string reason;         // why it is not usable (follows the source's address)
};

// Judges a 2xx response to a request for the content from `asked` on. `expectedSize` is
// the file size the download knows (0: not known yet, the response's own size is taken).
// A 206 must start at `asked` with a Content-Range inside the file and a Content-Length
// (when sent) equal to that range; a 200 (a server that ignores ranges sends the whole
// file) must state the whole file's size in its Content-Length. Other 2xx statuses, and
// bodies in a transfer or content coding, carry no usable bytes.
[[nodiscard]] HttpBody CheckHttpBody(const THttpHeader& header, std::int64_t asked,
                                     std::uint64_t expectedSize);

}  // namespace koruvan::engine
