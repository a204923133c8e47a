// The controller's front end in the window: every call is carried over to the window's own
// thread. Notices, window messages and the close request are queued and never block the
// caller (often a timer thread). The modal box and the Yes/No question run on the window's
// thread; a caller on another thread waits for the answer, but gives up (No, or no box) once
// the window is closing, so that a window that waits for that thread at exit cannot
// deadlock with it.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string_view>

#include "app/FrontEnd.h"

namespace koruvan::ui {

class QtFrontEnd final : public app::FrontEnd {
  public:
    // What the window does with each call, always on the thread of `context`.
    struct Handlers {
        std::function<void(const QString& text, const QString& title)> notice;
        std::function<void(const QString& text, const QString& title)> modalNotice;
        std::function<bool(const QString& question, const QString& title)> askYesNo;
        std::function<void(std::uint32_t message)> message;
        std::function<void()> close;
    };

    QtFrontEnd(QObject* context, Handlers handlers);

    void ShowNotice(std::string_view text, std::string_view title) override;
    void ShowModalNotice(std::string_view text, std::string_view title) override;
    bool AskYesNo(std::string_view question, std::string_view title) override;
    void PostMessage(std::uint32_t message) override;
    void CloseMainWindow() override;

    // From now on calls from other threads no longer wait for the window's thread.
    void SetClosing() noexcept { closing_ = true; }

  private:
    [[nodiscard]] bool OnContextThread() const;
    // Runs `call` on the context's thread and waits for it; false when it did not run
    // (the window is closing or gone).
    bool RunAndWait(const std::function<void()>& call);

    QPointer<QObject> context_;
    Handlers handlers_;
    std::atomic<bool> closing_{false};
};

}  // namespace koruvan::ui
