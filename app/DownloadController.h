// The download controller: the one object that turns the download plan into engine tasks,
// watches them, keeps the download across restarts, verifies and repairs the files, starts
// the installer, and tells its front end (the window or the command line) what to show.
//
// It is driven from outside by three things only: Reconcile every 100 ms, Tick and the
// text getters every second, and PrimaryAction for the user's button (Start, Pause,
// Continue, Install). Everything it decides is one ControllerState, which the front end
// reads after every Reconcile.
//
// The code is split along its concerns:
//   DownloadController.cpp         states and transitions, commands, Reconcile, disk watch
//   DownloadControllerProgress.cpp speed, limits, Tick, progress, bytes, texts, statistics
//   DownloadControllerStore.cpp    start-up, the task file, completion records, reload
//   DownloadControllerVerify.cpp   MD5 verification and repair
//   DownloadControllerExit.cpp     installer launch, automatic shutdown, exit
//
// Threads and locks. Reconcile and Tick run on the front end's two timer threads, commands
// on its own thread; verification and the resource-list refresh run on threads of their
// own. Two locks keep this consistent:
//   - `stepLock_` serialises the steps that may stop or restart tasks (Reconcile, Tick,
//     PrimaryAction, the getters that query tasks, ApplySpeedLimit, the installer launch,
//     the start and end of verification, OnExit), so that a pause and a resume can never
//     interleave with each other's engine calls. It is held across StopTasks, but never
//     across a modal box or question.
//   - `lock_` guards every field below marked so. It is never held across StopTask(s),
//     across task creation (whose callbacks take it), across a modal box or question, or
//     while the verification thread hashes or waits. Engine calls made under it are quick
//     queries and limit settings.
// Order: stepLock_, then lock_, then FileTasks' own lock, then the engine's locks. Nothing
// takes stepLock_ while holding lock_. Plain getters (State, DiskShort, VerifyProgress, …)
// take only lock_, so they never wait for a task to stop.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/ControllerState.h"
#include "app/EngineCalls.h"
#include "app/EventSink.h"
#include "app/FileTasks.h"
#include "app/FrontEnd.h"
#include "app/Plan.h"
#include "app/ResourceList.h"
#include "app/ResourceRefresher.h"
#include "app/Resources.h"
#include "app/SourceBytes.h"
#include "platform/Clock.h"

namespace koruvan::app {

// How the save volume takes big files.
struct VolumeMode {
    bool preallocates = false;  // space is reserved up front (fallocate works)
    bool sparse = false;        // files grow with holes; the disk watch runs
};

// The outside world of the controller beyond the plan, the front end and the event sink.
// Every member has a default (used when left empty), so a test replaces only what it needs.
struct ControllerEnvironment {
    EngineCalls* engine = nullptr;          // null: the real engine
    platform::TimeSource* clock = nullptr;  // null: the system clocks (ticks, time, sleeps)
    std::string dataRoot;                   // empty: platform::KoruvanDataRoot()
    std::string linkFileFolder;             // where KoruvanTaskLink.ini is read; empty: cwd
    // The volume check of a folder (null: fallocate probe, then the holes probe).
    std::function<VolumeMode(const std::string& folder)> probeVolume;
    // The save folder of a fresh start (null: DefaultSaveFolder()).
    std::function<std::string()> defaultSaveFolder;
    // Opens the installer; an old launch code, 32 or more on success (null:
    // platform::OpenInstaller).
    std::function<int(const std::string& path, const std::string& folder)> openInstaller;
    // Asks the system to power off in a minute with the message; true when accepted (null:
    // platform::ScheduleSystemShutdown, which honours KORUVAN_SHUTDOWN_CMD).
    std::function<bool(std::string_view message)> scheduleShutdown;
    // The machine identity text appended to notices (null or nullopt: none).
    std::function<std::optional<std::string>()> machineId;
    // Starts the telemetry upload with the written configuration (null: nothing to start).
    std::function<void(const std::string& configPath, const TelemetryStartTexts& texts)>
        startTelemetry;
    // Maps the listening port on the router and returns it (null: 0, no mapping).
    std::function<std::int32_t()> startUpnp;
    // The gateway device the port mapping's device search found, as a text for the log;
    // nullopt when it found none (null: none).
    std::function<std::optional<std::string>()> gatewayDevice;
    // Releases the mapping job, which waits for the device search (null: nothing waits).
    std::function<void()> releaseMapping;
};

// One file as the command line's status shows it.
struct FileReport {
    std::string name;
    std::uint64_t size = 0;
    bool done = false;
    bool queried = false;        // the task answered this time
    std::int32_t progress = 0;   // ten-thousandths
    std::int32_t stateCode = 0;  // the task's published state code
    std::int32_t speed = 0;      // bytes per second
    std::uint64_t bytesDone = 0;
};

// The tasks' share of the swarm, summed over the files with a task.
struct SwarmReport {
    int tasks = 0;                    // tasks that answered
    int peers = 0;                    // BitTorrent peers connected now
    std::uint64_t uploadRate = 0;     // bytes per second
    std::uint64_t uploadedBytes = 0;  // served to peers in this run
    int listenPort = 0;               // the P2P listener's port, 0 while none runs
};

// SetTaskSpeedLimit's selector of the upload limit.
inline constexpr std::int32_t kUploadLimitSelector = engine::kLimitUpload;

class DownloadController final : private TaskOwner, private ResourceListTarget {
  public:
    DownloadController(DownloadPlan plan, FrontEnd& frontEnd, EventSink& events,
                       ControllerEnvironment environment = {});
    ~DownloadController() override;
    DownloadController(const DownloadController&) = delete;
    DownloadController& operator=(const DownloadController&) = delete;

