// Reads of target data by threads other than the task thread. A reader queues a request
// and polls it; the task thread serves the queue at the start of every step, so the piece
// map is only ever touched by its own thread.
//
// Locking: the queue and every queued request are guarded by the queue's lock (the piece
// lock). A request is withdrawn by its reader under that lock, so the task thread never
// writes into a buffer whose reader has gone.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "engine/core/base/Mutex.h"

namespace koruvan::engine {

// Request states and results.
inline constexpr std::int32_t kReadQueued = -1;
inline constexpr std::int32_t kReadServing = -2;
inline constexpr std::int32_t kReadDone = 0;
inline constexpr std::int32_t kReadFailed = -3;
inline constexpr std::int32_t kReadTaskStopped = -5;
inline constexpr std::int32_t kReadTimedOut = -7;

struct ReadRequest {
    std::int32_t fileIndex = 0;
    std::uint8_t* buffer = nullptr;
    std::uint64_t offset = 0;
    std::int32_t length = 0;
    std::int32_t needed = 0;
    std::int32_t status = kReadQueued;
    std::int32_t result = -1;
    std::uint32_t queuedAt = 0;  // tick count
};

class ReadRequestQueue {
  public:
    // A queued request not picked up within this time is withdrawn.
    static constexpr std::uint32_t kPickUpMs = 3000;
    static constexpr std::uint32_t kPollMs = 10;

    // Queues a read and waits for it; `taskRunning` tells whether the task thread still
    // runs and has not been asked to stop. Returns the bytes read, kReadFailed,
    // kReadTaskStopped or kReadTimedOut.
    std::int32_t Read(std::int32_t fileIndex, void* buffer, std::uint64_t offset,
                      std::int32_t length, std::int32_t needed,
                      const std::function<bool()>& taskRunning);

    // Task thread: hands every request that is neither done nor failed to `serve`, under
    // the lock; `serve` sets the status and result.
    void Serve(const std::function<void(ReadRequest&)>& serve);

  private:
    void Withdraw(ReadRequest* request);

    QTMutex lock_;
    std::vector<ReadRequest*> queue_;  // guarded by lock_
};

}  // namespace koruvan::engine
