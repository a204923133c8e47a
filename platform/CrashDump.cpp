#include "platform/CrashDump.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/Random.h"

namespace koruvan::platform {
namespace {

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr std::size_t kAltStackSize = 64 * 1024;
constexpr int kMaxFrames = 64;

// Prepared at installation, read by the handler.
std::atomic<std::int64_t> gUtcOffsetSeconds{0};
std::atomic<std::uint32_t> gRandomSeed{0};
// The thread writing the report (0: none yet).
std::atomic<long> gCrashingThread{0};
// Keeps the recursion of the stack-overflow crash from being provably endless.
volatile bool gStopRecursion = false;

// The calling thread's alternate stack, when this code made it; released when the thread
// ends.
struct AltStack {
    char* base = nullptr;
    std::size_t size = 0;

    ~AltStack() {
        if (base == nullptr) {
            return;
        }
        stack_t current{};
        if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == base + Guard()) {
            if ((current.ss_flags & SS_ONSTACK) != 0) {
                return;  // still running on it: leave it mapped
            }
            stack_t off{};
            off.ss_flags = SS_DISABLE;
            sigaltstack(&off, nullptr);
        }
        munmap(base, size);
    }

    static std::size_t Guard() noexcept { return static_cast<std::size_t>(getpagesize()); }
};

thread_local AltStack tAltStack;

void EnsureAltStack() noexcept {
    stack_t current{};
    if (sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE) == 0) {
        return;  // the thread has one already (ours or someone else's)
    }
    const std::size_t usable = std::max(kAltStackSize, static_cast<std::size_t>(SIGSTKSZ));
    const std::size_t total = usable + AltStack::Guard();
    void* p = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK,
                   -1, 0);
    if (p == MAP_FAILED) {
        return;
    }
    char* base = static_cast<char*>(p);
    mprotect(base, AltStack::Guard(), PROT_NONE);  // an overflow of the handler faults
    stack_t stack{};
    stack.ss_sp = base + AltStack::Guard();
    stack.ss_size = usable;
    if (sigaltstack(&stack, nullptr) != 0) {
        munmap(base, total);
        return;
    }
    tAltStack.base = base;
    tAltStack.size = total;
}

long ThreadId() noexcept {
    return static_cast<long>(syscall(SYS_gettid));
}

// Appends `value` in decimal with at least `width` digits.
char* PutDecimal(char* at, char* end, std::uint64_t value, int width) noexcept {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 && n < 24);
    while (n < width && n < 24) {
        digits[n++] = '0';
    }
    while (n > 0 && at < end) {
        *at++ = digits[--n];
    }
    return at;
}

// A small buffered writer for the report; everything lives on the handler's stack.
class ReportWriter {
  public:
    explicit ReportWriter(int fd) noexcept : fd_(fd) {}
    ~ReportWriter() { Flush(); }
    ReportWriter(const ReportWriter&) = delete;
    ReportWriter& operator=(const ReportWriter&) = delete;

