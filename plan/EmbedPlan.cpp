// Build step: checks plan.ini with the plan-file rules and writes the C++ source that holds
// the built-in plan in its stored form (app/StoredPlan.h), plus a depfile naming every file
// it read, so that a change to any of them rebuilds the plan.
//
//   koruvan_embed_plan <plan.ini> <output.cpp>
#include <cstdio>
#include <string>
#include <vector>

#include "app/Base64.h"
#include "app/PlanFile.h"
#include "app/StoredPlan.h"
#include "platform/File.h"

namespace {

using koruvan::app::DownloadPlan;
using koruvan::app::kFileCount;
using koruvan::app::kPlanSlotSize;

// A Base64 slot; the text must leave room for its terminator.
bool Slot(const std::string& text, std::string& out) {
    const std::string encoded = koruvan::app::Base64Encode(text);
    if (encoded.size() >= kPlanSlotSize) {
        return false;
    }
    out += "\"" + encoded + "\"";
    return true;
}

std::string ByteArray(const std::string& name, const std::string& bytes) {
    std::string out = "constexpr unsigned char " + name + "[] = {";
    char hex[16];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(hex, sizeof hex, "%s0x%02x", i % 16 == 0 ? "\n    " : " ",
                      static_cast<unsigned char>(bytes[i]));
        out += hex;
        out += ',';
    }
    return out + "\n};\n";
}

bool Generate(const DownloadPlan& plan, const std::string& source, std::string& out) {
    out = "// Generated from " + source + " by koruvan_embed_plan; do not edit.\n";
    out += "#include \"app/StoredPlan.h\"\n\nnamespace koruvan::app {\nnamespace {\n\n";
    for (int i = 0; i < kFileCount; ++i) {
        if (plan.files[i].torrent) {
            out += ByteArray("kTorrent" + std::to_string(i), *plan.files[i].torrent);
        }
    }
    out += ByteArray("kTelemetryConfig", *plan.telemetryConfig);
    out += "\n}  // namespace\n\nconstinit const StoredPlan kBuiltinStoredPlan = {\n    ";
    bool fits = Slot(plan.secConfigUrl, out);
    out += ",\n    ";
    fits = fits && Slot(plan.resourceListUrl, out);
    for (const bool names : {true, false}) {
        out += ",\n    {";
        for (int i = 0; i < kFileCount; ++i) {
            out += i == 0 ? "" : ", ";
            fits = fits && Slot(names ? plan.files[i].name : plan.files[i].url, out);
        }
        out += "}";
    }
    out += ",\n    {";
    for (int i = 0; i < kFileCount; ++i) {
        out += (i == 0 ? "" : ", ") + std::to_string(plan.files[i].size) + "ull";
    }
    out += "},\n    {";
    for (int i = 0; i < kFileCount; ++i) {
        out += (i == 0 ? "\"" : ", \"") + plan.files[i].md5 + "\"";
    }
    out += "},\n    {";
    for (int i = 0; i < kFileCount; ++i) {
        const std::string name = "kTorrent" + std::to_string(i);
        out += (i == 0 ? "" : ", ") +
               (plan.files[i].torrent ? "{" + name + ", sizeof " + name + "}" : "{nullptr, 0}");
    }
    out +=
        "},\n    {kTelemetryConfig, sizeof kTelemetryConfig},\n};\n\n}  // namespace "
        "koruvan::app\n";
    return fits;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <plan.ini> <output.cpp>\n", argv[0]);
        return 2;
    }
    const std::string planPath = argv[1];
    const std::string output = argv[2];
    std::vector<std::string> read = {planPath};
    const koruvan::app::PlanFileReader reader = [&read](const std::string& path,
                                                        std::string& bytes) {
        read.push_back(path);
        return koruvan::platform::ReadWholeFile(path, bytes);
    };
    std::string text;
    if (!koruvan::platform::ReadWholeFile(planPath, text)) {
        std::fprintf(stderr, "plan file \"%s\": cannot be read\n", planPath.c_str());
        return 2;
    }
    const koruvan::app::PlanLoad load = koruvan::app::ParsePlanText(text, planPath, reader);
    if (!load.plan) {
        std::fprintf(stderr, "%s\n", load.refusal.Message().c_str());
        return 2;
    }
    if (!load.plan->telemetryConfig) {
        std::fprintf(stderr,
                     "plan file \"%s\": [plan] telemetry_config: the built-in plan "
                     "must carry its telemetry configuration\n",
                     planPath.c_str());
        return 2;
    }
    std::string source;
    if (!Generate(*load.plan, planPath, source)) {
        std::fprintf(stderr, "plan file \"%s\": a text does not fit its %zu-byte slot\n",
                     planPath.c_str(), kPlanSlotSize);
        return 2;
    }
    std::string depfile = output + ":";
    for (const std::string& path : read) {
        depfile += " " + path;
    }
    if (!koruvan::platform::WriteFileAtomic(output, source) ||
        !koruvan::platform::WriteFileAtomic(output + ".d", depfile + "\n")) {
        std::fprintf(stderr, "cannot write %s\n", output.c_str());
        return 1;
    }
    return 0;
}
