// The five engine tasks of the plan: one slot per file with the descriptor handed to the
// engine, and the two ways a file's task is made — created fresh when a download begins,
// or reloaded from its resume file after a restart or for a repair.
//
// Slots are read and written from the window thread, the controller's timer threads, the
// verification thread and the resource-list refresh; `lock_` guards them and the folders.
// It is never held across an engine call.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "app/EngineCalls.h"
#include "app/EventSink.h"
#include "app/FrontEnd.h"
#include "app/Plan.h"
#include "app/ResourceList.h"
#include "engine/core/TaskRecords.h"

namespace koruvan::app {

// Descriptor flags of a plan file's task: a full target file name, plus the P2SP flag when
// the task has the file's torrent as its key.
inline constexpr std::uint32_t kFileTaskFlags = 0x100002;
inline constexpr std::uint32_t kP2spFileTaskFlags = 0x1100002;

// SeedFile's answer for a file without a torrent (not an engine status).
inline constexpr std::int32_t kErrNotSeedable = -1000;

struct FileSlot {
    engine::TaskDescriptor descriptor{};  // caller word: the file's done flag
    engine::TaskHandle handle = nullptr;  // null until a task was made
    std::string sourceList;               // what descriptor.sourceList points to
};

// The folders and files the tasks use (decided by the controller's start-up).
struct TaskFolders {
    std::string dataFolder;  // torrents are written here
    std::string saveFolder;  // the five targets go here
    std::string taskIni;     // a successful reload records the file here
    std::array<std::string, kFileCount> resumePaths;
};

// What the controller does when a task is made.
class TaskOwner {
  public:
    virtual ~TaskOwner() = default;
    // After every attempt to create a file's task: tasks are active, apply the speed limit.
    virtual void TaskHandedOver() = 0;
    // After a forced reload (a repair): whether it failed.
    virtual void RepairReloaded(bool failed) = 0;
};

class FileTasks {
  public:
    // Tasks are made through `engine` (the real engine unless a test scripts one).
    FileTasks(DownloadPlan plan, FrontEnd& frontEnd, EventSink& events, TaskOwner& owner,
              EngineCalls& engine = ProcessEngine());
    FileTasks(const FileTasks&) = delete;
    FileTasks& operator=(const FileTasks&) = delete;

    [[nodiscard]] const DownloadPlan& Plan() const noexcept { return plan_; }

    void SetFolders(TaskFolders folders);
    [[nodiscard]] TaskFolders Folders() const;

    // Clears file `index`'s slot (done flag included), builds its descriptor — the file's
    // URL as source, its torrent written to the data folder as P2SP key when the plan has
    // one, target save folder + "/" + name, its resume path — and creates and starts the
    // task. Returns the engine's status; the handle is kept on success.
    [[nodiscard]] std::int32_t CreateFileTask(int index);

    // The same without clearing the slot, through RecoverAndContinueTask(force): the task
    // continues from its resume file. Tells the user about an empty URL and a failure; a
    // success is recorded in the task INI ("KoruvanTask<i>" = file name).
    [[nodiscard]] std::int32_t ReloadFile(int index, bool force);

    // A task that serves the finished file `index` to peers: recovered over the file on
    // disk, which the engine takes as complete without a resume record (the caller has
    // checked its completion record). Only a file with a torrent can be seeded:
    // kErrNotSeedable otherwise.
    [[nodiscard]] std::int32_t SeedFile(int index);

    // The download limit a task gets from its first second (KiB/s, 0: none); the controller
    // sets it whenever it splits its limit.
    void SetStartLimit(std::int32_t kibPerSecond);

    // File `index` is fetched from its web sources alone from now on (its torrent turned
    // out unusable); its next task is a plain HTTP task.
    void SetWebOnly(int index);
    [[nodiscard]] bool WebOnly(int index) const;

    // Empties all five slots (handles included).
    void ClearSlots();

    // Whether the task of file `index` checks every piece it takes against a digest of its
    // metainfo (a P2SP task with the file's torrent, not one that takes a file on disk
    // unchecked): then a complete task is a correct file. False without a task.
    [[nodiscard]] bool DigestCovered(int index) const;
    // Whether the next task of file `index` will have the file's torrent (the plan has one
    // and the file is not fetched from its web sources alone).
    [[nodiscard]] bool WillHaveTorrent(int index) const;

    [[nodiscard]] bool Done(int index) const;
    void SetDone(int index, bool done);
    [[nodiscard]] engine::TaskHandle Handle(int index) const;
    // A copy of the descriptor last handed to the engine (its source list pointer is not
    // valid in the copy).
    [[nodiscard]] engine::TaskDescriptor Descriptor(int index) const;

    // Replaces the extra sources of file `index`'s task with `sources`, all in one call:
    // the engine's status (-106 when the file has no task).
    [[nodiscard]] std::int32_t ReplaceExtraSources(int index,
                                                   const std::vector<SourceOffer>& sources);

  private:
    enum class Mode { Create, Reload, Seed };

    [[nodiscard]] std::int32_t HandOver(int index, Mode mode, bool force);
    [[nodiscard]] bool AttachTorrent(int index, Mode mode, const TaskFolders& folders,
                                     engine::TaskDescriptor& d);
    void AfterReload(int index, bool force, std::int32_t result, const TaskFolders& folders);

    const DownloadPlan plan_;
    FrontEnd& frontEnd_;
    EventSink& events_;
    TaskOwner& owner_;
    EngineCalls& engine_;

    mutable std::mutex lock_;
    std::array<FileSlot, kFileCount> slots_;  // guarded by lock_
    TaskFolders folders_;                     // guarded by lock_
    std::int32_t startLimitKiB_ = 0;          // guarded by lock_
    std::array<bool, kFileCount> webOnly_{};  // guarded by lock_
};

}  // namespace koruvan::app
