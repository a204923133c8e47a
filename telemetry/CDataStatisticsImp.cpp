#include "telemetry/CDataStatisticsImp.h"

#include <cstdio>
#include <exception>

#include "engine/core/base/KoruvanLog.h"
#include "platform/CrashDump.h"
#include "platform/Random.h"
#include "telemetry/BatchText.h"
#include "telemetry/UploadConfig.h"

namespace koruvan::telemetry {
namespace {

constexpr int kLogCategory = 28;

std::string Text(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

// UTF-16 → UTF-8; unpaired surrogates become U+FFFD.
std::string Text(const char16_t* text) {
    std::string out;
    if (text == nullptr) {
        return out;
    }
    for (const char16_t* p = text; *p != 0; ++p) {
        char32_t c = *p;
        if (c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00);
            ++p;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// Runs one operation of slots 0..12: the crash handler first, every exception caught.
template <typename Operation>
int Guarded(Operation operation) noexcept {
    (void)platform::InstallCrashHandler();
    try {
        return operation();
    } catch (...) {
        return kStatException;
    }
}

void LogResult(const char* what, std::size_t events, int result) {
    char line[160];
    std::snprintf(line, sizeof line, "%s] [Events : (%zu)] [Result : (%d)", what, events, result);
    engine::WriteLog(line, kLogCategory, kLogCategory);
}

}  // namespace

struct CDataStatisticsImp::Identity {
    AdapterLists lists;
    std::string machineId;
    std::string osCode;
};

CDataStatisticsImp::CDataStatisticsImp(SystemSources sources, std::chrono::milliseconds postTimeout)
    : inventory_(std::move(sources)), poster_(postTimeout) {
    char id[9];
    std::snprintf(id, sizeof id, "%08X", platform::RandomUint32());
    sessionId_ = id;
}

// --- configuration ----------------------------------------------------------------------

void CDataStatisticsImp::SetConfigPath(const char* path) {
    (void)Guarded([&] {
        std::lock_guard<std::mutex> guard(lock_);
        configPath_ = Text(path);
        configured_.store(true, std::memory_order_release);
        return kStatOk;
    });
}

void CDataStatisticsImp::SetConfigPathW(const char16_t* path) {
    (void)Guarded([&] {
        SetConfigPath(Text(path).c_str());
        return kStatOk;
    });
}

void CDataStatisticsImp::SetSessionId(const char* id) {
    (void)Guarded([&] {
        std::lock_guard<std::mutex> guard(lock_);
        sessionId_ = Text(id);
        return kStatOk;
    });
}

void CDataStatisticsImp::SetSessionIdW(const char16_t* id) {
    (void)Guarded([&] {
        SetSessionId(Text(id).c_str());
        return kStatOk;
    });
}

bool CDataStatisticsImp::Configured() const {
    return configured_.load(std::memory_order_acquire);
}

std::string CDataStatisticsImp::ConfigPathLocked() const {
    return configPath_.empty() ? std::string(kDefaultConfigFile) : configPath_;
}

// --- identity ---------------------------------------------------------------------------

CDataStatisticsImp::Identity CDataStatisticsImp::ReadIdentityLocked() {
    return Identity{inventory_.CollectMacAndIpLists(), inventory_.ComputeMachineId(),
                    inventory_.ComputeOsCode()};
}

Json::Value CDataStatisticsImp::IdentityObjectLocked(const Identity& identity, int flags) {
    Json::Value object(Json::objectValue);
    inventory_.AddSections(object, flags);
    object["Mac"] = identity.lists.macs;
    object["OS"] = identity.osCode;
    object["MachId"] = identity.machineId;
    object["Sessionid"] = sessionId_;
    object["Sequence"] = Json::UInt64(sequence_);
    return object;
}

int CDataStatisticsImp::GetMachineIdText(char* buffer, std::size_t capacity) {
    try {
        std::lock_guard<std::mutex> guard(lock_);
        return CopyMachineIdText(inventory_.ComputeMachineId(), buffer, capacity);
    } catch (...) {
        return 0;
    }
}

int CDataStatisticsImp::GetMachineIdTextW(char16_t* buffer, std::size_t capacity) {
    try {
        std::lock_guard<std::mutex> guard(lock_);
        return CopyMachineIdText(inventory_.ComputeMachineId(), buffer, capacity);
    } catch (...) {
        return 0;
    }
}

// --- the batch --------------------------------------------------------------------------

int CDataStatisticsImp::AddEvent(const char* code, const char* body, int flags) {
    return Guarded([&] {
        std::lock_guard<std::mutex> guard(lock_);
        return AddEventLocked(Text(code), Text(body), flags);
    });
}

int CDataStatisticsImp::AddEventW(const char16_t* code, const char16_t* body, int flags) {
    return Guarded([&] { return AddEvent(Text(code).c_str(), Text(body).c_str(), flags); });
}

int CDataStatisticsImp::AddEventLocked(const std::string& code, const std::string& body,
                                       int flags) {
    ++batchCount_;  // every call counts, refused ones too
    if (code.empty() || body.empty()) {
        return kStatNothing;
    }
    if (batchCount_ > kMaxBatchEvents) {
        return kStatBatchFull;
    }
    const auto settings = ReadSubmitSettings(ConfigPathLocked(), kSingleEventSection);
    if (!settings) {
        return kStatConfigMissing;
    }
    if (!ContainsAll(body, settings->inputKeyWords)) {
        return kStatInputKeyMissing;
    }
    codes_.push_back(code);
    bodies_.push_back(body);
    flags_.push_back(flags);
    return kStatOk;
}

Json::Value CDataStatisticsImp::BuildBatchLocked(const std::vector<std::string>& submitKeyWords) {
    const Identity identity = ReadIdentityLocked();
    Json::Value batch(Json::arrayValue);
    for (std::size_t i = 0; i < codes_.size(); ++i) {
        const std::string info = InfoText(IdentityObjectLocked(identity, flags_[i]), bodies_[i]);
        if (!ContainsAll(info, submitKeyWords)) {
            batch.append(Json::Value());  // this event is lost; the others go out
        } else {
            Json::Value element(Json::objectValue);
            element["code"] = codes_[i];
            element["info"] = info;
            batch.append(element);
        }
        ++sequence_;
    }
    return batch;
}

int CDataStatisticsImp::SubmitEventBatch() {
    return Guarded([&] {
        std::lock_guard<std::mutex> guard(lock_);
        if (batchCount_ == 0 || codes_.empty() || bodies_.empty() || flags_.empty()) {
            return kStatNothing;
        }
        const auto settings = ReadSubmitSettings(ConfigPathLocked(), kBatchSection);
        std::string body;
        const std::uint64_t sequenceBefore = sequence_;
        try {
            body = FormBody(CompactJson(BuildBatchLocked(settings ? settings->submitKeyWords
                                                                  : std::vector<std::string>())));
        } catch (...) {
            sequence_ = sequenceBefore;  // the events stay for the next call
            LogResult("Submit Event Batch", codes_.size(), kStatBatchUnbuilt);
            return kStatBatchUnbuilt;
        }
        const std::size_t events = codes_.size();
        const int result = settings ? PostToFirstAccepting(settings->urls, body) : kStatNothing;
        batchCount_ = 0;
        codes_.clear();
        bodies_.clear();
        flags_.clear();
        LogResult("Submit Event Batch", events, result);
        return result;
    });
}

int CDataStatisticsImp::PostToFirstAccepting(const std::vector<std::string>& urls,
                                             const std::string& body) {
    for (const std::string& url : urls) {
        const std::optional<std::string> answer = poster_.Post(url, body);
        if (answer && answer->find(kAcceptedMarker) != std::string::npos) {
            return kStatOk;
        }
    }
    return kStatNothing;
}

// --- single events and the device information -------------------------------------------

int CDataStatisticsImp::SubmitSingleLocked(const std::string& code, const std::string& body,
                                           int flags) {
    if (code.empty() || body.empty()) {
        return kStatNothing;
    }
    const auto settings = ReadSubmitSettings(ConfigPathLocked(), kSingleEventSection);
    if (!settings) {
        return kStatConfigMissing;
    }
    if (!ContainsAll(body, settings->inputKeyWords)) {
        return kStatInputKeyMissing;
    }
    const std::string info = InfoText(IdentityObjectLocked(ReadIdentityLocked(), flags), body);
    ++sequence_;
    if (!ContainsAll(info, settings->submitKeyWords)) {
        return kStatSubmitKeyMissing;
    }
    Json::Value element(Json::objectValue);
    element["code"] = code;
    element["info"] = info;
    const int result = PostToFirstAccepting(settings->urls, FormBody(CompactJson(element)));
    LogResult("Submit Event", 1, result);
    return result;
}

int CDataStatisticsImp::SubmitUpdateEvent(const char* code, const char* body, int flags) {
    return Guarded([&] {
        std::lock_guard<std::mutex> guard(lock_);
        return SubmitSingleLocked(Text(code), Text(body), flags);
    });
}

int CDataStatisticsImp::SubmitUpdateEventW(const char16_t* code, const char16_t* body, int flags) {
    return Guarded(
        [&] { return SubmitUpdateEvent(Text(code).c_str(), Text(body).c_str(), flags); });
}

int CDataStatisticsImp::SubmitDownloadEvent(const char* code, const char* body, int flags) {
    return SubmitUpdateEvent(code, body, flags);
}

int CDataStatisticsImp::SubmitDownloadEventW(const char16_t* code, const char16_t* body,
                                             int flags) {
    return SubmitUpdateEventW(code, body, flags);
}

// The device information: the identity fields, every hardware section ("pt_hardware") and
// the operating-system code ("pt_os"); "pt_software" stays empty (this platform keeps no
// list of installed programs to report).
int CDataStatisticsImp::SubmitDeviceInfoLocked(const std::string& code) {
    if (code.empty()) {
        return kStatNothing;
    }
    const auto settings = ReadSubmitSettings(ConfigPathLocked(), kSingleEventSection);
    if (!settings) {
        return kStatConfigMissing;
    }
    const Identity identity = ReadIdentityLocked();
    Json::Value document(Json::objectValue);
    Json::Value hardware(Json::objectValue);
    inventory_.AddSections(hardware, kWantCpu | kWantMemory | kWantVideoCard);
    document["pt_hardware"] = hardware;
    document["pt_software"] = Json::Value(Json::objectValue);
    document["pt_os"]["OS"] = identity.osCode;
    document["MachId"] = identity.machineId;
    document["Mac"] = identity.lists.macs;
    document["Sessionid"] = sessionId_;
    Json::Value element(Json::objectValue);
    element["code"] = code;
    element["info"] = CompactJson(document);
    const int result = PostToFirstAccepting(settings->urls, FormBody(CompactJson(element)));
    LogResult("Submit Device Information", 1, result);
    return result;
}

int CDataStatisticsImp::SubmitDeviceInfo(const char* code) {
    return Guarded([&] {
        std::lock_guard<std::mutex> guard(lock_);
        return SubmitDeviceInfoLocked(Text(code));
    });
}

int CDataStatisticsImp::SubmitDeviceInfoW(const char16_t* code) {
    return Guarded([&] { return SubmitDeviceInfo(Text(code).c_str()); });
}

// --- the process's component -------------------------------------------------------------

IDataStatisticsUser* CreateDataStatistics(std::string_view classId) noexcept {
    if (classId != kDataStatisticsClassId) {
        return nullptr;
    }
    try {
        static auto* component = new CDataStatisticsImp;  // lives until the process ends
        return component;
    } catch (...) {
        return nullptr;
    }
}

}  // namespace koruvan::telemetry
