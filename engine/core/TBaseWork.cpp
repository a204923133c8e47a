#include "engine/core/TBaseWork.h"

#include "engine/core/TaskRegistry.h"
#include "engine/core/base/EngineClock.h"
#include "engine/core/base/LockGuard.h"

namespace koruvan::engine {

TBaseWork::TBaseWork() : handle_(TaskRegistry::NewHandle()) {}

void TBaseWork::SetFlags(std::uint32_t flags) {
    flags_ = flags;
    options_.trustExistingFiles = (flags & kFlagTrustExisting) != 0;
}

void TBaseWork::SetTargetFile(std::string file) {
    targetFile_ = std::move(file);
    const auto slash = targetFile_.rfind('/');
    if (slash != std::string::npos) {
        targetFolder_ = targetFile_.substr(0, slash + 1);
    }
    // Until metainfo names the download, the target's file name is what the user sees.
    work_.displayName = slash == std::string::npos ? targetFile_ : targetFile_.substr(slash + 1);
    published_.displayName = work_.displayName;
}

void TBaseWork::SetStateFilePath(std::string path) {
    stateFilePath_ = std::move(path);
    pieceCachePath_ = stateFilePath_.empty() ? std::string() : stateFilePath_ + "df";
}

TaskInfo TBaseWork::PublishedInfo() {
    LockGuard guard(&ThreadLock(), true);
    return published_;
}

TaskOptions TBaseWork::Options() {
    LockGuard guard(&ThreadLock(), true);
    return options_;
}

void TBaseWork::ResetInfoRecords() {
    LockGuard guard(&ThreadLock(), true);
    const std::string name = work_.displayName;
    work_ = TaskInfo{};
    work_.displayName = name;
    published_ = work_;
}

std::uint32_t TBaseWork::SecondsSinceStart() const {
    return EngineSeconds() - StartTime();
}

}  // namespace koruvan::engine
