#include "engine/core/base/LockGuard.h"
#include "engine/core/base/Mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace koruvan::engine {
namespace {

template <typename Fn>
auto OnOtherThread(Fn&& fn) {
    decltype(fn()) result{};
    std::thread([&] { result = fn(); }).join();
    return result;
}

TEST(QTMutex, RecursionNeedsOneUnlockPerLockAndOnlyTheOwnerUnlocks) {
    QTMutex m;
    ASSERT_TRUE(m.Lock());
    ASSERT_TRUE(m.Lock());
    ASSERT_TRUE(m.TryLock());
    EXPECT_EQ(m.Count(), 3u);

    // Another thread may neither unlock nor take it.
    EXPECT_FALSE(OnOtherThread([&] { return m.Unlock(); }));
    EXPECT_EQ(m.Count(), 3u);
    EXPECT_FALSE(OnOtherThread([&] { return m.TryLock(); }));

    EXPECT_TRUE(m.Unlock());
    EXPECT_TRUE(m.Unlock());
    EXPECT_FALSE(OnOtherThread([&] { return m.TryLock(); }));  // still held once
    EXPECT_TRUE(m.Unlock());
    EXPECT_EQ(m.Owner(), 0u);
    EXPECT_FALSE(m.Unlock());  // nothing left to give back

    EXPECT_TRUE(OnOtherThread([&] {
        const bool got = m.TryLock();
        m.Unlock();
        return got;
    }));
}

TEST(QTMutex, TryLockAgainstAnotherOwnerNeverBlocks) {
    QTMutex m;
    std::atomic<bool> held{false};
    std::atomic<bool> release{false};
    std::thread owner([&] {
        m.Lock();
        held = true;
        while (!release) {
            std::this_thread::yield();
        }
        m.Unlock();
    });
    while (!held) {
        std::this_thread::yield();
    }
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 1000; ++i) {
        ASSERT_FALSE(m.TryLock());
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    release = true;
    owner.join();
    EXPECT_TRUE(m.TryLock());
    EXPECT_TRUE(m.Unlock());
}

TEST(QTMutex, LockWaitsForTheOwnerAndExcludesOthers) {
    QTMutex m;
    int counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                LockGuard guard(&m, true);
                LockGuard again(&m, true);  // recursion inside the guard
                ++counter;
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(counter, 8000);
    EXPECT_EQ(m.Owner(), 0u);
}

TEST(QSMutex, RecursiveOwnerCheckedAndDeadAfterClose) {
    QSMutex m;
    ASSERT_TRUE(m.Lock());
    ASSERT_TRUE(m.TryLock());
    EXPECT_FALSE(OnOtherThread([&] { return m.TryLock(); }));
    EXPECT_FALSE(OnOtherThread([&] { return m.Unlock(); }));
    EXPECT_TRUE(m.Unlock());
    EXPECT_TRUE(m.Unlock());
    EXPECT_FALSE(m.Unlock());

    m.Close();
    EXPECT_FALSE(m.Lock());
    EXPECT_FALSE(m.TryLock());
    m.Close();  // closing twice does nothing
    EXPECT_TRUE(m.Create());
    EXPECT_TRUE(m.Lock());
    EXPECT_TRUE(m.Unlock());
}

TEST(QTMutex, ClosedLockFailsAndGuardDoesNotUnlockWhatItNeverHeld) {
    QTMutex m;
    m.Close();
    EXPECT_FALSE(m.Lock());
    EXPECT_FALSE(m.TryLock());
    LockGuard guard(&m, true);
    EXPECT_FALSE(guard.Held());
}

TEST(LockGuard, ReleasesOnExceptionAndSupportsTryLock) {
    QTMutex m;
    try {
        LockGuard guard(&m, true);
        throw std::runtime_error("body failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(m.Owner(), 0u);

    std::atomic<bool> held{false};
    std::atomic<bool> release{false};
    std::thread owner([&] {
        LockGuard guard(&m, true);
        held = true;
        while (!release) {
            std::this_thread::yield();
        }
    });
    while (!held) {
        std::this_thread::yield();
    }
    {
        LockGuard guard(&m, false);
        EXPECT_FALSE(guard.TryLock());
        EXPECT_FALSE(guard.Held());
    }
    release = true;
    owner.join();
    LockGuard guard(&m, false);
    EXPECT_TRUE(guard.TryLock());
    guard.Unlock();
    EXPECT_EQ(m.Owner(), 0u);
}

}  // namespace
}  // namespace koruvan::engine
