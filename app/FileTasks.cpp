#include "app/FileTasks.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "app/Resources.h"
#include "engine/core/base/KoruvanLog.h"
#include "platform/IniFile.h"
#include "platform/Paths.h"

namespace koruvan::app {
namespace {

constexpr int kLogCategory = 34;

void Log(const std::string& text) {
    engine::WriteLog(text, kLogCategory, kLogCategory);
}

// Copies `text` into a fixed field of the descriptor. A text that does not fit is refused:
// a cut path would name another file.
bool CopyField(char (&field)[engine::kEngineTextSize], const std::string& text) {
    if (text.size() >= engine::kEngineTextSize || text.find('\0') != std::string::npos) {
        return false;
    }
    std::memset(field, 0, sizeof field);
    std::memcpy(field, text.data(), text.size());
    return true;
}

bool ValidIndex(int index) {
    return index >= 0 && index < kFileCount;
}

}  // namespace

FileTasks::FileTasks(DownloadPlan plan, FrontEnd& frontEnd, EventSink& events, TaskOwner& owner,
                     EngineCalls& engine)
    : plan_(std::move(plan)),
      frontEnd_(frontEnd),
      events_(events),
      owner_(owner),
      engine_(engine) {}

void FileTasks::SetFolders(TaskFolders folders) {
    std::lock_guard<std::mutex> guard(lock_);
    folders_ = std::move(folders);
}

TaskFolders FileTasks::Folders() const {
    std::lock_guard<std::mutex> guard(lock_);
    return folders_;
}

std::int32_t FileTasks::CreateFileTask(int index) {
    return HandOver(index, Mode::Create, false);
}

std::int32_t FileTasks::ReloadFile(int index, bool force) {
    return HandOver(index, Mode::Reload, force);
}

// Writes the file's torrent and makes it the P2SP key. A plan without a torrent for the
// file gives a plain HTTP task and nothing is reported; a torrent that cannot be written
// is logged and reported, and the task goes on as a plain HTTP task too.
bool FileTasks::AttachTorrent(int index, Mode mode, const TaskFolders& folders,
                              engine::TaskDescriptor& d) {
    const int id = kFirstTorrentResourceId + index;
    if (!FindResource(plan_, kTorrentResourceType, id)) {
        return false;
    }
    const PlannedFile& file = plan_.files[static_cast<std::size_t>(index)];
    const ReleasedResource released =
        ReleaseResource(plan_, id, folders.dataFolder, file.md5, kTorrentResourceType, false);
    if (released.result != kReleaseFailed && CopyField(d.p2spKey, "file://" + released.path)) {
        return true;
    }
    Log("Torent 资源释放失败");
    ReportControllerEvent(events_, mode == Mode::Create ? "11400190" : "11400101",
                          "KVconf资源释放失败");
    return false;
}

std::int32_t FileTasks::SeedFile(int index) {
    return HandOver(index, Mode::Seed, false);
}

std::int32_t FileTasks::HandOver(int index, Mode mode, bool force) {
    if (!ValidIndex(index)) {
        return engine::kErrNullDescriptor;
    }
    const PlannedFile& file = plan_.files[static_cast<std::size_t>(index)];
    if (mode == Mode::Reload && file.url.empty()) {
        frontEnd_.ShowNotice("下载源出错，请验证这个下载工具的md5是否正确", kNoticeTitle);
    }
    auto d = std::make_unique<engine::TaskDescriptor>();
    TaskFolders folders;
    {
        std::lock_guard<std::mutex> guard(lock_);
        folders = folders_;
        FileSlot& slot = slots_[static_cast<std::size_t>(index)];
        if (mode != Mode::Reload) {
            slot = FileSlot{};
        } else {
            *d = slot.descriptor;
        }
    }
    std::string sourceList = file.url;
    d->sourceList = sourceList.c_str();
    d->flags = kFileTaskFlags;
    if (!WebOnly(index) && AttachTorrent(index, mode, folders, *d)) {
        d->flags = kP2spFileTaskFlags;
    } else if (mode == Mode::Seed) {
        return kErrNotSeedable;
    }
    if (mode == Mode::Seed) {
        d->flags |= engine::kFlagTrustExisting;
        d->callerWord = 1;  // done
    }
    const std::string target = platform::JoinPath(folders.saveFolder, file.name);
    const std::string& resume = folders.resumePaths[static_cast<std::size_t>(index)];
    engine::TaskStartOptions start;
    start.expectedSize = file.size;
    {
        std::lock_guard<std::mutex> guard(lock_);
        start.downloadLimitKiB = startLimitKiB_;
    }
    std::int32_t result = engine::kErrTaskFailed;
    if (!CopyField(d->targetPath, target) || !CopyField(d->stateFilePath, resume)) {
        Log("Task paths too long: " + target + " / " + resume);
    } else if (mode == Mode::Create) {
        result = engine_.CreateAndStartTask(d.get(), start);
    } else {
        result = engine_.RecoverAndContinueTask(d.get(), force, start);
    }
    if (mode == Mode::Seed) {
        Log("Seed " + file.name + (result == engine::kOk ? " 成功" : " 失败"));
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        FileSlot& slot = slots_[static_cast<std::size_t>(index)];
        if (result == engine::kOk) {
            slot.handle = d->handle;
        }
        slot.descriptor = *d;
        slot.descriptor.handle = slot.handle;
        slot.sourceList = std::move(sourceList);
        slot.descriptor.sourceList = slot.sourceList.c_str();
    }
    if (mode == Mode::Create) {
        owner_.TaskHandedOver();
    } else if (mode == Mode::Reload) {
        AfterReload(index, force, result, folders);
    }
    return result;
}

void FileTasks::AfterReload(int index, bool force, std::int32_t result,
                            const TaskFolders& folders) {
    if (result != engine::kOk) {
        if (force) {
            owner_.RepairReloaded(true);
        }
        Log("Reload 失败");
        char text[64];
        std::snprintf(text, sizeof text, "ErrorCode : %d", static_cast<int>(result));
        frontEnd_.ShowNotice(text, kNoticeTitle);
        return;
    }
    if (force) {
        owner_.RepairReloaded(false);
    }
    Log("Reload 成功");
    if (!folders.taskIni.empty()) {
        char key[32];
        std::snprintf(key, sizeof key, "%s%d", "KoruvanTask", index);
        platform::IniFile(folders.taskIni)
            .WriteString("KoruvanTask", key, plan_.files[static_cast<std::size_t>(index)].name);
    }
}

void FileTasks::SetWebOnly(int index) {
    if (ValidIndex(index)) {
        std::lock_guard<std::mutex> guard(lock_);
        webOnly_[static_cast<std::size_t>(index)] = true;
    }
}

bool FileTasks::WebOnly(int index) const {
    std::lock_guard<std::mutex> guard(lock_);
    return ValidIndex(index) && webOnly_[static_cast<std::size_t>(index)];
}

void FileTasks::SetStartLimit(std::int32_t kibPerSecond) {
    std::lock_guard<std::mutex> guard(lock_);
    startLimitKiB_ = kibPerSecond;
}

void FileTasks::ClearSlots() {
    std::lock_guard<std::mutex> guard(lock_);
    for (FileSlot& slot : slots_) {
        slot = FileSlot{};
    }
}

bool FileTasks::DigestCovered(int index) const {
    std::lock_guard<std::mutex> guard(lock_);
    if (!ValidIndex(index)) {
        return false;
    }
    const FileSlot& slot = slots_[static_cast<std::size_t>(index)];
    const std::uint32_t flags = slot.descriptor.flags;
    return slot.handle != nullptr && (flags & engine::kFlagP2spTask) != 0 &&
           (flags & engine::kFlagTrustExisting) == 0;
}

bool FileTasks::WillHaveTorrent(int index) const {
    return ValidIndex(index) && !WebOnly(index) &&
           FindResource(plan_, kTorrentResourceType, kFirstTorrentResourceId + index).has_value();
}

bool FileTasks::Done(int index) const {
    std::lock_guard<std::mutex> guard(lock_);
    return ValidIndex(index) && slots_[static_cast<std::size_t>(index)].descriptor.callerWord != 0;
}

void FileTasks::SetDone(int index, bool done) {
    std::lock_guard<std::mutex> guard(lock_);
    if (ValidIndex(index)) {
        slots_[static_cast<std::size_t>(index)].descriptor.callerWord = done ? 1 : 0;
    }
}

engine::TaskHandle FileTasks::Handle(int index) const {
    std::lock_guard<std::mutex> guard(lock_);
    return ValidIndex(index) ? slots_[static_cast<std::size_t>(index)].handle : nullptr;
}

engine::TaskDescriptor FileTasks::Descriptor(int index) const {
    std::lock_guard<std::mutex> guard(lock_);
    return ValidIndex(index) ? slots_[static_cast<std::size_t>(index)].descriptor
                             : engine::TaskDescriptor{};
}

std::int32_t FileTasks::ReplaceExtraSources(int index, const std::vector<SourceOffer>& sources) {
    const engine::TaskHandle handle = Handle(index);
    if (handle == nullptr) {
        return engine::kErrUnknownHandle;
    }
    std::string urls;
    std::string hosts;
    for (const SourceOffer& offer : sources) {
        urls += offer.url + "\n";
        hosts += offer.hostName + "\n";
    }
    const std::int32_t cleared = engine_.ClearTaskSourceLists(handle);
    if (cleared != engine::kOk) {
        return cleared;
    }
    return engine_.SetTaskSourceLists(handle, urls.c_str(), hosts.c_str());
}

}  // namespace koruvan::app
