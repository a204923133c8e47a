// States and transitions: construction, the button, starting, pausing and resuming the
// download, the 100 ms Reconcile with the disk watch, and the volume check.
#include "app/DownloadController.h"

#include <utility>

#include "app/ControllerText.h"
#include "app/SaveFolder.h"
#include "engine/core/base/KoruvanLog.h"
#include "platform/DiskSpace.h"
#include "platform/File.h"
#include "platform/Launch.h"
#include "platform/Paths.h"

namespace koruvan::app {
namespace {

constexpr int kLogCategory = 34;
constexpr std::uint32_t kDiskRemeasureMs = 50;
constexpr const char* kNoSpaceAtStart = "当前磁盘空间不足，请选择其他位置存放";
constexpr const char* kNoSpaceWhileReady = "当前磁盘空间不足，请选择其他位置存放。";
constexpr const char* kNoSpacePaused = "预留磁盘空间不足，下载暂停。";

std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b) noexcept {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

// The nearest existing folder at or above `path` (the volume a folder to be made will be
// on); "/" when none of it exists yet.
std::string ExistingFolderOf(std::string path) {
    while (!path.empty() && !platform::IsDirectory(path)) {
        const std::size_t slash = path.find_last_of('/');
        if (slash == std::string::npos || slash == 0) {
            return "/";
        }
        path.resize(slash);
    }
    return path.empty() ? "/" : path;
}

VolumeMode ProbeVolume(const std::string& folder) {
    VolumeMode mode;
    const std::string existing = ExistingFolderOf(folder);
    mode.preallocates = platform::File::SupportsAllocate(existing);
    mode.sparse = !mode.preallocates && platform::HolesSupported(existing);
    return mode;
}

}  // namespace

// FileTasks' notices go through the controller's own notice path (machine id appended).
class DownloadController::NoticeRelay final : public FrontEnd {
  public:
    explicit NoticeRelay(DownloadController& owner) : owner_(owner) {}
    void ShowNotice(std::string_view text, std::string_view title) override {
        owner_.Notice(text, title);
    }
    void ShowModalNotice(std::string_view text, std::string_view title) override {
        owner_.frontEnd_.ShowModalNotice(text, title);
    }
    bool AskYesNo(std::string_view question, std::string_view title) override {
        return owner_.frontEnd_.AskYesNo(question, title);
    }
    void PostMessage(std::uint32_t message) override { owner_.frontEnd_.PostMessage(message); }
    void CloseMainWindow() override { owner_.frontEnd_.CloseMainWindow(); }

