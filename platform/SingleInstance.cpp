#include "platform/SingleInstance.h"

#include <dirent.h>
#include <fcntl.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>

#include "platform/Paths.h"

namespace koruvan::platform {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::size_t kSectionSize = 4096;
constexpr std::size_t kFolderOffset = 4;
constexpr std::size_t kMaxDigestLength = 128;
constexpr milliseconds kPollStep{5};
// Rounds of the check: a round that meets objects of a dead predecessor (or a first
// instance still creating its objects) is followed by one more with fresh objects.
constexpr int kSettleRounds = 2;

sem_t* AsSem(void* p) noexcept {
    return static_cast<sem_t*>(p);
}

bool IsNameCharacter(char c) noexcept {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
           c == '_';
}

bool IsUsableDigest(std::string_view digest) noexcept {
    if (digest.empty() || digest.size() > kMaxDigestLength) {
        return false;
    }
    for (const char c : digest) {
        if (!IsNameCharacter(c)) {
            return false;
        }
    }
    return true;
}

std::string DefaultLockFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/' && IsDirectory(runtime)) {
        return runtime;
    }
    return "/tmp";
}

// flock with a time limit (flock itself has none): polls the non-blocking form.
bool FlockWithin(int fd, int operation, milliseconds limit) noexcept {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (flock(fd, operation | LOCK_NB) == 0) {
            return true;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EWOULDBLOCK || Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(kPollStep);
    }
}

timespec MonotonicDeadline(Clock::time_point deadline) noexcept {
    // sem_clockwait takes an absolute CLOCK_MONOTONIC time; steady_clock is that clock on
    // Linux, but the offset is taken afresh so nothing depends on it.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::max(deadline - Clock::now(), Clock::duration::zero()));
    long long nanos = static_cast<long long>(now.tv_nsec) + left.count() % 1'000'000'000;
    timespec at{};
    at.tv_sec =
        now.tv_sec + static_cast<time_t>(left.count() / 1'000'000'000 + nanos / 1'000'000'000);
    at.tv_nsec = static_cast<long>(nanos % 1'000'000'000);
    return at;
}

void WriteLittleEndian(unsigned char* at, std::uint32_t value) noexcept {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

std::uint32_t ReadLittleEndian(const unsigned char* at) noexcept {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | at[i];
    }
    return value;
}

// The shared memory mapped for the length of one use.
class SectionView {
  public:
    explicit SectionView(int fd) noexcept {
        void* p = mmap(nullptr, kSectionSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        bytes_ = p == MAP_FAILED ? nullptr : static_cast<unsigned char*>(p);
    }
    ~SectionView() {
        if (bytes_ != nullptr) {
            munmap(bytes_, kSectionSize);
        }
    }
    SectionView(const SectionView&) = delete;
    SectionView& operator=(const SectionView&) = delete;

    [[nodiscard]] unsigned char* Bytes() const noexcept { return bytes_; }

  private:
    unsigned char* bytes_ = nullptr;
};

// Opens the first instance's shared memory once it is complete: it exists, has its full
// size and names a process. -1 when that does not happen before `deadline`.
int OpenSection(const std::string& name, Clock::time_point deadline, std::uint32_t& pid) {
    for (;;) {
        const int fd = shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0);
        if (fd >= 0) {
            struct stat st {};
            if (fstat(fd, &st) == 0 && static_cast<std::size_t>(st.st_size) >= kSectionSize) {
                const SectionView view(fd);
                pid = view.Bytes() != nullptr ? ReadLittleEndian(view.Bytes()) : 0;
                if (pid != 0) {
                    return fd;
                }
            }
            close(fd);
        }
        if (Clock::now() >= deadline) {
            return -1;
        }
        std::this_thread::sleep_for(kPollStep);
    }
}

// Writes the current folder at offset 4, cut to fit with its terminator.
void WriteFolder(unsigned char* section) {
    const std::string folder = CurrentFolder();
    const std::size_t room = kSectionSize - kFolderOffset - 1;
    const std::size_t n = std::min(folder.size(), room);
    std::memcpy(section + kFolderOffset, folder.data(), n);
    section[kFolderOffset + n] = '\0';
}

// Whether process `pid` holds the exclusive flock on the file open as `lockFd`: one of its
// descriptors is that very file and carries a FLOCK WRITE lock. Only processes of the same
// user can be inspected, which is also who may be killed.
bool HoldsInstanceLock(std::uint32_t pid, int lockFd) {
    struct stat mine {};
    if (pid <= 1 || pid == static_cast<std::uint32_t>(getpid()) || fstat(lockFd, &mine) != 0) {
        return false;
    }
    const std::string base = "/proc/" + std::to_string(pid);
    DIR* dir = opendir((base + "/fd").c_str());
    if (dir == nullptr) {
        return false;
    }
    bool holds = false;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        struct stat theirs {};
        if (stat((base + "/fd/" + entry->d_name).c_str(), &theirs) != 0 ||
            theirs.st_dev != mine.st_dev || theirs.st_ino != mine.st_ino) {
            continue;
        }
        std::ifstream info(base + "/fdinfo/" + entry->d_name);
        for (std::string line; std::getline(info, line);) {
            if (line.rfind("lock:", 0) == 0 && line.find(" FLOCK ") != std::string::npos &&
                line.find(" WRITE ") != std::string::npos) {
                holds = true;
            }
        }
        if (holds) {
            break;
        }
    }
    closedir(dir);
    return holds;
}

