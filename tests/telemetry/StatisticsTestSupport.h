// Helpers for the tests of the statistics component and the upload: the configuration file,
// a component on the made-up machine, and the decoding of a recorded POST body.
#pragma once

#include <string>
#include <vector>

#include "FakeSystem.h"
#include "support/TempDir.h"
#include "telemetry/CDataStatisticsImp.h"

namespace koruvan::test {

// A configuration whose batch section names `batchUrls` (SubmitUrl, SubmitUrl1, …) and
// whose single-event section names `singleUrl`.
inline std::string StatisticsConfig(const std::vector<std::string>& batchUrls,
                                    const std::string& singleUrl = "",
                                    const std::string& submitKeyWords = "MachId;Mac;OS") {
    std::string text = "[SubmitEventDownload]\nSubmitUrl=" + singleUrl +
                       "\nInputDataKeyWord=DVersion;GameID;GVersion;AppVersion\n"
                       "SubmitDataKeyWord=" +
                       submitKeyWords + "\n\n[SubmitEventDownloadSeveral]\n";
    for (std::size_t i = 0; i < batchUrls.size(); ++i) {
        text +=
            "SubmitUrl" + (i == 0 ? std::string() : std::to_string(i)) + "=" + batchUrls[i] + "\n";
    }
    return text + "InputDataKeyWord=DVersion;GameID;GVersion;AppVersion\n";
}

// The form body decoded: "data=" dropped, "_" back to a blank, "%XX" back to its byte.
inline std::string DecodeForm(const std::string& body) {
    std::string out;
    const std::string text = body.rfind("data=", 0) == 0 ? body.substr(5) : body;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '_') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// A component on the made-up machine with a fixed Sessionid and a configuration file.
class StatisticsFixture {
  public:
    explicit StatisticsFixture(std::chrono::milliseconds postTimeout = std::chrono::seconds(6))
        : statistics(PreparedSources(), postTimeout) {
        statistics.SetSessionId("0000BEEF");
    }

    void Configure(const std::string& configText) {
        WriteFile(ConfigPath(), configText);
        statistics.SetConfigPath(ConfigPath().c_str());
    }
    [[nodiscard]] std::string ConfigPath() const { return dir_.File("dataupload.kvconf"); }

  private:
    telemetry::SystemSources PreparedSources() {
        system_.WriteIdentity();
        return system_.Sources();
    }

    TempDir dir_;
    FakeSystem system_;

  public:
    telemetry::CDataStatisticsImp statistics;
};

}  // namespace koruvan::test
