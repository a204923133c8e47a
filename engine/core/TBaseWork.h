// First task layer: the task's identity and configuration, options, the working and
// published information records, and the flags of one run.
//
// Locking: the task thread owns every field. Fields read by the controller's threads —
// `published_`, `options_` — are guarded by the thread lock (ThreadLock()). Configuration
// fields (key, paths, flags) are written only before the first start, under EngineApiLock.
#pragma once

#include <cstdint>
#include <string>

#include "engine/core/TaskInfo.h"
#include "engine/core/TaskOptions.h"
#include "engine/core/TaskRecords.h"
#include "engine/core/base/QThread.h"

namespace koruvan::engine {

class TBaseWork : public QThread {
  public:
    TBaseWork();
    ~TBaseWork() override = default;

    TaskHandle Handle() const noexcept { return handle_; }

    // Configuration from the descriptor (engine call interface).
    void SetKey(std::string key) { key_ = std::move(key); }
    void SetLabel(std::string label) { label_ = std::move(label); }
    void SetFlags(std::uint32_t flags);
    void SetTargetFolder(std::string folder) { targetFolder_ = std::move(folder); }
    void SetTargetFile(std::string file);
    void SetStateFilePath(std::string path);

    const std::string& Key() const noexcept { return key_; }
    const std::string& Label() const noexcept { return label_; }
    std::uint32_t Flags() const noexcept { return flags_; }
    bool IsP2spTask() const noexcept { return (flags_ & kFlagP2spTask) != 0; }
    bool IsBtTask() const noexcept { return !IsP2spTask() && (flags_ & kFlagBtTask) != 0; }
    bool IsHttpTask() const noexcept { return (flags_ & (kFlagP2spTask | kFlagBtTask)) == 0; }
    bool HasFullPath() const noexcept { return (flags_ & kFlagFullPath) != 0; }
    const std::string& TargetFolder() const noexcept { return targetFolder_; }
    const std::string& TargetFile() const noexcept { return targetFile_; }
    const std::string& StateFilePath() const noexcept { return stateFilePath_; }
    const std::string& PieceCachePath() const noexcept { return pieceCachePath_; }

    // A copy of the published record (takes the thread lock).
    TaskInfo PublishedInfo();
    TaskOptions Options();

    // Both information records back to their reset values (RestartDownload).
    void ResetInfoRecords();

  protected:
    // Seconds since the body began (engine seconds).
    std::uint32_t SecondsSinceStart() const;

    TaskHandle handle_;
    std::string key_;
    std::string label_;
    std::uint32_t flags_ = 0;
    std::string targetFolder_;
    std::string targetFile_;
    std::string stateFilePath_;
    std::string pieceCachePath_;

    TaskOptions options_;  // guarded by the thread lock
    TaskInfo work_;        // task thread only
    TaskInfo published_;   // guarded by the thread lock

    // Flags of one run, cleared by Reset.
    std::uint64_t completionTime_ = 0;  // EngineTime when all pieces were done, 0 while not
    bool finished_ = false;
    bool gaveUp_ = false;
    bool timedOut_ = false;
    bool publishPending_ = false;
};

}  // namespace koruvan::engine
