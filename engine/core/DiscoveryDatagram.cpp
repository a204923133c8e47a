#include "engine/core/DiscoveryDatagram.h"

#include <cstring>

#include "engine/peers/BtWire.h"

namespace koruvan::engine {

std::array<std::uint8_t, kDiscoverySize> EncodeDiscovery(const DiscoveryDatagram& d) {
    std::array<std::uint8_t, kDiscoverySize> out{};
    std::memcpy(out.data() + 4, &d.ip, 4);
    out[8] = static_cast<std::uint8_t>(d.port >> 8);
    out[9] = static_cast<std::uint8_t>(d.port & 0xFF);
    bt::Put32(out.data() + 12, d.reply ? 1 : 0);
    std::memcpy(out.data() + 16, d.infoHash.data(), 20);
    std::memcpy(out.data() + 36, d.peerId.data(), 20);
    return out;
}

bool DecodeDiscovery(const std::uint8_t* data, std::size_t size, DiscoveryDatagram& out) {
    if (data == nullptr || size < kDiscoverySize || bt::Get32(data) != 0) {
        return false;
    }
    std::memcpy(&out.ip, data + 4, 4);
    out.port = static_cast<std::uint16_t>((data[8] << 8) | data[9]);
    out.reply = bt::Get32(data + 12) == 1;
    std::memcpy(out.infoHash.data(), data + 16, 20);
    std::memcpy(out.peerId.data(), data + 36, 20);
    return true;
}

}  // namespace koruvan::engine
