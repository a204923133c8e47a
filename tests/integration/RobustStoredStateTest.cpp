// Damaged stored state: a download is paused half-way, and its stored files — the task file
// with its completion records, the state file of each file with its resume record, and the
// piece caches — are damaged one at a time: bits flipped, the file cut short, a range
// zeroed. Each restart must finish with every digest right and exit normally: a damaged
// record is never taken at its word. Seeded; KORUVAN_ROBUST_WAYS sets how many ways (the
// default run tries a few, the slow run 500).
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include "CliTestGame.h"

namespace koruvan::test {
namespace {

namespace fs = std::filesystem;
constexpr std::uint64_t kKiB = 1024;

// The share of the bytes the last "downloading" line showed done ("1.3 MB/2.9 MB"), 0..1;
// 0 before the first.
double ShownShare(const std::string& out) {
    const std::size_t line = out.rfind("downloading  ");
    const std::size_t slash = out.find('/', line);
    if (line == std::string::npos || slash == std::string::npos) {
        return 0;
    }
    const auto bytes = [&](std::size_t at) {
        char* end = nullptr;
        const double value = std::strtod(out.c_str() + at, &end);
        const std::string unit(end + 1,
                               std::min<std::size_t>(2, out.size() - (end + 1 - out.c_str())));
        return value * (unit == "KB" ? 1e3 : unit == "MB" ? 1e6 : unit == "GB" ? 1e9 : 1);
    };
    const std::size_t doneAt = out.rfind("  ", slash) + 2;
    const double total = bytes(slash + 1);
    return total > 0 ? bytes(doneAt) / total : 0;
}

int WaysToTry(int byDefault) {
    const char* ways = std::getenv("KORUVAN_ROBUST_WAYS");
    return ways != nullptr && std::atoi(ways) > 0 ? std::atoi(ways) : byDefault;
}

// The stored files of the task: its task file, state files and piece caches (not the
// telemetry's files or empty lock files).
std::vector<fs::path> StoredFiles(const std::string& dataDir) {
    std::vector<fs::path> files;
    for (const auto& e : fs::recursive_directory_iterator(dataDir)) {
        const std::string ext = e.path().extension().string();
        if (e.is_regular_file() && e.file_size() > 0 &&
            (ext == ".kvinfo" || ext == ".kvinfodf" ||
             (ext == ".kvconf" && e.path().filename() != "dataupload.kvconf"))) {
            files.push_back(e.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// One damage of one file, chosen by `random`; returns what was done.
std::string Damage(const fs::path& file, std::mt19937& random) {
    std::string bytes = ReadFile(file.string());
    const auto size = bytes.size();
    const auto pick = [&](std::size_t n) {
        return n == 0 ? 0 : std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
    };
    std::string what;
    switch (random() % 3) {
        case 0: {
            const int flips = 1 + static_cast<int>(random() % 8);
            for (int i = 0; i < flips && size > 0; ++i) {
                bytes[pick(size)] ^= static_cast<char>(1u << (random() % 8));
            }
            what = "flipped " + std::to_string(flips) + " bits";
            break;
        }
        case 1: {
            const std::size_t keep = pick(size + 1);
            bytes.resize(keep);
            what = "cut to " + std::to_string(keep) + " bytes";
            break;
        }
        default: {
            const std::size_t at = pick(size + 1);
            const std::size_t n = std::min(size - at, 1 + pick(64 + size / 4));
            std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), n, '\0');
            what = "zeroed " + std::to_string(n) + " bytes at " + std::to_string(at);
            break;
        }
    }
    WriteFile(file.string(), bytes);
    return file.filename().string() + " " + what;
}

TEST(RobustStoredStateTest, EveryDamageOfAHalfFinishedDownloadEndsWithCorrectFiles) {
    std::string why;
    if (!EngineCanDownload(why)) {
        GTEST_SKIP() << "downloads are impossible here: " << why;
    }
    // Pieces of 1 MiB at a slow rate: the pause finds partial pieces held in memory, which
    // go to a piece cache.
    TestGame game({2048 * kKiB, 1536 * kKiB, 1024 * kKiB + 123, 1280 * kKiB}, "256k", 1024 * kKiB);
    ASSERT_TRUE(game.Started());
    // Paused with Ctrl-C once progress passes 30 %.
    auto first = game.StartCli({"download", "--save-dir", game.SaveDir(), "--no-p2p"}, "half");
    ASSERT_NE(first, nullptr);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (first->Running() && std::chrono::steady_clock::now() < end &&
           ShownShare(game.Output("half").out) < 0.3) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(first->Running()) << game.Output("half").out;
    first->Signal(SIGINT);
    ASSERT_EQ(first->Wait(std::chrono::seconds(30)), 1) << game.Output("half").err;
    const std::string snapshot = game.Path("snapshot");
    fs::create_directories(snapshot);
    fs::copy(game.DataDir(), snapshot + "/data", fs::copy_options::recursive);
    fs::copy(game.SaveDir(), snapshot + "/save", fs::copy_options::recursive);
    const auto stored = StoredFiles(game.DataDir());
    ASSERT_GE(stored.size(), 2u);
    std::string names;
    for (const auto& f : stored) {
        names += " " + f.filename().string() + " (" + std::to_string(fs::file_size(f)) + ")";
    }
    std::printf("paused at %.0f %%; stored files:%s\n", 100 * ShownShare(game.Output("half").out),
                names.c_str());
    ASSERT_TRUE(game.RestartServer(""));

    const int ways = WaysToTry(6);
    const char* onlyText = std::getenv("KORUVAN_ROBUST_ONLY");
    const int only = onlyText != nullptr ? std::atoi(onlyText) : -1;
    std::mt19937 random(20261210);
    int correct = 0;
    std::uint64_t refetched = 0;
    // The task file's own values damaged in a known way first, then the seeded ways.
    const auto taskFile = std::find_if(
        stored.begin(), stored.end(), [](const fs::path& p) { return p.extension() == ".kvconf"; });
    ASSERT_NE(taskFile, stored.end());
    const std::vector<std::string> zeroedValues = {
        "KoruvanTaskHash=", "KoruvanTaskSavePath=", "KoruvanTaskEntrence="};
    int tried = 0;
    for (int way = -static_cast<int>(zeroedValues.size()); way < ways; ++way) {
        fs::remove_all(game.DataDir());
        fs::remove_all(game.SaveDir());
        fs::copy(snapshot + "/data", game.DataDir(), fs::copy_options::recursive);
        fs::copy(snapshot + "/save", game.SaveDir(), fs::copy_options::recursive);
        const fs::path& victim = way < 0 ? *taskFile : stored[random() % stored.size()];
        std::string what;
        if (way < 0) {
            const std::string& key = zeroedValues[zeroedValues.size() + way];
            std::string bytes = ReadFile(victim.string());
            const std::size_t at = bytes.find(key);
            ASSERT_NE(at, std::string::npos) << key;
            std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(at + key.size()), 12, '\0');
            WriteFile(victim.string(), bytes);
            what = "value of " + key + " zeroed";
        } else {
            what = Damage(victim, random);
        }
        if (only >= 0 && way != only) {
            continue;  // KORUVAN_ROBUST_ONLY: one way again (the damages before it are drawn)
        }
        ++tried;
        const std::string damaged = ReadFile(victim.string());
        const std::uint64_t before = game.ServedBytes();
        const CliResult r = game.Run({"download", "--save-dir", game.SaveDir(), "--no-p2p"},
                                     std::chrono::seconds(90));
        const bool ok = r.code == 0 && game.MatchingFiles() == 5;
        EXPECT_TRUE(ok) << "way " << way << ": " << what << "\nexit " << r.code << "\n"
                        << r.out << r.err << "\ndamaged file:\n"
                        << ::testing::PrintToString(damaged);
        correct += ok ? 1 : 0;
        refetched += game.ServedBytes() - before;
    }
    std::printf(
        "stored-state damage: %d of %d ways finished with correct digests; %.0f of %llu "
        "bytes fetched per restart on average\n",
        correct, tried, static_cast<double>(refetched) / std::max(tried, 1),
        static_cast<unsigned long long>(game.TotalBytes()));
}

}  // namespace
}  // namespace koruvan::test
