#include "app/Resources.h"

#include <cstdio>

#include "app/Base64.h"
#include "engine/core/base/KoruvanLog.h"
#include "platform/File.h"

namespace koruvan::app {
namespace {

constexpr int kExtractionCategory = 7;
constexpr int kLogCategory = 34;

bool WriteInto(const std::string& folder, const std::string& path, std::string_view bytes) {
    return platform::CreateFolders(folder) && platform::WriteFileAtomic(path, bytes);
}

void LogFailure(const char* format, const std::string& path) {
    std::string line(path.size() + 128, '\0');
    const int n = std::snprintf(line.data(), line.size(), format, path.c_str());
    line.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    engine::WriteLog(line, kExtractionCategory, kExtractionCategory);
}

}  // namespace

ReleasedResource ReleaseResource(const DownloadPlan& plan, int id, const std::string& folder,
                                 const std::string& name, std::string_view type, bool decodeBase64,
                                 const std::string& tempFolder) {
    std::optional<std::string> bytes;
    if (const auto resource = FindResource(plan, type, id)) {
        bytes = decodeBase64 ? Base64Decode(*resource) : std::string(*resource);
    }
    ReleasedResource released;
    const std::string path = platform::JoinPath(folder, name);
    if (bytes && WriteInto(folder, path, *bytes)) {
        released.result = kReleasedIntoFolder;
        released.path = path;
        return released;
    }
    LogFailure("Koruvan UI : 释放文件(path=%s)第一次失败", path);
    const std::string fallback = platform::JoinPath(tempFolder, name);
    if (bytes && WriteInto(tempFolder, fallback, *bytes)) {
        released.result = kReleasedIntoTemp;
        released.path = fallback;
        return released;
    }
    LogFailure("Koruvan UI : 初始化失败，释放文件(path=%s)第二次失败", fallback);
    return released;
}

std::optional<std::string> WriteTelemetryConfig(const DownloadPlan& plan,
                                                const std::string& dataFolder, EventSink& events,
                                                const std::string& tempFolder) {
    const ReleasedResource released = ReleaseResource(plan, kTelemetryResourceId, dataFolder,
                                                      std::string(kTelemetryConfigFileName),
                                                      kTelemetryResourceType, true, tempFolder);
    if (released.result == kReleaseFailed) {
        engine::WriteLog("KVconf资源释放失败", kLogCategory, kLogCategory);
        ReportControllerEvent(events, "11400190", "KVconf资源释放失败");
        return std::nullopt;
    }
    return released.path;
}

std::string ApplicationVersion() {
#ifndef KORUVAN_VERSION_MAJOR
    return "1.0.3";  // a build that carries no version
#else
    char text[64];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", KORUVAN_VERSION_MAJOR, KORUVAN_VERSION_MINOR,
                  KORUVAN_VERSION_PATCH, KORUVAN_VERSION_TWEAK);
    return text;
#endif
}

TelemetryStartTexts TelemetryTexts() {
    return TelemetryStartTexts{"78", ApplicationVersion(), "v2.2.1.047", "1"};
}

}  // namespace koruvan::app
