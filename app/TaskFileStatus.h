// Where a plan's task lives (its data folder and task file) and a read-only look at what
// was persisted: for `koruvan-cli status`, which must not change anything, not even while a
// download runs in another process.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "app/Plan.h"
#include "app/SourceBytes.h"

namespace koruvan::app {

struct TaskLocation {
    std::string dataDir;  // root + "/Koruvan" + digest of file 0
    std::string taskIni;  // dataDir + "/" + digest + ".kvconf"
};

// The task of `plan` under the data root `root` (platform::KoruvanDataRoot() when empty).
[[nodiscard]] TaskLocation LocateTask(const DownloadPlan& plan, const std::string& root = {});

struct FileOnDisk {
    enum class Presence { Complete, Partial, Missing };
    std::string name;
    std::uint64_t size = 0;  // planned
    Presence presence = Presence::Missing;
    std::uint64_t bytesOnDisk = 0;  // space the target (or its ".kvtmp") takes
    bool recordMatches = false;     // complete and unchanged since it was recorded
    // Bytes from web sources and from peers in the last run that moved any; nullopt when
    // none was recorded.
    std::optional<SourceBytes> sourceBytes;
};

struct PersistedTask {
    TaskLocation location;
    bool exists = false;  // the task file exists
    std::string saveFolder;
    std::string createTime;
    bool markedComplete = false;
    std::uint32_t downloadSeconds = 0;
    std::array<FileOnDisk, kFileCount> files;
};

// Reads the task file and looks at the files in its save folder. Writes nothing.
[[nodiscard]] PersistedTask ReadPersistedTask(const DownloadPlan& plan,
                                              const std::string& root = {});

}  // namespace koruvan::app
