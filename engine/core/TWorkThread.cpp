#include "engine/core/TWorkThread.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "engine/core/EngineState.h"
#include "engine/core/P2PService.h"
#include "engine/core/TPieces.h"
#include "engine/core/TaskRegistry.h"
#include "engine/core/base/EngineClock.h"
#include "engine/core/base/EngineLocks.h"
#include "engine/core/base/KoruvanLog.h"
#include "engine/core/base/LockGuard.h"
#include "platform/DiskSpace.h"
#include "platform/File.h"
#include "platform/Paths.h"

namespace koruvan::engine {
namespace {

constexpr std::int64_t kMaintenanceSeconds = 15;
constexpr std::int64_t kDiscoverySeconds = 10;
constexpr std::uint32_t kServiceUpkeepMs = 400;
constexpr std::uint32_t kGiveUpSeconds = 15;
constexpr std::int64_t kEvaluationSeconds = 3;
constexpr std::uint32_t kSaveSeconds = 20;
constexpr std::int64_t kSyncSeconds = 5;
constexpr std::uint32_t kStallLimitSeconds = 900;
constexpr std::uint32_t kIdleSeedSleepMs = 200;
constexpr std::uint32_t kIdleRoundSleepMs = 100;
// The first seconds of a run connect its sources: no slow idle rounds yet.
constexpr std::uint32_t kIdleAfterSeconds = 2;
// Bytes one round must have received for the next one to follow without a pause.
constexpr std::int32_t kBusyRoundBytes = 256 * 1024;
// A target that could not take its final name: tries, and seconds between them.
constexpr std::int32_t kFinalNameAttempts = 3;
constexpr std::uint32_t kFinalNameRetrySeconds = 1;

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    const std::size_t n = std::strlen(prefix);
    if (text.size() < n) {
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i]))) {
            return false;
        }
    }
    return true;
}

std::int64_t Distance(std::int64_t a, std::int64_t b) {
    return a > b ? a - b : b - a;
}

}  // namespace

TWorkThread::TWorkThread() {
    LockGuard guard(&TaskRegistryLock(), true);
    if (TaskRegistry::Add(this)) {
        StartFirstTaskServices();
    }
}

TWorkThread::~TWorkThread() {
    Stop(true);
    Reset(true, true);
    if (TaskRegistry::Remove(this)) {
        StopLastTaskServices();
    }
}

int TWorkThread::Run() {
    try {
        return Body();
    } catch (...) {
        ReleaseHeldLocks();
        return -1;
    }
}

void TWorkThread::ReleaseHeldLocks() {
    for (QBaseMutex* lock :
         {static_cast<QBaseMutex*>(&ThreadLock()), static_cast<QBaseMutex*>(&TaskRegistryLock())}) {
        while (lock->Unlock()) {
            SleepMs(20);
        }
    }
}

int TWorkThread::Body() {
    work_.stateCode = 0;
    LoadStateFile(stateFilePath_);
    if (!Prepare()) {
        // Nothing to fetch, but what preparing found (an unusable torrent) is reported.
        work_.phase = kPhaseIdle;
        Publish(true, true);
        return 0;
    }
    work_.phase = kPhaseRunning;
    lastSaveSeconds_ = EngineSeconds();
    MainLoop();

    if (!finished_) {
        CompletionCheck(0);
    }
    AnnounceStopped();
    ReleaseSourceEntries(!TorrentBlob().data.empty());
    const bool finished = finished_;
    const bool gaveUp = gaveUp_;
    const bool timedOut = timedOut_;
    Reset(false, false);
    if (!finished) {
        SaveStateFile(stateFilePath_);
    } else {
        DeleteStateFile(stateFilePath_);
    }
    {
        LockGuard guard(&ThreadLock(), true);
        work_.phase = kPhaseIdle;
        if (!finished) {
            if (gaveUp) {
                work_.stateCode = kStateGaveUp;
            } else if (timedOut) {
                work_.stateCode = kStateSizeTimeout;
            }
        }
        Publish(true, false);
    }
    Reset(false, false);
    return 0;
}

