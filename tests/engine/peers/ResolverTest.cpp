// Name resolution: dotted addresses, the time limit and late resolver threads, the cache of
// names that do not resolve, the log lines and the DNS diagnostic report. Lookups are
// injected; only "localhost" and literal addresses reach the system resolver.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/base/KoruvanLog.h"
#include "engine/peers/DnsReport.h"
#include "engine/peers/Resolver.h"
#include "engine/peers/UsageEvents.h"
#include "support/EngineTestClock.h"
#include "support/TempDir.h"

namespace koruvan::engine {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t Ip(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    return HostToNet32(a << 24 | b << 16 | c << 8 | d);
}

// A lookup that holds its thread until opened, then answers; shared with the threads.
struct Gate {
    std::atomic<bool> open{false};
    std::atomic<int> calls{0};
};

HostLookup GatedLookup(std::shared_ptr<Gate> gate, std::vector<std::uint32_t> answer) {
    return [gate, answer](const std::string&, std::vector<std::uint32_t>& out) {
        ++gate->calls;
        while (!gate->open.load()) {
            std::this_thread::sleep_for(1ms);
        }
        out = answer;
        return 0;
    };
}

HostLookup FailingLookup(std::int32_t error, std::shared_ptr<std::atomic<int>> calls) {
    return [error, calls](const std::string&, std::vector<std::uint32_t>&) {
        ++*calls;
        return error;
    };
}

class Resolution : public ::testing::Test {
  protected:
    void SetUp() override {
        CreateEngineLog();
        EngineLog()->SetLevels(0, 2);  // every category to its file
        EngineLog()->SetLogBasePath(dir_.File("kv").c_str());
        EngineLog()->SetDebugEcho([this](std::string_view line) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.emplace_back(line);
        });
        SetUsageEventSink([this](const UsageEvent& e) {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back(e);
        });
        SetResolvConfPath(dir_.File("resolv.conf"));
        ClearUnresolvable();
        ClearDnsReportFlag();
    }
    void TearDown() override {
        SetHostLookup(nullptr);
        SetUsageEventSink(nullptr);
        SetResolvConfPath("");
        ClearUnresolvable();
        ClearDnsReportFlag();
        CloseEngineLog();
        // Late resolver threads must be gone before the next test changes the lookup.
        const auto end = std::chrono::steady_clock::now() + 5s;
        while (RunningLookupThreads() > 0 && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(1ms);
        }
        EXPECT_EQ(RunningLookupThreads(), 0);
    }

    std::vector<UsageEvent> Events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    bool Logged(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::any_of(lines_.begin(), lines_.end(), [&](const std::string& line) {
            return line.find("] [" + text + "]") != std::string::npos;
        });
    }

    test::TempDir dir_;
    std::mutex mutex_;
    std::vector<std::string> lines_;  // guarded by mutex_
    std::vector<UsageEvent> events_;  // guarded by mutex_
};

TEST(DottedAddress, PartsShiftFromTheTopByte) {
    EXPECT_EQ(ParseDotted("1.2.3.4"), 0x01020304u);
    EXPECT_EQ(ParseDotted("10.1.2"), 0x0A010200u) << "three parts leave the lowest byte 0";
    EXPECT_EQ(ParseDotted("127"), 0x7F000000u);
    EXPECT_EQ(ParseDotted("001.02.3.010"), 0x0102030Au) << "decimal parts, leading zeros too";
    EXPECT_EQ(ParseDotted("255.255.255.254"), 0xFFFFFFFEu);
    for (const char* bad : {"0.0.0.0", "0", "", "256.1.1.1", "1.2.3.4.5", "1..2.3", ".1.2.3",
                            "1.2.3.", "1.2.3.4 ", "1.2.3.a", "-1.2.3.4", "1.2.99999999999.4"}) {
        EXPECT_EQ(ParseDotted(bad), kNoAddress) << bad;
    }
    EXPECT_EQ(FormatDotted(Ip(192, 168, 0, 17)), "192.168.0.17");
}

