#include "ui/QtFrontEnd.h"

#include <QThread>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace koruvan::ui {
namespace {

QString Q(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// How often a waiting caller looks whether the window started closing.
constexpr auto kClosingPoll = std::chrono::milliseconds(100);

}  // namespace

QtFrontEnd::QtFrontEnd(QObject* context, Handlers handlers)
    : context_(context), handlers_(std::move(handlers)) {}

bool QtFrontEnd::OnContextThread() const {
    return context_ != nullptr && QThread::currentThread() == context_->thread();
}

void QtFrontEnd::ShowNotice(std::string_view text, std::string_view title) {
    QObject* context = context_.data();
    if (context == nullptr || !handlers_.notice) {
        return;
    }
    QMetaObject::invokeMethod(
        context, [h = handlers_.notice, t = Q(text), c = Q(title)] { h(t, c); },
        Qt::QueuedConnection);
}

bool QtFrontEnd::RunAndWait(const std::function<void()>& call) {
    if (OnContextThread()) {
        call();
        return true;
    }
    QObject* context = context_.data();
    if (context == nullptr || closing_) {
        return false;
    }
    struct Shared {
        std::mutex lock;
        std::condition_variable done;
        bool finished = false;
    };
    auto shared = std::make_shared<Shared>();
    QMetaObject::invokeMethod(
        context,
        [shared, call] {
            call();
            std::lock_guard<std::mutex> guard(shared->lock);
            shared->finished = true;
            shared->done.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> guard(shared->lock);
    while (!shared->finished) {
        if (closing_ || context_ == nullptr) {
            return false;
        }
        shared->done.wait_for(guard, kClosingPoll);
    }
    return true;
}

void QtFrontEnd::ShowModalNotice(std::string_view text, std::string_view title) {
    if (!handlers_.modalNotice) {
        return;
    }
    const QString t = Q(text);
    const QString c = Q(title);
    (void)RunAndWait([h = handlers_.modalNotice, t, c] { h(t, c); });
}

bool QtFrontEnd::AskYesNo(std::string_view question, std::string_view title) {
    if (!handlers_.askYesNo) {
        return false;
    }
    auto answer = std::make_shared<std::atomic<bool>>(false);
    const QString q = Q(question);
    const QString c = Q(title);
    const bool ran = RunAndWait([h = handlers_.askYesNo, q, c, answer] { *answer = h(q, c); });
    return ran && answer->load();
}

void QtFrontEnd::PostMessage(std::uint32_t message) {
    QObject* context = context_.data();
    if (context == nullptr || !handlers_.message) {
        return;
    }
    QMetaObject::invokeMethod(
        context, [h = handlers_.message, message] { h(message); }, Qt::QueuedConnection);
}

void QtFrontEnd::CloseMainWindow() {
    QObject* context = context_.data();
    if (context == nullptr || !handlers_.close) {
        return;
    }
    QMetaObject::invokeMethod(
        context, [h = handlers_.close] { h(); }, Qt::QueuedConnection);
}

}  // namespace koruvan::ui
