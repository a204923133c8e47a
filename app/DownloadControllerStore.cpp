// Persistence of the download across restarts: the controller's start-up, the task file
// ("<digest>.kvconf" in the data folder) with its keys, the completion record of each
// finished file, the start-up decision and the reload of the tasks from their resume files.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <system_error>

#include "app/CompletionRecord.h"
#include "app/Deployment.h"
#include "app/DownloadController.h"
#include "app/TaskFileStatus.h"
#include "engine/core/base/KoruvanLog.h"
#include "platform/IniFile.h"
#include "platform/LocalTime.h"
#include "platform/Paths.h"

namespace koruvan::app {
namespace {

constexpr const char* kSection = "KoruvanTask";
constexpr std::int32_t kDefaultLinkBudget = 35;
constexpr std::uint32_t kReloadSettleMs = 100;

std::string Indexed(const char* format, int index) {
    char key[64];
    std::snprintf(key, sizeof key, format, index);
    return key;
}

// What the task file says is taken only when it has the form this program writes: a damaged
// file (bits flipped, bytes zeroed) must not send the download to a folder or resume file
// that does not exist.
bool IsTaskHash(std::string_view text) {
    return text.size() == 32 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
           });
}

bool HasControlCharacters(std::string_view text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

// An absolute path without control characters, inside `folder` when that is given.
bool IsStoredPath(std::string_view path, std::string_view folder = {}) {
    return !path.empty() && path.front() == '/' && !HasControlCharacters(path) &&
           path.find("/../") == std::string_view::npos &&
           (folder.empty() ||
            (path.size() > folder.size() + 1 && path.substr(0, folder.size()) == folder &&
             path[folder.size()] == '/'));
}

bool IsPlainFileName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && !HasControlCharacters(name);
}

std::string Unsigned(unsigned long value) {
    char text[32];
    std::snprintf(text, sizeof text, "%lu", value);
    return text;
}

// "host:port,host:port" of the plan's DHT bootstrap endpoints, else of the built-in ones.
std::string DhtBootstrapText(const P2pSettings& p2p) {
    std::string text;
    auto add = [&text](std::string_view host, int port) {
        text += (text.empty() ? "" : ",") + std::string(host) + ":" + std::to_string(port);
    };
    if (p2p.dhtBootstrap.empty()) {
        for (const auto& node : deployment::kDhtBootstrapNodes) {
            add(node.host, node.port);
        }
    }
    for (const PlanEndpoint& node : p2p.dhtBootstrap) {
        add(node.host, node.port);
    }
    return text;
}

}  // namespace

struct DownloadController::StartupLook {
    enum class Kind { Fresh, AllLost, Finished, NeedsCheck, Partial };
    Kind kind = Kind::Fresh;
};

// --- start-up -------------------------------------------------------------------------------

int DownloadController::Initialise() {
    std::unique_lock<std::mutex> step(stepLock_);
    std::unique_lock<std::mutex> fields(lock_);
    (void)engine::CreateEngineLog();
    diskShort_ = false;
    reloadList_.clear();
    speedLimitKBps_ = 0;
    shownSpeed_ = 0;
    tasksActive_ = false;

    const std::string& digest = TaskIdentity(plan_);
    const TaskLocation location = LocateTask(plan_, env_.dataRoot);
    dataDir_ = location.dataDir;
    (void)platform::CreateFolders(dataDir_);
    taskIni_ = location.taskIni;
    engine::SetLogBasePath(platform::JoinPath(dataDir_, digest).c_str());
    Log("=====================正在初始化=====================");

    const std::optional<std::string> telemetry = WriteTelemetryConfig(plan_, dataDir_, events_);
    if (!telemetry) {
        return -2;
    }
    if (env_.startTelemetry) {
        env_.startTelemetry(*telemetry, TelemetryTexts());
    }
    ApplyP2pSettingsLocked();
    // The UDP transport's rendezvous server: the plan's, else the product's own.
    const PlanEndpoint rendezvous = plan_.p2p.rendezvous.value_or(
        PlanEndpoint{std::string(deployment::kRendezvousHost), deployment::kRendezvousPort});
    (void)engine_.SetRendezvousServer(rendezvous.host.c_str(), rendezvous.port);
    (void)engine_.SetUdpPort(plan_.p2p.udpPort);
    // The DHT node (off unless the plan asks) and its bootstrap: the plan's, else the
    // product's own endpoints.
    (void)engine_.SetDhtEnabled(plan_.p2p.dht);
    (void)engine_.SetDhtBootstrap(DhtBootstrapText(plan_.p2p).c_str());

    tasks_.ClearSlots();
    userExit_ = exitRequested_ = installerStarted_ = false;
    Log("自我恢复功能关闭");

    const std::string linkFolder =
        env_.linkFileFolder.empty() ? platform::CurrentFolder() : env_.linkFileFolder;
    const std::uint32_t budget =
        platform::IniFile(platform::JoinPath(linkFolder, "KoruvanTaskLink.ini"))
            .GetInt(kSection, "KoruvanTaskLink", kDefaultLinkBudget);
    httpConnections_ =
        budget >= 10 && budget <= 200 ? static_cast<std::int32_t>(budget) : kDefaultLinkBudget;
    peerConnections_ = 105;

    DecideStartLocked(LookAtTaskFileLocked());
    if (state_ == ControllerState::Reload || state_ == ControllerState::Recover) {
        fields.unlock();
        clock_.SleepMs(kReloadSettleMs);
        fields.lock();
    }
    if (state_ != ControllerState::Finished && state_ != ControllerState::Reload &&
        state_ != ControllerState::Recover) {
        return 0;
    }
    if (ReloadTasks(fields)) {
        fields.unlock();
        step.unlock();
        frontEnd_.ShowModalNotice("下载启动失败请重试", kNoticeTitle);
    }
    return 1;
}

