#include "engine/core/base/KoruvanLog.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <shared_mutex>

#include "platform/DebugOutput.h"
#include "platform/LocalTime.h"

namespace koruvan::engine {
namespace {

struct CategoryFile {
    int category;
    const char* suffix;
};

// Categories with a file of their own; every other category writes to ".log" (last slot).
constexpr std::array<CategoryFile, CKoruvanLogApi::kFileCount - 1> kCategoryFiles{{
    {4, ".req.log"},
    {9, ".checkpeer.log"},
    {18, ".peerprefer.log"},
    {25, ".httptrace.log"},
    {28, ".dataupload.log"},
    {29, ".written.log"},
    {30, ".sha1check.log"},
    {31, ".peerinfo.log"},
    {37, ".checktask.log"},
    {38, ".dump.log"},
}};
constexpr const char* kDefaultSuffix = ".log";
constexpr std::size_t kMaxPath = 4095;

// The log object and the lock that keeps it alive while a line is being written.
std::shared_mutex g_logLock;
CKoruvanLogApi* g_log = nullptr;  // guarded by g_logLock
std::mutex g_hookLock;
std::function<void()> g_closeHook;  // guarded by g_hookLock

}  // namespace

void CKoruvanLogApi::SetLevels(int fileLevel, int debugLevel) {
    fileLevel_.store(fileLevel, std::memory_order_relaxed);
    debugLevel_.store(debugLevel, std::memory_order_relaxed);
}

void CKoruvanLogApi::SetLogBasePath(const char* base) {
    const std::string root = base != nullptr ? base : "";
    CriticalSectionGuard guard(&section_, true);
    for (std::size_t i = 0; i < kFileCount; ++i) {
        const char* suffix = i < kCategoryFiles.size() ? kCategoryFiles[i].suffix : kDefaultSuffix;
        std::string path = root + suffix;
        paths_[i] = path.size() > kMaxPath ? std::string() : std::move(path);
    }
}

std::size_t CKoruvanLogApi::FileIndex(int category) noexcept {
    for (std::size_t i = 0; i < kCategoryFiles.size(); ++i) {
        if (kCategoryFiles[i].category == category) {
            return i;
        }
    }
    return kFileCount - 1;
}

std::string CKoruvanLogApi::FileFor(int category) const {
    CriticalSectionGuard guard(&section_, true);
    return paths_[FileIndex(category)];
}

void CKoruvanLogApi::SetDebugEcho(std::function<void(std::string_view)> echo) {
    CriticalSectionGuard guard(&section_, true);
    echo_ = std::move(echo);
}

void CKoruvanLogApi::WriteLine(const char* text, int category, int level) {
    const int fileLevel = fileLevel_.load(std::memory_order_relaxed);
    const int debugLevel = debugLevel_.load(std::memory_order_relaxed);
    if (fileLevel == kLevelOff && debugLevel == kLevelOff) {
        return;
    }
    if (level < debugLevel && category < fileLevel) {
        return;
    }
    CriticalSectionGuard guard(&section_, true);
    const std::string stamp = platform::FormatLocalTimeNow("%X");
    // "[time] [text]\n" within 4096 bytes with its terminator: the text is cut, never the
    // closing bracket and line feed, so every line stays whole.
    std::string_view body = text != nullptr ? text : "";
    const std::size_t frame = stamp.size() + 6;  // "[", "] [", "]\n"
    if (frame + body.size() > kMaxLine - 1) {
        body = body.substr(0, kMaxLine - 1 - frame);
    }
    std::string line;
    line.reserve(frame + body.size());
    line.append("[").append(stamp).append("] [").append(body).append("]\n");

    if (level >= debugLevel) {
        if (echo_) {
            echo_(line);
        } else {
            platform::DebugOutput(line);
        }
    }
    if (category >= fileLevel && debugLevel != kLevelOff) {
        const std::string& path = paths_[FileIndex(category)];
        if (!path.empty()) {
            if (std::FILE* file = std::fopen(path.c_str(), "a+")) {
                std::fputs(line.c_str(), file);
                std::fclose(file);
            }
        }
    }
}

void CKoruvanLogApi::Trace(const char* format, ...) {
    char message[kMaxLine] = {};
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        std::vsnprintf(message, sizeof message, format, args);
        va_end(args);
    }
    message[kMaxLine - 1] = '\0';
    CriticalSectionGuard guard(&section_, true);
    std::string line =
        "[" + platform::FormatLocalTimeNow("%Y-%m-%d %X") + "] [" + message + "]\r\n";
    if (echo_) {
        echo_(line);
    } else {
        platform::DebugOutput(line);
    }
}

CKoruvanLog* CreateEngineLog() {
    std::unique_lock<std::shared_mutex> lock(g_logLock);
    if (g_log == nullptr) {
        g_log = new CKoruvanLogApi;
    }
    return g_log;
}

CKoruvanLogApi* EngineLog() noexcept {
    std::shared_lock<std::shared_mutex> lock(g_logLock);
    return g_log;
}

void WriteLog(const char* text, int category, int level) noexcept {
    try {
        std::shared_lock<std::shared_mutex> lock(g_logLock);
        if (g_log != nullptr) {
            g_log->WriteLine(text, category, level);
        }
    } catch (...) {
        // Logging never takes the caller down.
    }
}

void WriteLog(const std::string& text, int category, int level) noexcept {
    WriteLog(text.c_str(), category, level);
}

void SetLogBasePath(const char* base) noexcept {
    try {
        std::shared_lock<std::shared_mutex> lock(g_logLock);
        if (g_log != nullptr) {
            g_log->SetLogBasePath(base);
        }
    } catch (...) {
    }
}

void SetLogCloseHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(g_hookLock);
    g_closeHook = std::move(hook);
}

void CloseEngineLog() noexcept {
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lock(g_hookLock);
        hook = std::move(g_closeHook);
        g_closeHook = nullptr;
    }
    if (hook) {
        try {
            hook();
        } catch (...) {
        }
    }
    std::unique_lock<std::shared_mutex> lock(g_logLock);
    delete g_log;
    g_log = nullptr;
}

}  // namespace koruvan::engine
