// Crash reports. When the process dies of SIGSEGV, SIGBUS, SIGILL, SIGFPE or SIGABRT, a
// handler running on an alternate stack writes a text report into the current folder,
// named "%04d-%02d-%02d-%02d-%02d-%02d-%02d-%02d.dmp" after the local year, month, day,
// hour, minute, second, millisecond (two digits at least, three at most) and a number
// 0..99 that keeps two crashes of the same millisecond apart in most cases (a collision
// overwrites the older file). The report holds the signal, its code, the fault address, the
// registers, a backtrace and the memory map. Then the signal's default action ends the
// process, as it would have without the handler.
//
// The handler only makes async-signal-safe calls: no allocation, no stdio, no locale or
// time-zone lookups. Everything it needs is prepared at installation: the time-zone offset
// (so a report of a crash after a daylight-saving change, before the next installation,
// names the old offset's time), the random seed and the unwinder. A report that cannot be
// written is skipped silently; the process ends either way. When two threads crash at once,
// the first writes the report and the second waits for the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace koruvan::platform {

// Installs or re-installs the handler for the five signals, replacing whatever handler was
// there. Each call also refreshes the time-zone offset and gives the calling thread an
// alternate stack when it has none (other threads run the handler on their own stack,
// which works for every crash but a stack overflow). Cheap enough to call at the start of
// every telemetry operation. False when a handler could not be installed.
bool InstallCrashHandler() noexcept;

// Local time of a crash.
struct DumpTime {
    int year = 0;
    int month = 0;  // 1..12
    int day = 0;    // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;  // 0..999
};

// Broken-down local time of `unixMilliseconds` at a fixed offset east of UTC, computed
// without the C library (the handler's own calendar).
[[nodiscard]] DumpTime DumpTimeOf(std::int64_t unixMilliseconds,
                                  std::int64_t utcOffsetSeconds) noexcept;

// Writes the report's file name for `time` and `random` (0..99) with its terminator into
// `out`; returns the length, or 0 when `size` is too small. Allocation-free.
std::size_t FormatDumpFileName(char* out, std::size_t size, const DumpTime& time,
                               int random) noexcept;
[[nodiscard]] std::string DumpFileName(const DumpTime& time, int random);

// Test-only crashes, each by the real fault where the machine allows it.
enum class TestCrash {
    Segv,           // a write to address 0x10
    Bus,            // a read from a mapped page of a file cut short
    Ill,            // an undefined instruction
    Fpe,            // an integer division by zero
    Abort,          // abort()
    StackOverflow,  // unbounded recursion
};

[[noreturn]] void CrashForTest(TestCrash kind);

// Test-only: crashes as CrashForTest when the environment variable KORUVAN_TEST_CRASH is
// "segv", "bus", "ill", "fpe", "abort" or "stack"; returns otherwise.
void CrashIfRequested();

}  // namespace koruvan::platform
