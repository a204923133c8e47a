// Resource-list refreshes on threads of their own, for a target (the controller) that may
// go away while a refresh still waits for the server: the fetch has no time limit, so
// nobody waits for it long (the refresher's end gives a refresh under way two seconds to
// finish). A refresh reaches the target only while it is attached; detaching waits for a
// call into the target already under way and cuts off the rest.
#pragma once

#include <memory>

#include "app/Plan.h"
#include "app/ResourceList.h"

namespace koruvan::app {

class ResourceRefresher {
  public:
    ResourceRefresher(DownloadPlan plan, ResourceListTarget& target);
    ~ResourceRefresher();
    ResourceRefresher(const ResourceRefresher&) = delete;
    ResourceRefresher& operator=(const ResourceRefresher&) = delete;

    // Starts a refresh on a new thread unless the previous one is still running (a server
    // that never answers must not pile up threads). True when one was started.
    bool Start();
    // Whether a refresh is running.
    [[nodiscard]] bool Running() const;
    // No refresh reaches the target after this returns. Idempotent.
    void Detach();

  private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
};

}  // namespace koruvan::app