TEST_F(Resolution, DottedHostsNeedNoLookup) {
    auto calls = std::make_shared<std::atomic<int>>(0);
    SetHostLookup(FailingLookup(kResolveHostNotFound, calls));
    std::vector<std::uint32_t> out;
    EXPECT_EQ(ResolveHost("10.1.2", out), 1);
    EXPECT_EQ(ResolveHost("", out), 0);
    EXPECT_EQ(ResolveHost(nullptr, out), 0);
    EXPECT_EQ(ResolveHost("0.0.0.0", out), 0);
    EXPECT_EQ(ResolveHost("300.1.1.1", out), 0);
    EXPECT_EQ(out, (std::vector<std::uint32_t>{Ip(10, 1, 2, 0)}));
    EXPECT_TRUE(Logged("无效 IP: 0.0.0.0"));
    EXPECT_TRUE(Logged("无效 IP: 300.1.1.1"));
    EXPECT_NE(test::ReadFile(dir_.File("kv.log")).find("无效 IP: 0.0.0.0"), std::string::npos)
        << "category 13 goes to the general file";
    EXPECT_EQ(ResolveSimple("1.2.3.4"), Ip(1, 2, 3, 4));
    EXPECT_EQ(*calls, 0);
    EXPECT_TRUE(Events().empty());
}

TEST_F(Resolution, LocalhostThroughTheSystemResolver) {
    std::vector<std::uint32_t> out;
    ASSERT_GE(ResolveHost("localhost", out), 1);
    EXPECT_EQ(out.front(), Ip(127, 0, 0, 1));
    EXPECT_EQ(ResolveSimple("localhost"), Ip(127, 0, 0, 1));
}

TEST_F(Resolution, OnlyValidAddressesAreKept) {
    SetHostLookup([](const std::string&, std::vector<std::uint32_t>& out) {
        out = {Ip(10, 0, 0, 1), 0, kNoAddress, Ip(10, 0, 0, 2)};
        return 0;
    });
    std::vector<std::uint32_t> out{Ip(1, 1, 1, 1)};
    EXPECT_EQ(ResolveHost("mirror.koruvan.example", out), 2);
    EXPECT_EQ(out, (std::vector<std::uint32_t>{Ip(1, 1, 1, 1), Ip(10, 0, 0, 1), Ip(10, 0, 0, 2)}))
        << "added to what the list held";
}

TEST_F(Resolution, UnknownNameIsCachedLoggedAndReportedOnce) {
    test::WriteFile(dir_.File("resolv.conf"),
                    "# generated\nsearch lan\nnameserver 127.0.0.53\nnameserver ::1\n");
    auto calls = std::make_shared<std::atomic<int>>(0);
    SetHostLookup(FailingLookup(kResolveHostNotFound, calls));
    std::vector<std::uint32_t> out;
    EXPECT_EQ(ResolveHost("gone.koruvan.example", out), -1);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(IsUnresolvable("gone.koruvan.example"));
    EXPECT_FALSE(IsUnresolvable("GONE.koruvan.example")) << "exact matches only";
    EXPECT_TRUE(Logged("Invalid Host: gone.koruvan.example"));
    EXPECT_NE(test::ReadFile(dir_.File("kv.written.log")).find("Invalid Host: gone"),
              std::string::npos)
        << "category 29";
    ASSERT_EQ(Events().size(), 1u);
    EXPECT_EQ(Events()[0].code, "11500106");
    EXPECT_EQ(Events()[0].text,
              "ErrCode : (11001) Host : (gone.koruvan.example) , DNS : (127.0.0.53), 备用 DNS : "
              "(::1)");

    // Known now: no second lookup (and no second wait) for the same name.
    EXPECT_EQ(ResolveHost("gone.koruvan.example", out), -1);
    EXPECT_EQ(ResolveSimple("gone.koruvan.example"), kNoAddress);
    EXPECT_EQ(*calls, 1);
    // Another failing name: the report was sent already.
    EXPECT_EQ(ResolveHost("other.koruvan.example", out), -1);
    EXPECT_EQ(Events().size(), 1u);
    EXPECT_TRUE(DnsReportFlag());

    // A success clears the flag; the next failure reports again.
    SetHostLookup([](const std::string&, std::vector<std::uint32_t>& o) {
        o = {Ip(10, 9, 8, 7)};
        return 0;
    });
    EXPECT_EQ(ResolveHost("ok.koruvan.example", out), 1);
    EXPECT_FALSE(DnsReportFlag());
    SetHostLookup(FailingLookup(kResolveNoData, calls));
    EXPECT_EQ(ResolveHost("nodata.koruvan.example", out), -1);
    EXPECT_TRUE(IsUnresolvable("nodata.koruvan.example"));
    EXPECT_EQ(Events().size(), 2u);
    ClearUnresolvable();
    EXPECT_FALSE(IsUnresolvable("gone.koruvan.example"));
}

