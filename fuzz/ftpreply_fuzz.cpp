// FTP control replies are outside input: read reply after reply from the stream as the
// source does (fed in chunks, each reply consumed by its own length), and parse every reply
// text as a passive-mode address.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/peers/TFtpPeerReply.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace koruvan::engine;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t chunk = size > 0 ? (data[0] % 7) + 1 : 1;
    std::string buffer;
    std::size_t fed = 0;
    while (fed < input.size() || !buffer.empty()) {
        const std::size_t take = std::min(chunk, input.size() - fed);
        buffer.append(input.substr(fed, take));
        fed += take;
        FtpReply reply;
        const std::int32_t read = ReadFtpReply(buffer, reply);
        if (read == kFtpReplyMalformed || (read == kFtpReplyIncomplete && take == 0)) {
            break;
        }
        if (read == kFtpReplyComplete) {
            if (reply.length == 0 || reply.length > buffer.size() || reply.code < 0 ||
                reply.code > 999) {
                __builtin_trap();
            }
            std::string host;
            std::uint16_t port = 0;
            if (ParseFtpPassive(reply.text, host, port) && (port == 0 || host.size() > 15)) {
                __builtin_trap();
            }
            buffer.erase(0, reply.length);
        }
    }
    return 0;
}
