// Verification and repair: the MD5 check of the five files against the plan on a thread of
// its own; a damaged file is repaired by re-creating its task from its resume file (the
// engine re-checks the pieces and fetches the damaged ones again) and hashed again, at most
// five times.
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <system_error>
#include <vector>

#include "app/ControllerText.h"
#include "app/DownloadController.h"
#include "platform/File.h"
#include "platform/Paths.h"
#include "platform/Thread.h"

namespace koruvan::app {
namespace {

constexpr int kMaxRepairs = 5;
constexpr int kReloadAttempts = 4;
constexpr std::uint32_t kRepairPollMs = 1000;
constexpr std::uint64_t kProgressBlock = 4096;  // progress counts 4096-byte blocks
constexpr std::size_t kReadChunk = 1 << 20;     // read in 1 MiB (256 blocks) at a time
constexpr const char* kRepairGaveUp =
    "修复失败：\r\n\r\n多次修复安装文件仍然出错，请尝试其他方式下载客户端\r\n或重启下载器进行再次修"
    "复";

std::string RepairCountText(int repairs) {
    char text[64];
    std::snprintf(text, sizeof text, "修复次数：%d", repairs);
    return text;
}

struct DigestContext {
    DigestContext() : ctx(EVP_MD_CTX_new()) {}
    ~DigestContext() { EVP_MD_CTX_free(ctx); }
    DigestContext(const DigestContext&) = delete;
    DigestContext& operator=(const DigestContext&) = delete;
    EVP_MD_CTX* ctx;
};

// Lower-case hex MD5 of a file, read in 1 MiB chunks; `progress` (bytes done, size) after
// each chunk returns false to stop. Empty when the file cannot be opened, measured or read
// through, or when stopped.
std::string Md5OfFile(const std::string& path,
                      const std::function<bool(std::uint64_t, std::uint64_t)>& progress) {
    platform::File file;
    if (!file.Open(path, platform::OpenMode::ReadExisting)) {
        return {};
    }
    const std::uint64_t size = file.Size().value_or(UINT64_MAX);
    DigestContext md5;
    if (size == UINT64_MAX || md5.ctx == nullptr ||
        EVP_DigestInit_ex(md5.ctx, EVP_md5(), nullptr) != 1) {
        return {};
    }
    std::vector<unsigned char> buffer(kReadChunk);
    std::uint64_t offset = 0;
    while (offset < size) {
        const std::int64_t n = file.ReadAt(offset, buffer.data(), buffer.size());
        if (n <= 0 || EVP_DigestUpdate(md5.ctx, buffer.data(), static_cast<std::size_t>(n)) != 1) {
            return {};
        }
        offset += static_cast<std::uint64_t>(n);
        if (!progress(offset, size)) {
            return {};
        }
    }
    unsigned char raw[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(md5.ctx, raw, &length) != 1) {
        return {};
    }
    std::string digest;
    char hex[3];
    for (unsigned int k = 0; k < length; ++k) {
        std::snprintf(hex, sizeof hex, "%02x", raw[k]);
        digest += hex;
    }
    return digest;
}

}  // namespace

void DownloadController::StartVerification(bool installAfter) {
    std::unique_lock<std::mutex> step(stepLock_);
    std::unique_lock<std::mutex> fields(lock_);
    switch (state_) {
        case ControllerState::CheckRecover:
            Notice("部分文件错误，正在修复中...", kNoticeTitle);
            return;
        case ControllerState::Md5Checking:
            Notice("MD5计算工作中……请等待完成", kNoticeTitle);
            return;
        case ControllerState::CheckFinished:
            fields.unlock();
            step.unlock();
            LaunchInstaller(true);
            return;
        case ControllerState::Finished:
            break;
        default:
            if (state_ == ControllerState::Failed && overallProgress_ == 10000) {
                Notice(kRepairGaveUp, kNoticeTitle);
            } else {
                Notice("请先将客户端下载完成，再点击检查按钮", kNoticeTitle);
            }
            return;
    }
    SetStateLocked(ControllerState::Md5Checking);
    verifyIndex_ = 0;
    verifyProgress_ = 0;
    installAfterVerify_ = installAfter;
    checkSet_ = (1u << kFileCount) - 1;
    downloadCheck_ = false;
    unrepairedFile_.clear();
    WriteTaskIdentityLocked();
    fields.unlock();
    if (!LaunchVerifyThread()) {
        fields.lock();
        Notice("检查线程创建失败，请重试", kNoticeTitle);
        SetStateLocked(ControllerState::Finished);
    }
}

void DownloadController::ReapVerifyThread() {
    if (!verifyRunning_.load() && verifyThread_.joinable()) {
        verifyThread_.join();  // its last step is done: the join does not wait for work
    }
}

bool DownloadController::LaunchVerifyThread() {
    if (verifyThread_.joinable()) {
        verifyThread_.join();  // the previous run has ended: `finished` is never its end
    }
    stopVerify_.store(false);
    verifyRunning_.store(true);
    try {
        verifyThread_ = std::thread([this] {
            platform::SetCurrentThreadName("Md5Check");
            VerifyAndRepair();
            verifyRunning_.store(false);
        });
    } catch (const std::system_error&) {
        verifyRunning_.store(false);
        return false;
    }
    return true;
}

bool DownloadController::AdoptFilesOnDisk() {
    std::unique_lock<std::mutex> step(stepLock_);
    std::unique_lock<std::mutex> fields(lock_);
    if (state_ != ControllerState::Reload && state_ != ControllerState::Recover) {
        return false;
    }
    for (int i = 0; i < kFileCount; ++i) {
        if (platform::FileSize(TargetPath(i)) != plan_.files[static_cast<std::size_t>(i)].size) {
            return false;
        }
    }
    Log("文件已齐全，待MD5校验");
    for (int i = 0; i < kFileCount; ++i) {
        if (const engine::TaskHandle h = tasks_.Handle(i)) {
            pendingStops_.push_back(h);
        }
        tasks_.SetDone(i, true);
    }
    SetStateLocked(ControllerState::Finished);
    // Seen as entered already: entering `finished` would record the files as complete, and
    // only their digests may do that here (the verification records each file that passes).
    observedState_ = ControllerState::Finished;
    FinishStep(fields);
    return true;
}

void DownloadController::VerifyAndRepair() {
    std::uint32_t files = 0;
    {
        std::lock_guard<std::mutex> fields(lock_);
        mismatchSeen_ = false;
        files = checkSet_;
    }
    for (int i = 0; i < kFileCount; ++i) {
        if ((files & (1u << i)) == 0) {
            continue;
        }
        {
            std::lock_guard<std::mutex> fields(lock_);
            mismatchDigest_.clear();
        }
        bool ok = CheckFileMd5(i, true);
        if (stopVerify_.load()) {
            return;
        }
        if (ok) {
            // A file whose digest is right is recorded as finished, also when it was taken
            // from the disk without a record (AdoptFilesOnDisk).
            std::lock_guard<std::mutex> fields(lock_);
            WriteCompletionRecordLocked(i);
            uncheckedFiles_ &= ~(1u << i);
        }
        if (!ok) {
            std::string digest;
            {
                std::lock_guard<std::mutex> fields(lock_);
                digest = mismatchDigest_;
            }
            ReportControllerEvent(events_, "11500201", "MD5 unmatched (" + digest + ")",
                                  FileName(i));
        }
        for (int repairs = 0; !ok && repairs < kMaxRepairs;) {
            if (!RepairFile(i, ok)) {
                return;  // the task could not be made again, or the program is ending
            }
            ++repairs;
            if (ok) {
                ReportControllerEvent(events_, "11100003", RepairCountText(repairs), FileName(i));
            }
        }
        if (!ok) {
            Notice(kRepairGaveUp, kNoticeTitle);
            ReportControllerEvent(events_, "11990501", RepairCountText(kMaxRepairs), FileName(i));
            std::lock_guard<std::mutex> fields(lock_);
            unrepairedFile_ = FileName(i);
            downloadCheck_ = false;
            SetStateLocked(ControllerState::Failed);
            return;
        }
    }
    EndVerification();
}

// Every file of the run matches: a download's own check makes the download `finished`; a
// verification asked for ends in `checkfinished` (and the installer, when asked).
void DownloadController::EndVerification() {
    {
        std::lock_guard<std::mutex> fields(lock_);
        if (downloadCheck_) {
            downloadCheck_ = false;
            uncheckedFiles_ = 0;
            checkSet_ = (1u << kFileCount) - 1;
            FinishDownloadLocked();
            return;
        }
    }
    ReportControllerEvent(events_, "11100004", "");
    bool install = false;
    {
        std::lock_guard<std::mutex> fields(lock_);
        SetStateLocked(ControllerState::CheckFinished);
        install = installAfterVerify_;
    }
    if (install) {
        frontEnd_.PostMessage(kVerificationDoneMessage);
    }
}

// One repair of file `index`: its task is made again from the resume file, waited for and
// the file hashed again (`ok`). False when the run has to end.
bool DownloadController::RepairFile(int index, bool& ok) {
    {
        std::lock_guard<std::mutex> fields(lock_);
        SetStateLocked(ControllerState::CheckRecover);
        repairProgress_ = 0;
        repairSpeed_ = 0;
        repairFailed_ = false;
    }
    (void)engine_.StopTask(tasks_.Handle(index), false);
    bool reloaded = false;
    for (int attempt = 0; attempt < kReloadAttempts && !reloaded; ++attempt) {
        (void)tasks_.ReloadFile(index, true);  // RepairReloaded tells how it went
        std::lock_guard<std::mutex> fields(lock_);
        reloaded = !repairFailed_;
    }
    if (!reloaded) {
        Notice("修复出错，请尝试重新启动下载器", kNoticeTitle);
        return false;
    }
    if (!WaitForRepair(index)) {
        return false;
    }
    {
        std::lock_guard<std::mutex> fields(lock_);
        SetStateLocked(ControllerState::Md5Checking);
    }
    ok = CheckFileMd5(index, false);
    if (ok) {
        // Recorded only once it matches: a record of a file that failed its check would let
        // the next start take the download as finished.
        std::lock_guard<std::mutex> fields(lock_);
        WriteCompletionRecordLocked(index);
        uncheckedFiles_ &= ~(1u << index);
    }
    return !stopVerify_.load();
}

// Polls the repaired file's task until it is complete; there is no time limit (the user
// sees the repair's progress and speed). False when the program is ending.
bool DownloadController::WaitForRepair(int index) {
    while (true) {
        clock_.SleepMs(kRepairPollMs);
        if (stopVerify_.load()) {
            return false;
        }
        engine::TaskProgress p{};
        const bool queried = engine_.QueryTask(tasks_.Handle(index), &p) == engine::kOk;
        if (queried && p.progress >= 10000) {
            return true;
        }
        std::lock_guard<std::mutex> fields(lock_);
        repairProgress_ = queried ? static_cast<std::uint32_t>(std::max(p.progress, 0)) : 0;
        repairSpeed_ = queried ? static_cast<std::uint32_t>(std::max(p.currentRate, 0)) : 0;
    }
}

// Hashes file `index` and compares it with the plan. The published progress counts
// 4096-byte blocks (it may pass 10000 a little with the last partial block). A file that
// cannot be opened, measured or read through gives the empty digest.
bool DownloadController::CheckFileMd5(int index, bool rememberDigest) {
    std::string path;
    {
        std::lock_guard<std::mutex> fields(lock_);
        path = TargetPath(index);
        verifyIndex_ = index;
        verifyProgress_ = 0;
    }
    const std::string digest = Md5OfFile(path, [this](std::uint64_t done, std::uint64_t size) {
        const std::uint64_t wholeBlocks = size / kProgressBlock;
        const std::uint64_t blocks = (done + kProgressBlock - 1) / kProgressBlock;
        std::lock_guard<std::mutex> fields(lock_);
        verifyProgress_ =
            static_cast<std::uint32_t>(wholeBlocks == 0 ? 10000 : blocks * 10000 / wholeBlocks);
        return !stopVerify_.load();
    });
    const std::string& expected = plan_.files[static_cast<std::size_t>(index)].md5;
    const std::string& name = plan_.files[static_cast<std::size_t>(index)].name;
    if (digest == expected) {
        Log("MD5匹配：" + name + "，Except：" + expected + "，Actural：" + digest);
        return true;
    }
    std::lock_guard<std::mutex> fields(lock_);
    mismatchSeen_ = true;
    verifyIndex_ = index;
    verifyProgress_ = 0;
    Log("MD5不匹配：" + name + "，Except：" + expected + "，Actural：" + digest);
    if (rememberDigest) {
        mismatchDigest_ = digest;
    }
    return false;
}

std::uint32_t DownloadController::VerifyProgress() const {
    std::lock_guard<std::mutex> fields(lock_);
    std::uint64_t weights = 0;
    std::uint64_t weighted = 0;
    for (int i = 0; i < kFileCount; ++i) {
        if ((checkSet_ & (1u << i)) == 0) {
            continue;  // not part of this check
        }
        const std::uint64_t w = plan_.files[static_cast<std::size_t>(i)].size >> 20;
        std::uint64_t value = 0;
        if (i < verifyIndex_) {
            value = 10000;
        } else if (i == verifyIndex_) {
            value = verifyProgress_ > 9999 ? 10000 : verifyProgress_;
        }
        weights += w;
        weighted += w * value;
    }
    return weights == 0 ? 0 : static_cast<std::uint32_t>(weighted / weights);
}

std::uint32_t DownloadController::RepairProgress() const {
    std::lock_guard<std::mutex> fields(lock_);
    return repairProgress_;
}

bool DownloadController::VerificationRunning() const {
    return verifyRunning_.load();
}

std::string DownloadController::VerifyingFile() const {
    std::lock_guard<std::mutex> fields(lock_);
    return FileName(verifyIndex_);
}

std::string DownloadController::UnrepairedFile() const {
    std::lock_guard<std::mutex> fields(lock_);
    return unrepairedFile_;
}

}  // namespace koruvan::app
