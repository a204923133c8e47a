// A tracker client: one announce of the task to one tracker, with the announce event fixed
// when the task creates it. HTTP trackers get a GET with a compact peer list; "udp://"
// trackers the connect / announce exchange of the UDP tracker protocol. An unanswered
// announce (or UDP connect) goes out again every 11 seconds; the peers of the answer become
// the task's candidates and the peer finishes (transfer state 6), after which the task
// removes it. A tracker that stays silent for a minute ends the peer as timed out.
//
// Driven by the task's work thread like every peer; takes no lock.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "engine/peers/TPeerObject.h"
#include "engine/peers/TTrackerRequest.h"
#include "engine/peers/TTrackerTask.h"
#include "engine/peers/TTrackerUdpSocket.h"

namespace koruvan::engine {

class TTrackerPeer final : public TPeerObject {
  public:
    // Seconds between two sends of an unanswered request.
    static constexpr std::uint32_t kResendSeconds = 11;
    // Seconds a tracker may stay silent before the announce is given up.
    static constexpr std::uint32_t kGiveUpSeconds = 60;
    // Largest UDP answer read.
    static constexpr std::size_t kUdpReadSize = 2048;
    // Bytes read from an HTTP tracker per pass.
    static constexpr std::int32_t kHttpReadSize = 16384;

    TTrackerPeer(PeerTask& task, TrackerTask& tracker) noexcept
        : TPeerObject(task, kKindTracker), tracker_(&tracker) {}

    // The announce event (kAnnounce*), set after creation and kept until the next Reset.
    void SetEvent(std::int32_t event) noexcept { event_ = event; }
    [[nodiscard]] std::int32_t Event() const noexcept { return event_; }

    bool Connect(TPeerId* identity) override;
    bool OnReceive() override;
    bool OnSend() override;
    bool PlanRequests() override;
    bool IsConnected() const override;
    void Reset() override;

    // The HTTP announce path, built at the first send and reused for every resend.
    [[nodiscard]] const std::string& RequestPath() const noexcept { return requestPath_; }
    [[nodiscard]] bool IsUdpTracker() const noexcept;

  private:
    ~TTrackerPeer() override { Reset(); }

    bool SendAnnounce();
    bool SendHttpAnnounce(const TrackerAnnounceInfo& info);
    bool SendUdpAnnounce(const TrackerAnnounceInfo& info);
    bool SendUdpConnect();
    bool ReceiveHttp();
    bool ReceiveUdp();
    void TakeAnswer(std::int32_t interval, std::int64_t seeds, std::int64_t completed,
                    const std::vector<LearnedPeer>& peers);
    // The dotted local address that goes into an HTTP announce's peer id.
    [[nodiscard]] std::string LocalAddressText() const;

    TrackerTask* tracker_;
    TTrackerUdpSocket udp_;
    std::string response_;            // the last UDP datagram
    std::uint32_t lastActivity_ = 0;  // EngineSeconds of every operation
    std::uint32_t lastAnnounce_ = 0;  // EngineSeconds of the last announce sent, 0 never
    std::uint32_t lastConnectRequest_ = 0;
    std::uint32_t firstTry_ = 0;
    std::string requestPath_;
    UdpConnectRequest connectRequest_{};
    UdpAnnounceRequest announceRequest_{};
    std::int32_t event_ = kAnnounceRegular;
    std::array<std::uint8_t, 8> connectionId_{};
    std::uint32_t connectTransaction_ = 0;
    std::uint32_t announceTransaction_ = 0;
};

}  // namespace koruvan::engine
