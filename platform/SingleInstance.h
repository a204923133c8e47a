// One downloader per user session and plan. The first start of a plan holds an exclusive
// lock for its whole life; a later start hands over to it — the first instance is woken and
// brings its window to the front — and ends. When the first instance does not answer within
// the patience (one second) it is taken to be hung: it is killed and the later start carries
// on in its place.
//
// Objects, all named after the digest of the plan's installer (file 0):
// - "<digest>.lock" in $XDG_RUNTIME_DIR (else /tmp), locked exclusively (flock) by the first
//   instance for its life. The kernel drops the lock when the process ends, however it ends,
//   so a dead instance never blocks the next start.
// - shared memory "/Koruvan_Only_Mapping_<digest>", 4096 bytes: offset 0 holds the first
//   instance's process id (32 bits, little-endian), offset 4 the current folder of the
//   latest later start (NUL-terminated, at most 4092 bytes with the terminator). Access is
//   serialised by an flock on the shared memory object itself.
// - semaphore "/Koruvan_ReplyEvt_<digest>": the first instance's answer to a hand-over.
// - semaphore "/Koruvan_WakeEvt_<digest>": the wake-up a later start sends.
// The first instance removes what a dead predecessor left behind, creates its own objects
// and removes them again when it ends.
//
// Wake-ups: a listener thread of the first instance waits for them and runs the callback
// given to Listen(). The callback only posts to the main loop (a queued call); the main loop
// then answers with AnswerWakeUp(). The answer comes from the main loop on purpose: a first
// instance whose main loop hangs does not answer, and is replaced. So a first instance must
// listen, and its main loop must not be blocked for a second or more (a start-up that waits
// on the network belongs on another thread), or a later start takes it for hung.
//
// A hung first instance is killed only after checking that the process named in the shared
// memory really holds the instance lock, so a stale or forged process id never gets an
// unrelated process killed.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace koruvan::platform {

enum class InstanceRole {
    First,       // no other instance runs; this one holds the instance lock
    TookOver,    // the first instance did not answer and was killed; this one holds the lock
    HandedOver,  // the first instance was told about this start and answered: end now
    // Another process holds the instance lock but takes no hand-over and is not a hung
    // instance that could be replaced (e.g. the command-line front end working on the same
    // plan). Running as well would have two downloaders write the same files: end now.
    HeldElsewhere,
    Unguarded,  // the check could not be made (unusable digest or lock file): no guarantee
};

// "first", "took-over", "handed-over", "held-elsewhere", "unguarded".
[[nodiscard]] std::string_view RoleName(InstanceRole role) noexcept;

struct SingleInstanceOptions {
    // How long a later start waits for the first instance's answer.
    std::chrono::milliseconds patience{1000};
    // How long the first instance waits for the shared memory when answering.
    std::chrono::milliseconds answerLockWait{5000};
    // How long a later start waits for the lock to be freed after killing a hung instance.
    std::chrono::milliseconds takeOverWait{3000};
    // Folder of the lock file; empty: $XDG_RUNTIME_DIR when set, else /tmp.
    std::string lockFolder;
};

struct InstanceNames {
    std::string lockFile;  // full path
    std::string mapping;   // "/Koruvan_Only_Mapping_<digest>"
    std::string reply;     // "/Koruvan_ReplyEvt_<digest>"
    std::string wake;      // "/Koruvan_WakeEvt_<digest>"
};

class SingleInstance {
  public:
    // `digest` names the objects: letters, digits, "-" and "_", 1 to 128 characters (the
    // plan's MD5 in lower-case hex); any other text leaves the instance unguarded.
    explicit SingleInstance(std::string digest, SingleInstanceOptions options = {});
    // Stops the listener; a first instance removes its objects and drops the lock.
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // The check, once, at start. With HandedOver the process should end at once.
    [[nodiscard]] InstanceRole Settle();

    // First instance (First or TookOver): starts the listener thread, which runs `onWakeUp`
    // for every later start. Teardown stops and joins that thread, so the callback may
    // capture anything that outlives this object. False when this is not the first
    // instance, the wake-up object is missing, or the listener already runs.
    [[nodiscard]] bool Listen(std::function<void()> onWakeUp);

    // The main loop's answer to one wake-up: waits at most answerLockWait for the shared
    // memory, signals the reply and returns the later start's current folder. Nullopt (and
    // no answer) when the memory stayed busy or this is not the first instance.
    std::optional<std::string> AnswerWakeUp();

    [[nodiscard]] const InstanceNames& Names() const noexcept { return names_; }
    [[nodiscard]] static InstanceNames NamesFor(std::string_view digest,
                                                const std::string& lockFolder = {});

  private:
    enum class HandOverResult { Answered, NoAnswer };

    [[nodiscard]] bool OpenLockFile();
    [[nodiscard]] bool TryBecomeFirst(std::chrono::milliseconds wait);
    void CreateObjects();
    [[nodiscard]] HandOverResult HandOver(std::uint32_t& firstPid);
    [[nodiscard]] bool KillHungInstance(std::uint32_t pid);
    void ListenLoop();
    void StopListener() noexcept;
    void RemoveObjects() noexcept;

    std::string digest_;
    SingleInstanceOptions options_;
    InstanceNames names_;
    bool validDigest_ = false;
    bool settled_ = false;
    bool owner_ = false;
    int lockFd_ = -1;
    int sectionFd_ = -1;     // first instance: its shared memory
    void* reply_ = nullptr;  // sem_t*, kept opaque here
    void* wake_ = nullptr;
    std::function<void()> onWakeUp_;
    std::thread listener_;
    std::atomic<bool> stopping_{false};
};

}  // namespace koruvan::platform