void DrainSemaphore(sem_t* sem) noexcept {
    while (sem_trywait(sem) == 0) {
    }
}

}  // namespace

std::string_view RoleName(InstanceRole role) noexcept {
    switch (role) {
        case InstanceRole::First:
            return "first";
        case InstanceRole::TookOver:
            return "took-over";
        case InstanceRole::HandedOver:
            return "handed-over";
        case InstanceRole::HeldElsewhere:
            return "held-elsewhere";
        case InstanceRole::Unguarded:
            return "unguarded";
    }
    return "unguarded";
}

InstanceNames SingleInstance::NamesFor(std::string_view digest, const std::string& lockFolder) {
    const std::string d(digest);
    InstanceNames names;
    names.lockFile = JoinPath(lockFolder.empty() ? DefaultLockFolder() : lockFolder, d + ".lock");
    names.mapping = "/Koruvan_Only_Mapping_" + d;
    names.reply = "/Koruvan_ReplyEvt_" + d;
    names.wake = "/Koruvan_WakeEvt_" + d;
    return names;
}

SingleInstance::SingleInstance(std::string digest, SingleInstanceOptions options)
    : digest_(std::move(digest)), options_(std::move(options)) {
    validDigest_ = IsUsableDigest(digest_);
    if (validDigest_) {
        names_ = NamesFor(digest_, options_.lockFolder);
    }
}

SingleInstance::~SingleInstance() {
    StopListener();
    if (owner_) {
        RemoveObjects();
    }
    if (reply_ != nullptr) {
        sem_close(AsSem(reply_));
    }
    if (wake_ != nullptr) {
        sem_close(AsSem(wake_));
    }
    if (sectionFd_ >= 0) {
        close(sectionFd_);
    }
    if (lockFd_ >= 0) {
        close(lockFd_);  // drops the instance lock, after the objects are gone
    }
}

InstanceRole SingleInstance::Settle() {
    if (settled_ || !validDigest_ || !OpenLockFile()) {
        return InstanceRole::Unguarded;
    }
    settled_ = true;
    for (int round = 0; round < kSettleRounds; ++round) {
        if (TryBecomeFirst(milliseconds(0))) {
            return InstanceRole::First;
        }
        std::uint32_t pid = 0;
        if (HandOver(pid) == HandOverResult::Answered) {
            return InstanceRole::HandedOver;
        }
        if (KillHungInstance(pid)) {
            return TryBecomeFirst(options_.takeOverWait) ? InstanceRole::TookOver
                                                         : InstanceRole::HeldElsewhere;
        }
    }
    return TryBecomeFirst(milliseconds(0)) ? InstanceRole::First : InstanceRole::HeldElsewhere;
}

bool SingleInstance::OpenLockFile() {
    lockFd_ = open(names_.lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    return lockFd_ >= 0;
}

bool SingleInstance::TryBecomeFirst(milliseconds wait) {
    if (!FlockWithin(lockFd_, LOCK_EX, wait)) {
        return false;
    }
    owner_ = true;
    // The process id as text, for people looking at the file; the shared memory is what
    // later starts read.
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(lockFd_, 0) == 0) {
        (void)!pwrite(lockFd_, pid.data(), pid.size(), 0);
    }
    CreateObjects();
    return true;
}

