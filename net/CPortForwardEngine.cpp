#include "net/CPortForwardEngine.h"

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/miniwget.h>
#include <miniupnpc/upnpcommands.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string_view>

#include "net/IgdDescription.h"
#include "platform/Thread.h"

namespace koruvan::net {
namespace {

constexpr unsigned char kMulticastTtl = 2;
constexpr std::intptr_t kFirstDeviceProgress = 6;
constexpr auto kWaitSlice = std::chrono::milliseconds(100);

// The gateway's port-mapping service: its control URL and service type.
struct MappingService {
    std::string controlUrl;
    std::string serviceType;
    [[nodiscard]] bool Known() const { return !controlUrl.empty() && !serviceType.empty(); }
};

MappingService ServiceOf(UPNPUrls& urls, IGDdatas& data) {
    MappingService service;
    if (urls.controlURL != nullptr) {
        service.controlUrl = urls.controlURL;
    }
    service.serviceType = data.first.servicetype;
    return service;
}

// What one found device's description tells: its properties and its mapping service.
struct DeviceRead {
    std::optional<IgdDeviceInfo> info;
    MappingService service;
};

DeviceRead ReadDevice(const UPNPDev& device) {
    DeviceRead read;
    int size = 0;
    int status = 0;
    char* description =
        static_cast<char*>(miniwget(device.descURL, &size, device.scope_id, &status));
    if (description == nullptr || size <= 0) {
        std::free(description);
        return read;
    }
    read.info = ReadIgdDescription(std::string_view(description, static_cast<std::size_t>(size)));
    IGDdatas data{};
    parserootdesc(description, size, &data);
    std::free(description);
    UPNPUrls urls{};
    GetUPNPUrls(&urls, &data, device.descURL, device.scope_id);
    read.service = ServiceOf(urls, data);
    FreeUPNPUrls(&urls);
    return read;
}

}  // namespace

struct CPortForwardEngine::Shared {
    explicit Shared(PortForwardOptions o) : options(std::move(o)) {}

    const PortForwardOptions options;
    mutable std::mutex lock;  // guards every field below
    Notify deviceNotify;      // the window of the device search, while it runs
    Notify mappingNotify;     // the window of the mapping job, while it runs
    bool deviceRunning = false;
    bool mappingRunning = false;
    bool engineGone = false;
    IgdDeviceInfo device;    // the last device read
    MappingService service;  // the gateway's port-mapping service, once known

    void Post(bool fromDevice, std::uintptr_t wParam, std::intptr_t lParam) const {
        Notify notify;
        {
            std::lock_guard<std::mutex> guard(lock);
            notify = fromDevice ? deviceNotify : mappingNotify;
        }
        if (notify) {
            notify(wParam, lParam);
        }
    }
    [[nodiscard]] const char* Interface() const {
        return options.multicastInterface.empty() ? nullptr : options.multicastInterface.c_str();
    }
    // A device search of its own for the mapping job (when the device thread found none).
    [[nodiscard]] MappingService Discover() const;

