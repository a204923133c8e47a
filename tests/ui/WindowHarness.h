// The main window over a real download controller whose engine is scripted (tests/app's
// ScriptedEngine): start-up on the test's thread, the periodic steps run by the test, and
// every box, folder browser, file manager and URL recorded instead of shown.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/ControllerFakes.h"
#include "ui/CPictureButton.h"
#include "ui/CSkinListCtrl.h"
#include "ui/CwbeKoruvanUIDlg.h"
#include "ui/WindowSettings.h"

namespace koruvan::ui::test {

class WindowHarness {
  public:
    WindowHarness() {
        env.engine = &engine;
        env.clock = &clock;
        env.dataRoot = dir.File("data");
        env.linkFileFolder = dir.Path();
        env.probeVolume = [](const std::string&) { return app::VolumeMode{false, true}; };
        env.defaultSaveFolder = [this] { return SaveFolder(); };
        env.openInstaller = [this](const std::string& path, const std::string&) {
            launches.push_back(path);
            return 42;
        };
        env.scheduleShutdown = [](std::string_view) { return true; };
        std::filesystem::create_directories(SaveFolder());
        options.runTimers = false;
        options.asyncStart = false;
        options.preparePlan = [](const app::DownloadPlan&) {};
        options.checkExpiry = [this] { return expiry; };
        options.chooseFolder = [this](const QString& title, const QString&) {
            browserTitles.push_back(title);
            return folderChoice;
        };
        options.showInFileManager = [this](const QString& path, bool select) {
            fileManager.emplace_back(path, select);
        };
        options.openUrl = [this](const QString& url) { urls.push_back(url); };
        options.notice = [this](const QString& text, const QString& title) {
            notices.emplace_back(text, title);
        };
        options.modalNotice = [this](const QString& text, const QString& title) {
            modals.emplace_back(text, title);
        };
        options.askYesNo = [this](const QString& question, const QString&) {
            questions.push_back(question);
            return answer;
        };
        options.trayAvailable = [this] { return trayAvailable; };
    }
    ~WindowHarness() { window.reset(); }

    // Builds the window and runs its initialisation.
    CwbeKoruvanUIDlg& Open() {
        window = std::make_unique<CwbeKoruvanUIDlg>(plan, events, env, options, settings);
        window->InitDialog();
        return *window;
    }
    app::DownloadController& Controller() { return window->Controller(); }
    std::string SaveFolder() const { return dir.File("save/vemo221047"); }
    std::string Target(int i) const {
        return SaveFolder() + "/" + plan.files[static_cast<std::size_t>(i)].name;
    }
    const std::string& Name(int i) const { return plan.files[static_cast<std::size_t>(i)].name; }
    std::string Content(int i) const { return "content of " + Name(i); }

    // Start pressed; every task moves data (`rate` bytes/s in all) at `progress`.
    void Downloading(std::int32_t progress = 100, std::int32_t rate = 200000) {
        window->OnCommand(kIdStart);
        SetAll(progress, rate);
        window->FastStep();
        window->SlowStep();
        window->FastStep();
    }
    void SetAll(std::int32_t progress, std::int32_t rate) {
        for (int i = 0; i < app::kFileCount; ++i) {
            engine.SetProgress(Name(i), progress, rate / app::kFileCount);
        }
    }
    // A finished download with the planned content on disk (the plan has no torrents: the
    // download's own MD5 check of the files runs first, on a thread of its own).
    void Finished() {
        Downloading();
        for (int i = 0; i < app::kFileCount; ++i) {
            koruvan::test::WriteFile(Target(i), Content(i));
            engine.Complete(Name(i));
        }
        window->SlowStep();
        (void)koruvan::test::ControllerHarness::WaitUntilChecked(Controller());
        window->FastStep();
    }
    // Runs the event loop until `done` holds (at most `ms`).
    template <typename Predicate>
    bool Until(Predicate done, int ms = 10000) {
        QElapsedTimer timer;
        timer.start();
        while (!done()) {
            if (timer.elapsed() > ms) {
                return false;
            }
            QApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        return true;
    }

    koruvan::test::TempDir dir;
    koruvan::test::LogRecorder log;
    koruvan::test::ScriptedEngine engine;
    koruvan::test::InstantClock clock;
    koruvan::test::RecordingEvents events;
    app::DownloadPlan plan = koruvan::test::TestPlan();
    app::ControllerEnvironment env;
    WindowOptions options;
    WindowSettings settings;
    std::unique_ptr<CwbeKoruvanUIDlg> window;

    std::optional<app::ExpiryNotice> expiry;
    std::optional<QString> folderChoice;
    bool answer = false;
    bool trayAvailable = false;
    std::vector<std::string> launches;
    std::vector<QString> browserTitles;
    std::vector<std::pair<QString, bool>> fileManager;
    std::vector<QString> urls;
    std::vector<std::pair<QString, QString>> notices;
    std::vector<std::pair<QString, QString>> modals;
    std::vector<QString> questions;
};

// Runs `act` on the first modal dialog that opens from now on (for dialogs shown with exec).
inline void WhenModalOpens(std::function<void(QWidget*)> act) {
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, act] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            act(modal);
        }
    });
    timer->start();
}

}  // namespace koruvan::ui::test
