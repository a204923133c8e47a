#include "app/ResourceRefresher.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/Thread.h"

namespace koruvan::app {

// What a refresh thread keeps alive after the refresher is gone.
struct ResourceRefresher::Shared final : ResourceListTarget {
    Shared(DownloadPlan p, ResourceListTarget& t) : plan(std::move(p)), target(&t) {}

    void SetP2P(bool on) override {
        std::lock_guard<std::mutex> guard(lock);
        if (target != nullptr) {
            target->SetP2P(on);
        }
    }
    bool WantsSources(int index) override {
        std::lock_guard<std::mutex> guard(lock);
        return target != nullptr && target->WantsSources(index);
    }
    std::int32_t HandOver(int index, const std::vector<SourceOffer>& sources) override {
        std::lock_guard<std::mutex> guard(lock);
        return target != nullptr ? target->HandOver(index, sources) : -1;
    }

    const DownloadPlan plan;
    std::mutex lock;
    ResourceListTarget* target;        // guarded by lock; null once detached
    std::atomic<bool> running{false};  // cleared under lock, then `finished` is signalled
    std::condition_variable finished;
};

// How long the refresher's end waits for a refresh under way. A refresh normally ends in
// milliseconds; left running, it could still be inside the TLS library while the process
// exits and its exit handlers tear that library down. A server that never answers is not
// waited for longer than this.
constexpr auto kEndPatience = std::chrono::seconds(2);

ResourceRefresher::ResourceRefresher(DownloadPlan plan, ResourceListTarget& target)
    : shared_(std::make_shared<Shared>(std::move(plan), target)) {}

ResourceRefresher::~ResourceRefresher() {
    Detach();
    std::unique_lock<std::mutex> guard(shared_->lock);
    (void)shared_->finished.wait_for(guard, kEndPatience,
                                     [this] { return !shared_->running.load(); });
}

bool ResourceRefresher::Start() {
    bool expected = false;
    if (!shared_->running.compare_exchange_strong(expected, true)) {
        return false;
    }
    try {
        std::thread([shared = shared_] {
            platform::SetCurrentThreadName("ResourceList");
            (void)RefreshResourceList(shared->plan, *shared);
            {
                std::lock_guard<std::mutex> guard(shared->lock);
                shared->running.store(false);
            }
            shared->finished.notify_all();
        }).detach();
        return true;
    } catch (const std::system_error&) {
        shared_->running.store(false);
        return false;
    }
}

bool ResourceRefresher::Running() const {
    return shared_->running.load();
}

void ResourceRefresher::Detach() {
    std::lock_guard<std::mutex> guard(shared_->lock);
    shared_->target = nullptr;
}

}  // namespace koruvan::app