    // --- start-up and the task file -------------------------------------------------
    // Reads the persisted task and decides the first state. -2 when the telemetry
    // configuration cannot be written (the program must quit), 1 when tasks were reloaded
    // (finished, recover, reload), 0 otherwise. Once, before Reconcile and Tick start.
    [[nodiscard]] int Initialise();
    // -1 when there is no task file yet, else the remembered close choice (0 ask, 1 tray,
    // 2 exit).
    [[nodiscard]] int CloseChoice() const;
    // Remembers the close choice: 1, or 0 when no task file path is known yet.
    int SetCloseChoice(std::uint32_t choice);
    // The port mapping's notifications (kPortForwardMessage), on the window's thread:
    // (18, ≥ 0) device search finished, (34, < 0) mapping failed, (34, ≥ 0) mapping done;
    // other pairs change nothing.
    void OnPortForwardNotification(std::uintptr_t wParam, std::intptr_t lParam);

    // --- periodic steps and the button ----------------------------------------------
    ControllerState Reconcile();
    void Tick();
    void PrimaryAction();

    // --- texts (std::string, and the two-call C form) --------------------------------
    [[nodiscard]] std::string SpeedText();
    int SpeedText(char* buffer, std::size_t size);
    [[nodiscard]] std::string SizeText() const;
    int SizeText(char* buffer, std::size_t size) const;
    [[nodiscard]] std::string FileStatusText(int index);
    int FileStatusText(int index, char* buffer, std::size_t size);
    [[nodiscard]] std::string FileName(int index) const;
    int FileName(int index, char* buffer, std::size_t size) const;
    [[nodiscard]] static constexpr int FileCount() noexcept { return kFileCount; }
    [[nodiscard]] std::string RepairSpeedText() const;
    // -1 after copying the save folder, -2 when none is known, 0 when the buffer is too
    // small; with no buffer, the length.
    int SaveFolder(char* buffer, std::size_t size) const;
    [[nodiscard]] std::string SaveFolder() const;
    [[nodiscard]] std::string InstallerPath() const;
    int InstallerPath(char* buffer, std::size_t size) const;
    [[nodiscard]] static std::string GameVersionText();

