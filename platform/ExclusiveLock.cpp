#include "platform/ExclusiveLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace koruvan::platform {

ExclusiveLock::~ExclusiveLock() {
    Release();
}

ExclusiveLock::ExclusiveLock(ExclusiveLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

ExclusiveLock& ExclusiveLock::operator=(ExclusiveLock&& other) noexcept {
    if (this != &other) {
        Release();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

ExclusiveLock::Result ExclusiveLock::TryAcquire(const std::string& path) noexcept {
    Release();
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return Result::Failed;
    }
    int rc;
    do {
        rc = flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const bool held = errno == EWOULDBLOCK;
        close(fd);
        return held ? Result::HeldElsewhere : Result::Failed;
    }
    fd_ = fd;
    return Result::Acquired;
}

void ExclusiveLock::Release() noexcept {
    if (fd_ >= 0) {
        close(fd_);  // closing the last descriptor releases the lock
        fd_ = -1;
    }
}

}  // namespace koruvan::platform
