// Asks the home router (an Internet Gateway Device) to forward the listening port, through
// miniupnpc, on two short-lived worker threads that report back only through posted
// notifications (PortForwardTypes.h):
//   - the device-information thread ("DevInfo") searches the network for gateway devices and
//     reads the description of each one found (the last one read is kept);
//   - the mapping thread ("AddMap") waits for an event (the window sets it once the device
//     search ended, or 60 s pass), then adds the TCP mapping on the gateway.
// The device search is multicast; with an interface address in the options it goes out on
// that interface only (a loopback address keeps it on the host).
//
// Threads and locks: the engine and its worker threads share one record (`Shared`), whose
// mutex guards every field of it; a worker copies what it needs under the lock and calls
// miniupnpc and the notify functions without it. Destroying the engine clears the notify
// functions and lets running workers finish on their own (a device search cannot be
// interrupted); they post nothing afterwards.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "net/ManualResetEvent.h"
#include "net/PortForwardTypes.h"

namespace koruvan::net {

struct PortForwardOptions {
    // Dotted address of the interface the device search uses; empty: the system's choice.
    std::string multicastInterface;
    // How long a device search listens for answers.
    int discoveryMs = 2000;
    // How long the mapping thread waits for the device search's end.
    std::chrono::milliseconds deviceWait{60000};
};

class CPortForwardEngine {
  public:
    // Receives (wParam, lParam) notifications; called on a worker thread.
    using Notify = std::function<void(std::uintptr_t, std::intptr_t)>;

    explicit CPortForwardEngine(PortForwardOptions options = {});
    virtual ~CPortForwardEngine();
    CPortForwardEngine(const CPortForwardEngine&) = delete;
    CPortForwardEngine& operator=(const CPortForwardEngine&) = delete;

    // Starts the device search; false while one runs or without a notify function.
    [[nodiscard]] bool StartDeviceInfoThread(Notify notify);
    // Starts the mapping job with a copy of `mapping`; it waits for `event`. When the wait
    // times out, `timedOut` is called (and nothing is posted). False while a mapping job runs,
    // without a notify function or without an event.
    [[nodiscard]] bool StartMappingThread(const UpnpMapping& mapping, Notify notify,
                                          std::shared_ptr<ManualResetEvent> event,
                                          std::function<void()> timedOut);
    // A copy of the last device read (empty when the search found none).
    [[nodiscard]] IgdDeviceInfo GetDeviceInfo() const;
    // Forgets the last device and the gateway's port-mapping service.
    void ClearState();

  private:
    struct Shared;

    std::shared_ptr<Shared> shared_;
    std::thread deviceThread_;   // joined before it is replaced, detached at the end
    std::thread mappingThread_;  // the same
};

}  // namespace koruvan::net
