// The upload thread ("CollectDataUpload"): reporters on any thread append events to its
// queue; the thread wakes every period (a second in the program), hands every queued event
// to the statistics component and submits them as one batch.
//
// Stop: from the stop request on, no event is queued any more; the thread wakes at once,
// submits what is still queued and ends. A statistics server that hangs cannot hold the
// stop up for longer than `stopLimit`: after that the transfer under way is aborted (within
// about a second) and the rest is dropped.
//
// Locking: `lock_` guards the queue and the three state flags; the thread never holds it
// while it talks to the statistics component.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "telemetry/CDataStatisticsImp.h"
#include "telemetry/EventReport.h"

namespace koruvan::telemetry {

inline constexpr std::chrono::milliseconds kUploadPeriod{1000};

struct QueuedEvent {
    std::string code;
    std::string body;
    int flags = 0;
};

class DataUploadThread {
  public:
    DataUploadThread(CDataStatisticsImp& statistics, UploadIdentity identity,
                     std::chrono::milliseconds period = kUploadPeriod);
    ~DataUploadThread();  // stops (without a limit) when still running
    DataUploadThread(const DataUploadThread&) = delete;
    DataUploadThread& operator=(const DataUploadThread&) = delete;

    // False when the thread could not be created.
    bool Start();
    // Queues an event; false (the event is dropped) before Start or after the stop request.
    bool Queue(QueuedEvent event);
    // Whether events are taken: started and not asked to stop.
    [[nodiscard]] bool Accepting() const;
    // Asks the thread to stop and waits until it ends, aborting transfers after `limit`.
    void Stop(std::chrono::milliseconds limit);

    [[nodiscard]] const UploadIdentity& Identity() const noexcept { return identity_; }
    [[nodiscard]] CDataStatisticsImp& Statistics() noexcept { return statistics_; }

  private:
    void Run() noexcept;
    void HandOver(std::vector<QueuedEvent>& events);

    CDataStatisticsImp& statistics_;
    const UploadIdentity identity_;
    const std::chrono::milliseconds period_;
    mutable std::mutex lock_;
    std::condition_variable wake_;    // stop requests, and the end of the thread
    std::vector<QueuedEvent> queue_;  // guarded by lock_
    bool accepting_ = false;          // guarded by lock_
    bool stopRequested_ = false;      // guarded by lock_
    bool finished_ = false;           // guarded by lock_
    std::thread thread_;              // started and joined by the owner's thread
};

}  // namespace koruvan::telemetry
