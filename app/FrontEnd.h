// How the download controller reaches whoever shows it: the window or the command line.
// Both implement this interface; tests implement it with a recorder.
//
// The controller calls it from the window thread, from its timer threads and from the
// verification thread; implementations must be thread-safe. The controller never holds
// its own locks across the two blocking calls (ShowModalNotice, AskYesNo).
#pragma once

#include <cstdint>
#include <string_view>

namespace koruvan::app {

// Window messages the controller posts to its front end.
// Verification ended with the installer still to be launched: the front end answers with
// PrimaryAction on its own thread.
inline constexpr std::uint32_t kVerificationDoneMessage = 0x468;
// The port-mapping jobs' progress and results, (wParam, lParam) as
// DownloadController::OnPortForwardNotification reads them. One fixed id in the range of
// registered window messages, so that no other message can take it.
inline constexpr std::uint32_t kPortForwardMessage = 0xC7A5;

class FrontEnd {
  public:
    virtual ~FrontEnd() = default;

    // A notice with one OK button. Never blocks the caller, which is often a timer thread:
    // the window posts it to its own thread, the command line prints it to standard error.
    virtual void ShowNotice(std::string_view text, std::string_view title) = 0;

    // A modal box with one OK button; returns once the user dismissed it.
    virtual void ShowModalNotice(std::string_view text, std::string_view title) = 0;

    // A modal Yes/No question; true for Yes.
    virtual bool AskYesNo(std::string_view question, std::string_view title) = 0;

    // Posts a window message (kVerificationDoneMessage) to the front end's own thread.
    // Never blocks; the front end handles it after the caller returned.
    virtual void PostMessage(std::uint32_t message) = 0;

    // The installer was started: the front end closes its window and ends the program,
    // running the controller's exit step (DownloadController::OnExit) on the way. Never
    // blocks; the caller returns first.
    virtual void CloseMainWindow() = 0;
};

}  // namespace koruvan::app