    void RunDeviceSearch();
    void RunMapping(const UpnpMapping& mapping, const std::shared_ptr<ManualResetEvent>& event,
                    const std::function<void()>& timedOut);
};

MappingService CPortForwardEngine::Shared::Discover() const {
    int error = 0;
    UPNPDev* devices = upnpDiscoverDevice(kGatewayDeviceType, options.discoveryMs, Interface(),
                                          nullptr, 0, 0, kMulticastTtl, &error);
    MappingService service;
    if (devices != nullptr) {
        UPNPUrls urls{};
        IGDdatas data{};
        char lanAddress[64] = {};
        if (UPNP_GetValidIGD(devices, &urls, &data, lanAddress, sizeof lanAddress) > 0) {
            service = ServiceOf(urls, data);
        }
        FreeUPNPUrls(&urls);
        freeUPNPDevlist(devices);
    }
    return service;
}

void CPortForwardEngine::Shared::RunDeviceSearch() {
    (void)platform::SetCurrentThreadName("DevInfo");
    Post(true, kDeviceInfoProgress, 0);
    Post(true, kDeviceInfoProgress, 1);
    int error = 0;
    UPNPDev* devices = upnpDiscoverDevice(kGatewayDeviceType, options.discoveryMs, Interface(),
                                          nullptr, 0, 0, kMulticastTtl, &error);
    Post(true, kDeviceInfoProgress, 5);
    // The search itself failing (no socket, no memory) is a failure; finding nothing is not.
    bool failed = devices == nullptr &&
                  (error == UPNPDISCOVER_SOCKET_ERROR || error == UPNPDISCOVER_MEMORY_ERROR);
    IgdDeviceInfo last;
    MappingService service;
    std::intptr_t progress = kFirstDeviceProgress;
    for (const UPNPDev* d = devices; d != nullptr; d = d->pNext) {
        Post(true, kDeviceInfoProgress, progress++);
        const DeviceRead read = ReadDevice(*d);
        failed = !read.info.has_value();  // only the last device's reading counts
        if (read.info) {
            last = *read.info;
        }
        if (!service.Known() && read.service.Known()) {
            service = read.service;
        }
    }
    freeUPNPDevlist(devices);
    {
        std::lock_guard<std::mutex> guard(lock);
        device = last;
        if (service.Known()) {
            this->service = service;
        }
    }
    Post(true, kDeviceInfoDone, failed ? kResultFailed : kResultOk);
    std::lock_guard<std::mutex> guard(lock);
    deviceNotify = nullptr;
    deviceRunning = false;
}

void CPortForwardEngine::Shared::RunMapping(const UpnpMapping& mapping,
                                            const std::shared_ptr<ManualResetEvent>& event,
                                            const std::function<void()>& timedOut) {
    const auto end = std::chrono::steady_clock::now() + options.deviceWait;
    bool released = false;
    bool gone = false;
    while (!released && !gone && std::chrono::steady_clock::now() < end) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        released = event->WaitFor(std::min(left, std::chrono::milliseconds(kWaitSlice)));
        std::lock_guard<std::mutex> guard(lock);
        gone = engineGone;
    }
    if (!released || gone) {
        if (!gone && timedOut) {
            timedOut();
        }
        std::lock_guard<std::mutex> guard(lock);
        mappingNotify = nullptr;
        mappingRunning = false;
        return;
    }
    (void)platform::SetCurrentThreadName("AddMap");
    Post(false, kMappingProgress, 0);
    MappingService known;
    {
        std::lock_guard<std::mutex> guard(lock);
        known = service;
    }
    if (!known.Known()) {
        known = Discover();
    }
    Post(false, kMappingProgress, 1);
    int result = -1;
    if (known.Known()) {
        result = UPNP_AddPortMapping(
            known.controlUrl.c_str(), known.serviceType.c_str(), mapping.externalPort.c_str(),
            mapping.internalPort.c_str(), mapping.internalClient.c_str(),
            mapping.description.c_str(), mapping.protocol.c_str(),
            mapping.externalAddress.empty() ? nullptr : mapping.externalAddress.c_str(), "0");
    }
    Post(false, kMappingProgress, 2);
    Post(false, kMappingDone, result == UPNPCOMMAND_SUCCESS ? kResultOk : kResultFailed);
    std::lock_guard<std::mutex> guard(lock);
    mappingNotify = nullptr;
    mappingRunning = false;
}

CPortForwardEngine::CPortForwardEngine(PortForwardOptions options)
    : shared_(std::make_shared<Shared>(std::move(options))) {}

CPortForwardEngine::~CPortForwardEngine() {
    {
        std::lock_guard<std::mutex> guard(shared_->lock);
        shared_->engineGone = true;
        shared_->deviceNotify = nullptr;
        shared_->mappingNotify = nullptr;
    }
    // A running search cannot be cut short: the workers end on their own, holding the
    // shared record until then.
    if (deviceThread_.joinable()) {
        deviceThread_.detach();
    }
    if (mappingThread_.joinable()) {
        mappingThread_.detach();
    }
}

bool CPortForwardEngine::StartDeviceInfoThread(Notify notify) {
    if (!notify) {
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(shared_->lock);
        if (shared_->deviceRunning) {
            return false;
        }
        shared_->deviceRunning = true;
        shared_->deviceNotify = std::move(notify);
    }
    if (deviceThread_.joinable()) {
        deviceThread_.join();  // the previous search has ended (it cleared its flag last)
    }
    try {
        deviceThread_ = std::thread([shared = shared_] { shared->RunDeviceSearch(); });
    } catch (...) {
        std::lock_guard<std::mutex> guard(shared_->lock);
        shared_->deviceRunning = false;
        shared_->deviceNotify = nullptr;
        return false;
    }
    return true;
}

bool CPortForwardEngine::StartMappingThread(const UpnpMapping& mapping, Notify notify,
                                            std::shared_ptr<ManualResetEvent> event,
                                            std::function<void()> timedOut) {
    if (!notify || !event) {
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(shared_->lock);
        if (shared_->mappingRunning) {
            return false;
        }
        shared_->mappingRunning = true;
        shared_->mappingNotify = std::move(notify);
    }
    if (mappingThread_.joinable()) {
        mappingThread_.join();
    }
    try {
        mappingThread_ = std::thread(
            [shared = shared_, mapping, event = std::move(event), timedOut = std::move(timedOut)] {
                shared->RunMapping(mapping, event, timedOut);
            });
    } catch (...) {
        std::lock_guard<std::mutex> guard(shared_->lock);
        shared_->mappingRunning = false;
        shared_->mappingNotify = nullptr;
        return false;
    }
    return true;
}

IgdDeviceInfo CPortForwardEngine::GetDeviceInfo() const {
    std::lock_guard<std::mutex> guard(shared_->lock);
    return shared_->device;
}

void CPortForwardEngine::ClearState() {
    std::lock_guard<std::mutex> guard(shared_->lock);
    shared_->device = IgdDeviceInfo{};
    shared_->service = MappingService{};
}

}  // namespace koruvan::net