bool TWorkThread::Prepare() {
    const std::int64_t allocated = platform::AllocatedBytes(targetFile_);
    if (allocated >= 0) {
        work_.bytesOnDisk = static_cast<std::uint64_t>(allocated);
    }
    if (!IsHttpTask() && !key_.empty()) {
        work_.phase = kPhaseIdle;
        if (StartsWithNoCase(key_, "file://")) {
            std::string data;
            if (platform::ReadWholeFile(key_.substr(7), data) && data.size() > 2 &&
                (data[0] == 'd' || data[0] == 'D')) {
                SetTorrentBlob(std::move(data));
            } else {
                work_.stateCode = kStateTorrentUnusable;
                RequestStop(nullptr);
            }
        }
        BuildPieceLayer();
        if (options_.metainfoOnly && HasMetainfo()) {
            Publish(false, true);
            return false;
        }
        work_.phase = kPhaseRunning;
    }
    if (IsHttpTask() && expectedSize_ > 0) {
        // The caller knows the size: no source's answer decides it.
        (void)SetUnhashedLayout(expectedSize_);
    }
    return IsHttpTask() || HasMetainfo() || !sources_.empty();
}

void TWorkThread::MainLoop() {
    while (!CheckStop()) {
        if (CompletionCheck(TaskClock())) {
            char line[kEngineTextSize + 64];
            std::snprintf(line, sizeof line, "TID : %5lu] [%s is Download Complete",
                          static_cast<unsigned long>(RunningThreadId()), targetFile_.c_str());
            WriteLog(line, 23, 23);
            break;
        }
        const std::int64_t now = Step();
        if (CheckStop()) {
            break;
        }
        if (Distance(now, last15_) >= kMaintenanceSeconds) {
            SourceMaintenance();
            last15_ = now;
            ConnectPassIfDue();  // new candidates need not wait for the next second
        }
        if (ShouldLeaveLoop(now) || CheckStop()) {
            break;
        }
        EveryRoundUpkeep();
        if (newMetainfo_) {
            newMetainfo_ = false;
            // The new layout replaces the work ranges and the block numbering: no peer may
            // keep a range or a request of the old one.
            for (TPeerObject* peer : Peers()) {
                peer->ReleaseRange();
            }
            Ranges().Clear();
            BuildPieceLayer();
        }
        if (Distance(now, last10_) >= kDiscoverySeconds) {
            last10_ = now;
            if (btLink_.ServiceInfoHash() != nullptr) {
                P2PService::Instance().Discovery(btLink_, EngineTime());
            }
        }
    }
}

bool TWorkThread::ShouldLeaveLoop(std::int64_t now) {
    const std::uint32_t running = SecondsSinceStart();
    if (!SizeKnown() && running > static_cast<std::uint32_t>(options_.metadataTimeoutSeconds)) {
        timedOut_ = true;
        return true;
    }
    if (CompletionCheck(now)) {
        return true;
    }
    if (work_.currentRate == 0 && running > kGiveUpSeconds && (IsHttpTask() || !HasMetainfo()) &&
        candidates_.empty()) {
        gaveUp_ = true;
        ReleaseSourceEntries(!TorrentBlob().data.empty());
        return true;
    }
    return false;
}

void TWorkThread::EveryRoundUpkeep() {
    // The DHT search and the P2P service's upkeep (the shared buffer pools trim themselves);
    // every fourth round the shared request pool is kept in shape and the bitfield and peer
    // table are marked for publishing.
    ServiceUpkeep();
    DriveDhtSearch();
    if (++upkeepRounds_ % 4 == 0) {
        RequestPoolUpkeep();
        publishPending_ = true;
    }
}

void TWorkThread::ServiceUpkeep() {
    const std::uint32_t now = TickCount();
    if (now - lastServiceMs_ < kServiceUpkeepMs || !btLink_.BuildHandshake()) {
        return;
    }
    lastServiceMs_ = now;
    P2PService& service = P2PService::Instance();
    service.Register(&btLink_);
    service.Upkeep(btLink_, now, EngineTime());
}

void TWorkThread::LeaveService() {
    P2PService::Instance().Unregister(&btLink_);
    btLink_.ClearHandshake();
    lastServiceMs_ = 0;
}

