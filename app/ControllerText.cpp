#include "app/ControllerText.h"

#include <cstdio>
#include <cstring>
#include <limits>

namespace koruvan::app {
namespace {

template <typename... Args>
std::string Printf(const char* format, Args... args) {
    char buffer[64];
    const int n = std::snprintf(buffer, sizeof buffer, format, args...);
    return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::string Hundredths(std::uint32_t value, const char* trailer) {
    return Printf("%u.%02u%%", value / 100, value % 100) + trailer;
}

constexpr std::uint64_t kKiB = 1024;
constexpr std::uint64_t kMiB = kKiB * 1024;
constexpr std::uint64_t kGiB = kMiB * 1024;
constexpr std::uint64_t kTiB = kGiB * 1024;

// Texts of the file list (trailing blanks included).
constexpr const char* kWaitingForCheck = "待验证    ";
constexpr const char* kChecking = "验证中：";
constexpr const char* kCheckPassed = "√ 验证通过  ";
constexpr const char* kRepairing = "修复中：";
constexpr const char* kRepairPreparing = "准备修复.. ";
constexpr const char* kDownloaded = "√ 下载完成  ";
constexpr const char* kPreparingDownload = "准备下载    ";
constexpr const char* kNotStarted = "未开始    ";

std::string DoneFileStatus(const FileStatusView& v) {
    if (!v.inCheck &&
        (v.state == ControllerState::Md5Checking || v.state == ControllerState::CheckRecover)) {
        return kDownloaded;
    }
    switch (v.state) {
        case ControllerState::Md5Checking:
            if (v.index > v.verifyIndex) {
                return kWaitingForCheck;
            }
            if (v.index == v.verifyIndex) {
                return kChecking + Hundredths(v.verifyProgress, "  ");
            }
            return kCheckPassed;
        case ControllerState::CheckRecover:
            if (v.index > v.verifyIndex) {
                return kWaitingForCheck;
            }
            if (v.index == v.verifyIndex) {
                return v.repairProgress != 0 ? kRepairing + Hundredths(v.repairProgress, "  ")
                                             : kRepairPreparing;
            }
            return kCheckPassed;
        case ControllerState::CheckFinished:
            return kCheckPassed;
        default:
            return kDownloaded;
    }
}

}  // namespace

std::string FormatSize(std::uint64_t v) {
    if (v == 0) {
        return {};
    }
    const double d = static_cast<double>(v);
    if (v >= kTiB) {
        return Printf("%0.1f TB", d / static_cast<double>(kTiB));
    }
    if (v >= kGiB) {
        return Printf("%0.1f GB", d / static_cast<double>(kGiB));
    }
    if (v >= kMiB) {
        return Printf("%0.1f MB", d / static_cast<double>(kMiB));
    }
    if (v >= kKiB) {
        return Printf("%0.1f KB", d / static_cast<double>(kKiB));
    }
    return Printf("%u B", static_cast<unsigned>(v));
}

std::string FormatSpeed(std::uint32_t v) {
    const double d = static_cast<double>(v);
    if (v >= 0xCCCCCCCCu) {
        return "未知";
    }
    if (v >= kGiB) {
        return Printf("%0.1f GB/s", d / static_cast<double>(kGiB));
    }
    if (v >= kMiB) {
        return Printf("%0.1f MB/s", d / static_cast<double>(kMiB));
    }
    if (v < kKiB) {
        return Printf("%u B/s", v);
    }
    return Printf("%0.1f KB/s", d / static_cast<double>(kKiB));
}

std::string FormatPercent(std::uint32_t p) {
    if (p == 0) {
        return "0%";
    }
    if (p % 100 != 0) {
        return Printf("%u.%02u%%", p / 100, p % 100);
    }
    return Printf("%u%%", p / 100);
}

std::string FileStatusText(const FileStatusView& v) {
    if (v.done) {
        return DoneFileStatus(v);
    }
    if (v.queried && v.progress >= 10000) {
        return kDownloaded;
    }
    if (v.queried && v.progress > 0) {
        const auto p = static_cast<std::uint32_t>(v.progress);
        return Hundredths(p, "    ");
    }
    return v.state == ControllerState::Downloading ? kPreparingDownload : kNotStarted;
}

std::string_view LaunchFailureReason(int code) noexcept {
    switch (code) {
        case 2:
            return "The specified file was not found.";
        case 3:
            return "The specified path was not found.";
        case 5:
            return "The operating system denied access to the specified file.";
        case 8:
            return "There was not enough memory to complete the operation.";
        case 11:
            return "The .exe file is invalid (non-Win32 .exe or error in .exe image).";
        case 26:
            return "A sharing violation occurred.";
        case 27:
            return "The file name association is incomplete or invalid.";
        case 28:
            return "The DDE transaction could not be completed because the request timed out.";
        case 29:
            return "The DDE transaction failed.";
        case 30:
            return "The DDE transaction could not be completed because other DDE transactions "
                   "were being processed.";
        case 31:
            return "There is no application associated with the given file name extension. "
                   "This error will also be returned if you attempt to print a file that is "
                   "not printable.";
        case 32:
            return "The specified DLL was not found.";
        default:
            return "Unknown open failed";
    }
}

int CopyText(std::string_view text, char* buffer, std::size_t size) noexcept {
    if (text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return 0;
    }
    const int length = static_cast<int>(text.size());
    if (buffer == nullptr) {
        return length;
    }
    if (size <= text.size()) {
        return 0;
    }
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    return length;
}

}  // namespace koruvan::app
