// The process's telemetry upload: started once by the controller with the statistics
// configuration and the identity texts, stopped when the log is closed (CloseEngineLog runs
// StopDataUpload). Events reported before the start or after the stop are dropped.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "telemetry/CDataStatisticsImp.h"
#include "telemetry/DataUploadThread.h"

namespace koruvan::telemetry {

struct UploadOptions {
    // The component the thread hands events to; null: the process's own
    // (CreateDataStatistics). Tests give their own, with made-up system sources.
    CDataStatisticsImp* statistics = nullptr;
    std::chrono::milliseconds period = kUploadPeriod;
    // How long the stop waits for the last submission before aborting it.
    std::chrono::milliseconds stopLimit = kPostTimeout;
};

// Starts the upload: hands `configPath` to the component (which then counts as configured;
// an empty path means "Serverlist.ini"), keeps the four identity texts, starts the thread
// "CollectDataUpload", remembers the machine id text for MachineIdText, and makes
// CloseEngineLog stop the thread. False when an upload already runs or the thread could
// not be started.
bool CollectDataUpload(const std::string& configPath, const std::string& gameId,
                       const std::string& applicationVersion, const std::string& gameVersion,
                       const std::string& channel, const UploadOptions& options = {});

// Stops and deletes the upload thread (after its last submission, at most
// UploadOptions::stopLimit plus about a second); nothing when none runs.
void StopDataUpload() noexcept;

// The running upload (shared with the reporting functions); null when none runs.
[[nodiscard]] std::shared_ptr<DataUploadThread> RunningUpload() noexcept;

// The machine id text ("0x341134AB, 0x44897856") remembered by the last CollectDataUpload;
// empty before.
[[nodiscard]] std::string MachineIdText();

// The process-wide previous values of ReportEvent's In… fields.
[[nodiscard]] EventIncreases& ProcessIncreases() noexcept;

}  // namespace koruvan::telemetry
