// The plain UDP socket a UDP tracker client talks through: bound to the engine's local
// address when one is chosen and fixed on the tracker's address, so that only the
// tracker's datagrams come back. Non-blocking; one datagram per call.
//
// Belongs to one tracker peer and its task thread; takes no lock.
#pragma once

#include <cstddef>
#include <cstdint>

namespace koruvan::engine {

class TTrackerUdpSocket {
  public:
    // Largest datagram sent or received.
    static constexpr std::size_t kMaxDatagram = 8192;

    TTrackerUdpSocket() noexcept = default;
    ~TTrackerUdpSocket() { Close(); }
    TTrackerUdpSocket(const TTrackerUdpSocket&) = delete;
    TTrackerUdpSocket& operator=(const TTrackerUdpSocket&) = delete;

    // Addresses in network order, the port in host order; localIp 0 binds to any address.
    [[nodiscard]] bool Open(std::uint32_t localIp, std::uint32_t remoteIp,
                            std::uint16_t remotePort) noexcept;
    // Bytes sent, or -1 (sizes outside 1..kMaxDatagram are refused).
    std::int32_t Send(const std::uint8_t* data, std::size_t size) noexcept;
    // One waiting datagram (cut at `capacity`): its size, 0 when none waits, -1 when the
    // socket failed (for example the tracker's port refused an earlier datagram).
    std::int32_t Receive(std::uint8_t* data, std::size_t capacity) noexcept;
    void Close() noexcept;
    [[nodiscard]] bool IsOpen() const noexcept { return fd_ >= 0; }
    // The local address the socket got (network order), 0 when unknown.
    [[nodiscard]] std::uint32_t LocalIp() const noexcept;

  private:
    int fd_ = -1;
};

}  // namespace koruvan::engine
