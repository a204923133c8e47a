#include "app/CompletionRecord.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/File.h"
#include "platform/IniFile.h"
#include "platform/LocalTime.h"
#include "platform/Paths.h"

namespace koruvan::app {
namespace {

constexpr const char* kKeys[4] = {"KoruvanTask%dWriteTimeHigh", "KoruvanTask%dWriteTimeLow",
                                  "KoruvanTask%dFileSizeHigh", "KoruvanTask%dFileSizeLow"};

std::string Unsigned(unsigned long value) {
    char text[32];
    std::snprintf(text, sizeof text, "%lu", value);
    return text;
}

// Seconds east of UTC that local time had at `seconds` ("%z" is "+hhmm" or "-hhmm").
std::int64_t LocalOffsetAt(std::int64_t seconds) {
    const std::string z = platform::FormatLocalTime("%z", seconds);
    if (z.size() != 5 || (z[0] != '+' && z[0] != '-')) {
        return 0;
    }
    const std::int64_t hhmm = std::atoi(z.c_str() + 1);
    const std::int64_t offset = (hhmm / 100) * 3600 + (hhmm % 100) * 60;
    return z[0] == '-' ? -offset : offset;
}

// The last-write time as local file time, converted with the offset local time had at
// that moment, so that an unchanged file keeps its value across daylight saving changes.
std::optional<std::uint64_t> LocalWriteTime(const std::string& path) {
    const auto utc = platform::FileLastWriteTime(path);
    if (!utc) {
        return std::nullopt;
    }
    const auto seconds =
        static_cast<std::int64_t>((*utc - platform::kFileTimeUnixEpoch) / 10000000);
    const std::int64_t offset = LocalOffsetAt(seconds) * 10000000;
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(*utc) + offset);
}

}  // namespace

std::optional<std::array<std::string, 4>> CompletionValues(const std::string& path) {
    const auto time = LocalWriteTime(path);
    const auto size = platform::FileSize(path);
    if (!time || !size) {
        return std::nullopt;
    }
    return std::array<std::string, 4>{Unsigned(static_cast<unsigned long>(*time >> 32)),
                                      Unsigned(static_cast<unsigned long>(*time & 0xFFFFFFFFu)),
                                      Unsigned(static_cast<unsigned long>(*size >> 32)),
                                      Unsigned(static_cast<unsigned long>(*size & 0xFFFFFFFFu))};
}

std::string CompletionKey(int k, int index) {
    char key[64];
    std::snprintf(key, sizeof key, kKeys[k & 3], index);
    return key;
}

int WriteCompletionRecord(const std::string& taskIni, int index, const std::string& path) {
    const auto values = CompletionValues(path);
    if (!values || taskIni.empty()) {
        return 0;
    }
    platform::IniFile ini(taskIni);
    for (int k = 0; k < 4; ++k) {
        errno = 0;
        if (!ini.WriteString(kFinishInfoSection, CompletionKey(k, index),
                             (*values)[static_cast<std::size_t>(k)])) {
            return errno != 0 ? errno : EIO;
        }
    }
    return 0;
}

bool CompletionRecordMatches(const platform::IniDocument& doc, int index, const std::string& path) {
    const auto values = CompletionValues(path);
    if (!values) {
        return false;
    }
    for (int k = 0; k < 4; ++k) {
        if (doc.GetString(kFinishInfoSection, CompletionKey(k, index), "") !=
            (*values)[static_cast<std::size_t>(k)]) {
            return false;
        }
    }
    return true;
}

}  // namespace koruvan::app
