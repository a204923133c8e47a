#include "engine/core/TWorkWithTransStatis.h"

#include <algorithm>

#include "engine/core/EngineState.h"
#include "engine/core/TPieces.h"
#include "engine/core/base/EngineClock.h"
#include "engine/core/base/EngineLocks.h"
#include "engine/core/base/LockGuard.h"
#include "engine/peers/SourceUrl.h"

namespace koruvan::engine {
namespace {

std::uint64_t g_engineReceived = 0;  // guarded by TaskRegistryLock
std::uint64_t g_engineSent = 0;      // guarded by TaskRegistryLock

constexpr std::uint32_t kTickMs = 1000;
constexpr std::uint32_t kFirstRoundSleepMs = 6;
// A peer moving more than this per second (3-second rate) is stepped on every round.
constexpr std::int32_t kFastPeerRate = 28671;

}  // namespace

std::int32_t TWorkWithTransStatis::SetSpeedLimit(std::int32_t which, std::int32_t kib) {
    LockGuard guard(&ThreadLock(), true);
    if (which == 1) {
        options_.downloadLimitKiB = kib;
    } else if (which == 0) {
        options_.uploadLimitKiB = kib;
    } else {
        return kErrNullDescriptor;
    }
    options_.Validate();
    limitsChanged_.store(true);
    return kOk;
}

std::int32_t TWorkWithTransStatis::GetRemainingTime(std::int32_t* seconds) {
    LockGuard guard(&ThreadLock(), true);
    if (seconds != nullptr) {
        *seconds = published_.remainingTime;
    }
    return 0;
}

// Both rate queries fill their output and answer -107, as callers of this interface expect.
std::int32_t TWorkWithTransStatis::GetAverageRate(std::int32_t* bytesPerSecond) {
    LockGuard guard(&ThreadLock(), true);
    if (bytesPerSecond != nullptr) {
        *bytesPerSecond = published_.averageDownloadRate;
    }
    return kErrTaskFailed;
}

std::int32_t TWorkWithTransStatis::GetCurrentRate(std::int32_t* bytesPerSecond) {
    LockGuard guard(&ThreadLock(), true);
    if (bytesPerSecond != nullptr) {
        *bytesPerSecond = published_.currentRate;
    }
    return kErrTaskFailed;
}

void TWorkWithTransStatis::AddUploaded(std::int32_t bytes) noexcept {
    work_.uploadedPayload += static_cast<std::uint64_t>(std::max(bytes, 0));
    uploadedThisSecond_ += std::max(bytes, 0);
}

void TWorkWithTransStatis::AddPayload(std::int32_t bytes, std::int32_t peerKind) noexcept {
    payloadThisSecond_ += bytes;
    const auto amount = static_cast<std::uint64_t>(std::max(bytes, 0));
    if ((peerKind & kKindWebSource) != 0) {
        work_.httpPayload += amount;
    } else if (peerKind == kKindBitTorrent) {
        work_.peerPayload += amount;
    }
}

std::int32_t TWorkWithTransStatis::AcceptBlock(std::int32_t block, std::int32_t length,
                                               const std::uint8_t* data, TPeerId* supplier,
                                               std::int32_t peerKind, bool& accepted) {
    const std::int32_t result = PutBlock(block, length, data, supplier, accepted);
    if (accepted && result != kPieceFailed) {
        AddPayload(length, peerKind);
    }
    return result;
}

// What the peers stepped earlier in this round took counts at once, so that one round's
// peers do not each spend the whole second's budget; an overshoot is paid back next second.
std::int32_t TWorkWithTransStatis::RemainingDownloadBudget() const noexcept {
    const std::int64_t left =
        std::int64_t{downloadBudget_} - downloadDebt_ - receivedThisSecond_ - roundReceived_;
    return static_cast<std::int32_t>(std::max<std::int64_t>(left, 0));
}

std::int32_t TWorkWithTransStatis::RemainingUploadBudget() const noexcept {
    const std::int64_t left =
        std::int64_t{uploadBudget_} - uploadDebt_ - sentThisSecond_ - roundSent_;
    return static_cast<std::int32_t>(std::max<std::int64_t>(left, 0));
}

bool TWorkWithTransStatis::BudgetLimited() const {
    return downloadBudget_ < kUnlimitedBytesPerSecond;
}

std::int32_t TWorkWithTransStatis::WebConnectionsForBudget() const {
    return ConnectionsForBudget(downloadBudget_);
}

std::int32_t TWorkWithTransStatis::SocketReceiveBuffer() const noexcept {
    return ReceiveBufferForBudget(downloadBudget_);
}

std::uint64_t TWorkWithTransStatis::EngineBytesReceived() {
    LockGuard guard(&TaskRegistryLock(), true);
    return g_engineReceived;
}

std::uint64_t TWorkWithTransStatis::EngineBytesSent() {
    LockGuard guard(&TaskRegistryLock(), true);
    return g_engineSent;
}

void TWorkWithTransStatis::ComputeBudgets() {
    TaskOptions options = Options();
    downloadBudget_ = SecondBudget(options.downloadLimitKiB);
    uploadBudget_ = SecondBudget(options.uploadLimitKiB);
}

std::uint32_t TWorkWithTransStatis::RoundSleepMs() const noexcept {
    return roundDelay_ == 0 ? kFirstRoundSleepMs : static_cast<std::uint32_t>(roundDelay_ + 1);
}

void TWorkWithTransStatis::TransferRound() {
    const std::uint32_t now = TickCount();
    if (!tickStarted_) {
        tickStarted_ = true;
        lastTickMs_ = now;
        ComputeBudgets();
    } else if (now - lastTickMs_ >= kTickMs) {
        lastTickMs_ = now;
        const std::int32_t sentLastSecond = sentThisSecond_;
        StatisticsTick();
        extraUploadRoom_ = sentLastSecond / 8192 < uploadSlots_ ? std::max(uploadSlots_ / 6, 1) : 0;
        tickRound_ = roundCounter_;
        PerSecondMaintenance();
        fullRoundPending_ = true;
    }
    if (limitsChanged_.exchange(false)) {
        ComputeBudgets();
    }
    // Every peer on a full round; in between only the fast ones.
    const bool full =
        fullRoundPending_ || roundCounter_ % static_cast<std::uint32_t>(downloadPeriod_) == 0;
    ++roundCounter_;
    pendingUploadPeers_ = 0;
    // Counted as the peers step (RemainingDownloadBudget reads them during the round).
    roundReceived_ = 0;
    roundSent_ = 0;
    std::int32_t& received = roundReceived_;
    std::int32_t& sent = roundSent_;
    StepPeers(full, kFastPeerRate, received, sent);
    // Upload room: at a tick, extra uploaders when the last second sent less than the slots
    // could carry; the slower peers upload on the upload period only.
    const bool periodRound = roundCounter_ % static_cast<std::uint32_t>(uploadPeriod_) == 0 &&
                             (extraUploadRoom_ > 0 || roundCounter_ - tickRound_ >= 18);
    StepUploads(periodRound, kFastPeerRate,
                extraUploadRoom_ + std::max(pendingUploadPeers_, uploadSlots_), received, sent);
    receivedThisSecond_ += received;
    sentThisSecond_ += sent;
    lastRoundReceived_ = received;
    roundReceived_ = 0;
    roundSent_ = 0;
    fullRoundPending_ = false;
}

void TWorkWithTransStatis::StatisticsTick() {
    const bool downloading = !work_.AllPiecesDone();
    const std::int32_t r = downloading ? receivedThisSecond_ : payloadThisSecond_;
    work_.currentRate = downloading ? SmoothedRate(work_.currentRate, payloadThisSecond_) : 0;
    if (payloadThisSecond_ > 0 && !work_.sourceProblem.empty()) {
        work_.sourceProblem.clear();  // data flows again
        publishPending_ = true;
    }
    {
        LockGuard guard(&TaskRegistryLock(), true);
        g_engineSent += static_cast<std::uint64_t>(std::max(sentThisSecond_, 0));
        g_engineReceived += static_cast<std::uint64_t>(std::max(r, 0));
    }
    work_.totalDownloaded += static_cast<std::uint64_t>(std::max(r, 0));
    work_.totalUploaded += static_cast<std::uint64_t>(std::max(sentThisSecond_, 0));

    const Pacing pacing = PacingFor(downloading ? receivedThisSecond_ : sentThisSecond_);
    roundDelay_ = pacing.roundDelay;
    downloadPeriod_ = pacing.downloadPeriod;
    uploadPeriod_ = pacing.uploadPeriod;

    taskClock_ = EngineTime();
    const std::uint32_t elapsed = std::max<std::uint32_t>(1, EngineSeconds() - StartTime());
    if (downloading) {
        work_.averageDownloadRate = static_cast<std::int32_t>(work_.totalDownloaded / elapsed);
    }
    work_.averageUploadRate = static_cast<std::int32_t>(work_.totalUploaded / elapsed);
    work_.uploadRate = SmoothedRate(work_.uploadRate, uploadedThisSecond_);
    uploadedThisSecond_ = 0;
    work_.connectedPeers = static_cast<std::int32_t>(
        std::count_if(Peers().begin(), Peers().end(), [](const TPeerObject* peer) {
            return peer->Kind() == kKindBitTorrent && peer->IsEstablished();
        }));
    work_.remainingTime =
        (completionTime_ == 0 || downloading)
            ? RemainingSeconds(work_.pieceLength, work_.pieceCount - work_.piecesDone,
                               taskDownloadRate_)
            : 0;
    {
        LockGuard guard(&ThreadLock(), true);
        options_.maxPeers = static_cast<std::int32_t>(
            std::max<std::int64_t>((taskDownloadRate_ + taskUploadRate_) / 4096 + 8, 52));
    }
    uploadSlots_ = UploadSlotsFor(taskUploadRate_, Engine().reachableFromOutside.load());

    downloadDebt_ = CarriedDebt(downloadDebt_, receivedThisSecond_, downloadBudget_);
    uploadDebt_ = CarriedDebt(uploadDebt_, sentThisSecond_, uploadBudget_);
    receivedThisSecond_ = 0;
    sentThisSecond_ = 0;
    payloadThisSecond_ = 0;
    ComputeBudgets();
}

void TWorkWithTransStatis::ResetStatistics() {
    receivedThisSecond_ = 0;
    sentThisSecond_ = 0;
    payloadThisSecond_ = 0;
    downloadBudget_ = kMinimumBudget;
    uploadBudget_ = kMinimumBudget;
    downloadDebt_ = 0;
    uploadDebt_ = 0;
    roundReceived_ = 0;
    lastRoundReceived_ = 0;
    roundSent_ = 0;
    taskDownloadRate_ = 0;
    taskUploadRate_ = 0;
    roundDelay_ = 0;
    downloadPeriod_ = 5;
    uploadPeriod_ = 15;
    roundCounter_ = 0;
    fullRoundPending_ = true;
    uploadSlots_ = 6;
    tickStarted_ = false;
    taskClock_ = 0;
}

}  // namespace koruvan::engine