// The P2P service's settings, before any task exists: the plan's [p2p] section (its absent
// keys keep the product's behaviour) and the listening port the port mapping chose.
void DownloadController::ApplyP2pSettingsLocked() {
    const P2pSettings& p2p = plan_.p2p;
    if (engine_.SetBindAddress(p2p.bindAddress.c_str()) != engine::kOk) {
        Log("P2P] [本地地址不可用: " + p2p.bindAddress);
        Notice("P2P本地地址不可用：" + p2p.bindAddress, kNoticeTitle);
    }
    engine_.SetLanDiscovery(p2p.lanDiscovery);
    engine_.SetBtPeerFlag(BtPeerFlag());
    if (!p2p.ipFilterPath.empty()) {
        const std::int32_t ranges = engine_.LoadIpFilter(p2p.ipFilterPath.c_str());
        if (ranges < 0) {
            Log("P2P] [IP过滤文件无法读取: " + p2p.ipFilterPath);
            Notice("IP过滤文件无法读取：" + p2p.ipFilterPath, kNoticeTitle);
        } else {
            Log("P2P] [IP过滤: " + std::to_string(ranges) + " " + p2p.ipFilterPath);
        }
    }
    (void)engine_.SetListenPort(env_.startUpnp ? env_.startUpnp() : p2p.listenPort);
}

std::int32_t DownloadController::BtPeerFlag() const noexcept {
    return plan_.p2p.disguise ? 1 : 0;
}

// The task file and the files on disk: what kind of start this is. Also settles the task
// hash, the save folder, the entrance and the resume paths.
DownloadController::StartupLook DownloadController::LookAtTaskFileLocked() {
    using Kind = StartupLook::Kind;
    StartupLook look;
    const std::string& digest = TaskIdentity(plan_);
    if (!platform::FileExists(taskIni_)) {
        (void)platform::CreateFolders(dataDir_);
        taskHash_ = digest;
        saveFolder_ = env_.defaultSaveFolder();
        entrance_ = InstallerName(plan_);
        BuildFoldersLocked();
        PublishFoldersLocked();
        return look;
    }
    const platform::IniDocument doc =
        platform::IniFile(taskIni_).Load().value_or(platform::IniDocument());
    const auto read = [&doc](const std::string& key) { return doc.GetString(kSection, key, ""); };
    const std::string createTime = read("KoruvanTaskCreateTime");
    const std::string hash = read("KoruvanTaskHash");
    const std::string save = read("KoruvanTaskSavePath");
    const bool markedComplete = read("KoruvanTaskIsComplete") == "COMPLETE";
    taskHash_ = IsTaskHash(hash) ? hash : digest;
    saveFolder_ = IsStoredPath(save) ? save : env_.defaultSaveFolder();

    int missing = 0;
    bool someFinished = false;
    for (int i = 0; i < kFileCount; ++i) {
        const std::string target = TargetPath(i);
        if (markedComplete) {
            missing += platform::FileExists(target) ? 0 : 1;
        } else if (platform::FileExists(target)) {
            someFinished = true;
        } else if (!platform::FileExists(target + ".kvtmp")) {
            ++missing;
        }
    }
    if (missing == 0 || someFinished) {
        bool allMatch = true;
        for (int i = 0; i < kFileCount; ++i) {
            allMatch = CompletionMatchesLocked(i, true) && allMatch;
        }
        look.kind = allMatch ? Kind::Finished : Kind::NeedsCheck;
    } else {
        look.kind = missing == kFileCount ? Kind::AllLost : Kind::Partial;
    }

    const std::string entrance = read("KoruvanTaskEntrence");
    entrance_ = IsPlainFileName(entrance) ? entrance : InstallerName(plan_);
    BuildFoldersLocked();
    for (int i = 0; i < kFileCount; ++i) {
        const std::string info = read(Indexed("KoruvanDownloadInfo%d", i));
        if (IsStoredPath(info, dataDir_)) {
            resumePaths_[static_cast<std::size_t>(i)] = info;
        }
    }
    PublishFoldersLocked();
    if (createTime.empty() && hash.empty() && save.empty() && entrance.empty()) {
        look.kind = Kind::Fresh;
    }
    return look;
}