    // --- values ------------------------------------------------------------------------
    // Overall progress in hundredths of a percent (0..10000), weighted by file size. Also
    // notices completed files and reacts to the tasks' state codes.
    [[nodiscard]] std::uint32_t OverallProgress();
    [[nodiscard]] std::uint32_t VerifyProgress() const;
    [[nodiscard]] std::uint32_t RepairProgress() const;
    [[nodiscard]] ControllerState State() const;
    [[nodiscard]] bool DiskShort() const;
    // Empty while every record of the finished files is in the task file; otherwise why not
    // (the data folder and the system's error text). The files themselves are complete on
    // disk: the next start checks them again and records them.
    [[nodiscard]] std::string RecordWriteProblem() const;
    // The disk watch runs (files grow with holes): it clears DiskShort once space is freed.
    // Otherwise a shortage lasts until the program is started again.
    [[nodiscard]] bool DiskWatchRuns() const;
    [[nodiscard]] bool MismatchSeen() const;
    [[nodiscard]] bool InstallerStarted() const;
    [[nodiscard]] std::uint64_t DownloadedBytes() const;  // as of the last Reconcile
    [[nodiscard]] std::uint64_t TotalBytes() const;       // the five planned sizes
    [[nodiscard]] std::uint32_t ShownSpeed() const;       // as of the last SpeedText
    [[nodiscard]] bool VerificationRunning() const;
    // The file whose repair gave up in the last verification (the state is then `failed`);
    // empty otherwise.
    [[nodiscard]] std::string UnrepairedFile() const;
    // The file the MD5 check (or repair) is at.
    [[nodiscard]] std::string VerifyingFile() const;
    // A resource-list refresh is under way (a new one is started only once it has ended).
    [[nodiscard]] bool RefreshRunning() const { return refresher_->Running(); }
    // Why nothing arrives, once no source has delivered a byte for a few seconds of a
    // running download: "no data from any source: " and the last source failure
    // ("HTTP 403 from 127.0.0.1:8080"). Empty while data flows or no reason is known.
    [[nodiscard]] std::string ProblemText() const;
    // Seconds (Ticks) in a row of a running download without a byte from any source.
    [[nodiscard]] std::uint32_t SecondsWithoutData() const;
    [[nodiscard]] FileReport ReportFile(int index);
    // Bytes each file received in this run from web sources and from peers (the last
    // known counts of a task that does not answer).
    [[nodiscard]] std::array<SourceBytes, kFileCount> SourceBytesOfRun() const;

    // --- seeding ---------------------------------------------------------------------------
    // Serves the finished download to peers: a file whose task of this run still runs keeps
    // it; every other file whose completion record holds (complete and unchanged since it
    // was downloaded) gets a task over the file on disk; a file whose record does not hold
    // is left out (its MD5 check must confirm it first). Only in `finished` and
    // `checkfinished`. The upload limit in KB/s (0: none) goes to each task. Returns the
    // number of files served.
    [[nodiscard]] int StartSeeding(std::uint32_t uploadLimitKBps);
    void ApplyUploadLimit(std::uint32_t kibPerSecond);
    [[nodiscard]] SwarmReport Swarm();

    // --- settings and commands -----------------------------------------------------------
    // Global download limit in KB/s, 0 for none; split over the active tasks.
    void ApplySpeedLimit(std::uint32_t kibPerSecond);
    void SetShutdownAfterDownload(bool on);
    // The P2P switch (settings, resource list); applied to the engine at once and at every
    // speed evaluation.
    void SetP2P(bool on) override;
    // When not allowed, the switch stays off whatever the resource list says.
    void SetP2PAllowed(bool allowed);
    // The folder the files go to; written to the task file at the next Start.
    void SetSaveFolder(std::string folder);
    void RequestExit();
    void CancelExit();

    // --- verification, installer, exit ----------------------------------------------------
    // A download whose five files are all on disk at their planned sizes while the start-up
    // found them unrecorded (touched or changed after the download, state reload or
    // recover): stops the tasks the start-up made and takes the files as finished without
    // recording them, so that the MD5 check decides. False otherwise.
    [[nodiscard]] bool AdoptFilesOnDisk();
    // Starts the MD5 check (and repair) of the five files from `finished`; with
    // `installAfter` the installer follows when all pass.
    //
    // A download runs the same check by itself before it is `finished`: a file whose task
    // did not check every piece against a digest of its metainfo (no torrent, or a torrent
    // that could not be used) is not recorded as complete when its task completes; once all
    // files are complete, those files are hashed (`md5checking`), repaired like here, and
    // the download is `finished` only when they match (else `failed`).
    void StartVerification(bool installAfter);
    // Launches the installer (the entrance file in the save folder).
    void LaunchInstaller(bool verified);
    // The exit step: logs and reports how the program ends, stops verification, closes the
    // log and cleans up the engine. Only the first call does anything.
    void OnExit();

  private:
    struct FileQuery {
        bool ok = false;
        engine::TaskProgress progress{};
    };

    // TaskOwner (called by FileTasks without lock_ held).
    void TaskHandedOver() override;
    void RepairReloaded(bool failed) override;
    // ResourceListTarget (called by a refresh thread through the refresher).
    [[nodiscard]] bool WantsSources(int index) override;
    [[nodiscard]] std::int32_t HandOver(int index,
                                        const std::vector<SourceOffer>& sources) override;

    // The one writer of state_ (lock_ held). Entering a state is observed — logged, and
    // `finished` acted on — by the next Reconcile (ObserveStateLocked), as the window sees it.
    void SetStateLocked(ControllerState next);
    void ObserveStateLocked();
    void EnterFinishedLocked();

