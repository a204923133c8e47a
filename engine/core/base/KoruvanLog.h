// The process-wide log. Callers hand it a finished line with a category and a level; the
// log stamps the time of day, echoes the line to the debug output and appends it to one of
// eleven files chosen by the category. Files are opened and closed per line, under one
// critical section, so lines from different threads never interleave.
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <string>
#include <string_view>

#include "engine/core/base/LockGuard.h"

namespace koruvan::engine {

class CKoruvanLog {
  public:
    virtual void SetLevels(int fileLevel, int debugLevel) = 0;
    virtual void SetLogBasePath(const char* base) = 0;
    virtual void WriteLine(const char* text, int category, int level) = 0;
    virtual void Trace(const char* format, ...) = 0;

  protected:
    ~CKoruvanLog() = default;  // owned and deleted only as CKoruvanLogApi
};

class CKoruvanLogApi final : public CKoruvanLog {
  public:
    static constexpr int kLevelOff = 39;
    static constexpr std::size_t kMaxLine = 4096;
    static constexpr std::size_t kFileCount = 11;

    // Defaults: only category 38 reaches a file, every line of level 2 or more is echoed.
    CKoruvanLogApi() { SetLevels(38, 2); }
    ~CKoruvanLogApi() = default;

    void SetLevels(int fileLevel, int debugLevel) override;
    void SetLogBasePath(const char* base) override;
    void WriteLine(const char* text, int category, int level) override;
    void Trace(const char* format, ...) override __attribute__((format(printf, 2, 3)));

    // The file a category's lines go to (base path + suffix).
    std::string FileFor(int category) const;
    // Replaces the debug echo (standard error under KORUVAN_DEBUG); tests record it.
    void SetDebugEcho(std::function<void(std::string_view)> echo);

  private:
    static std::size_t FileIndex(int category) noexcept;

    std::atomic<int> fileLevel_{38};
    std::atomic<int> debugLevel_{2};
    mutable CriticalSection section_;
    std::array<std::string, kFileCount> paths_;   // guarded by section_
    std::function<void(std::string_view)> echo_;  // guarded by section_
};

// Creates the process log when none exists; returns it.
CKoruvanLog* CreateEngineLog();
// The process log, or null before CreateEngineLog / after CloseEngineLog.
CKoruvanLogApi* EngineLog() noexcept;
// Writes a line when the log exists; drops it silently otherwise.
void WriteLog(const char* text, int category, int level) noexcept;
void WriteLog(const std::string& text, int category, int level) noexcept;
// Sets the base path of the eleven files when the log exists.
void SetLogBasePath(const char* base) noexcept;
// Runs the close hook (the telemetry upload thread is stopped there), then deletes the log.
void CloseEngineLog() noexcept;
// Installs the action CloseEngineLog runs before the log goes away (null removes it).
void SetLogCloseHook(std::function<void()> hook);

}  // namespace koruvan::engine
