// Plan files (`--plan FILE`): any text must be either a checked plan or a refusal that
// names the file. Referenced files read as a small torrent or telemetry text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/PlanFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const koruvan::app::PlanFileReader reader = [](const std::string& path, std::string& bytes) {
        if (path.find("missing") != std::string::npos) {
            return false;
        }
        bytes = path.find(".torrent") != std::string::npos ? "d4:infod6:lengthi1eee" : "[a]\nb=c\n";
        return true;
    };
    const koruvan::app::PlanLoad load = koruvan::app::ParsePlanText(text, "/fuzz/plan.ini", reader);
    if (!load.plan && load.refusal.file != "/fuzz/plan.ini") {
        __builtin_trap();
    }
    if (load.plan) {
        for (const auto& file : load.plan->files) {
            if (file.name.empty() || file.name.find('/') != std::string::npos ||
                file.md5.size() != 32) {
                __builtin_trap();
            }
        }
    }
    (void)load.refusal.Message();
    return 0;
}
