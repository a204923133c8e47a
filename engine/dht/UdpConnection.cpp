#include "engine/dht/UdpConnection.h"

#include <algorithm>

namespace koruvan::engine {

void UdpConnection::Reset(std::uint32_t newHandle) noexcept {
    FreeBuffers();
    const std::uint32_t h = newHandle;
    *this = UdpConnection{};
    handle = h;
}

void UdpConnection::FreeBuffers() noexcept {
    readyQueue.clear();
    for (auto& slot : receiveSlots) {
        slot.reset();
    }
    FreeSendSlots();
}

void UdpConnection::FreeSendSlots() noexcept {
    for (auto& slot : sendSlots) {
        slot.clear();
        slot.shrink_to_fit();
    }
    lastSentTick.fill(0);
    retries.fill(0);
    usedSendSlots = 0;
}

int UdpConnection::LossRate(std::uint32_t nowSeconds) noexcept {
    if (nowSeconds - statsWindowStart > 120) {
        sends = 0;
        retransmits = 0;
        statsWindowStart = nowSeconds;
    }
    if (sends > 23) {
        return static_cast<int>(static_cast<std::int64_t>(retransmits) * 100 / sends);
    }
    return 50;
}

int UdpConnection::Window(std::uint32_t nowSeconds) noexcept {
    const int w = (1260 - 12 * LossRate(nowSeconds)) / 100;
    return std::min(w, udp::kSlots);
}

int UdpConnection::PayloadSize(std::uint32_t nowSeconds) noexcept {
    return LossRate(nowSeconds) <= 30 ? 1320 : 660;
}

void UdpConnection::CompactSendSlots() noexcept {
    // Only leading slots may go: a slot's position is its sequence number's offset from
    // sendBase, so freed slots further on stay assigned until everything before them went.
    int lead = 0;
    while (lead < usedSendSlots && sendSlots[lead].empty()) {
        ++lead;
    }
    if (lead == 0) {
        return;
    }
    for (int k = 0; k < udp::kSlots; ++k) {
        const int from = k + lead;
        if (from < udp::kSlots) {
            sendSlots[k] = std::move(sendSlots[from]);
            lastSentTick[k] = lastSentTick[from];
            retries[k] = retries[from];
        } else {
            sendSlots[k].clear();
            lastSentTick[k] = 0;
            retries[k] = 0;
        }
    }
    sendBase += static_cast<std::uint32_t>(lead);
    usedSendSlots -= lead;
}

void UdpConnection::MoveInSequence() noexcept {
    while (receiveSlots[0] && readyQueue.size() < static_cast<std::size_t>(udp::kSlots)) {
        receiveBase = receiveSlots[0]->sequence + 1;
        readyQueue.push_back(std::move(*receiveSlots[0]));
        for (int k = 0; k + 1 < udp::kSlots; ++k) {
            receiveSlots[k] = std::move(receiveSlots[k + 1]);
        }
        receiveSlots[udp::kSlots - 1].reset();
    }
}

bool UdpConnection::HasReadable() const noexcept {
    return !readyQueue.empty() || receiveSlots[0] != nullptr;
}

int UdpConnection::FilledReceiveSlots() const noexcept {
    int filled = 0;
    for (const auto& slot : receiveSlots) {
        filled += slot ? 1 : 0;
    }
    return filled;
}

}  // namespace koruvan::engine
