// Recorders for the controller's seams (front end, event sink, resource-list target) and
// for the process log, shared by the unit and the integration tests of app/.
#pragma once

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/EventSink.h"
#include "app/FileTasks.h"
#include "app/FrontEnd.h"
#include "app/ResourceList.h"
#include "engine/core/base/KoruvanLog.h"

namespace koruvan::test {

// Captures the lines the process log echoes while it lives.
class LogRecorder {
  public:
    LogRecorder() {
        engine::CreateEngineLog();
        engine::EngineLog()->SetDebugEcho([this](std::string_view line) {
            std::lock_guard<std::mutex> guard(lock_);
            lines_.emplace_back(line);
        });
    }
    ~LogRecorder() { engine::CloseEngineLog(); }
    LogRecorder(const LogRecorder&) = delete;
    LogRecorder& operator=(const LogRecorder&) = delete;

    // Whether a line with exactly this text was logged ("[time] [text]\n").
    bool Has(std::string_view text) const { return Count(text) > 0; }
    // How many lines with exactly this text were logged.
    std::ptrdiff_t Count(std::string_view text) const {
        std::lock_guard<std::mutex> guard(lock_);
        const std::string framed = "] [" + std::string(text) + "]\n";
        return std::count_if(lines_.begin(), lines_.end(), [&](const std::string& line) {
            return line.size() >= framed.size() &&
                   line.compare(line.size() - framed.size(), framed.size(), framed) == 0;
        });
    }
    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> guard(lock_);
        return lines_;
    }

  private:
    mutable std::mutex lock_;
    std::vector<std::string> lines_;
};

class RecordingFrontEnd final : public app::FrontEnd {
  public:
    void ShowNotice(std::string_view text, std::string_view title) override {
        std::lock_guard<std::mutex> guard(lock_);
        notices.emplace_back(text, title);
    }
    void ShowModalNotice(std::string_view text, std::string_view title) override {
        std::lock_guard<std::mutex> guard(lock_);
        modals.emplace_back(text, title);
    }
    bool AskYesNo(std::string_view question, std::string_view title) override {
        std::lock_guard<std::mutex> guard(lock_);
        questions.emplace_back(question, title);
        return answer;
    }
    void PostMessage(std::uint32_t message) override {
        std::lock_guard<std::mutex> guard(lock_);
        messages.push_back(message);
    }
    void CloseMainWindow() override {
        std::lock_guard<std::mutex> guard(lock_);
        ++closeRequests;
    }

    // Texts of the notices so far (titles left out).
    std::vector<std::string> NoticeTexts() {
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<std::string> texts;
        for (const auto& n : notices) {
            texts.push_back(n.first);
        }
        return texts;
    }
    int CountNotice(std::string_view text) {
        std::lock_guard<std::mutex> guard(lock_);
        return static_cast<int>(std::count_if(notices.begin(), notices.end(),
                                              [&](const auto& n) { return n.first == text; }));
    }

    std::mutex lock_;
    bool answer = false;
    std::vector<std::pair<std::string, std::string>> notices;    // text, title
    std::vector<std::pair<std::string, std::string>> modals;     // text, title
    std::vector<std::pair<std::string, std::string>> questions;  // text, title
    std::vector<std::uint32_t> messages;
    int closeRequests = 0;
};

class RecordingEvents final : public app::EventSink {
  public:
    void Report(const app::UsageEvent& event) noexcept override {
        std::lock_guard<std::mutex> guard(lock_);
        events.push_back(event);
        detailed.push_back(app::DetailedEvent{
            event.code, {}, {}, 0, 0, 0, {}, 0, 0, 0, 0, 0, event.fileName, {}, event.text, 0});
    }
    void ReportDetailed(const app::DetailedEvent& event) noexcept override {
        std::lock_guard<std::mutex> guard(lock_);
        events.push_back(app::UsageEvent{event.code, event.errorMessage, event.fileName});
        detailed.push_back(event);
    }

    // The codes reported so far, in order.
    std::vector<std::string> Codes() {
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<std::string> codes;
        for (const auto& e : events) {
            codes.push_back(e.code);
        }
        return codes;
    }
    int Count(std::string_view code) {
        std::lock_guard<std::mutex> guard(lock_);
        return static_cast<int>(std::count_if(events.begin(), events.end(),
                                              [&](const auto& e) { return e.code == code; }));
    }
    // The last event with `code` (an empty one when there is none).
    app::DetailedEvent Last(std::string_view code) {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto it = detailed.rbegin(); it != detailed.rend(); ++it) {
            if (it->code == code) {
                return *it;
            }
        }
        return {};
    }

    std::mutex lock_;
    std::vector<app::UsageEvent> events;
    std::vector<app::DetailedEvent> detailed;
};

class RecordingOwner final : public app::TaskOwner {
  public:
    void TaskHandedOver() override { ++handedOver; }
    void RepairReloaded(bool failed) override { repairResults.push_back(failed); }
    int handedOver = 0;
    std::vector<bool> repairResults;
};

// A resource-list target that takes every source of the files it wants.
class RecordingTarget : public app::ResourceListTarget {
  public:
    void SetP2P(bool on) override { p2p.push_back(on); }
    bool WantsSources(int index) override {
        return std::find(unwanted.begin(), unwanted.end(), index) == unwanted.end();
    }
    std::int32_t HandOver(int index, const std::vector<app::SourceOffer>& sources) override {
        handed.emplace_back(index, sources);
        return result;
    }

    std::vector<int> unwanted;
    std::int32_t result = 0;
    std::vector<bool> p2p;
    std::vector<std::pair<int, std::vector<app::SourceOffer>>> handed;
};

}  // namespace koruvan::test