TEST_F(Resolution, PassingFailuresAreNotCached) {
    auto calls = std::make_shared<std::atomic<int>>(0);
    SetHostLookup(FailingLookup(kResolveTryAgain, calls));
    std::vector<std::uint32_t> out;
    EXPECT_EQ(ResolveHost("flaky.koruvan.example", out), -1);
    EXPECT_FALSE(IsUnresolvable("flaky.koruvan.example"));
    ASSERT_EQ(Events().size(), 1u);
    EXPECT_EQ(Events()[0].text, "ErrCode : (11002) Host : (flaky.koruvan.example) , no DNS")
        << "no resolver configuration file";
    EXPECT_EQ(ResolveHost("flaky.koruvan.example", out), -1);
    EXPECT_EQ(*calls, 2);

    // The blocking lookup caches only "host not found".
    SetHostLookup(FailingLookup(kResolveNoData, calls));
    EXPECT_EQ(ResolveSimple("nodata.koruvan.example"), kNoAddress);
    EXPECT_FALSE(IsUnresolvable("nodata.koruvan.example"));
    SetHostLookup(FailingLookup(kResolveHostNotFound, calls));
    EXPECT_EQ(ResolveSimple("notfound.koruvan.example"), kNoAddress);
    EXPECT_TRUE(IsUnresolvable("notfound.koruvan.example"));
}

TEST_F(Resolution, LateResolverWritesNothingIntoTheCallersMemory) {
    auto gate = std::make_shared<Gate>();
    SetHostLookup(GatedLookup(gate, {Ip(10, 0, 0, 1), Ip(10, 0, 0, 2)}));
    auto addrs = std::make_unique<std::vector<std::uint8_t>>(64, 0xAA);
    auto results = std::make_unique<std::int32_t[]>(3);
    results[0] = results[1] = -7;
    results[2] = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ResolveWithTimeout("slow.koruvan.example", addrs->data(), 64, &results[0],
                                    &results[1], &results[2], 50));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 45ms);
    EXPECT_EQ(results[2], kResolveTimedOut);
    EXPECT_EQ(results[0], -7);
    EXPECT_EQ(results[1], -7);
    EXPECT_TRUE(
        std::all_of(addrs->begin(), addrs->end(), [](std::uint8_t b) { return b == 0xAA; }));
    // The caller's memory goes away before the resolver finishes: a write now would be a
    // use after free (caught by the address sanitizer build).
    addrs.reset();
    results.reset();
    EXPECT_EQ(RunningLookupThreads(), 1);
    gate->open = true;
    EXPECT_EQ(gate->calls, 1);
}

TEST_F(Resolution, FinishedLookupFillsAtMostTheGivenBuffer) {
    std::vector<std::uint32_t> many;
    for (std::uint32_t i = 1; i <= 300; ++i) {
        many.push_back(Ip(10, 0, i >> 8, i & 0xFF));
    }
    SetHostLookup([many](const std::string&, std::vector<std::uint32_t>& out) {
        out = many;
        return 0;
    });
    std::vector<std::uint8_t> buffer(1024 + 16, 0xEE);
    std::int32_t addrLen = 0;
    std::int32_t count = 0;
    std::int32_t error = -1;
    ASSERT_TRUE(ResolveWithTimeout("many.koruvan.example", buffer.data(), 1024, &addrLen, &count,
                                   &error, 3000));
    EXPECT_EQ(error, 0);
    EXPECT_EQ(addrLen, 4);
    EXPECT_EQ(count, 256);
    EXPECT_TRUE(
        std::all_of(buffer.begin() + 1024, buffer.end(), [](std::uint8_t b) { return b == 0xEE; }));
    std::uint32_t last = 0;
    std::memcpy(&last, buffer.data() + 1020, 4);
    EXPECT_EQ(last, many[255]);

    std::vector<std::uint32_t> out;
    EXPECT_EQ(ResolveHost("many.koruvan.example", out), 256) << "the 1024-byte buffer bounds it";
    EXPECT_FALSE(ResolveWithTimeout("", buffer.data(), 1024, &addrLen, &count, &error, 100));
    EXPECT_EQ(error, kResolveInvalidParameter);
    EXPECT_FALSE(ResolveWithTimeout("x", buffer.data(), 1024, &addrLen, &count, &error, 0));
    EXPECT_EQ(error, kResolveInvalidParameter);
}

