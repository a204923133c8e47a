// The task object: the last layer over the statistics, pieces, peers and base layers, and
// the thread that does all of the task's work. Holds the thread body with its main loop
// and timing rules, the transfer step, publishing, the completion check, and the commands
// and queries the engine call interface forwards to a task.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/core/TWorkWithTransStatis.h"
#include "engine/core/TaskBtLink.h"
#include "engine/core/TaskDhtSearch.h"
#include "engine/core/TaskPeerLink.h"
#include "engine/core/TaskTrackerLink.h"
#include "engine/peers/SocketTransport.h"

namespace koruvan::engine {

class TWorkThread final : public TWorkWithTransStatis {
  public:
    // Registers the task; the first task of the process starts the engine-wide services.
    TWorkThread();
    // Stops the thread, resets, unregisters; the last task stops the services.
    ~TWorkThread() override;

    int Run() override;

    // Commands (engine call interface, under EngineApiLock).
    virtual std::int32_t StopDownload();
    virtual std::int32_t StartDownload();
    virtual std::int32_t PauseDownload();
    virtual std::int32_t RestartDownload();
    virtual std::int32_t ResumeDownload();
    // Loads the state file and starts with the label "ContinueDownload".
    std::int32_t ContinueDownload();

    // Queries (any thread, thread lock).
    // The metainfo record from the published state: sizes, info hash and announce URL.
    virtual std::int32_t QueryMetainfo(TaskMetainfo* metainfo);
    virtual std::int32_t QueryProgress(TaskProgress* progress);
    // The published source problem text (QueryTaskProblem).
    std::int32_t QueryProblem(char* buffer, std::int32_t size);
    // The swarm record (QueryTaskSwarm).
    std::int32_t QuerySwarm(TaskSwarm* swarm);
    virtual bool IsComplete();

    // One transfer step; returns the task clock.
    virtual std::int64_t Step();
    virtual void Reset(bool releasePool, bool dropContent);

    bool GaveUp() const noexcept { return gaveUp_; }
    bool TimedOut() const noexcept { return timedOut_; }

  protected:
    void PerSecondMaintenance() override;
    PeerTask& AsPeerTask() override { return peerLink_; }
    TrackerTask* AsTrackerTask() override { return &trackerLink_; }
    BtPeerTask* AsBtTask() override { return &btLink_; }
    [[nodiscard]] bool Downloading() const override;
    [[nodiscard]] std::int64_t CurrentTaskClock() const override;
    void WebSourcesChanged() override;
    void TakeMetainfoDocument(const std::string& document) override;
    [[nodiscard]] std::int32_t ConnectedPeerCount() const override;

  private:
    friend class TaskPeerLink;
    friend class TaskTrackerLink;
    friend class TaskBtLink;

    // The P2P service's upkeep for this task, at most every 400 ms: registers the task's
    // info hash once it has one, accepts incoming connections, keeps the listener up.
    void ServiceUpkeep();
    // Leaves the P2P service (end of a run).
    void LeaveService();

    void ReportUnresolvedRedirect();
    void SetPhase(std::int32_t phase) { work_.phase = phase; }
    int Body();
    // Reads the task's key and builds the piece layer; false ends the run early.
    bool Prepare();
    void MainLoop();
    // The loop's exit checks after a step; true when the loop must end.
    bool ShouldLeaveLoop(std::int64_t now);
    void EveryRoundUpkeep();
    // Polls the task's DHT search once a second while the engine's DHT switch is set, the
    // node runs and the task has metainfo (TaskDhtRound.cpp).
    void DriveDhtSearch();
    bool CompletionCheck(std::int64_t t);
    void EvaluatePeers(std::int64_t now);
    // After an exception in the body: give back every lock this thread may still hold.
    void ReleaseHeldLocks();

    void WaitForPeers(std::uint32_t ms);

    std::vector<SocketWait> waits_;  // reused by WaitForPeers
    std::int64_t last15_ = 0;
    std::uint32_t finalNameRetry_ = 0;  // EngineSeconds of the last failed final rename
    std::int32_t finalNameFailures_ = 0;
    std::int64_t last10_ = 0;
    std::int64_t lastEvaluation_ = 0;
    std::uint32_t lastSaveSeconds_ = 0;
    std::int64_t lastSync_ = 0;
    std::uint32_t upkeepRounds_ = 0;
    bool forceEvaluation_ = false;
    TaskPeerLink peerLink_{*this};
    TaskTrackerLink trackerLink_{*this};
    TaskBtLink btLink_{*this};
    std::uint32_t lastServiceMs_ = 0;
    // The P2P service as this task last saw it: "address : port", or "Service Disabled!".
    std::string serviceText_;
    TaskDhtSearch dhtSearch_;
    std::uint32_t lastDhtPoll_ = 0;
};

}  // namespace koruvan::engine
