#include "telemetry/DataUploadThread.h"

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "engine/core/base/KoruvanLog.h"
#include "platform/Thread.h"

namespace koruvan::telemetry {
namespace {

constexpr int kLogCategory = 28;
constexpr std::size_t kMaxLogLine = 4096;

std::string ThreadPrefix() {
    char prefix[48];
    std::snprintf(prefix, sizeof prefix, "TID : %5lu] [",
                  static_cast<unsigned long>(platform::CurrentThreadId()));
    return prefix;
}

void LogHandOverFailure(const std::string& code) {
    const std::string prefix = ThreadPrefix();
    char error[48];
    std::snprintf(error, sizeof error, "ErrorCode : (%lu)", static_cast<unsigned long>(errno));
    std::string line =
        prefix + "A exception catched in dataupload" + "CODE : (" + code + ")" + error;
    if (line.size() >= kMaxLogLine) {
        line = prefix + "A exception catched in AddData";
    }
    engine::WriteLog(line, kLogCategory, kLogCategory);
}

}  // namespace

DataUploadThread::DataUploadThread(CDataStatisticsImp& statistics, UploadIdentity identity,
                                   std::chrono::milliseconds period)
    : statistics_(statistics), identity_(std::move(identity)), period_(period) {}

DataUploadThread::~DataUploadThread() {
    Stop(std::chrono::milliseconds::max());
}

bool DataUploadThread::Start() {
    std::lock_guard<std::mutex> guard(lock_);
    if (thread_.joinable()) {
        return false;
    }
    try {
        thread_ = std::thread(&DataUploadThread::Run, this);
    } catch (const std::system_error&) {
        return false;
    }
    accepting_ = true;
    return true;
}

bool DataUploadThread::Queue(QueuedEvent event) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!accepting_) {
        return false;
    }
    queue_.push_back(std::move(event));
    return true;
}

bool DataUploadThread::Accepting() const {
    std::lock_guard<std::mutex> guard(lock_);
    return accepting_;
}

void DataUploadThread::Stop(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> guard(lock_);
    if (!thread_.joinable()) {
        return;
    }
    accepting_ = false;
    stopRequested_ = true;
    wake_.notify_all();
    const auto finishedNow = [this] { return finished_; };
    bool ended = true;
    if (limit == std::chrono::milliseconds::max()) {
        wake_.wait(guard, finishedNow);
    } else {
        ended = wake_.wait_for(guard, limit, finishedNow);
    }
    guard.unlock();
    if (!ended) {
        statistics_.AbortTransfers();  // a server that hangs: end the transfer under way
    }
    thread_.join();
    if (!ended) {
        statistics_.ResumeTransfers();
    }
}

void DataUploadThread::Run() noexcept {
    platform::SetCurrentThreadName("CollectDataUpload");
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        wake_.wait_for(guard, period_, [this] { return stopRequested_; });
        std::vector<QueuedEvent> taken;
        taken.swap(queue_);
        if (taken.empty()) {
            if (stopRequested_) {
                break;
            }
            continue;
        }
        guard.unlock();
        HandOver(taken);
        guard.lock();
    }
    finished_ = true;
    wake_.notify_all();
}

void DataUploadThread::HandOver(std::vector<QueuedEvent>& events) {
    bool handed = false;
    for (const QueuedEvent& event : events) {
        if (event.code.empty() || event.body.empty()) {
            engine::WriteLog(ThreadPrefix() + "Data Upload Failed with Empty Code Or Body",
                             kLogCategory, kLogCategory);
            continue;
        }
        try {
            (void)statistics_.AddEvent(event.code.c_str(), event.body.c_str(), event.flags);
            handed = true;
        } catch (...) {
            LogHandOverFailure(event.code);
        }
    }
    events.clear();
    if (handed) {
        (void)statistics_.SubmitEventBatch();
    }
}

}  // namespace koruvan::telemetry
