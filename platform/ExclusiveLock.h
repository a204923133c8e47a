// An exclusive advisory lock on a file (flock), held for the life of the object: how one
// front end keeps a second one off the same plan.
#pragma once

#include <string>

namespace koruvan::platform {

class ExclusiveLock {
  public:
    enum class Result { Acquired, HeldElsewhere, Failed };

    ExclusiveLock() noexcept = default;
    ~ExclusiveLock();
    ExclusiveLock(ExclusiveLock&& other) noexcept;
    ExclusiveLock& operator=(ExclusiveLock&& other) noexcept;
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

    // Creates `path` when missing (mode 0600) and takes the lock without waiting.
    // HeldElsewhere when another open file description holds it (another process, or
    // another lock object of this one); Failed when the file cannot be opened. The file is
    // never deleted: a deleted lock file would let two holders lock different files. The
    // descriptor is not inherited by child processes (an installer started later must not
    // keep the lock).
    [[nodiscard]] Result TryAcquire(const std::string& path) noexcept;
    [[nodiscard]] bool Held() const noexcept { return fd_ >= 0; }
    void Release() noexcept;

  private:
    int fd_ = -1;
};

}  // namespace koruvan::platform