  private:
    DownloadController& owner_;
};

DownloadController::DownloadController(DownloadPlan plan, FrontEnd& frontEnd, EventSink& events,
                                       ControllerEnvironment environment)
    : plan_(std::move(plan)),
      frontEnd_(frontEnd),
      events_(events),
      env_(std::move(environment)),
      engine_(env_.engine != nullptr ? *env_.engine : ProcessEngine()),
      clock_(env_.clock != nullptr ? *env_.clock : platform::SystemTimeSource()),
      requiredBytes_(RequiredBytes(plan_)),
      relay_(std::make_unique<NoticeRelay>(*this)),
      tasks_(plan_, *relay_, events_, *this, engine_) {
    refresher_ =
        std::make_unique<ResourceRefresher>(plan_, static_cast<ResourceListTarget&>(*this));
    if (!env_.probeVolume) {
        env_.probeVolume = ProbeVolume;
    }
    if (!env_.defaultSaveFolder) {
        env_.defaultSaveFolder = [this] {
            return DefaultSaveFolder([this](const std::string& folder) {
                return engine_.GetDiskFreeBytes(folder.c_str());
            });
        };
    }
    if (!env_.openInstaller) {
        env_.openInstaller = platform::OpenInstaller;
    }
    if (!env_.scheduleShutdown) {
        env_.scheduleShutdown = [](std::string_view message) {
            return platform::ScheduleSystemShutdown(message, 1);
        };
    }
}

DownloadController::~DownloadController() {
    stopVerify_.store(true);
    if (verifyThread_.joinable()) {
        verifyThread_.join();
    }
    refresher_->Detach();
}

void DownloadController::Log(std::string_view text) const {
    engine::WriteLog(std::string(text), kLogCategory, kLogCategory);
}

void DownloadController::Notice(std::string_view text, std::string_view title) {
    std::string shown(text);
    if (env_.machineId) {
        if (const std::optional<std::string> id = env_.machineId(); id && !id->empty()) {
            shown += "\n（" + *id + "）";
        }
    }
    frontEnd_.ShowNotice(shown, title);
}

// --- the one writer of the state ------------------------------------------------------------

// Every transition is traced to the debug output (standard error under KORUVAN_DEBUG);
// the log files get the state-change line when Reconcile observes it, as the front end does.
void DownloadController::SetStateLocked(ControllerState next) {
    if (next != state_) {
        if (engine::CKoruvanLogApi* log = engine::EngineLog()) {
            log->Trace("controller state %d -> %d", static_cast<int>(state_),
                       static_cast<int>(next));
        }
    }
    state_ = next;
}

// Step 5 of Reconcile: a changed (state, diskShort) pair is logged with the state's name;
// entering `finished` records the files, reports the session and may power off.
void DownloadController::ObserveStateLocked() {
    if (state_ == observedState_ && diskShort_ == observedDiskShort_) {
        return;
    }
    const bool enteredFinished =
        state_ == ControllerState::Finished && observedState_ != ControllerState::Finished;
    observedState_ = state_;
    observedDiskShort_ = diskShort_;
    if (enteredFinished) {
        EnterFinishedLocked();
    }
    if (const auto name = StateName(state_)) {
        Log("Koruvan Utility: 下载状态改变为" + std::string(*name));
    }
    if (enteredFinished && shutdownAfterDownload_) {
        Log("Koruvan Utility: 触发自动关机");
        pendingShutdown_ = true;
    }
}

void DownloadController::EnterFinishedLocked() {
    for (int i = 0; i < kFileCount; ++i) {
        WriteCompletionRecordLocked(i);
    }
    if (tasksActive_) {
        ReportStatisticsLocked("11060000");
    }
    ApplySpeedLimitLocked(speedLimitKBps_);
}

// --- stopping -------------------------------------------------------------------------------

void DownloadController::StopAllLocked() {
    for (int i = 0; i < kFileCount; ++i) {
        if (const engine::TaskHandle h = tasks_.Handle(i)) {
            pendingStops_.push_back(h);
        }
    }
    SetStateLocked(ControllerState::Pause);
    SaveDownloadSecondsLocked();
}

void DownloadController::FinishStep(std::unique_lock<std::mutex>& fields) {
    while (!pendingStops_.empty() || pendingShutdown_ || !pendingWebOnly_.empty() ||
           pendingCheckStart_) {
        std::vector<engine::TaskHandle> stops = std::exchange(pendingStops_, {});
        const std::vector<int> webOnly = std::exchange(pendingWebOnly_, {});
        const bool shutdown = std::exchange(pendingShutdown_, false);
        const bool startCheck = std::exchange(pendingCheckStart_, false);
        fields.unlock();
        if (startCheck && !LaunchVerifyThread()) {
            fields.lock();
            Notice("检查线程创建失败，请重试", kNoticeTitle);
            SetStateLocked(ControllerState::Failed);
            fields.unlock();
        }
        if (!stops.empty()) {
            (void)engine_.StopTasks(stops.data(), static_cast<std::int32_t>(stops.size()), false,
                                    nullptr);
        }
        for (const int index : webOnly) {
            (void)tasks_.ReloadFile(index, true);
        }
        if (shutdown && !env_.scheduleShutdown("一分钟后将自动关机")) {
            Notice("自动关机失败，请手动关机", kNoticeTitle);
        }
        fields.lock();
    }
}

// --- the button -------------------------------------------------------------------------------

void DownloadController::PrimaryAction() {
    std::unique_lock<std::mutex> step(stepLock_);
    std::unique_lock<std::mutex> fields(lock_);
    switch (state_) {
        case ControllerState::Back:
        case ControllerState::Ready:
            if (BeginDownload(fields)) {
                fields.unlock();
                step.unlock();
                frontEnd_.ShowModalNotice("下载启动失败请重试", kNoticeTitle);
                return;
            }
            break;
        case ControllerState::Downloading:
        case ControllerState::Resume:
            PauseAllLocked();
            break;
        case ControllerState::Pause:
            ResumeAllLocked();
            break;
        case ControllerState::Finished:
            AskAndInstall(step, fields);
            return;
        case ControllerState::Md5Checking:
            Notice("MD5计算工作中……请等待完成", kNoticeTitle);
            break;
        case ControllerState::CheckRecover:
            Notice("部分文件错误，正在修复中...", kNoticeTitle);
            break;
        case ControllerState::CheckFinished:
            ReportControllerEvent(events_, "11070000", "点击时已经验证过安装包分卷了");
            fields.unlock();
            step.unlock();
            LaunchInstaller(true);
            return;
        default:
            break;
    }
    FinishStep(fields);
}

// `finished`: offer the check before installing. No lock is held while the user answers.
void DownloadController::AskAndInstall(std::unique_lock<std::mutex>& step,
                                       std::unique_lock<std::mutex>& fields) {
    ReportControllerEvent(events_, "11070000", "");
    fields.unlock();
    step.unlock();
    if (!frontEnd_.AskYesNo("是否验证安装文件的正确性？", kNoticeTitle)) {
        ReportControllerEvent(events_, "11100002", "");
        LaunchInstaller(false);
        return;
    }
    ReportControllerEvent(events_, "11100001", "");
    StartVerification(true);
}

// Returns true when the engine could not be started (the caller shows the box once no
// lock is held; the state stays, so that Start can be pressed again).
bool DownloadController::BeginDownload(std::unique_lock<std::mutex>& fields) {
    if (engine_.GetDiskFreeBytes(saveFolder_.c_str()) < requiredBytes_) {
        Notice(kNoSpaceAtStart, kNoticeTitle);
        diskShort_ = true;
        return false;
    }
    DetailedEvent begun;
    begun.code = "11010000";
    begun.flags = 7;
    events_.ReportDetailed(begun);
    WriteTaskIdentityLocked();
    engine_.SetBtPeerFlag(BtPeerFlag());
    WriteTask("KoruvanTaskSavePath", saveFolder_);
    (void)CheckVolumeLocked(saveFolder_);
    if (engine_.EngineStartup(dataDir_.c_str()) != engine::kOk) {
        Log("Begin Download Task] [环境初始化失败");
        ReportControllerEvent(events_, "11400101", "Begin Download Task 环境初始化失败");
        return true;
    }
    PublishFoldersLocked();
    fields.unlock();
    for (int i = 0; i < kFileCount; ++i) {
        (void)tasks_.CreateFileTask(i);  // TaskHandedOver follows every attempt
    }
    fields.lock();
    ApplySpeedLimitLocked(speedLimitKBps_);
    SetStateLocked(ControllerState::Preparing);
    return false;
}

void DownloadController::PauseAllLocked() {
    ReportStatisticsLocked("11020000");
    StopAllLocked();
}

void DownloadController::ResumeAllLocked() {
    ReportControllerEvent(events_, "11030000", "");
    for (int i = 0; i < kFileCount; ++i) {
        if (CompletionMatchesLocked(i, false)) {
            continue;
        }
        tasks_.SetDone(i, false);
        if (const engine::TaskHandle h = tasks_.Handle(i)) {
            (void)engine_.RestartTask(h);
        }
    }
    SetStateLocked(ControllerState::Resume);
}

void DownloadController::TaskHandedOver() {
    std::lock_guard<std::mutex> fields(lock_);
    tasksActive_ = true;
    ApplySpeedLimitLocked(speedLimitKBps_);
}

void DownloadController::RepairReloaded(bool failed) {
    std::lock_guard<std::mutex> fields(lock_);
    repairFailed_ = failed;
}

// --- every 100 ms -----------------------------------------------------------------------------

ControllerState DownloadController::Reconcile() {
    std::lock_guard<std::mutex> step(stepLock_);
    std::unique_lock<std::mutex> fields(lock_);
    overallProgress_ = OverallProgressLocked(true);
    downloadedBytes_ = DownloadedBytesLocked();
    if (sparseMode_) {
        DiskWatchLocked(fields);
    }
    if (state_ == ControllerState::Preparing && overallProgress_ > 0) {
        SetStateLocked(ControllerState::Reload);
    }
    ObserveStateLocked();
    FinishStep(fields);
    ReapVerifyThread();
    return state_;
}

// Free space plus what is already on disk must cover the plan (with its reserve). Below
// that, and also below it without the reserve after a second count, the download cannot
// finish: Start is refused, or a running download is paused.
void DownloadController::DiskWatchLocked(std::unique_lock<std::mutex>& fields) {
    const std::uint64_t free = engine_.GetDiskFreeBytes(saveFolder_.c_str());
    if (SaturatingAdd(free, downloadedBytes_) >= requiredBytes_) {
        diskShort_ = false;
        if (state_ == ControllerState::Back) {
            SetStateLocked(ControllerState::Ready);
        }
        return;
    }
    fields.unlock();
    clock_.SleepMs(kDiskRemeasureMs);
    fields.lock();
    const std::uint64_t again = DownloadedBytesLocked();
    if (SaturatingAdd(SaturatingAdd(free, again), kSpaceReserveBytes) >= requiredBytes_) {
        return;  // short of the reserve only: nothing changes
    }
    switch (state_) {
        case ControllerState::Ready:
            SetStateLocked(ControllerState::Back);
            Notice(kNoSpaceWhileReady, kNoticeTitle);
            diskShort_ = true;
            break;
        case ControllerState::Back:
        case ControllerState::Pause:
            diskShort_ = true;
            break;
        case ControllerState::Downloading:
            StopAllLocked();
            ReportStatisticsLocked("11990301");
            Notice(kNoSpacePaused, kNoticeTitle);
            diskShort_ = true;
            break;
        default:
            break;
    }
}

VolumeMode DownloadController::CheckVolumeLocked(const std::string& folder) {
    const VolumeMode mode = env_.probeVolume(folder);
    if (mode.preallocates) {
        Log("使用磁盘预占");
        sparseMode_ = false;
    } else {
        Log(mode.sparse ? "文件系统支持稀疏文件" : "文件系统^不^支持稀疏文件");
        sparseMode_ = mode.sparse;
    }
    return mode;
}

// --- plain getters and settings ---------------------------------------------------------------

ControllerState DownloadController::State() const {
    std::lock_guard<std::mutex> fields(lock_);
    return state_;
}

bool DownloadController::DiskShort() const {
    std::lock_guard<std::mutex> fields(lock_);
    return diskShort_;
}

bool DownloadController::DiskWatchRuns() const {
    std::lock_guard<std::mutex> fields(lock_);
    return sparseMode_;
}

bool DownloadController::MismatchSeen() const {
    std::lock_guard<std::mutex> fields(lock_);
    return mismatchSeen_;
}

bool DownloadController::InstallerStarted() const {
    std::lock_guard<std::mutex> fields(lock_);
    return installerStarted_;
}

std::uint64_t DownloadController::DownloadedBytes() const {
    std::lock_guard<std::mutex> fields(lock_);
    return downloadedBytes_;
}

std::uint64_t DownloadController::TotalBytes() const {
    return requiredBytes_ - kSpaceReserveBytes;
}

std::uint32_t DownloadController::ShownSpeed() const {
    std::lock_guard<std::mutex> fields(lock_);
    return shownSpeed_;
}

void DownloadController::SetShutdownAfterDownload(bool on) {
    std::lock_guard<std::mutex> fields(lock_);
    shutdownAfterDownload_ = on;
}

void DownloadController::SetP2P(bool on) {
    std::lock_guard<std::mutex> fields(lock_);
    p2pOn_ = on && p2pAllowed_;
    (void)engine_.EnableP2P(p2pOn_);
}

void DownloadController::SetP2PAllowed(bool allowed) {
    std::lock_guard<std::mutex> fields(lock_);
    p2pAllowed_ = allowed;
    p2pOn_ = p2pOn_ && allowed;
    (void)engine_.EnableP2P(p2pOn_);
}

// A folder chosen after Start was refused for want of space is measured at once: without
// that, a volume that does not reserve space up front (no disk watch) would keep Start
// disabled for good.
void DownloadController::SetSaveFolder(std::string folder) {
    std::lock_guard<std::mutex> fields(lock_);
    saveFolder_ = std::move(folder);
    PublishFoldersLocked();
    if (diskShort_ && (state_ == ControllerState::Ready || state_ == ControllerState::Back)) {
        const std::uint64_t free = engine_.GetDiskFreeBytes(saveFolder_.c_str());
        if (SaturatingAdd(free, downloadedBytes_) >= requiredBytes_) {
            diskShort_ = false;
            if (state_ == ControllerState::Back) {
                SetStateLocked(ControllerState::Ready);
            }
        }
    }
}

// Port-mapping outcomes go to the port-mapping log category and the event sink.
void DownloadController::OnPortForwardNotification(std::uintptr_t wParam, std::intptr_t lParam) {
    constexpr int kUpnpLog = 3;
    constexpr std::uintptr_t kDeviceSearchDone = 18;
    constexpr std::uintptr_t kMappingDone = 34;
    const auto log = [](const std::string& text) { engine::WriteLog(text, kUpnpLog, kUpnpLog); };
    if (wParam == kDeviceSearchDone) {
        if (lParam >= 0) {
            const std::optional<std::string> device =
                env_.gatewayDevice ? env_.gatewayDevice() : std::nullopt;
            {
                std::lock_guard<std::mutex> fields(lock_);
                gatewayFound_ = device.has_value();
            }
            log(device ? "NAT Device found : Name : <" + *device + ">"
                       : "NAT device ^Not^ found..");
        }
        if (env_.releaseMapping) {
            env_.releaseMapping();  // every end of the search releases the mapping job
        }
        return;
    }
    if (wParam != kMappingDone) {
        return;
    }
    if (lParam >= 0) {
        log("uPnP成功");
        ReportControllerEvent(events_, "11390000", "");
        return;
    }
    bool found = false;
    {
        std::lock_guard<std::mutex> fields(lock_);
        found = gatewayFound_;
    }
    const std::string text =
        found ? "IGD设备已找到，但是uPnP依然失败" : "uPnP失败，因为没有IGD设备信息";
    log(text);
    ReportControllerEvent(events_, "11500105", text);
}

void DownloadController::RequestExit() {
    std::lock_guard<std::mutex> fields(lock_);
    userExit_ = true;
    exitRequested_ = true;
}

void DownloadController::CancelExit() {
    std::lock_guard<std::mutex> fields(lock_);
    userExit_ = false;
    exitRequested_ = false;
}

std::string DownloadController::SaveFolder() const {
    std::lock_guard<std::mutex> fields(lock_);
    return saveFolder_;
}

int DownloadController::SaveFolder(char* buffer, std::size_t size) const {
    const std::string folder = SaveFolder();
    if (folder.empty()) {
        return -2;
    }
    if (buffer == nullptr) {
        return CopyText(folder, nullptr, 0);
    }
    return CopyText(folder, buffer, size) > 0 ? -1 : 0;
}

std::string DownloadController::InstallerPath() const {
    return platform::JoinPath(SaveFolder(), InstallerName(plan_));
}

int DownloadController::InstallerPath(char* buffer, std::size_t size) const {
    return CopyText(InstallerPath(), buffer, size);
}

std::string DownloadController::GameVersionText() {
    return "游戏版本: v2.2.1.047";
}

std::string DownloadController::FileName(int index) const {
    if (index < 0 || index >= kFileCount) {
        return {};
    }
    return plan_.files[static_cast<std::size_t>(index)].name;
}

int DownloadController::FileName(int index, char* buffer, std::size_t size) const {
    return CopyText(FileName(index), buffer, size);
}

}  // namespace koruvan::app
