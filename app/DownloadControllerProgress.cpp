// Periodic work over the five tasks: speed and its smoothing, the split of the speed limit
// and of the connection budgets, the 1 s Tick, overall progress with the reactions to the
// tasks' state codes, the byte count, the statistics event and the texts.
#include <algorithm>
#include <cstdio>
#include <limits>

#include "app/ControllerText.h"
#include "app/DownloadController.h"
#include "platform/IniFile.h"

namespace koruvan::app {
namespace {

constexpr std::uint32_t kDownloadingAbove = 1024;  // bytes per second
constexpr std::uint32_t kRefreshEvery = 600;       // SpeedText calls (about five minutes)
constexpr std::uint32_t kStatisticsEvery = 300;    // Ticks
constexpr std::uint32_t kUnlimitedKBps = 32767;    // the engine's "no limit"
constexpr std::uint32_t kLowestSplitKBps = 10;
constexpr std::int32_t kComplete = 10000;
constexpr std::uint32_t kDownloadSecondsPerSave = 10;
// Seconds without data before the reason is shown.
constexpr std::uint32_t kQuietSecondsBeforeReason = 3;

std::uint32_t ClampRate(std::int32_t rate) noexcept {
    return rate > 0 ? static_cast<std::uint32_t>(rate) : 0;
}

std::string Printf64(const char* format, unsigned long long value) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

// --- one task -------------------------------------------------------------------------------

DownloadController::FileQuery DownloadController::QueryLocked(int index) {
    FileQuery q;
    q.ok = engine_.QueryTask(tasks_.Handle(index), &q.progress) == engine::kOk;
    if (q.ok) {
        lastHttpBytes_[static_cast<std::size_t>(index)] = q.progress.httpBytes;
        lastPeerBytes_[static_cast<std::size_t>(index)] = q.progress.peerBytes;
    }
    return q;
}

// A task that says it is complete marks its file done (once): the file is recorded, the
// limit is split over the remaining tasks and the completion is reported. A file whose
// bytes no piece digest vouched for is recorded only once its MD5 check passes.
void DownloadController::NoteCompletionLocked(int index) {
    std::int32_t complete = 0;
    if (engine_.IsTaskComplete(tasks_.Handle(index), &complete) != engine::kOk || complete == 0 ||
        tasks_.Done(index)) {
        return;
    }
    tasks_.SetDone(index, true);
    if (tasks_.DigestCovered(index)) {
        WriteCompletionRecordLocked(index);
    } else {
        uncheckedFiles_ |= 1u << index;
    }
    ApplySpeedLimitLocked(speedLimitKBps_);
    ReportControllerEvent(events_, "11080000", "", FileName(index));
}

int DownloadController::ActiveTaskCountLocked() {
    int n = 0;
    for (int i = 0; i < kFileCount; ++i) {
        if (!tasks_.Done(i) && QueryLocked(i).ok) {
            ++n;
        }
    }
    return n;
}

// --- speed ----------------------------------------------------------------------------------

std::string DownloadController::SpeedText() {
    std::lock_guard<std::mutex> step(stepLock_);
    std::unique_lock<std::mutex> fields(lock_);
    std::string text = SpeedTextLocked();
    FinishStep(fields);
    return text;
}

int DownloadController::SpeedText(char* buffer, std::size_t size) {
    return CopyText(SpeedText(), buffer, size);
}

std::string DownloadController::SpeedTextLocked() {
    (void)engine_.EnableP2P(p2pOn_);
    if (state_ == ControllerState::CheckRecover) {
        if (speedCalls_ % kRefreshEvery == 0) {
            StartRefreshLocked();
        }
        ++speedCalls_;
        return {};
    }
    if (!IsRunning(state_)) {
        speedCalls_ = 0;
        return "0 B/s";
    }
    std::uint64_t sum = 0;
    int active = 0;
    for (int i = 0; i < kFileCount; ++i) {
        if (tasks_.Done(i)) {
            continue;
        }
        if (const FileQuery q = QueryLocked(i); q.ok) {
            sum += ClampRate(q.progress.currentRate);
            ++active;
        }
    }
    aggregateSpeed_ = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(sum, std::numeric_limits<std::uint32_t>::max()));
    if (aggregateSpeed_ > kDownloadingAbove) {
        SetStateLocked(ControllerState::Downloading);
    }
    // The budgets are handed out while the tasks run, not only once bytes flow: a task's
    // BitTorrent allowance is 0 until set, and a download that only peers can serve (every
    // web source down) would otherwise never dial a single peer.
    DistributeConnectionsLocked(httpConnections_, peerConnections_, active);
    // The resource list's extra sources are fetched while data flows, and also when the
    // plan's own sources have delivered nothing for a few seconds: a download whose CDN
    // fails from the start would otherwise never learn the mirrors meant to stand in for it.
    const bool starved = secondsWithoutData_ >= kQuietSecondsBeforeReason;
    if (state_ == ControllerState::Downloading || starved) {
        if (speedCalls_ % kRefreshEvery == 0) {
            StartRefreshLocked();
        }
        ++speedCalls_;
    } else {
        speedCalls_ = 0;
    }
    // Under a limit the shown speed approaches the limit from above instead of jumping to
    // the bursts the engine measures while it throttles.
    const std::uint64_t cap = std::uint64_t{speedLimitKBps_} * 1024;
    const std::uint32_t previous = shownSpeed_;
    // The stored "no limit" (32767) is no cap: the shown speed is the measured one.
    if (speedLimitKBps_ == 0 || speedLimitKBps_ == kUnlimitedKBps || cap >= aggregateSpeed_) {
        shownSpeed_ = aggregateSpeed_;
    } else if (cap > previous) {
        shownSpeed_ = static_cast<std::uint32_t>((std::uint64_t{aggregateSpeed_} + previous) / 2);
    } else {
        shownSpeed_ = static_cast<std::uint32_t>((cap + previous) / 2);
    }
    return FormatSpeed(shownSpeed_);
}

void DownloadController::StartRefreshLocked() {
    (void)refresher_->Start();
}

// Each unfinished task gets its share of both budgets; the remainders go to the first
// tasks in index order. n: the unfinished tasks that answered their query. Only a change of the
// budget or of the number of tasks re-splits.
void DownloadController::DistributeConnectionsLocked(std::int32_t a, std::int32_t b, int n) {
    if (a == lastShareA_ && n == lastShareN_) {
        return;
    }
    lastShareA_ = a;
    lastShareN_ = n;
    httpConnections_ = a;
    if (n <= 0) {
        return;
    }
    std::int32_t restA = a % n;
    std::int32_t restB = b % n;
    for (int i = 0; i < kFileCount; ++i) {
        if (tasks_.Done(i)) {
            continue;
        }
        std::int32_t shareA = a / n + (restA > 0 ? 1 : 0);
        std::int32_t shareB = b / n + (restB > 0 ? 1 : 0);
        restA = std::max(restA - 1, 0);
        restB = std::max(restB - 1, 0);
        (void)engine_.SetTaskConnectionLimits(tasks_.Handle(i), std::max(shareA, 1),
                                              std::max(shareB, 1));
    }
}

// --- the speed limit ------------------------------------------------------------------------

void DownloadController::ApplySpeedLimit(std::uint32_t kibPerSecond) {
    std::lock_guard<std::mutex> step(stepLock_);
    std::lock_guard<std::mutex> fields(lock_);
    ApplySpeedLimitLocked(kibPerSecond);
}

// The global limit is split evenly over the active tasks (never below 10 KB/s each) and
// handed to all five tasks. No limit reaches the engine as 0, its own "no limit": the old
// sentinel 32767 split over n tasks would have capped an unlimited download at 32 MiB/s.
void DownloadController::ApplySpeedLimitLocked(std::uint32_t kibPerSecond) {
    speedLimitKBps_ = kibPerSecond == 0 ? kUnlimitedKBps : kibPerSecond;
    std::int32_t perTask = 0;
    if (speedLimitKBps_ != kUnlimitedKBps) {
        std::uint32_t value = speedLimitKBps_;
        if (const int n = ActiveTaskCountLocked(); n > 1) {
            value /= static_cast<std::uint32_t>(n);
        }
        value = std::max(value, kLowestSplitKBps);
        perTask = static_cast<std::int32_t>(
            std::min<std::uint32_t>(value, std::numeric_limits<std::int32_t>::max()));
    }
    for (int i = 0; i < kFileCount; ++i) {
        (void)engine_.SetTaskSpeedLimit(tasks_.Handle(i), 1, perTask);
    }
    // A task created from now on starts with its share of the files still to come, so
    // that the limit holds from its first second.
    std::int32_t startShare = 0;
    if (speedLimitKBps_ != kUnlimitedKBps) {
        std::uint32_t unfinished = 0;
        for (int i = 0; i < kFileCount; ++i) {
            unfinished += tasks_.Done(i) ? 0 : 1;
        }
        startShare = static_cast<std::int32_t>(
            std::max(speedLimitKBps_ / std::max<std::uint32_t>(unfinished, 1), kLowestSplitKBps));
    }
    tasks_.SetStartLimit(startShare);
}

// --- every second -----------------------------------------------------------------------------

void DownloadController::Tick() {
    std::lock_guard<std::mutex> step(stepLock_);
    std::unique_lock<std::mutex> fields(lock_);
    TickLocked();
    FinishStep(fields);
}

void DownloadController::TickLocked() {
    switch (state_) {
        case ControllerState::Back:
        case ControllerState::Ready:
        case ControllerState::Failed:
        case ControllerState::Crashed:
            return;
        default:
            break;
    }
    if (IsRunning(state_)) {
        if (++ticks_ % kStatisticsEvery == 0) {
            ReportStatisticsLocked("11050000");
        }
        CountDownloadSecondLocked();
    } else {
        ticks_ = 0;
    }
    bool allDone = true;
    for (int i = 0; i < kFileCount; ++i) {
        if (const FileQuery q = QueryLocked(i); q.ok) {
            NoteCompletionLocked(i);
            if (q.progress.stateCode == engine::kStateTorrentUnusable && !tasks_.WebOnly(i)) {
                // The torrent cannot be used: the file still comes from its web sources
                // (its MD5 check guards it), without peers.
                Log("Torrent unusable] [" + FileName(i) + "] [continuing from web sources");
                tasks_.SetWebOnly(i);
                pendingStops_.push_back(tasks_.Handle(i));
                pendingWebOnly_.push_back(i);
            }
        }
        allDone = allDone && tasks_.Done(i);
    }
    WatchForDataLocked();
    if (!IsVerifying(state_) && allDone) {
        AllFilesCompleteLocked();
    }
}

// The download is complete once the files that no piece digest vouched for match their
// MD5: until then it is checked (and repaired) like a verification, which ends in
// `finished` (or `failed` when a repair gives up).
void DownloadController::AllFilesCompleteLocked() {
    if (uncheckedFiles_ == 0) {
        FinishDownloadLocked();
        return;
    }
    SaveDownloadSecondsLocked();
    SetStateLocked(ControllerState::Md5Checking);
    checkSet_ = uncheckedFiles_;
    downloadCheck_ = true;
    installAfterVerify_ = false;
    verifyIndex_ = 0;
    while (verifyIndex_ < kFileCount - 1 && (checkSet_ & (1u << verifyIndex_)) == 0) {
        ++verifyIndex_;
    }
    verifyProgress_ = 0;
    unrepairedFile_.clear();
    std::string names;
    for (int i = 0; i < kFileCount; ++i) {
        names += (checkSet_ & (1u << i)) != 0 ? "] [" + FileName(i) : "";
    }
    Log("MD5 check before finishing" + names);
    pendingCheckStart_ = true;
}

void DownloadController::FinishDownloadLocked() {
    SetStateLocked(ControllerState::Finished);
    SaveDownloadSecondsLocked();
    NoteRecordWriteLocked(kFileCount, WriteTask("KoruvanTaskIsComplete", "COMPLETE"));
}

// Seconds in a row without a byte from any source while the download runs, and, after a
// few, the reason the tasks know (the last source failure) for the front end to show.
void DownloadController::WatchForDataLocked() {
    std::uint64_t received = 0;
    for (int i = 0; i < kFileCount; ++i) {
        received += lastHttpBytes_[static_cast<std::size_t>(i)] +
                    lastPeerBytes_[static_cast<std::size_t>(i)];
    }
    const bool waiting = IsRunning(state_) || state_ == ControllerState::CheckRecover;
    if (!waiting || received != lastReceived_) {
        lastReceived_ = received;
        secondsWithoutData_ = 0;
        problemText_.clear();
        return;
    }
    if (++secondsWithoutData_ < kQuietSecondsBeforeReason) {
        return;
    }
    std::string reason;
    for (int i = 0; i < kFileCount && reason.empty(); ++i) {
        if (tasks_.Done(i)) {
            continue;
        }
        char text[512] = {};
        if (engine_.QueryTaskProblem(tasks_.Handle(i), text, sizeof text) > 0) {
            reason = text;
        }
    }
    problemText_ = reason.empty() ? std::string() : "no data from any source: " + reason;
}

std::string DownloadController::ProblemText() const {
    std::lock_guard<std::mutex> fields(lock_);
    return problemText_;
}

std::uint32_t DownloadController::SecondsWithoutData() const {
    std::lock_guard<std::mutex> fields(lock_);
    return secondsWithoutData_;
}

// The task file's download-time counter goes forward by the seconds counted since it was
// last written, every tenth second: a crash loses at most nine seconds of the count, and a
// long wait for the sources does not rewrite the file every second.
void DownloadController::CountDownloadSecondLocked() {
    ++downloadSecondsSession_;
    if (++unsavedDownloadSeconds_ >= kDownloadSecondsPerSave) {
        SaveDownloadSecondsLocked();
    }
}

void DownloadController::SaveDownloadSecondsLocked() {
    SaveSourceBytesLocked();
    if (unsavedDownloadSeconds_ == 0 || taskIni_.empty()) {
        return;
    }
    const std::uint32_t stored =
        platform::IniFile(taskIni_).GetInt("KoruvanTask", "KoruvanTaskDownloadTime", 0) +
        unsavedDownloadSeconds_;
    unsavedDownloadSeconds_ = 0;
    if (stored > downloadSecondsStored_) {
        WriteTask("KoruvanTaskDownloadTime", std::to_string(stored));
        downloadSecondsStored_ = stored;
    }
}

// --- progress and the state codes -----------------------------------------------------------

std::uint32_t DownloadController::OverallProgress() {
    std::lock_guard<std::mutex> step(stepLock_);
    std::unique_lock<std::mutex> fields(lock_);
    const std::uint32_t progress = OverallProgressLocked(true);
    FinishStep(fields);
    return progress;
}

// The mean of the files' progress weighted by their size in whole MiB. A file whose task
// does not answer counts neither way. (64-bit sums: no plan size can wrap them.)
std::uint32_t DownloadController::OverallProgressLocked(bool react) {
    std::uint64_t weights = 0;
    std::uint64_t weighted = 0;
    for (int i = 0; i < kFileCount; ++i) {
        if (tasks_.Done(i)) {
            const std::uint64_t w = plan_.files[static_cast<std::size_t>(i)].size >> 20;
            weights += w;
            weighted += w * kComplete;
            continue;
        }
        const FileQuery q = QueryLocked(i);
        if (!q.ok) {
            continue;
        }
        NoteCompletionLocked(i);
        const std::int32_t code = q.progress.stateCode;
        if (react && code != lastSeenCode_) {
            lastSeenCode_ = code;
            ReactToCodeLocked(code);
        }
        const std::uint64_t w = q.progress.totalSizeKiB / 1024;
        const std::int32_t p = q.progress.progress;
        const std::uint64_t value = tasks_.Done(i) || p >= kComplete
                                        ? kComplete
                                        : static_cast<std::uint64_t>(std::max(p, 0));
        weights += w;
        weighted += w * value;
    }
    return weights == 0 ? 0 : static_cast<std::uint32_t>(weighted / weights);
}

// Each notice is shown once for a code in a row: a code equal to the last one reacted to
// is ignored.
void DownloadController::ReactToCodeLocked(std::int32_t code) {
    if (code == 0 || code == lastReactedCode_) {
        return;
    }
    lastReactedCode_ = code;
    switch (code) {
        case 20207:
            Notice("网络错误", kNoticeTitle);
            break;
        case engine::kStateSizeTimeout:
            ReportStatisticsLocked("11990202");
            Notice("网络连接超时，下载失败", kNoticeTitle);
            break;
        case engine::kStateDiskFull:
            if (state_ == ControllerState::Downloading) {
                StopAllLocked();
            }
            diskShort_ = true;
            ReportStatisticsLocked("11990301");
            Notice("磁盘空间不足，请检查并重新启动下载器！", kNoticeTitle);
            break;
        case engine::kStateGaveUp:
            Notice("下载出错，请重试", kNoticeTitle);
            break;
        case engine::kStateWriteFailed:
            SetStateLocked(ControllerState::Failed);
            Notice("由于磁盘损坏无法写入，下载失败", kNoticeTitle);
            break;
        default:
            break;
    }
}

// --- bytes ----------------------------------------------------------------------------------

std::uint64_t DownloadController::DownloadedBytesLocked() {
    std::uint64_t sum = 0;
    for (int i = 0; i < kFileCount; ++i) {
        if (const FileQuery q = QueryLocked(i); q.ok) {
            sum += q.progress.bytesDone;
            continue;
        }
        const std::int64_t allocated = engine_.GetFileAllocatedBytes(TargetPath(i).c_str());
        if (allocated >= 0) {
            sum += static_cast<std::uint64_t>(allocated);
        }
    }
    if (KeepsByteCount(state_) && sum != downloadedBytes_) {
        constexpr std::uint64_t kHalf = std::uint64_t{1} << 31;
        WriteTask("KoruvanTaskLastSizeHigh", Printf64("%llu", sum / kHalf));
        WriteTask("KoruvanTaskLastSizeLow", Printf64("%llu", sum % kHalf));
    }
    downloadedBytes_ = sum;
    return sum;
}

// --- statistics -----------------------------------------------------------------------------

// The session's counters: bytes from web sources (A) and from peers (B) over the five
// files (the last known counts of a task that does not answer), per session second.
void DownloadController::ReportStatisticsLocked(std::string_view code, std::string_view text) {
    std::uint64_t http = 0;
    std::uint64_t peers = 0;
    for (int i = 0; i < kFileCount; ++i) {
        (void)QueryLocked(i);
        http += lastHttpBytes_[static_cast<std::size_t>(i)];
        peers += lastPeerBytes_[static_cast<std::size_t>(i)];
    }
    const std::uint32_t seconds = downloadSecondsSession_;
    const auto per = [seconds](std::uint64_t bytes) { return seconds == 0 ? 0 : bytes / seconds; };
    DetailedEvent e;
    e.code = std::string(code);
    e.totalSeconds = seconds;
    e.totalBytes = http + peers;
    e.averageSpeed = per(http + peers);
    e.progress = FormatPercent(OverallProgressLocked(false));
    e.httpBytes = http;
    e.httpAverageSpeed = per(http);
    e.p2pBytes = peers;
    e.p2pAverageSpeed = per(peers);
    e.errorMessage = std::string(text);
    events_.ReportDetailed(e);
}

// --- texts ----------------------------------------------------------------------------------

std::string DownloadController::SizeText() const {
    std::lock_guard<std::mutex> fields(lock_);
    const std::uint64_t total = TotalBytes();
    std::string done;
    if (state_ == ControllerState::Finished) {
        done = FormatSize(total);
    } else {
        done = downloadedBytes_ == 0 ? "0 B" : FormatSize(downloadedBytes_);
    }
    return done + "/" + FormatSize(total);
}

int DownloadController::SizeText(char* buffer, std::size_t size) const {
    return CopyText(SizeText(), buffer, size);
}

std::string DownloadController::FileStatusText(int index) {
    if (index < 0 || index >= kFileCount) {
        return {};
    }
    std::lock_guard<std::mutex> step(stepLock_);
    std::lock_guard<std::mutex> fields(lock_);
    return FileStatusTextLocked(index);
}

int DownloadController::FileStatusText(int index, char* buffer, std::size_t size) {
    return CopyText(FileStatusText(index), buffer, size);
}

std::string DownloadController::FileStatusTextLocked(int index) {
    FileStatusView view;
    view.state = state_;
    view.index = index;
    view.done = tasks_.Done(index);
    view.verifyIndex = verifyIndex_;
    view.verifyProgress = verifyProgress_;
    view.repairProgress = repairProgress_;
    view.inCheck = (checkSet_ & (1u << index)) != 0;
    if (!view.done) {
        const FileQuery q = QueryLocked(index);
        view.queried = q.ok;
        view.progress = q.progress.progress;
    }
    return app::FileStatusText(view);
}

std::string DownloadController::RepairSpeedText() const {
    std::lock_guard<std::mutex> fields(lock_);
    return FormatSpeed(repairSpeed_);
}

FileReport DownloadController::ReportFile(int index) {
    FileReport report;
    if (index < 0 || index >= kFileCount) {
        return report;
    }
    report.name = FileName(index);
    report.size = plan_.files[static_cast<std::size_t>(index)].size;
    std::lock_guard<std::mutex> step(stepLock_);
    std::lock_guard<std::mutex> fields(lock_);
    report.done = tasks_.Done(index);
    const FileQuery q = QueryLocked(index);
    report.queried = q.ok;
    report.progress = q.progress.progress;
    report.stateCode = q.progress.stateCode;
    report.speed = q.progress.currentRate;
    report.bytesDone = q.progress.bytesDone;
    return report;
}

// --- the resource list ----------------------------------------------------------------------

bool DownloadController::WantsSources(int index) {
    std::lock_guard<std::mutex> fields(lock_);
    return !tasks_.Done(index) || index == verifyIndex_;
}

std::int32_t DownloadController::HandOver(int index, const std::vector<SourceOffer>& sources) {
    return tasks_.ReplaceExtraSources(index, sources);
}

}  // namespace koruvan::app
