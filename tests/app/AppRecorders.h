// Recorders for the controller's seams (front end, event sink, resource-list target) and
// for the process log, shared by the unit and the integration tests of app/.
#pragma once

#include <algorithm>
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
    bool Has(std::string_view text) const {
        std::lock_guard<std::mutex> guard(lock_);
        const std::string framed = "] [" + std::string(text) + "]\n";
        return std::any_of(lines_.begin(), lines_.end(), [&](const std::string& line) {
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
    std::mutex lock_;
    std::vector<std::pair<std::string, std::string>> notices;  // text, title
};

class RecordingEvents final : public app::EventSink {
  public:
    void Report(const app::UsageEvent& event) noexcept override {
        std::lock_guard<std::mutex> guard(lock_);
        events.push_back(event);
    }
    std::mutex lock_;
    std::vector<app::UsageEvent> events;
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
