// Crash reports: every crash signal leaves one report named after the local time in the
// current folder and still ends the process by that signal. Each crash happens in a child
// process.
#include "platform/CrashDump.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <functional>
#include <ostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "EnvGuard.h"
#include "helpers/HelperProcess.h"
#include "support/TempDir.h"

namespace koruvan::platform {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;

const std::regex kDumpName(R"(\d{4}-\d{2}-\d{2}-\d{2}-\d{2}-\d{2}-\d{2,3}-\d{2}\.dmp)");

// Runs `body` in a child process whose current folder is `folder` and returns how the child
// ended. The child never dumps core and never returns into the test runner.
int InChild(const std::string& folder, const std::function<void()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        const rlimit noCore{0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        if (chdir(folder.c_str()) != 0) {
            _exit(90);
        }
        body();
        _exit(91);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

bool KilledBy(int status, int sig) {
    return WIFSIGNALED(status) && WTERMSIG(status) == sig;
}

std::vector<fs::path> Dumps(const std::string& folder) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() == ".dmp") {
            found.push_back(entry.path());
        }
    }
    return found;
}

struct CrashCase {
    TestCrash kind;
    int signal;
    const char* name;   // as the report names the signal
    const char* label;  // the test's name
};

void PrintTo(const CrashCase& c, std::ostream* out) {
    *out << c.label;
}

class CrashKinds : public ::testing::TestWithParam<CrashCase> {};

TEST_P(CrashKinds, LeaveOneReportAndEndByTheirSignal) {
    const CrashCase c = GetParam();
    TempDir dir;
    const int status = InChild(dir.Path(), [&] {
        InstallCrashHandler();
        CrashForTest(c.kind);
    });
    EXPECT_TRUE(KilledBy(status, c.signal)) << "status " << status;

    const auto dumps = Dumps(dir.Path());
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_TRUE(std::regex_match(dumps[0].filename().string(), kDumpName)) << dumps[0];
    const std::string report = ReadFile(dumps[0].string());
    EXPECT_NE(report.find("signal: " + std::to_string(c.signal) + " " + c.name + "\n"),
              std::string::npos);
    for (const char* part :
         {"fault address: 0x", "registers:\n", "backtrace:\n", "memory map:\n", "[stack]"}) {
        EXPECT_NE(report.find(part), std::string::npos) << part;
    }
}

