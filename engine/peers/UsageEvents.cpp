#include "engine/peers/UsageEvents.h"

#include <memory>
#include <mutex>

namespace koruvan::engine {
namespace {

std::mutex& SinkLock() {
    static auto* lock = new std::mutex;  // never destroyed: late threads may still report
    return *lock;
}

// guarded by SinkLock(); a shared copy is taken so the sink runs outside the lock
std::shared_ptr<const UsageEventSink>& SinkSlot() {
    static auto* slot = new std::shared_ptr<const UsageEventSink>;
    return *slot;
}

}  // namespace

void SetUsageEventSink(UsageEventSink sink) {
    auto next = sink ? std::make_shared<const UsageEventSink>(std::move(sink)) : nullptr;
    std::lock_guard<std::mutex> guard(SinkLock());
    SinkSlot() = std::move(next);
}

void ReportUsageEvent(std::string_view code, std::string_view text,
                      std::string_view fileName) noexcept {
    try {
        std::shared_ptr<const UsageEventSink> sink;
        {
            std::lock_guard<std::mutex> guard(SinkLock());
            sink = SinkSlot();
        }
        if (sink) {
            (*sink)(UsageEvent{std::string(code), std::string(text), std::string(fileName)});
        }
    } catch (...) {
        // A failing receiver must not take the reporting thread down.
    }
}

}  // namespace koruvan::engine