void DownloadController::DecideStartLocked(const StartupLook& look) {
    using Kind = StartupLook::Kind;
    switch (look.kind) {
        case Kind::Fresh:
            SetStateLocked(ControllerState::Ready);
            break;
        case Kind::AllLost:
            Log("目标文件全部丢失，退回初始状态");
            (void)platform::IniFile(taskIni_).Remove();
            SetStateLocked(ControllerState::Ready);
            Notice("目标文件被删除或移动，请重新下载", kNoticeTitle);
            saveFolder_ = env_.defaultSaveFolder();
            PublishFoldersLocked();
            break;
        case Kind::Finished:
            Log("下载已经完成，文件正确");
            (void)CheckVolumeLocked(saveFolder_);
            SetStateLocked(ControllerState::Finished);
            break;
        case Kind::NeedsCheck:
            Log("需要文件校验");
            (void)CheckVolumeLocked(saveFolder_);
            SetStateLocked(ControllerState::Reload);
            break;
        case Kind::Partial:
            Log("成功地恢复了下载，可以进行续传");
            (void)CheckVolumeLocked(saveFolder_);
            SetStateLocked(ControllerState::Recover);
            break;
    }
}

// Re-creates the tasks of the files that are not complete and unchanged on disk from their
// resume files; the others are done. Returns true when the engine could not be started
// (the caller shows the box once no lock is held).
bool DownloadController::ReloadTasks(std::unique_lock<std::mutex>& fields) {
    WriteTaskIdentityLocked();
    if (engine_.EngineStartup(dataDir_.c_str()) != engine::kOk) {
        Log("Reload Download Task] [环境初始化失败");
        ReportControllerEvent(events_, "11400101", "继续下载：环境初始化失败");
        return true;
    }
    PublishFoldersLocked();
    std::size_t next = 0;
    for (int j = 0; j < kFileCount; ++j) {
        (void)CompletionMatchesLocked(j, true);
        if (next < reloadList_.size() && reloadList_[next] == j) {
            ++next;
            if (UncheckedOnDiskLocked(j)) {
                // Complete but never checked (the program ended during the download's own
                // MD5 check): the check decides, not a new download of the whole file.
                tasks_.SetDone(j, true);
                uncheckedFiles_ |= 1u << j;
                continue;
            }
            fields.unlock();
            (void)tasks_.ReloadFile(j, false);
            fields.lock();
        } else {
            tasks_.SetDone(j, true);
        }
    }
    if (ActiveTaskCountLocked() > 0) {
        ReportControllerEvent(events_, "11030000", "");
        tasksActive_ = true;
        ApplySpeedLimitLocked(speedLimitKBps_);
    } else {
        tasksActive_ = false;
    }
    return false;
}

// A file at its final name and planned size without a completion record, whose task would
// have no torrent: its task completed, but its MD5 check did not pass yet (a file still
// being fetched has its working name).
bool DownloadController::UncheckedOnDiskLocked(int index) const {
    const std::string target = TargetPath(index);
    return !tasks_.WillHaveTorrent(index) && !platform::FileExists(target + ".kvtmp") &&
           platform::FileSize(target) == plan_.files[static_cast<std::size_t>(index)].size;
}

// --- the task file ----------------------------------------------------------------------------

int DownloadController::WriteTask(std::string_view key, std::string_view value) const {
    if (taskIni_.empty()) {
        return 0;
    }
    errno = 0;
    if (platform::IniFile(taskIni_).WriteString(kSection, key, value)) {
        return 0;
    }
    return errno != 0 ? errno : EIO;
}

std::string DownloadController::TargetPath(int index) const {
    return platform::JoinPath(saveFolder_, plan_.files[static_cast<std::size_t>(index)].name);
}

