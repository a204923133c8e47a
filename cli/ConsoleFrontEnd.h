// The controller's front end on a console: notices and boxes go to standard error, the
// question before installing is answered as the command line said, and window messages
// and the close request are queued for the command's loop, which plays the window's part.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string_view>

#include "app/FrontEnd.h"

namespace koruvan::cli {

class ConsoleFrontEnd final : public app::FrontEnd {
  public:
    explicit ConsoleFrontEnd(bool answerYes) : answerYes_(answerYes) {}

    void ShowNotice(std::string_view text, std::string_view title) override;
    void ShowModalNotice(std::string_view text, std::string_view title) override;
    bool AskYesNo(std::string_view question, std::string_view title) override;
    void PostMessage(std::uint32_t message) override;
    void CloseMainWindow() override;

    // The next posted message, or 0 when none is waiting.
    [[nodiscard]] std::uint32_t TakeMessage();
    [[nodiscard]] bool CloseRequested() const;
    // Before a notice is printed, the live progress line (if any) is ended.
    void SetLineOpen(bool open);

  private:
    void Print(std::string_view title, std::string_view text);

    const bool answerYes_;
    mutable std::mutex lock_;
    std::deque<std::uint32_t> messages_;  // guarded by lock_
    bool closeRequested_ = false;         // guarded by lock_
    bool lineOpen_ = false;               // guarded by lock_
};

}  // namespace koruvan::cli
