#include "app/TaskFileStatus.h"

#include "app/CompletionRecord.h"
#include "platform/DiskSpace.h"
#include "platform/IniFile.h"
#include "platform/Paths.h"

namespace koruvan::app {

TaskLocation LocateTask(const DownloadPlan& plan, const std::string& root) {
    const std::string& digest = TaskIdentity(plan);
    TaskLocation location;
    location.dataDir =
        platform::JoinPath(root.empty() ? platform::KoruvanDataRoot() : root, "Koruvan" + digest);
    location.taskIni = platform::JoinPath(location.dataDir, digest + ".kvconf");
    return location;
}

PersistedTask ReadPersistedTask(const DownloadPlan& plan, const std::string& root) {
    PersistedTask task;
    task.location = LocateTask(plan, root);
    task.exists = platform::FileExists(task.location.taskIni);
    const platform::IniDocument doc =
        task.exists
            ? platform::IniFile(task.location.taskIni).Load().value_or(platform::IniDocument())
            : platform::IniDocument();
    task.saveFolder = doc.GetString("KoruvanTask", "KoruvanTaskSavePath", "");
    task.createTime = doc.GetString("KoruvanTask", "KoruvanTaskCreateTime", "");
    task.markedComplete = doc.GetString("KoruvanTask", "KoruvanTaskIsComplete", "") == "COMPLETE";
    task.downloadSeconds = doc.GetInt("KoruvanTask", "KoruvanTaskDownloadTime", 0);
    for (int i = 0; i < kFileCount; ++i) {
        const PlannedFile& planned = plan.files[static_cast<std::size_t>(i)];
        FileOnDisk& file = task.files[static_cast<std::size_t>(i)];
        file.name = planned.name;
        file.size = planned.size;
        file.sourceBytes = ParseSourceBytes(doc.GetString("KoruvanTask", SourceBytesKey(i), ""));
        if (task.saveFolder.empty()) {
            continue;
        }
        const std::string target = platform::JoinPath(task.saveFolder, planned.name);
        if (platform::FileExists(target)) {
            file.presence = FileOnDisk::Presence::Complete;
            file.recordMatches = CompletionRecordMatches(doc, i, target);
        } else if (platform::FileExists(target + ".kvtmp")) {
            file.presence = FileOnDisk::Presence::Partial;
        }
        const std::int64_t allocated = platform::AllocatedBytes(target);
        file.bytesOnDisk = allocated > 0 ? static_cast<std::uint64_t>(allocated) : 0;
    }
    return task;
}

}  // namespace koruvan::app
