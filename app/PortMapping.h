// The controller's start-up step `StartUpnp`: picks the listening port (a free one in
// 40000..50000, or the plan's `listen_port`), and, when this machine has a private address,
// asks the home router to forward it (net::CPortForwardEngine). The worker threads' results
// come back as notifications that the front end hands to
// DownloadController::OnPortForwardNotification on its own thread. Every outcome is logged
// (category 3) and reported as a usage event. `[p2p] upnp = 0` turns it all off.
//
// A front end makes one PortMapping, installs it into the controller's environment
// (Install: startUpnp, gatewayDevice, releaseMapping) and tells it where notifications go
// (SetNotify), or collects them itself (TakeNotifications). It must outlive the controller.
//
// Threads: StartUpnp runs on the front end's thread; the notifications and the time-out
// report come from the worker threads through a relay whose lock guards the notify target,
// the queue and the event sink, so that nothing reaches a front end or sink that is gone.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/DownloadController.h"
#include "app/EventSink.h"
#include "app/Plan.h"
#include "net/CPortForwardEngine.h"

namespace koruvan::app {

// What StartUpnp takes from the machine; tests replace what they need.
struct PortMappingHooks {
    std::function<bool(int port)> portInUse;                   // null: net::IsPortInUse
    std::function<unsigned()> random;                          // null: rand() seeded with time
    std::function<std::optional<std::string>()> localAddress;  // null: net::LocalIpv4Address
    // The device search's options; an empty interface becomes the plan's bind address.
    net::PortForwardOptions options;
};

class PortMapping {
  public:
    using Notify = std::function<void(std::uintptr_t wParam, std::intptr_t lParam)>;
    using Notification = std::pair<std::uintptr_t, std::intptr_t>;

    PortMapping(const P2pSettings& p2p, EventSink& events, PortMappingHooks hooks = {});
    ~PortMapping();
    PortMapping(const PortMapping&) = delete;
    PortMapping& operator=(const PortMapping&) = delete;

    // The listening port for the engine (0: none could be chosen, or the mapping could not be
    // started; with the mapping off, the plan's listen_port, 0 meaning the engine's default).
    [[nodiscard]] std::int32_t StartUpnp();
    // The gateway the device search found, as the log names it; nullopt when none.
    [[nodiscard]] std::optional<std::string> GatewayDevice() const;
    // Lets the mapping job go on (the device search has ended).
    void ReleaseMapping();
    // Points the controller's three port-mapping seams at this object.
    void Install(ControllerEnvironment& env);

    // Where notifications go from now on (null: into the queue); queued ones are delivered
    // to the new target first.
    void SetNotify(Notify notify);
    [[nodiscard]] std::vector<Notification> TakeNotifications();

  private:
    class Relay;

    void Fail(const std::string& text);

    const P2pSettings p2p_;
    PortMappingHooks hooks_;
    std::shared_ptr<Relay> relay_;
    std::shared_ptr<net::ManualResetEvent> deviceSearchEnded_;
    net::CPortForwardEngine engine_;
};

}  // namespace koruvan::app