bool TWorkThread::CompletionCheck(std::int64_t t) {
    const std::int64_t clock = t != 0 ? t : (TaskClock() != 0 ? TaskClock() : Time().WallSeconds());
    const bool done = work_.AllPiecesDone();
    if (!done) {
        completionTime_ = 0;
        return false;
    }
    if (completionTime_ == 0) {
        if (finalNameRetry_ != 0 && EngineSeconds() - finalNameRetry_ < kFinalNameRetrySeconds) {
            return false;
        }
        completionTime_ = static_cast<std::uint64_t>(clock);
        if (work_.phase != kPhaseFinishing) {
            FlushAndCloseFiles(true);
        }
        if (work_.AllPiecesDone() && !TargetsFinal()) {
            // The data is whole but a target kept its temporary name: not finished. The
            // state file stays, the rename is tried again, and after a few failures the
            // write failure is reported.
            completionTime_ = 0;
            finalNameRetry_ = std::max<std::uint32_t>(EngineSeconds(), 1);
            if (++finalNameFailures_ == kFinalNameAttempts) {
                WriteLog("Final rename failed] [" + targetFile_, 23, 23);
                SaveStateFile(stateFilePath_);  // a restart finds the whole file recorded
                work_.stateCode = kStateWriteFailed;
                Publish(true, true);
            }
            return false;
        }
        if (work_.AllPiecesDone()) {
            finished_ = true;
            work_.targetsFinal = true;
            if (work_.stateCode == kStateWriteFailed) {
                work_.stateCode = 0;  // the rename went through at last
            }
            Publish(true, true);
        }
    }
    if (t <= 0) {
        return false;
    }
    if (IsHttpTask()) {
        return work_.bytesDone >= work_.bytesNeeded;
    }
    // A seeding time of 0 hours ends the task at once rather than never.
    const std::int64_t seeded = t - static_cast<std::int64_t>(completionTime_);
    return options_.seedHours <= 0 || seeded / 3600 >= options_.seedHours;
}

std::int64_t TWorkThread::Step() {
    // Queued reads of target data are served first, then one transfer round.
    ServeReadRequests();
    TransferRound();
    if (work_.AllPiecesDone() && completionTime_ != 0 && ConnectedBtPeers() == 0) {
        // Finished and closed: nothing left to fetch, no need to spin fast while no peer
        // is served. (Right after the last piece the completion check comes first.)
        SleepMs(kIdleSeedSleepMs);
    }
    if (publishPending_) {
        LockGuard guard(&ThreadLock(), false);
        if (guard.TryLock()) {
            Publish(true, false);
            Refresh();
            publishPending_ = false;
        }
    }
    const std::int64_t now = TaskClock() != 0 ? TaskClock() : Time().WallSeconds();
    if (forceEvaluation_ || now - lastEvaluation_ > kEvaluationSeconds || now < lastEvaluation_) {
        EvaluatePeers(now);
    }
    // With no connection at all there is nothing to poll: new ones are made at most once a
    // second, so the round slows down rather than waking hundreds of times a second.
    // A round that moved a lot found the sockets full: more is waiting, so the next round
    // follows at once instead of after the pause (which would let the socket buffers fill
    // and the sender stall).
    if (lastRoundReceived_ >= kBusyRoundBytes && RemainingDownloadBudget() > 0) {
        return now;
    }
    const bool idle = ConnectedPeerCount() == 0 && SecondsSinceStart() >= kIdleAfterSeconds;
    if (idle || RemainingDownloadBudget() == 0) {
        SleepMs(idle ? kIdleRoundSleepMs : RoundSleepMs());
    } else {
        WaitForPeers(RoundSleepMs());
    }
    return now;
}

// The pause between rounds, cut short as soon as a connection has something to read (or
// a connect completes): the sockets are not left to fill while the thread sleeps.
void TWorkThread::WaitForPeers(std::uint32_t ms) {
    waits_.clear();
    for (const TPeerObject* peer : Peers()) {
        // A peer may read on a second connection (an FTP source's data connection).
        const TPeerConnection* own = peer->Connection();
        const TPeerConnection* payload = peer->PayloadConnection();
        for (const TPeerConnection* connection : {own, payload == own ? nullptr : payload}) {
            SocketWait wait;
            if (connection == nullptr || !connection->IsOpen()) {
                continue;
            }
            if (!connection->WaitEntry(wait)) {
                SleepMs(ms);  // a pseudo-socket cannot be waited on: plain pause
                return;
            }
            waits_.push_back(wait);
        }
    }
    if (waits_.empty()) {
        SleepMs(ms);
        return;
    }
    (void)WaitForSockets(waits_.data(), waits_.size(), static_cast<int>(ms));
}