INSTANTIATE_TEST_SUITE_P(
    AllSignals, CrashKinds,
    ::testing::Values(CrashCase{TestCrash::Segv, SIGSEGV, "SIGSEGV", "BadPointer"},
                      CrashCase{TestCrash::Bus, SIGBUS, "SIGBUS", "TruncatedMapping"},
                      CrashCase{TestCrash::Ill, SIGILL, "SIGILL", "IllegalInstruction"},
                      CrashCase{TestCrash::Fpe, SIGFPE, "SIGFPE", "DivisionByZero"},
                      CrashCase{TestCrash::Abort, SIGABRT, "SIGABRT", "Abort"},
                      // Reported only thanks to the alternate stack.
                      CrashCase{TestCrash::StackOverflow, SIGSEGV, "SIGSEGV", "StackOverflow"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(CrashReport, NamesTheFaultAddressAndTheFaultingInstruction) {
    TempDir dir;
    InChild(dir.Path(), [] {
        InstallCrashHandler();
        CrashForTest(TestCrash::Segv);
    });
    const auto dumps = Dumps(dir.Path());
    ASSERT_EQ(dumps.size(), 1u);
    const std::string report = ReadFile(dumps[0].string());
    EXPECT_NE(report.find("fault address: 0x0000000000000010\n"), std::string::npos);
#if defined(__x86_64__)
    EXPECT_NE(report.find("  rip 0x"), std::string::npos);
#endif
    // The backtrace reaches into this program.
    const auto from = report.find("backtrace:\n");
    const auto trace = report.substr(from, report.find("memory map:\n") - from);
    EXPECT_NE(trace.find(fs::read_symlink("/proc/self/exe").filename().string()),
              std::string::npos);
}

TEST(CrashReport, NameCarriesTheLocalTimeOfTheCrash) {
    test::EnvGuard env;
    env.Set("TZ", "XST-8");  // eight hours east of UTC, no daylight saving
    tzset();
    TempDir dir;
    const std::time_t before = std::time(nullptr);
    InChild(dir.Path(), [] {
        InstallCrashHandler();
        CrashForTest(TestCrash::Abort);
    });
    const std::time_t after = std::time(nullptr);
    env.Unset("TZ");
    tzset();

    const auto dumps = Dumps(dir.Path());
    ASSERT_EQ(dumps.size(), 1u);
    std::tm t{};
    ASSERT_NE(strptime(dumps[0].filename().c_str(), "%Y-%m-%d-%H-%M-%S", &t), nullptr);
    const std::time_t named = timegm(&t) - 8 * 3600;  // the name's wall time back to UTC
    EXPECT_GE(named, before - 1);
    EXPECT_LE(named, after + 1);
}

TEST(CrashHandler, CanBeInstalledAgainAfterBeingReplaced) {
    TempDir dir;
    const int status = InChild(dir.Path(), [] {
        InstallCrashHandler();
        InstallCrashHandler();
        std::signal(SIGSEGV, SIG_DFL);  // someone else took the signal over
        InstallCrashHandler();          // and a later operation installs it again
        CrashForTest(TestCrash::Segv);
    });
    EXPECT_TRUE(KilledBy(status, SIGSEGV));
    EXPECT_EQ(Dumps(dir.Path()).size(), 1u);

    // Without the second installation the replaced handler writes nothing: the report
    // really comes from the handler.
    TempDir plain;
    InChild(plain.Path(), [] {
        InstallCrashHandler();
        std::signal(SIGSEGV, SIG_DFL);
        CrashForTest(TestCrash::Segv);
    });
    EXPECT_TRUE(Dumps(plain.Path()).empty());
}

TEST(CrashHandler, TwoThreadsCrashingTogetherLeaveOneReport) {
    TempDir dir;
    const int status = InChild(dir.Path(), [] {
        InstallCrashHandler();
        std::atomic<int> ready{0};
        const auto crash = [&ready] {
            ready.fetch_add(1);
            while (ready.load() < 2) {
            }
            CrashForTest(TestCrash::Segv);
        };
        std::thread other(crash);
        crash();
    });
    EXPECT_TRUE(KilledBy(status, SIGSEGV));
    EXPECT_EQ(Dumps(dir.Path()).size(), 1u);
}

TEST(CrashHandler, ProcessStillEndsWhenNoReportCanBeWritten) {
    TempDir dir;
    const std::string gone = dir.File("gone");
    fs::create_directory(gone);
    const int status = InChild(gone, [&] {
        rmdir(gone.c_str());  // the current folder no longer exists
        InstallCrashHandler();
        CrashForTest(TestCrash::Segv);
    });
    EXPECT_TRUE(KilledBy(status, SIGSEGV));
}

TEST(CrashHandler, EnvironmentRequestCrashesTheProgramThatAsks) {
    TempDir dir;
    {
        test::EnvGuard env;
        env.Set("KORUVAN_TEST_CRASH", "abort");
        test::HelperProcess helper;
        ASSERT_TRUE(helper.Start({"crash"}, dir.Path()));
        const auto status = helper.Wait();
        ASSERT_TRUE(status.has_value());
        EXPECT_TRUE(KilledBy(*status, SIGABRT));
    }
    const auto dumps = Dumps(dir.Path());
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_GT(fs::file_size(dumps[0]), 0u);

    // Without the request nothing happens.
    TempDir quiet;
    test::HelperProcess helper;
    ASSERT_TRUE(helper.Start({"crash"}, quiet.Path()));
    EXPECT_EQ(helper.ReadLine(), "no crash");
    EXPECT_TRUE(Dumps(quiet.Path()).empty());
}

TEST(DumpTimeOf, MatchesTheCalendarAcrossLeapYearsAndOffsets) {
    const std::int64_t seconds[] = {0,          951782400,  951868799,  1709164800,
                                    1735689599, 1752237005, 4102444800, -86400};
    for (const std::int64_t offset : {0LL, 8LL * 3600, -5LL * 3600 - 1800}) {
        for (const std::int64_t s : seconds) {
            const std::time_t shifted = static_cast<std::time_t>(s + offset);
            std::tm expected{};
            ASSERT_NE(gmtime_r(&shifted, &expected), nullptr);
            const DumpTime t = DumpTimeOf(s * 1000 + 987, offset);
            EXPECT_EQ(t.year, expected.tm_year + 1900) << s << " " << offset;
            EXPECT_EQ(t.month, expected.tm_mon + 1) << s << " " << offset;
            EXPECT_EQ(t.day, expected.tm_mday) << s << " " << offset;
            EXPECT_EQ(t.hour, expected.tm_hour) << s << " " << offset;
            EXPECT_EQ(t.minute, expected.tm_min) << s << " " << offset;
            EXPECT_EQ(t.second, expected.tm_sec) << s << " " << offset;
            EXPECT_EQ(t.millisecond, 987);
        }
    }
}

TEST(DumpFileName, PadsEveryFieldAndLetsMillisecondsTakeThreeDigits) {
    DumpTime t{2025, 7, 11, 9, 5, 3, 7};
    EXPECT_EQ(DumpFileName(t, 4), "2025-07-11-09-05-03-07-04.dmp");
    t.millisecond = 123;
    EXPECT_EQ(DumpFileName(t, 99), "2025-07-11-09-05-03-123-99.dmp");

    char small[10];
    EXPECT_EQ(FormatDumpFileName(small, sizeof small, t, 0), 0u);
    char exact[31];
    EXPECT_EQ(FormatDumpFileName(exact, sizeof exact, t, 0), 30u);
    EXPECT_STREQ(exact, "2025-07-11-09-05-03-123-00.dmp");
}

}  // namespace
}  // namespace koruvan::platform