void SingleInstance::CreateObjects() {
    // Whatever carries these names now was left by an instance that died without cleaning
    // up: only the lock holder ever creates or removes them.
    RemoveObjects();
    sem_t* reply = sem_open(names_.reply.c_str(), O_CREAT | O_EXCL, 0600, 0);
    sem_t* wake = sem_open(names_.wake.c_str(), O_CREAT | O_EXCL, 0600, 0);
    reply_ = reply == SEM_FAILED ? nullptr : reply;
    wake_ = wake == SEM_FAILED ? nullptr : wake;
    // The shared memory comes last and names this process last of all: a later start takes
    // a non-zero process id as the sign that everything is in place.
    sectionFd_ = shm_open(names_.mapping.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (sectionFd_ < 0) {
        return;
    }
    if (ftruncate(sectionFd_, kSectionSize) != 0) {
        return;
    }
    const SectionView view(sectionFd_);
    if (view.Bytes() != nullptr) {
        WriteLittleEndian(view.Bytes(), static_cast<std::uint32_t>(getpid()));
    }
}

SingleInstance::HandOverResult SingleInstance::HandOver(std::uint32_t& firstPid) {
    const auto deadline = Clock::now() + options_.patience;
    const int fd = OpenSection(names_.mapping, deadline, firstPid);
    if (fd < 0) {
        return HandOverResult::NoAnswer;
    }
    sem_t* reply = sem_open(names_.reply.c_str(), 0);
    sem_t* wake = sem_open(names_.wake.c_str(), 0);
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    if (FlockWithin(fd, LOCK_EX, std::max(left, milliseconds(0)))) {
        const SectionView view(fd);
        if (view.Bytes() != nullptr) {
            firstPid = ReadLittleEndian(view.Bytes());
            WriteFolder(view.Bytes());
        }
        if (reply != SEM_FAILED) {
            DrainSemaphore(reply);  // an answer to an earlier start is not ours
        }
        flock(fd, LOCK_UN);
    }
    close(fd);
    bool answered = false;
    if (reply != SEM_FAILED && wake != SEM_FAILED && sem_post(wake) == 0) {
        const timespec at = MonotonicDeadline(deadline);
        int rc = 0;
        while ((rc = sem_clockwait(reply, CLOCK_MONOTONIC, &at)) != 0 && errno == EINTR) {
        }
        answered = rc == 0;
    }
    if (reply != SEM_FAILED) {
        sem_close(reply);
    }
    if (wake != SEM_FAILED) {
        sem_close(wake);
    }
    return answered ? HandOverResult::Answered : HandOverResult::NoAnswer;
}

bool SingleInstance::KillHungInstance(std::uint32_t pid) {
    if (!HoldsInstanceLock(pid, lockFd_)) {
        return false;
    }
    return kill(static_cast<pid_t>(pid), SIGKILL) == 0;
}

bool SingleInstance::Listen(std::function<void()> onWakeUp) {
    if (!owner_ || wake_ == nullptr || listener_.joinable() || !onWakeUp) {
        return false;
    }
    onWakeUp_ = std::move(onWakeUp);
    listener_ = std::thread([this] { ListenLoop(); });
    return true;
}

void SingleInstance::ListenLoop() {
    for (;;) {
        if (sem_wait(AsSem(wake_)) != 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (stopping_.load()) {
            return;
        }
        onWakeUp_();
    }
}

std::optional<std::string> SingleInstance::AnswerWakeUp() {
    if (!owner_ || sectionFd_ < 0 || reply_ == nullptr) {
        return std::nullopt;
    }
    if (!FlockWithin(sectionFd_, LOCK_EX, options_.answerLockWait)) {
        return std::nullopt;
    }
    sem_post(AsSem(reply_));
    std::string folder;
    const SectionView view(sectionFd_);
    if (view.Bytes() != nullptr) {
        const char* text = reinterpret_cast<const char*>(view.Bytes() + kFolderOffset);
        folder.assign(text, strnlen(text, kSectionSize - kFolderOffset));
    }
    flock(sectionFd_, LOCK_UN);
    return folder;
}

void SingleInstance::StopListener() noexcept {
    if (!listener_.joinable()) {
        return;
    }
    stopping_.store(true);
    sem_post(AsSem(wake_));
    listener_.join();
}

void SingleInstance::RemoveObjects() noexcept {
    shm_unlink(names_.mapping.c_str());
    sem_unlink(names_.reply.c_str());
    sem_unlink(names_.wake.c_str());
}

}  // namespace koruvan::platform
