// Fourth task layer: per-second counters, budgets from the speed limits, the pacing of the
// transfer round, rates, totals and the remaining-time estimate.
//
// Locking: the counters belong to the task thread; the limits live in TaskOptions under the
// thread lock; engine-wide totals are updated under TaskRegistryLock.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/core/TWorkWithPieces.h"
#include "engine/core/TransferPacing.h"

namespace koruvan::engine {

class TWorkWithTransStatis : public TWorkWithPieces {
  public:
    TWorkWithTransStatis() = default;
    ~TWorkWithTransStatis() override = default;

    virtual std::int32_t SetSpeedLimit(std::int32_t which, std::int32_t kibPerSecond);
    virtual std::int32_t GetRemainingTime(std::int32_t* seconds);
    virtual std::int32_t GetAverageRate(std::int32_t* bytesPerSecond);
    virtual std::int32_t GetCurrentRate(std::int32_t* bytesPerSecond);

    // Counting (task thread).
    void AddReceived(std::int32_t bytes) noexcept { receivedThisSecond_ += bytes; }
    void AddSent(std::int32_t bytes) noexcept { sentThisSecond_ += bytes; }
    void AddUploaded(std::int32_t bytes) noexcept;
    void AddPayload(std::int32_t bytes, std::int32_t peerKind) noexcept;
    // Hands a received block to the piece map and counts it as payload of the peer's kind
    // when it was taken and did not complete a piece that failed its check (PutBlock's
    // results and `accepted`).
    std::int32_t AcceptBlock(std::int32_t block, std::int32_t length, const std::uint8_t* data,
                             TPeerId* supplier, std::int32_t peerKind, bool& accepted);
    std::int32_t RemainingDownloadBudget() const noexcept;
    std::int32_t RemainingUploadBudget() const noexcept;
    // The socket receive buffer a new web connection asks for: small under a tight speed
    // limit, so that the kernel does not pull megabytes ahead that a closed connection
    // would throw away.
    std::int32_t SocketReceiveBuffer() const noexcept;

    // Engine-wide byte totals of all tasks since the process started.
    static std::uint64_t EngineBytesReceived();
    static std::uint64_t EngineBytesSent();

  protected:
    // One transfer round: the per-second tick when due, then the peer steps.
    void TransferRound();
    // The statistics part of the per-second tick.
    void StatisticsTick();
    // Called once per second after the statistics tick (task-level maintenance).
    virtual void PerSecondMaintenance() {}
    // Milliseconds the step sleeps after a round.
    std::uint32_t RoundSleepMs() const noexcept;
    void ResetStatistics();
    void ComputeBudgets();
    std::int64_t TaskClock() const noexcept { return taskClock_; }
    void CountPendingUpload() noexcept { ++pendingUploadPeers_; }
    bool BudgetLimited() const override;
    std::int32_t WebConnectionsForBudget() const override;

    std::int32_t receivedThisSecond_ = 0;
    std::int32_t sentThisSecond_ = 0;
    std::int32_t payloadThisSecond_ = 0;
    std::int32_t uploadedThisSecond_ = 0;  // block payload served to peers
    std::int32_t downloadBudget_ = kMinimumBudget;
    std::int32_t uploadBudget_ = kMinimumBudget;
    // Bytes the peers stepped so far in this round moved (part of the second's count).
    std::int32_t roundReceived_ = 0;
    std::int32_t roundSent_ = 0;
    std::int32_t lastRoundReceived_ = 0;  // what the last whole round received
    // Overshoot of earlier seconds still to be paid back from the budget.
    std::int32_t downloadDebt_ = 0;
    std::int32_t uploadDebt_ = 0;
    std::int64_t taskDownloadRate_ = 0;  // sum of the peers' 3-second rates
    std::int64_t taskUploadRate_ = 0;

    std::int32_t roundDelay_ = 0;  // 0 until the first tick
    std::int32_t downloadPeriod_ = 5;
    std::int32_t uploadPeriod_ = 15;
    std::uint32_t roundCounter_ = 0;
    bool fullRoundPending_ = true;
    std::int32_t uploadSlots_ = 6;
    std::uint32_t lastTickMs_ = 0;
    bool tickStarted_ = false;
    std::int64_t taskClock_ = 0;
    std::int32_t pendingUploadPeers_ = 0;
    std::int32_t extraUploadRoom_ = 0;  // extra uploaders allowed, set at each tick
    std::uint32_t tickRound_ = 0;       // round counter at the last tick
    // Set by SetSpeedLimit (any thread): the budgets follow a new limit at the next round
    // instead of the next second.
    std::atomic<bool> limitsChanged_{false};
};

}  // namespace koruvan::engine