    // Commands (stepLock_ held; lock_ held unless said otherwise).
    [[nodiscard]] bool BeginDownload(std::unique_lock<std::mutex>& fields);
    void PauseAllLocked();
    void ResumeAllLocked();
    void AskAndInstall(std::unique_lock<std::mutex>& step, std::unique_lock<std::mutex>& fields);
    // Collects the tasks' handles and sets `pause`; the stop itself runs in FinishStep.
    void StopAllLocked();
    // Runs the stops asked for during the step with lock_ released (stepLock_ still held).
    void FinishStep(std::unique_lock<std::mutex>& fields);
    void DiskWatchLocked(std::unique_lock<std::mutex>& fields);
    // All files are complete: `finished`, or first the check of the unchecked files.
    void AllFilesCompleteLocked();
    void FinishDownloadLocked();
    [[nodiscard]] VolumeMode CheckVolumeLocked(const std::string& folder);

    // Progress and texts (lock_ held).
    [[nodiscard]] FileQuery QueryLocked(int index);
    void NoteCompletionLocked(int index);
    [[nodiscard]] std::uint32_t OverallProgressLocked(bool react);
    void ReactToCodeLocked(std::int32_t code);
    [[nodiscard]] std::uint64_t DownloadedBytesLocked();
    [[nodiscard]] std::string SpeedTextLocked();
    void DistributeConnectionsLocked(std::int32_t a, std::int32_t b, int n);
    void ApplySpeedLimitLocked(std::uint32_t kibPerSecond);
    [[nodiscard]] int ActiveTaskCountLocked();
    void StartRefreshLocked();
    void ReportStatisticsLocked(std::string_view code, std::string_view text = {});
    void TickLocked();
    void CountDownloadSecondLocked();
    void SaveDownloadSecondsLocked();
    void SaveSourceBytesLocked();
    void ApplyUploadLimitLocked(std::uint32_t kibPerSecond);
    void WatchForDataLocked();
    [[nodiscard]] std::string FileStatusTextLocked(int index);

    // The task file (DownloadControllerStore.cpp).
    struct StartupLook;
    void ApplyP2pSettingsLocked();
    // The BitTorrent peer flag: 1 (the HTTP-style disguise) unless the plan turns it off.
    [[nodiscard]] std::int32_t BtPeerFlag() const noexcept;
    void BuildFoldersLocked();
    void PublishFoldersLocked();
    [[nodiscard]] std::string ResumePathFor(int index) const;
    void WriteTaskIdentityLocked();
    void WriteCompletionRecordLocked(int index);
    // Keeps count of the records that could not be written: `record` is a file index, or
    // kFileCount for the complete mark; `error` is 0 when it was written. The first failure
    // of a streak is logged and shown.
    void NoteRecordWriteLocked(int record, int error);
    [[nodiscard]] bool CompletionMatchesLocked(int index, bool addToReload);
    [[nodiscard]] StartupLook LookAtTaskFileLocked();
    void DecideStartLocked(const StartupLook& look);
    [[nodiscard]] bool ReloadTasks(std::unique_lock<std::mutex>& fields);
    [[nodiscard]] bool UncheckedOnDiskLocked(int index) const;
    // Writes one key of the task file; 0, or the error number of the failed write.
    int WriteTask(std::string_view key, std::string_view value) const;
    [[nodiscard]] std::string TargetPath(int index) const;

    // Verification (DownloadControllerVerify.cpp).
    // Starts (a previous run joined) the verification thread; false when it cannot be
    // started. stepLock_ held, lock_ not held.
    [[nodiscard]] bool LaunchVerifyThread();
    // Joins a verification thread that has ended (stepLock_ held): no ended thread is left
    // unjoined when the process forks to launch the installer.
    void ReapVerifyThread();
    void VerifyAndRepair();
    void EndVerification();
    [[nodiscard]] bool CheckFileMd5(int index, bool rememberDigest);
    [[nodiscard]] bool RepairFile(int index, bool& ok);
    [[nodiscard]] bool WaitForRepair(int index);

    // Notices with the machine identity appended; never blocks.
    void Notice(std::string_view text, std::string_view title);
    void Log(std::string_view text) const;

    // --- fixed at construction -----------------------------------------------------------
    const DownloadPlan plan_;
    FrontEnd& frontEnd_;
    EventSink& events_;
    ControllerEnvironment env_;
    EngineCalls& engine_;
    platform::TimeSource& clock_;
    const std::uint64_t requiredBytes_;