void TWorkThread::EvaluatePeers(std::int64_t now) {
    lastEvaluation_ = now;
    forceEvaluation_ = false;
    EvaluatePeerSet(taskDownloadRate_, taskUploadRate_);
    BitTorrentEvaluation(uploadSlots_);
}

bool TWorkThread::Downloading() const {
    return Pieces() == nullptr || !Pieces()->AllDone();
}

std::int64_t TWorkThread::CurrentTaskClock() const {
    return TaskClock() != 0 ? TaskClock() : Time().WallSeconds();
}

void TWorkThread::WebSourcesChanged() {
    // Ranges are laid out again, lazily, only while no connection works in one.
    for (const TPeerObject* peer : Peers()) {
        if (peer->Range() != nullptr) {
            return;
        }
    }
    Ranges().Clear();
}

void TWorkThread::TakeMetainfoDocument(const std::string& document) {
    if (OfferMetainfo(document)) {
        work_.phase = kPhaseRunning;
    }
}

std::int32_t TWorkThread::ConnectedPeerCount() const {
    return static_cast<std::int32_t>(std::count_if(
        Peers().begin(), Peers().end(), [](const TPeerObject* p) { return p->IsConnected(); }));
}

void TWorkThread::ReportUnresolvedRedirect() {
    work_.stateCode = kStateSourceFatal;
    publishPending_ = true;
}

void TWorkThread::PerSecondMaintenance() {
    publishPending_ = true;
    // What the target holds on disk, once a second (not every round: a round is a few
    // milliseconds, and the query is two file-status calls).
    const std::int64_t allocated = platform::AllocatedBytes(targetFile_);
    if (allocated > 0) {
        work_.bytesOnDisk = static_cast<std::uint64_t>(allocated);
    }
    PieceSecondTick();
    BitTorrentSecond();
    if (SizeKnown()) {
        const std::uint32_t seconds = EngineSeconds();
        if (seconds - lastSaveSeconds_ > kSaveSeconds || saveRequested_) {
            lastSaveSeconds_ = seconds;
            saveRequested_ = false;
            // Data first, then the record that counts it: a crash in between leaves a
            // record that claims less than the disk holds, never more.
            FlushForSave();
            CompletionCheck(0);
            if (finished_) {
                DeleteStateFile(stateFilePath_);
            } else {
                SaveStateFile(stateFilePath_);
            }
        }
        if (TaskClock() - lastSync_ > kSyncSeconds) {
            lastSync_ = TaskClock();
            SynchronizePieces();
            Publish(true, false);
            const bool complete =
                work_.totalSize > 0 && work_.bytesDone * 10000 / work_.totalSize > 9999;
            const TPieces* map = Pieces();
            if (!complete && map != nullptr &&
                EngineSeconds() - map->LastProgress() >= kStallLimitSeconds) {
                RequestStop(nullptr);
            }
        }
    }
    ConnectionUpkeep();
}

void TWorkThread::Reset(bool releasePool, bool dropContent) {
    ResetStatistics();
    last15_ = 0;
    last10_ = 0;
    lastEvaluation_ = 0;
    lastSync_ = 0;
    upkeepRounds_ = 0;
    forceEvaluation_ = false;
    publishPending_ = false;
    finished_ = false;
    gaveUp_ = false;
    timedOut_ = false;
    completionTime_ = 0;
    finalNameRetry_ = 0;
    finalNameFailures_ = 0;
    LeaveService();
    ResetPeers();
    if (releasePool) {
        ReleasePool();
    }
    ResetPieces(dropContent);
    if (dropContent) {
        work_.stateCode = 0;
    }
}

// ---- commands ----

std::int32_t TWorkThread::StopDownload() {
    return Stop(true) ? kOk : kErrTaskFailed;
}

std::int32_t TWorkThread::StartDownload() {
    return Start("StartDownload") ? kOk : kErrTaskFailed;
}

std::int32_t TWorkThread::PauseDownload() {
    return SetPaused(true) ? kOk : kErrTaskFailed;
}

std::int32_t TWorkThread::ResumeDownload() {
    return StartDownload();
}

