// One instance per plan: hand-over to a live first instance, take-over from a hung or dead
// one, and the safety of the kill. Every "instance" is a separate helper process.
#include "platform/SingleInstance.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>

#include "EnvGuard.h"
#include "helpers/HelperProcess.h"
#include "support/TempDir.h"

namespace koruvan::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::HelperProcess;
using test::TempDir;

std::string RandomDigest() {
    std::random_device rd;
    std::string digest;
    for (int i = 0; i < 32; ++i) {
        digest += "0123456789abcdef"[rd() % 16];
    }
    return digest;
}

std::chrono::milliseconds Since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

bool KilledBy(const std::optional<int>& status, int sig) {
    return status && WIFSIGNALED(*status) && WTERMSIG(*status) == sig;
}

bool ExitedCleanly(const std::optional<int>& status) {
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

// Kills and reaps a forked child at the end of a test, whatever happened.
struct Reaper {
    pid_t pid;
    ~Reaper() {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
};

class SingleInstanceTest : public ::testing::Test {
  protected:
    ~SingleInstanceTest() override {
        // Whatever a killed helper left behind.
        const InstanceNames names = SingleInstance::NamesFor(digest_, lockDir_.Path());
        shm_unlink(names.mapping.c_str());
        sem_unlink(names.reply.c_str());
        sem_unlink(names.wake.c_str());
    }

    // Starts an instance and returns the role it reports.
    std::string StartInstance(HelperProcess& p, std::vector<std::string> extra = {},
                              const std::string& cwd = "") {
        std::vector<std::string> args{"instance", lockDir_.Path(), digest_};
        args.insert(args.end(), extra.begin(), extra.end());
        if (!p.Start(args, cwd)) {
            return "not started";
        }
        return p.ReadLine().value_or("no answer");
    }

    bool ObjectsExist() const {
        const InstanceNames names = SingleInstance::NamesFor(digest_, lockDir_.Path());
        const int fd = shm_open(names.mapping.c_str(), O_RDONLY, 0);
        if (fd >= 0) {
            close(fd);
        }
        sem_t* reply = sem_open(names.reply.c_str(), 0);
        if (reply != SEM_FAILED) {
            sem_close(reply);
        }
        return fd >= 0 || reply != SEM_FAILED;
    }

    TempDir lockDir_;
    std::string digest_ = RandomDigest();
};

TEST_F(SingleInstanceTest, LaterStartsHandOverToTheFirstAndEnd) {
    HelperProcess first;
    ASSERT_EQ(StartInstance(first), "role first");

    TempDir elsewhere;
    const std::string folder = std::filesystem::canonical(elsewhere.Path()).string();
    for (int start = 0; start < 3; ++start) {
        HelperProcess second;
        const auto begun = Clock::now();
        EXPECT_EQ(StartInstance(second, {}, folder), "role handed-over");
        EXPECT_TRUE(ExitedCleanly(second.Wait()));
        EXPECT_LT(Since(begun), 1000ms) << "start " << start;
        // The first instance was woken on its main loop and saw the later start's folder.
        EXPECT_EQ(first.ReadLine(), "woken " + folder);
    }

    // A first instance that ends cleans up; the next start is the first again.
    first.CloseInput();
    EXPECT_TRUE(ExitedCleanly(first.Wait()));
    EXPECT_FALSE(ObjectsExist());
    HelperProcess next;
    EXPECT_EQ(StartInstance(next), "role first");
}

TEST_F(SingleInstanceTest, FrozenFirstInstanceIsKilledAfterAboutOneSecond) {
    HelperProcess first;
    ASSERT_EQ(StartInstance(first), "role first");
    first.Signal(SIGSTOP);

    HelperProcess second;
    const auto begun = Clock::now();
    EXPECT_EQ(StartInstance(second), "role took-over");
    const auto waited = Since(begun);
    EXPECT_GE(waited, 950ms);
    EXPECT_LT(waited, 5000ms);
    EXPECT_TRUE(KilledBy(first.Wait(), SIGKILL));

    // The new first instance answers later starts with objects of its own.
    HelperProcess third;
    EXPECT_EQ(StartInstance(third), "role handed-over");
    EXPECT_EQ(second.ReadLine().value_or("").rfind("woken ", 0), 0u);
}

TEST_F(SingleInstanceTest, FirstInstanceWhoseMainLoopNeverAnswersIsReplaced) {
    // The listener thread still runs, but the answer has to come from the main loop.
    HelperProcess first;
    ASSERT_EQ(StartInstance(first, {"--ignore-wakeups"}), "role first");

    HelperProcess second;
    EXPECT_EQ(StartInstance(second), "role took-over");
    EXPECT_EQ(first.ReadLine(), "wake-ignored");
    EXPECT_TRUE(KilledBy(first.Wait(), SIGKILL));
}

TEST_F(SingleInstanceTest, ObjectsOfADeadInstanceDoNotGetInTheWay) {
    HelperProcess first;
    ASSERT_EQ(StartInstance(first), "role first");
    first.Signal(SIGKILL);
    ASSERT_TRUE(KilledBy(first.Wait(), SIGKILL));
    ASSERT_TRUE(ObjectsExist());  // left behind, as after a crash

    HelperProcess second;
    const auto begun = Clock::now();
    EXPECT_EQ(StartInstance(second), "role first");
    EXPECT_LT(Since(begun), 500ms);

    HelperProcess third;
    EXPECT_EQ(StartInstance(third), "role handed-over");
    EXPECT_EQ(second.ReadLine().value_or("").rfind("woken ", 0), 0u);
}

TEST_F(SingleInstanceTest, AProcessThatDoesNotHoldTheLockIsNeverKilled) {
    // The lock is held here, and the shared memory names an unrelated process, as a stale
    // or forged entry would.
    // The bystander is forked first, so that it does not share the locked file.
    const pid_t bystander = fork();
    ASSERT_GE(bystander, 0);
    if (bystander == 0) {
        pause();
        _exit(0);
    }
    const Reaper reaper{bystander};
    const InstanceNames names = SingleInstance::NamesFor(digest_, lockDir_.Path());
    const int lock = open(names.lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    const int fd = shm_open(names.mapping.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 4096), 0);
    const auto pid = static_cast<std::uint32_t>(bystander);
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(pid), static_cast<unsigned char>(pid >> 8),
        static_cast<unsigned char>(pid >> 16), static_cast<unsigned char>(pid >> 24)};
    ASSERT_EQ(pwrite(fd, bytes, 4, 0), 4);
    close(fd);
    sem_close(sem_open(names.reply.c_str(), O_CREAT, 0600, 0));
    sem_close(sem_open(names.wake.c_str(), O_CREAT, 0600, 0));

    HelperProcess second;
    EXPECT_EQ(StartInstance(second, {"--patience-ms", "200"}), "role held-elsewhere");
    EXPECT_TRUE(ExitedCleanly(second.Wait()));
    int status = 0;
    EXPECT_EQ(waitpid(bystander, &status, WNOHANG), 0) << "the bystander was killed";
    close(lock);
}

TEST_F(SingleInstanceTest, ALockHolderWithoutHandOverIsNeitherKilledNorJoined) {
    // What another front end holding only the lock looks like: no shared memory, no answer.
    const InstanceNames names = SingleInstance::NamesFor(digest_, lockDir_.Path());
    const int lock = open(names.lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);

    HelperProcess second;
    EXPECT_EQ(StartInstance(second, {"--patience-ms", "200"}), "role held-elsewhere");
    EXPECT_TRUE(ExitedCleanly(second.Wait()));

    // Once the holder is gone, the next start is the first.
    close(lock);
    HelperProcess third;
    EXPECT_EQ(StartInstance(third, {"--patience-ms", "200"}), "role first");
}

TEST_F(SingleInstanceTest, DifferentPlansDoNotMeet) {
    HelperProcess first;
    ASSERT_EQ(StartInstance(first), "role first");
    const std::string mine = digest_;
    digest_ = RandomDigest();
    HelperProcess other;
    EXPECT_EQ(StartInstance(other), "role first");
    // Ended cleanly, the other plan's instance removes its objects itself.
    other.CloseInput();
    EXPECT_TRUE(ExitedCleanly(other.Wait()));
    EXPECT_FALSE(ObjectsExist());
    digest_ = mine;
}

TEST(SingleInstanceNames, FollowTheDigestAndTheRuntimeFolder) {
    TempDir runtime;
    test::EnvGuard env;
    env.Set("XDG_RUNTIME_DIR", runtime.Path());
    const InstanceNames names = SingleInstance::NamesFor("bf20ec6ea8c684d53f4849109a955294");
    EXPECT_EQ(names.lockFile, runtime.Path() + "/bf20ec6ea8c684d53f4849109a955294.lock");
    EXPECT_EQ(names.mapping, "/Koruvan_Only_Mapping_bf20ec6ea8c684d53f4849109a955294");
    EXPECT_EQ(names.reply, "/Koruvan_ReplyEvt_bf20ec6ea8c684d53f4849109a955294");

    env.Set("XDG_RUNTIME_DIR", "relative/run");  // not usable: falls back to /tmp
    EXPECT_EQ(SingleInstance::NamesFor("ab").lockFile, "/tmp/ab.lock");
    env.Unset("XDG_RUNTIME_DIR");
    EXPECT_EQ(SingleInstance::NamesFor("ab").lockFile, "/tmp/ab.lock");
}

TEST(SingleInstanceNames, DigestsThatCouldEscapeTheirFolderAreRefused) {
    TempDir dir;
    SingleInstanceOptions options;
    options.lockFolder = dir.Path();
    const std::vector<std::string> digests{"", "../escape", "a/b", "name with blank",
                                           std::string(129, 'a')};
    for (const std::string& digest : digests) {
        SingleInstance instance(digest, options);
        EXPECT_EQ(instance.Settle(), InstanceRole::Unguarded) << digest;
        EXPECT_FALSE(instance.Listen([] {}));
        EXPECT_FALSE(instance.AnswerWakeUp().has_value());
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

}  // namespace
}  // namespace koruvan::platform