    ReportWriter& Text(const char* text) noexcept {
        while (*text != '\0') {
            Byte(*text++);
        }
        return *this;
    }
    ReportWriter& Decimal(std::int64_t value, int width = 1) noexcept {
        if (value < 0) {
            Byte('-');
        }
        const std::uint64_t magnitude =
            value < 0 ? ~static_cast<std::uint64_t>(value) + 1 : static_cast<std::uint64_t>(value);
        char digits[24];
        char* end = PutDecimal(digits, digits + sizeof digits, magnitude, width);
        for (char* p = digits; p < end; ++p) {
            Byte(*p);
        }
        return *this;
    }
    ReportWriter& Hex(std::uint64_t value) noexcept {
        static constexpr char kDigits[] = "0123456789abcdef";
        Text("0x");
        for (int shift = 60; shift >= 0; shift -= 4) {
            Byte(kDigits[(value >> shift) & 0xF]);
        }
        return *this;
    }
    void Flush() noexcept {
        std::size_t done = 0;
        while (done < used_) {
            const ssize_t n = write(fd_, buffer_ + done, used_ - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        used_ = 0;
    }

  private:
    void Byte(char c) noexcept {
        if (used_ == sizeof buffer_) {
            Flush();
        }
        buffer_[used_++] = c;
    }

    int fd_;
    char buffer_[512];
    std::size_t used_ = 0;
};

const char* SignalName(int sig) noexcept {
    switch (sig) {
        case SIGSEGV:
            return "SIGSEGV";
        case SIGBUS:
            return "SIGBUS";
        case SIGILL:
            return "SIGILL";
        case SIGFPE:
            return "SIGFPE";
        case SIGABRT:
            return "SIGABRT";
        default:
            return "signal";
    }
}

void WriteRegisters(ReportWriter& out, const void* context) noexcept {
    out.Text("registers:\n");
#if defined(__x86_64__)
    static constexpr const char* kNames[NGREG] = {
        "r8",  "r9",  "r10",    "r11", "r12",    "r13",     "r14", "r15",
        "rdi", "rsi", "rbp",    "rbx", "rdx",    "rax",     "rcx", "rsp",
        "rip", "efl", "csgsfs", "err", "trapno", "oldmask", "cr2"};
    const auto* uc = static_cast<const ucontext_t*>(context);
    for (int i = 0; i < NGREG; ++i) {
        out.Text("  ").Text(kNames[i]).Text(" ").Hex(
            static_cast<std::uint64_t>(uc->uc_mcontext.gregs[i]));
        out.Text("\n");
    }
#elif defined(__aarch64__)
    const auto* uc = static_cast<const ucontext_t*>(context);
    for (int i = 0; i < 31; ++i) {
        out.Text("  x").Decimal(i).Text(" ").Hex(uc->uc_mcontext.regs[i]).Text("\n");
    }
    out.Text("  sp ").Hex(uc->uc_mcontext.sp).Text("\n");
    out.Text("  pc ").Hex(uc->uc_mcontext.pc).Text("\n");
#else
    (void)context;
    out.Text("  (not recorded on this architecture)\n");
#endif
}

void CopyMemoryMap(ReportWriter& out, int fd) noexcept {
    out.Text("memory map:\n");
    out.Flush();
    const int maps = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (maps < 0) {
        return;
    }
    char block[1024];
    for (;;) {
        const ssize_t n = read(maps, block, sizeof block);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        ssize_t done = 0;
        while (done < n) {
            const ssize_t w = write(fd, block + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR) {
                continue;
            }
            if (w <= 0) {
                break;
            }
            done += w;
        }
    }
    close(maps);
}

int ReportNumber(std::uint32_t seed, long nanoseconds, long thread) noexcept {
    std::uint32_t x = seed ^ static_cast<std::uint32_t>(nanoseconds) ^
                      (static_cast<std::uint32_t>(thread) * 2654435761u);
    x ^= x >> 16;
    x *= 0x7feb352du;
    x ^= x >> 15;
    x *= 0x846ca68bu;
    x ^= x >> 16;
    return static_cast<int>(x % 100);
}

void WriteReport(int sig, const siginfo_t* info, const void* context, long thread) noexcept {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const std::int64_t ms = static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
    const DumpTime time = DumpTimeOf(ms, gUtcOffsetSeconds.load());
    char name[128];
    if (FormatDumpFileName(name, sizeof name, time,
                           ReportNumber(gRandomSeed.load(), now.tv_nsec, thread)) == 0) {
        return;
    }
    const int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        return;
    }
    {
        ReportWriter out(fd);
        out.Text("Koruvan crash report\n");
        out.Text("time: ").Decimal(time.year, 4).Text("-").Decimal(time.month, 2).Text("-");
        out.Decimal(time.day, 2).Text(" ").Decimal(time.hour, 2).Text(":");
        out.Decimal(time.minute, 2).Text(":").Decimal(time.second, 2).Text(".");
        out.Decimal(time.millisecond, 3).Text(" (local)\n");
        out.Text("signal: ").Decimal(sig).Text(" ").Text(SignalName(sig)).Text("\n");
        out.Text("code: ").Decimal(info != nullptr ? info->si_code : 0).Text("\n");
        out.Text("fault address: ")
            .Hex(info != nullptr ? reinterpret_cast<std::uintptr_t>(info->si_addr) : 0)
            .Text("\n");
        out.Text("process: ").Decimal(getpid()).Text("\n");
        out.Text("thread: ").Decimal(thread).Text("\n");
        if (context != nullptr) {
            WriteRegisters(out, context);
        }
        out.Text("backtrace:\n");
        out.Flush();
        void* frames[kMaxFrames];
        const int count = backtrace(frames, kMaxFrames);
        backtrace_symbols_fd(frames, count, fd);
        CopyMemoryMap(out, fd);
    }
    close(fd);
}

// Restores the default action and raises the signal again. It is blocked while the handler
// runs, so it arrives when the handler returns; a fault that repeats on return ends the
// process the same way.
void EndBySignal(int sig) noexcept {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    raise(sig);
}

void OnCrash(int sig, siginfo_t* info, void* context) {
    const int savedErrno = errno;
    const long self = ThreadId();
    long expected = 0;
    if (gCrashingThread.compare_exchange_strong(expected, self)) {
        WriteReport(sig, info, context, self);
    } else if (expected != self) {
        // Another thread is writing the report and will end the process.
        for (;;) {
            timespec pause{1, 0};
            nanosleep(&pause, nullptr);
        }
    }
    EndBySignal(sig);
    errno = savedErrno;
}

void PrepareUnwinder() noexcept {
    // The first backtrace() loads the unwinder, which allocates; do it now, not in the
    // handler.
    static const bool prepared = [] {
        void* frames[2];
        return backtrace(frames, 2) >= 0;
    }();
    (void)prepared;
}

void RefreshUtcOffset() noexcept {
    tzset();
    const time_t now = ::time(nullptr);
    tm local{};
    if (localtime_r(&now, &local) != nullptr) {
        gUtcOffsetSeconds.store(local.tm_gmtoff);
    }
}

char* PutPadded(char* at, char* end, int value, int width) noexcept {
    return PutDecimal(at, end, static_cast<std::uint64_t>(std::max(value, 0)), width);
}

[[gnu::noinline]] int Recurse(int depth) {
    volatile char pad[512];
    pad[0] = static_cast<char>(depth);
    if (gStopRecursion) {
        return pad[0];
    }
    return Recurse(depth + 1) + pad[0];
}

[[gnu::noinline]] void ReadPastTruncatedMapping() {
    const long page = getpagesize();
    const int fd = memfd_create("koruvan-test-crash", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, page) != 0) {
        return;
    }
    void* p = mmap(nullptr, static_cast<std::size_t>(page), PROT_READ, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED || ftruncate(fd, 0) != 0) {
        return;
    }
    const volatile char* bytes = static_cast<const volatile char*>(p);
    const char c = bytes[0];
    (void)c;
}

}  // namespace