void DownloadController::BuildFoldersLocked() {
    resumeDir_ = platform::JoinPath(dataDir_, taskHash_ + "KVInfo") + "/";
    (void)platform::CreateFolders(resumeDir_);
    for (int i = 0; i < kFileCount; ++i) {
        resumePaths_[static_cast<std::size_t>(i)] =
            resumeDir_ + plan_.files[static_cast<std::size_t>(i)].name + ".kvinfo";
    }
}

void DownloadController::PublishFoldersLocked() {
    tasks_.SetFolders(TaskFolders{dataDir_, saveFolder_, taskIni_, resumePaths_});
}

// A new task identity: hash and creation time; the session's download time starts over.
// Before anything was started, the sources and names of the five files are recorded too.
void DownloadController::WriteTaskIdentityLocked() {
    WriteTask("KoruvanTaskHash", taskHash_);
    WriteTask("KoruvanTaskCreateTimeStamp", Unsigned(clock_.TickCount()));
    WriteTask("KoruvanTaskCreateTime",
              platform::FormatLocalTime("%Y-%m-%d %X", clock_.WallSeconds()));
    downloadSecondsStored_ = 0;
    downloadSecondsSession_ = 0;
    if (state_ == ControllerState::Back || state_ == ControllerState::Ready) {
        for (int i = 0; i < kFileCount; ++i) {
            const PlannedFile& file = plan_.files[static_cast<std::size_t>(i)];
            WriteTask(Indexed("KoruvanHttpTaskUrl%d", i), file.url);
            WriteTask(Indexed("KoruvanHttpTaskFile%d", i), file.name);
        }
    }
    if (saveFolder_.empty()) {
        saveFolder_ = env_.defaultSaveFolder();
        PublishFoldersLocked();
    }
    if (entrance_.empty()) {
        entrance_ = InstallerName(plan_);
    }
    WriteTask("KoruvanTaskEntrence", entrance_);
    if (folderName_.empty()) {
        folderName_ = std::string(kDefaultFolderName);
    }
    WriteTask("KoruvanTaskFloder", folderName_);
    engine_.SetBtPeerFlag(BtPeerFlag());
}

// Size and last-write time of a finished file, so that the next start recognises it
// unchanged without hashing it. Nothing is written for a missing file.
void DownloadController::WriteCompletionRecordLocked(int index) {
    NoteRecordWriteLocked(index, WriteCompletionRecord(taskIni_, index, TargetPath(index)));
}

// A full or broken data folder must not pass for a recorded download: the failure is logged
// and shown once, and RecordWriteProblem reports it until the records are written.
void DownloadController::NoteRecordWriteLocked(int record, int error) {
    const std::uint32_t bit = 1u << record;
    if (error == 0) {
        unsavedRecords_ &= ~bit;
        return;
    }
    const bool first = unsavedRecords_ == 0;
    unsavedRecords_ |= bit;
    unsavedRecordError_ = error;
    if (first) {
        const std::string why = std::error_code(error, std::generic_category()).message();
        Log("Task file not written] [" + taskIni_ + "] [" + why);
        Notice("下载记录无法写入数据文件夹 " + dataDir_ + "：" + why, kNoticeTitle);
    }
}

std::string DownloadController::RecordWriteProblem() const {
    std::lock_guard<std::mutex> fields(lock_);
    if (unsavedRecords_ == 0) {
        return {};
    }
    return "the completion records could not be written to the data folder " + dataDir_ + ": " +
           std::error_code(unsavedRecordError_, std::generic_category()).message();
}

bool DownloadController::CompletionMatchesLocked(int index, bool addToReload) {
    const auto doc = platform::IniFile(taskIni_).Load();
    if (doc && CompletionRecordMatches(*doc, index, TargetPath(index))) {
        return true;
    }
    if (addToReload &&
        std::find(reloadList_.begin(), reloadList_.end(), index) == reloadList_.end()) {
        reloadList_.push_back(index);
    }
    return false;
}

int DownloadController::CloseChoice() const {
    std::lock_guard<std::mutex> fields(lock_);
    if (taskIni_.empty() || !platform::FileExists(taskIni_)) {
        return -1;
    }
    return static_cast<int>(
        platform::IniFile(taskIni_).GetInt(kSection, "KoruvanCloseSelection", 0));
}

int DownloadController::SetCloseChoice(std::uint32_t choice) {
    std::lock_guard<std::mutex> fields(lock_);
    if (taskIni_.empty()) {
        return 0;
    }
    WriteTask("KoruvanCloseSelection", Unsigned(choice));
    return 1;
}

}  // namespace koruvan::app