    class NoticeRelay;
    std::unique_ptr<NoticeRelay> relay_;  // FileTasks' notices get the machine id too
    FileTasks tasks_;                     // its own lock guards the slots and folders

    mutable std::mutex stepLock_;
    mutable std::mutex lock_;

    // --- guarded by lock_ ------------------------------------------------------------------
    ControllerState state_ = ControllerState::Ready;
    bool diskShort_ = false;
    bool tasksActive_ = false;
    bool userExit_ = false;
    bool exitRequested_ = false;
    bool installerStarted_ = false;
    bool shutdownAfterDownload_ = false;
    bool exitDone_ = false;
    bool sparseMode_ = false;
    bool p2pOn_ = true;
    bool p2pAllowed_ = true;
    std::uint32_t overallProgress_ = 0;
    std::uint64_t downloadedBytes_ = 0;
    std::int32_t httpConnections_ = 35;
    std::int32_t peerConnections_ = 105;
    std::uint32_t aggregateSpeed_ = 0;
    std::uint32_t shownSpeed_ = 0;
    std::uint32_t speedLimitKBps_ = 0;
    std::uint32_t speedCalls_ = 0;  // SpeedText calls since downloading began (refresh)
    std::uint32_t ticks_ = 0;       // Tick calls in a running state (statistics)
    std::int32_t lastShareA_ = -1;  // DistributeConnections' previous budget …
    std::int32_t lastShareN_ = -1;  // … and task count
    int verifyIndex_ = 0;
    std::uint32_t verifyProgress_ = 0;
    std::uint32_t repairProgress_ = 0;
    std::uint32_t repairSpeed_ = 0;
    bool repairFailed_ = false;
    bool mismatchSeen_ = false;
    bool installAfterVerify_ = false;
    std::string mismatchDigest_;  // the actual digest of the last mismatch (for the event)
    std::uint32_t downloadSecondsStored_ = 0;
    std::uint32_t downloadSecondsSession_ = 0;
    std::uint32_t unsavedDownloadSeconds_ = 0;  // counted, not yet in the task file
    std::vector<int> reloadList_;
    std::string dataDir_;
    std::string taskIni_;
    std::string saveFolder_;
    std::string entrance_;
    std::string taskHash_;
    std::string resumeDir_;
    std::string folderName_;
    std::array<std::string, kFileCount> resumePaths_;
    std::int32_t lastSeenCode_ = 0;
    std::int32_t lastReactedCode_ = 0;
    std::array<std::uint64_t, kFileCount> lastHttpBytes_{};
    std::array<std::uint64_t, kFileCount> lastPeerBytes_{};
    std::array<std::optional<SourceBytes>, kFileCount> storedSourceBytes_{};  // as written
    std::uint64_t lastReceived_ = 0;        // the sum of the two above at the last Tick
    std::uint32_t secondsWithoutData_ = 0;  // Ticks in a row without new bytes
    std::string problemText_;
    std::uint32_t unsavedRecords_ = 0;  // bit i: record of file i; bit kFileCount: complete mark
    int unsavedRecordError_ = 0;        // error of the last record that could not be written
    ControllerState observedState_ = ControllerState::Ready;
    bool observedDiskShort_ = true;
    std::vector<engine::TaskHandle> pendingStops_;
    std::vector<int> pendingWebOnly_;  // files to restart as plain web downloads
    bool pendingCheckStart_ = false;   // the download's own check is to be started
    // Bit i: file i is complete, but no piece digest vouched for its bytes; it is recorded
    // once its MD5 matches.
    std::uint32_t uncheckedFiles_ = 0;
    // Bit i: file i is part of the running verification.
    std::uint32_t checkSet_ = (1u << kFileCount) - 1;
    bool downloadCheck_ = false;  // the running verification is the download's own check
    std::string unrepairedFile_;  // the file whose repair gave up
    bool pendingShutdown_ = false;
    bool gatewayFound_ = false;  // the port mapping found a gateway device

    // --- threads -----------------------------------------------------------------------------
    std::thread verifyThread_;  // started and joined under stepLock_
    std::atomic<bool> verifyRunning_{false};
    std::atomic<bool> stopVerify_{false};
    // Last member: detached (waiting for a call under way) before anything else goes.
    std::unique_ptr<ResourceRefresher> refresher_;
};

}  // namespace koruvan::app
