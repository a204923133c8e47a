// The task file (INI text in the data folder) and the completion records in it are read at
// every start and by `koruvan-cli status`. Each input is a task file: its text must come back
// unchanged from a parse, an edit must read back as written, the status look must cope with
// whatever it names, and a completion record may only match a file whose values it holds.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "app/CompletionRecord.h"
#include "app/PlanSource.h"
#include "app/TaskFileStatus.h"
#include "platform/File.h"
#include "platform/IniDocument.h"
#include "platform/Paths.h"

namespace {

using namespace koruvan;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

struct Fixture {
    Fixture() : plan(app::BuiltinPlan()) {
        root = "/tmp/kvfz-ini-" + std::to_string(getpid());
        std::filesystem::remove_all(root);
        location = app::LocateTask(plan, root);
        Check(platform::CreateFolders(location.dataDir));
        target = root + "/target.bin";
        Check(platform::WriteFileAtomic(target, "complete file"));
    }
    ~Fixture() {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    static Fixture& Get() {
        static Fixture fixture;
        return fixture;
    }

    app::DownloadPlan plan;
    std::string root;
    app::TaskLocation location;
    std::string target;
};

void CheckEdits(platform::IniDocument doc) {
    for (const auto& [section, key, value] :
         {std::tuple{"KoruvanTask", "KoruvanTaskDownloadTime", "12"},
          std::tuple{"KoruvanFinishInfo", "KoruvanTask3WriteTimeHigh", " 7 "}}) {
        if (doc.Set(section, key, value)) {
            const auto again = platform::IniDocument::Parse(doc.Serialize());
            Check(again.Find(section, key) == std::optional<std::string>(value));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > (256u << 10)) {
        return 0;
    }
    auto& fixture = Fixture::Get();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto doc = platform::IniDocument::Parse(text);
    Check(doc.Serialize() == text);
    for (const std::string& section : doc.Sections()) {
        Check(doc.HasSection(section));
        for (const std::string& key : doc.Keys(section)) {
            Check(doc.Find(section, key).has_value());
        }
    }
    CheckEdits(doc);

    const auto values = app::CompletionValues(fixture.target);
    Check(values.has_value());
    for (int i = 0; i < app::kFileCount; ++i) {
        if (app::CompletionRecordMatches(doc, i, fixture.target)) {
            for (int k = 0; k < 4; ++k) {
                Check(doc.Find(app::kFinishInfoSection, app::CompletionKey(k, i)).has_value());
            }
        }
        Check(!app::CompletionRecordMatches(doc, i, fixture.root + "/missing.bin"));
    }

    std::FILE* file = std::fopen(fixture.location.taskIni.c_str(), "wb");
    Check(file != nullptr && std::fwrite(text.data(), 1, text.size(), file) == text.size());
    Check(std::fclose(file) == 0);
    const app::PersistedTask task = app::ReadPersistedTask(fixture.plan, fixture.root);
    Check(task.exists);
    for (const auto& file : task.files) {
        Check(!file.recordMatches || file.presence == app::FileOnDisk::Presence::Complete);
    }
    return 0;
}
