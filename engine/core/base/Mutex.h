// The engine's locks. Both behave like the old kernel mutex they replace: a thread that owns
// one may take it again, only the owner may give it back, and a closed lock fails every
// Lock and TryLock.
//
// QSMutex is the plain wrapper; QTMutex keeps its own owner and recursion count so that
// TryLock against another owner answers without touching the underlying lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace koruvan::engine {

// Recursive, owner-checked lock object underneath both mutex classes.
class OwnedLock {
  public:
    // Waits (blocking) or tries once; true when the caller holds the lock afterwards.
    bool Acquire(bool wait) noexcept;
    // Gives one level back; false when the caller is not the owner.
    bool Release() noexcept;

  private:
    std::mutex m_;
    std::condition_variable cv_;
    std::uint32_t owner_ = 0;  // guarded by m_
    std::uint32_t depth_ = 0;  // guarded by m_
};

class QBaseMutex {
  public:
    QBaseMutex() = default;
    QBaseMutex(const QBaseMutex&) = delete;
    QBaseMutex& operator=(const QBaseMutex&) = delete;
    virtual ~QBaseMutex() = default;

    virtual bool Create() noexcept = 0;
    virtual void Close() noexcept = 0;
    virtual bool Lock() noexcept = 0;
    virtual bool TryLock() noexcept = 0;
    virtual bool Unlock() noexcept = 0;

  protected:
    // The operating-system lock; null when not created or closed.
    std::unique_ptr<OwnedLock> handle_;
};

class QSMutex final : public QBaseMutex {
  public:
    QSMutex() noexcept { Create(); }
    ~QSMutex() override { Close(); }

    bool Create() noexcept override;
    void Close() noexcept override;
    bool Lock() noexcept override;
    bool TryLock() noexcept override;
    bool Unlock() noexcept override;
};

class QTMutex final : public QBaseMutex {
  public:
    QTMutex() noexcept { Create(); }
    ~QTMutex() override { Close(); }

    bool Create() noexcept override;
    void Close() noexcept override;
    bool Lock() noexcept override;
    bool TryLock() noexcept override;
    bool Unlock() noexcept override;

    // Owner thread id (0 = none) and recursion count, for diagnostics and tests.
    std::uint32_t Owner() const noexcept { return owner_.load(std::memory_order_acquire); }
    std::uint32_t Count() const noexcept { return count_.load(std::memory_order_acquire); }

  private:
    // Written only by the owning thread while it holds the lock; read by anyone (TryLock's
    // early answer), hence atomic.
    std::atomic<std::uint32_t> owner_{0};
    std::atomic<std::uint32_t> count_{0};
};

}  // namespace koruvan::engine
