#include "telemetry/UploadConfig.h"

#include "platform/IniFile.h"
#include "platform/Paths.h"

namespace koruvan::telemetry {

std::vector<std::string> SplitKeyWords(std::string_view list) {
    std::vector<std::string> words;
    while (!list.empty()) {
        const std::size_t end = list.find(';');
        const std::string_view word = list.substr(0, end);
        if (!word.empty()) {
            words.emplace_back(word);
        }
        list = end == std::string_view::npos ? std::string_view() : list.substr(end + 1);
    }
    return words;
}

std::optional<SubmitSettings> ReadSubmitSettings(const std::string& configPath,
                                                 std::string_view urlSection) {
    if (!platform::FileExists(configPath)) {
        return std::nullopt;
    }
    const std::optional<platform::IniDocument> document = platform::IniFile(configPath).Load();
    if (!document) {
        return std::nullopt;
    }
    SubmitSettings settings;
    settings.inputKeyWords =
        SplitKeyWords(document->GetString(kSingleEventSection, "InputDataKeyWord", ""));
    settings.submitKeyWords =
        SplitKeyWords(document->GetString(kSingleEventSection, "SubmitDataKeyWord", ""));
    for (int n = 0;; ++n) {
        const std::string key = n == 0 ? "SubmitUrl" : "SubmitUrl" + std::to_string(n);
        std::string url = document->GetString(urlSection, key, "");
        if (url.empty()) {
            break;
        }
        settings.urls.push_back(std::move(url));
    }
    return settings;
}

}  // namespace koruvan::telemetry
