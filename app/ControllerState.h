// The controller state: one integer naming what the whole download is doing. The window
// lays out its buttons by it; the command line prints its name.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace koruvan::app {

enum class ControllerState : std::int32_t {
    Back = 0,            // ready, but the save volume is too small; Start refuses
    Ready = 1,           // nothing started; Start begins the download
    Preparing = 3,       // tasks created, no data flowing yet
    Downloading = 4,     // data flowing (aggregate speed above 1024 B/s)
    Pause = 5,           // all tasks stopped by the user or by the disk watch
    Resume = 6,          // unfinished tasks restarted, no data flowing yet
    Failed = 7,          // a task could not write to the disk, or repair gave up
    Finished = 8,        // all five files complete
    Retry = 9,           // counts as running everywhere; nothing enters it
    Md5Checking = 10,    // files being hashed
    CheckRecover = 11,   // a damaged file being downloaded again
    CheckFinished = 12,  // all five files verified
    Installing = 13,     // the installer being launched (only during the launch call)
    Recover = 15,        // restarted with a partial download; tasks reloaded
    Reload = 16,         // restarted with files to re-check, or preparing with progress
    Crashed = 17,        // the process is ending without a user exit
};

// The word the state-change log line uses; nullopt for the states that write no such line
// (installing, crashed).
[[nodiscard]] constexpr std::optional<std::string_view> StateName(ControllerState s) noexcept {
    switch (s) {
        case ControllerState::Back:
            return "back";
        case ControllerState::Ready:
            return "ready";
        case ControllerState::Preparing:
            return "preparing";
        case ControllerState::Downloading:
            return "downloading";
        case ControllerState::Pause:
            return "pause";
        case ControllerState::Resume:
            return "resume";
        case ControllerState::Failed:
            return "failed";
        case ControllerState::Finished:
            return "finished";
        case ControllerState::Retry:
            return "retry";
        case ControllerState::Md5Checking:
            return "md5checking";
        case ControllerState::CheckRecover:
            return "checkrecover";
        case ControllerState::CheckFinished:
            return "checkfinished";
        case ControllerState::Recover:
            return "recover";
        case ControllerState::Reload:
            return "reload";
        case ControllerState::Installing:
        case ControllerState::Crashed:
            return std::nullopt;
    }
    return std::nullopt;
}

// preparing, downloading, resume, retry, recover, reload: tasks are meant to transfer.
[[nodiscard]] constexpr bool IsRunning(ControllerState s) noexcept {
    switch (s) {
        case ControllerState::Preparing:
        case ControllerState::Downloading:
        case ControllerState::Resume:
        case ControllerState::Retry:
        case ControllerState::Recover:
        case ControllerState::Reload:
            return true;
        default:
            return false;
    }
}

// The running states plus the repair and the end of verification: the states in which the
// downloaded byte count is kept in the task file.
[[nodiscard]] constexpr bool KeepsByteCount(ControllerState s) noexcept {
    return IsRunning(s) || s == ControllerState::CheckRecover ||
           s == ControllerState::CheckFinished;
}

// The three states of the verification run.
[[nodiscard]] constexpr bool IsVerifying(ControllerState s) noexcept {
    return s == ControllerState::Md5Checking || s == ControllerState::CheckRecover ||
           s == ControllerState::CheckFinished;
}

}  // namespace koruvan::app