DumpTime DumpTimeOf(std::int64_t unixMilliseconds, std::int64_t utcOffsetSeconds) noexcept {
    const std::int64_t local = unixMilliseconds + utcOffsetSeconds * 1000;
    constexpr std::int64_t kMsPerDay = 86'400'000;
    std::int64_t days = local / kMsPerDay;
    std::int64_t rest = local % kMsPerDay;
    if (rest < 0) {
        rest += kMsPerDay;
        --days;
    }
    // Days since 1970-01-01 to a proleptic Gregorian date (eras of 400 years).
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    DumpTime t;
    t.year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
    t.month = static_cast<int>(month);
    t.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    t.hour = static_cast<int>(rest / 3'600'000);
    t.minute = static_cast<int>(rest / 60'000 % 60);
    t.second = static_cast<int>(rest / 1000 % 60);
    t.millisecond = static_cast<int>(rest % 1000);
    return t;
}

std::size_t FormatDumpFileName(char* out, std::size_t size, const DumpTime& time,
                               int random) noexcept {
    // Ten digits at most per field: 4 + 7 × 11 bytes fit with room to spare.
    char buffer[128];
    char* end = buffer + sizeof buffer;
    char* at = PutPadded(buffer, end, time.year, 4);
    const int fields[] = {time.month,  time.day,         time.hour, time.minute,
                          time.second, time.millisecond, random};
    for (const int field : fields) {
        *at++ = '-';
        at = PutPadded(at, end, field, 2);
    }
    static constexpr char kSuffix[] = ".dmp";
    const std::size_t length = static_cast<std::size_t>(at - buffer) + sizeof kSuffix - 1;
    if (length + 1 > size) {
        return 0;
    }
    std::memcpy(out, buffer, static_cast<std::size_t>(at - buffer));
    std::memcpy(out + (at - buffer), kSuffix, sizeof kSuffix);
    return length;
}

std::string DumpFileName(const DumpTime& time, int random) {
    char name[128];
    const std::size_t n = FormatDumpFileName(name, sizeof name, time, random);
    return std::string(name, n);
}

bool InstallCrashHandler() noexcept {
    PrepareUnwinder();
    RefreshUtcOffset();
    if (gRandomSeed.load() == 0) {
        gRandomSeed.store(RandomUint32() | 1u);
    }
    EnsureAltStack();
    struct sigaction action {};
    action.sa_sigaction = OnCrash;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (const int sig : kCrashSignals) {
        sigaddset(&action.sa_mask, sig);  // a second fault while reporting ends the process
    }
    bool installed = true;
    for (const int sig : kCrashSignals) {
        installed = sigaction(sig, &action, nullptr) == 0 && installed;
    }
    return installed;
}

void CrashForTest(TestCrash kind) {
    switch (kind) {
        case TestCrash::Segv: {
            volatile std::uintptr_t address = 0x10;
            *reinterpret_cast<volatile int*>(address) = 1;
            break;
        }
        case TestCrash::Bus:
            ReadPastTruncatedMapping();
            break;
        case TestCrash::Ill:
            __builtin_trap();
        case TestCrash::Fpe:
#if defined(__x86_64__)
            asm volatile("xorl %%ecx, %%ecx\n\tdivl %%ecx" : : : "eax", "ecx", "edx");
#else
            raise(SIGFPE);
#endif
            break;
        case TestCrash::Abort:
            std::abort();
        case TestCrash::StackOverflow:
            (void)Recurse(0);
            break;
    }
    // The fault did not end the process (e.g. a handler that returned): end it plainly.
    std::abort();
}

void CrashIfRequested() {
    const char* request = std::getenv("KORUVAN_TEST_CRASH");
    if (request == nullptr) {
        return;
    }
    static constexpr struct {
        const char* name;
        TestCrash kind;
    } kKinds[] = {{"segv", TestCrash::Segv},   {"bus", TestCrash::Bus},
                  {"ill", TestCrash::Ill},     {"fpe", TestCrash::Fpe},
                  {"abort", TestCrash::Abort}, {"stack", TestCrash::StackOverflow}};
    for (const auto& k : kKinds) {
        if (std::strcmp(request, k.name) == 0) {
            CrashForTest(k.kind);
        }
    }
}

}  // namespace koruvan::platform
