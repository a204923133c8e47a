// One pseudo-socket: a reliable byte stream to a remote node over the shared UDP socket.
// Records live in the lists of QUInternalServer; every field is guarded by its lock.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "engine/dht/UdpWire.h"

namespace koruvan::engine {

// A received data packet kept for reading: its sequence number and payload; `offset` is
// how much of the payload a partial read has already taken.
struct UdpBlock {
    std::int32_t length = 0;
    std::uint32_t sequence = 0;
    std::vector<std::uint8_t> payload;
    std::size_t offset = 0;
};

struct UdpConnection {
    // A handle number of its own (never 0): record handles travel in 32-bit packet fields,
    // and a recycled record gets a new number so that stale handles never match.
    std::uint32_t handle = 0;
    std::uint8_t targetIdentity[udp::kIdentityBytes] = {};
    std::int32_t state = udp::kFresh;
    std::uint32_t requestNumber = 0xFFFFFFFFu;
    std::uint32_t lastControlSeq = 0;
    std::uint32_t controlSeq = 0;
    std::int32_t targetPort = 0;
    // Incoming records: the port at which the connector addressed this node.
    std::int32_t addressedPort = 0;
    std::uint32_t remoteHandle = 0;
    std::int32_t bytesAcked = 0;
    std::int32_t bytesReceived = 0;
    std::uint32_t targetIp = 0;
    std::int64_t lastActivity = 0;
    std::int64_t lastLookup = 0;
    std::int32_t listenPort = 0;
    std::uint32_t instanceWord = 0;
    std::uint32_t receiveBase = 0;
    std::uint32_t sendBase = 0;
    std::int32_t usedSendSlots = 0;
    bool incoming = false;
    bool connected = false;
    std::uint32_t lastAckTick = 0;
    // An owed acknowledgement held back since this tick (0: none) because the reader has a
    // whole window unread: acknowledging then would let the sender run past what this side
    // can store. It goes out when the reader catches up, or with the repeat time.
    std::uint32_t ackHeldTick = 0;
    // An acknowledgement freed send slots since the last burst ended: packets waiting for
    // room in the window can go.
    bool slotsFreed = false;
    std::uint32_t peerSendBase = 0;
    std::int32_t sends = 0;
    std::int32_t retransmits = 0;
    std::uint32_t statsWindowStart = 0;
    std::deque<UdpBlock> readyQueue;  // at most kSlots blocks
    std::array<std::unique_ptr<UdpBlock>, udp::kSlots> receiveSlots;
    // Complete data packets (header and payload) awaiting acknowledgement.
    std::array<std::vector<std::uint8_t>, udp::kSlots> sendSlots;
    std::array<std::uint32_t, udp::kSlots> lastSentTick = {};
    std::array<std::int32_t, udp::kSlots> retries = {};

    // Back to a fresh record under a new handle (buffers dropped).
    void Reset(std::uint32_t newHandle) noexcept;
    void FreeBuffers() noexcept;
    // Drops unacknowledged data; received data stays readable.
    void FreeSendSlots() noexcept;
    // Loss rate in percent, the send window and the payload size that follow from it.
    [[nodiscard]] int LossRate(std::uint32_t nowSeconds) noexcept;
    [[nodiscard]] int Window(std::uint32_t nowSeconds) noexcept;
    [[nodiscard]] int PayloadSize(std::uint32_t nowSeconds) noexcept;
    // Drops leading empty send slots, advancing sendBase; recounts usedSendSlots.
    void CompactSendSlots() noexcept;
    // Moves consecutive received packets from slot 0 into the ready queue.
    void MoveInSequence() noexcept;
    [[nodiscard]] bool HasReadable() const noexcept;
    [[nodiscard]] int FilledReceiveSlots() const noexcept;
};

}  // namespace koruvan::engine