TEST_F(Resolution, ThreeSecondLimitRunsOnEngineTime) {
    test::EngineTestClock clock(1000.0);  // 3 s of engine time pass in about 3 ms
    auto gate = std::make_shared<Gate>();
    SetHostLookup(GatedLookup(gate, {Ip(10, 0, 0, 1)}));
    std::vector<std::uint32_t> out;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ResolveHost("hung.koruvan.example", out), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_FALSE(IsUnresolvable("hung.koruvan.example")) << "a time-out is not a verdict";
    ASSERT_EQ(Events().size(), 1u);
    EXPECT_EQ(Events()[0].text.rfind("ErrCode : (10060) Host : (hung.koruvan.example) ", 0), 0u);
    gate->open = true;
    EXPECT_TRUE(out.empty());
}

TEST_F(Resolution, ManyThreadsResolveWhileLookupsFinishLate) {
    SetHostLookup([](const std::string& host, std::vector<std::uint32_t>& out) {
        const int delay = static_cast<int>(host.size() % 7) * 3;
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        out = {Ip(10, 0, 0, static_cast<std::uint32_t>(host.size()))};
        return 0;
    });
    std::atomic<int> succeeded{0};
    std::atomic<int> timedOut{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                const std::string host(static_cast<std::size_t>(1 + (t + i) % 13), 'h');
                std::uint8_t addrs[16];
                std::int32_t len = 0;
                std::int32_t count = 0;
                std::int32_t error = 0;
                if (ResolveWithTimeout(host.c_str(), addrs, sizeof addrs, &len, &count, &error,
                                       1 + (i % 3) * 10)) {
                    std::uint32_t ip = 0;
                    std::memcpy(&ip, addrs, 4);
                    EXPECT_EQ(ip, Ip(10, 0, 0, static_cast<std::uint32_t>(host.size())));
                    ++succeeded;
                } else {
                    EXPECT_EQ(error, kResolveTimedOut);
                    ++timedOut;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(succeeded + timedOut, 160);
    EXPECT_GT(succeeded, 0);
}

TEST(DnsReportText, ReadsOnlyValidNameserverLines) {
    test::TempDir dir;
    const std::string path = dir.File("resolv.conf");
    std::string text =
        "; comment\n# nameserver 9.9.9.9\nnameserver 10.0.0.1 # trailing\n"
        "nameserver\nnameserver bogus\n  nameserver\t10.0.0.2\noptions ndots:1\n"
        "nameserverx 10.0.0.3\nnameserver 2001:db8::53\nnameserver 999.1.1.1\n";
    for (int i = 0; i < 20; ++i) {
        text += "nameserver 10.1.0." + std::to_string(i) + "\n";
    }
    test::WriteFile(path, text);
    std::vector<std::string> servers;
    ASSERT_TRUE(ReadDnsServers(path, servers));
    ASSERT_EQ(servers.size(), kMaxReportedDnsServers);
    EXPECT_EQ(servers[0], "10.0.0.1");
    EXPECT_EQ(servers[1], "10.0.0.2");
    EXPECT_EQ(servers[2], "2001:db8::53");
    EXPECT_EQ(servers[3], "10.1.0.0");
    servers.clear();
    EXPECT_FALSE(ReadDnsServers(dir.File("missing"), servers));
    EXPECT_TRUE(servers.empty());
}

}  // namespace
}  // namespace koruvan::engine