std::int32_t TWorkThread::ContinueDownload() {
    LoadStateFile(stateFilePath_);
    return Start("ContinueDownload") ? kOk : kErrTaskFailed;
}

std::int32_t TWorkThread::RestartDownload() {
    WriteLog("Download Restarted..", 2, 2);
    if (!Stop(true)) {
        return kErrTaskFailed;
    }
    char finalPath[kEngineTextSize] = {};
    GetFileText(0, 3, finalPath);
    if (finalPath[0] != '\0') {
        const std::string path = finalPath;
        platform::RemoveFile(path);
        platform::RemoveFile(path + ".kvtmp");
        platform::RemoveFile(path + ".kvinfo");
        platform::RemoveFile(path + ".kvinfodf");
    }
    DeleteStateFile(stateFilePath_);
    // The piece cache holds data of the download being discarded, wherever it lives.
    if (!pieceCachePath_.empty()) {
        platform::RemoveFile(pieceCachePath_);
    }
    ResetInfoRecords();
    Reset(true, true);
    return ResumeDownload();
}

// ---- queries ----

std::int32_t TWorkThread::QueryMetainfo(TaskMetainfo* metainfo) {
    if (metainfo == nullptr) {
        return kErrNullDescriptor;
    }
    std::memset(metainfo, 0, sizeof *metainfo);
    LockGuard guard(&ThreadLock(), true);
    const TaskInfo& info = published_;
    metainfo->totalSizeLow = static_cast<std::uint32_t>(info.totalSize & 0xFFFFFFFFu);
    metainfo->pieceLength = info.pieceLength;
    std::memcpy(metainfo->infoHash, info.infoHashHex.data(),
                std::min(info.infoHashHex.size(), sizeof metainfo->infoHash - 1));
    const std::string& announce = info.texts[4];
    std::memcpy(metainfo->announce, announce.data(),
                std::min(announce.size(), sizeof metainfo->announce - 1));
    return kOk;
}

std::int32_t TWorkThread::QueryProgress(TaskProgress* progress) {
    std::memset(progress, 0, sizeof *progress);
    LockGuard guard(&ThreadLock(), true);
    const TaskInfo& info = published_;
    const std::size_t n = std::min(info.displayName.size(), kEngineTextSize - 1);
    std::memcpy(progress->name, info.displayName.data(), n);
    progress->progress =
        info.totalSize > 0 ? static_cast<std::int32_t>(info.bytesDone * 10000 / info.totalSize) : 0;
    if (!info.targetsFinal && progress->progress > 9999) {
        progress->progress = 9999;
    }
    progress->stateCode = progress->progress > 9999 ? kStateComplete : info.stateCode;
    progress->currentRate = info.AllPiecesDone() ? 0 : info.currentRate;
    progress->remainingTime = info.remainingTime;
    progress->totalSizeKiB = static_cast<std::uint32_t>(info.totalSize / 1024);
    progress->httpBytes = info.httpPayload;
    progress->peerBytes = info.peerPayload;
    progress->bytesDone = info.bytesDone;
    return kOk;
}

std::int32_t TWorkThread::QuerySwarm(TaskSwarm* swarm) {
    std::memset(swarm, 0, sizeof *swarm);
    LockGuard guard(&ThreadLock(), true);
    swarm->connectedPeers = published_.connectedPeers;
    swarm->uploadRate = published_.uploadRate;
    swarm->uploadedBytes = published_.uploadedPayload;
    swarm->listenPort = Engine().servicePort.load();
    return kOk;
}

std::int32_t TWorkThread::QueryProblem(char* buffer, std::int32_t size) {
    LockGuard guard(&ThreadLock(), true);
    const std::string& text = published_.sourceProblem;
    if (buffer != nullptr && size > 0) {
        const std::size_t n = std::min(text.size(), static_cast<std::size_t>(size - 1));
        std::memcpy(buffer, text.data(), n);
        buffer[n] = '\0';
    }
    return static_cast<std::int32_t>(text.size());
}

bool TWorkThread::IsComplete() {
    LockGuard guard(&ThreadLock(), true);
    return published_.targetsFinal && published_.totalSize > 0 &&
           published_.bytesDone * 10000 / published_.totalSize > 9999;
}

}  // namespace koruvan::engine
