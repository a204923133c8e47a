// A UDP socket in an IPv4 multicast group, for local-network discovery: bound to the
// group's port on every address, member of the group on one interface (chosen by its local
// address; 0 lets the system choose), sending to the group with a time-to-live of 1 so that
// datagrams never cross a router. Non-blocking.
//
// Not thread-safe: its owner serialises every call.
#pragma once

#include <cstddef>
#include <cstdint>

namespace koruvan::engine {

class MulticastSocket {
  public:
    MulticastSocket() = default;
    ~MulticastSocket() { Close(); }
    MulticastSocket(const MulticastSocket&) = delete;
    MulticastSocket& operator=(const MulticastSocket&) = delete;

    // Addresses in network order, port in host order. False leaves the socket closed.
    bool Open(std::uint32_t group, std::uint16_t port, std::uint32_t interfaceIp) noexcept;
    void Close() noexcept;
    [[nodiscard]] bool IsOpen() const noexcept { return socket_ >= 0; }
    [[nodiscard]] std::uint32_t Interface() const noexcept { return interface_; }
    // Sends one datagram to the group; false on failure.
    bool Send(const std::uint8_t* data, std::size_t size) noexcept;
    // One waiting datagram (its sender's address in network order), or -1 when none.
    std::int32_t Receive(std::uint8_t* out, std::size_t size, std::uint32_t* from) noexcept;

  private:
    int socket_ = -1;
    std::uint32_t group_ = 0;
    std::uint16_t port_ = 0;
    std::uint32_t interface_ = 0;
};

}  // namespace koruvan::engine
