#include "engine/core/ReadRequests.h"

#include <algorithm>

#include "engine/core/base/EngineClock.h"
#include "engine/core/base/LockGuard.h"

namespace koruvan::engine {

std::int32_t ReadRequestQueue::Read(std::int32_t fileIndex, void* buffer, std::uint64_t offset,
                                    std::int32_t length, std::int32_t needed,
                                    const std::function<bool()>& taskRunning) {
    if (buffer == nullptr || length <= 0) {
        return kReadFailed;
    }
    ReadRequest request;
    request.fileIndex = fileIndex;
    request.buffer = static_cast<std::uint8_t*>(buffer);
    request.offset = offset;
    request.length = length;
    request.needed = needed;
    request.queuedAt = TickCount();
    {
        LockGuard guard(&lock_, true);
        queue_.push_back(&request);
    }
    for (;;) {
        {
            LockGuard guard(&lock_, true);
            if (request.status == kReadDone) {
                Withdraw(&request);
                return request.result;
            }
            if (request.status == kReadFailed) {
                Withdraw(&request);
                return kReadFailed;
            }
            if (request.status == kReadQueued && TickCount() - request.queuedAt > kPickUpMs) {
                Withdraw(&request);
                return kReadTimedOut;
            }
            if (!taskRunning()) {
                Withdraw(&request);
                return kReadTaskStopped;
            }
        }
        SleepMs(kPollMs);
    }
}

void ReadRequestQueue::Withdraw(ReadRequest* request) {
    queue_.erase(std::remove(queue_.begin(), queue_.end(), request), queue_.end());
}

void ReadRequestQueue::Serve(const std::function<void(ReadRequest&)>& serve) {
    LockGuard guard(&lock_, true);
    for (ReadRequest* request : queue_) {
        if (request->status != kReadDone && request->status != kReadFailed) {
            request->status = kReadServing;
            serve(*request);
        }
    }
}

}  // namespace koruvan::engine
