#include "app/PortMapping.h"

#include <cstdlib>
#include <ctime>
#include <deque>
#include <mutex>

#include "engine/core/base/KoruvanLog.h"
#include "net/PortChoice.h"

namespace koruvan::app {
namespace {

constexpr int kLogCategory = 3;
constexpr const char* kFailureEvent = "11500105";
constexpr const char* kDirectEvent = "11390001";

void Log(const std::string& text) {
    engine::WriteLog(text, kLogCategory, kLogCategory);
}

net::PortForwardOptions WithInterface(net::PortForwardOptions options, const P2pSettings& p2p) {
    if (options.multicastInterface.empty()) {
        options.multicastInterface = p2p.bindAddress;
    }
    return options;
}

}  // namespace

// The worker threads' way back: notifications to the front end (or into the queue) and the
// time-out report. `lock_` guards every field; it is held while a call goes out, so that
// Close waits for a call under way and nothing is called afterwards.
class PortMapping::Relay {
  public:
    explicit Relay(EventSink& events) : events_(&events) {}

    void Post(std::uintptr_t wParam, std::intptr_t lParam) {
        std::lock_guard<std::mutex> guard(lock_);
        if (events_ == nullptr) {
            return;
        }
        if (notify_) {
            notify_(wParam, lParam);
        } else {
            pending_.emplace_back(wParam, lParam);
        }
    }
    // Logs the text and reports it as the event `code`.
    void Report(const char* code, const std::string& text) {
        std::lock_guard<std::mutex> guard(lock_);
        if (events_ != nullptr) {
            Log(text);
            ReportControllerEvent(*events_, code, text);
        }
    }
    void SetNotify(Notify notify) {
        std::lock_guard<std::mutex> guard(lock_);
        notify_ = std::move(notify);
        while (notify_ && !pending_.empty()) {
            notify_(pending_.front().first, pending_.front().second);
            pending_.pop_front();
        }
    }
    std::vector<Notification> Take() {
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<Notification> taken(pending_.begin(), pending_.end());
        pending_.clear();
        return taken;
    }
    void Close() {
        std::lock_guard<std::mutex> guard(lock_);
        events_ = nullptr;
        notify_ = nullptr;
        pending_.clear();
    }

  private:
    std::mutex lock_;
    EventSink* events_;  // null once the port mapping is gone
    Notify notify_;
    std::deque<Notification> pending_;
};

PortMapping::PortMapping(const P2pSettings& p2p, EventSink& events, PortMappingHooks hooks)
    : p2p_(p2p),
      hooks_(std::move(hooks)),
      relay_(std::make_shared<Relay>(events)),
      deviceSearchEnded_(std::make_shared<net::ManualResetEvent>()),
      engine_(WithInterface(hooks_.options, p2p)) {}

PortMapping::~PortMapping() {
    relay_->Close();
}

void PortMapping::Fail(const std::string& text) {
    relay_->Report(kFailureEvent, text);
}

std::int32_t PortMapping::StartUpnp() {
    if (!p2p_.upnp) {
        return p2p_.listenPort;
    }
    int port = p2p_.listenPort;
    if (port == 0) {
        unsigned random = 0;
        if (hooks_.random) {
            random = hooks_.random();
        } else {
            std::srand(static_cast<unsigned>(std::time(nullptr)));
            random = static_cast<unsigned>(std::rand());
        }
        const auto inUse = hooks_.portInUse ? hooks_.portInUse : net::IsPortInUse;
        const std::optional<int> chosen = net::ChooseFreePort(net::ScanStart(random), inUse);
        if (!chosen) {
            Fail("没有可用的端口，uPnP失败");
            return 0;
        }
        port = *chosen;
    }
    const std::optional<std::string> address =
        hooks_.localAddress ? hooks_.localAddress() : net::LocalIpv4Address(p2p_.bindAddress);
    if (!address) {
        Fail("无法获取本地ip，uPnP失败");
        return 0;
    }
    if (!net::IsPrivateIpv4(*address)) {
        relay_->Report(kDirectEvent, "无需uPnP：本机直通外网" + *address);
        return port;
    }
    deviceSearchEnded_->Reset();
    engine_.ClearState();
    const auto notify = [relay = relay_](std::uintptr_t w, std::intptr_t l) { relay->Post(w, l); };
    if (!engine_.StartDeviceInfoThread(notify)) {
        Fail("IGD设备信息线程创建失败");
        return 0;
    }
    Log("IGD设备信息线程已创建");
    const std::string portText = std::to_string(port);
    const net::UpnpMapping mapping{
        "", portText, portText, "TCP", *address, "Yes", net::kMappingDescription};
    const auto timedOut = [relay = relay_] {
        relay->Report(kFailureEvent, "uPnP失败，获取IGD设备超时");
    };
    if (!engine_.StartMappingThread(mapping, notify, deviceSearchEnded_, timedOut)) {
        Fail("uPnP线程创建失败");
        return 0;
    }
    Log("uPnP线程已创建");
    return port;
}

std::optional<std::string> PortMapping::GatewayDevice() const {
    const net::IgdDeviceInfo device = engine_.GetDeviceInfo();
    if (!device.HasDevice()) {
        return std::nullopt;
    }
    return device.friendlyName.empty() ? device.type : device.friendlyName;
}

void PortMapping::ReleaseMapping() {
    deviceSearchEnded_->Set();
}

void PortMapping::Install(ControllerEnvironment& env) {
    env.startUpnp = [this] { return StartUpnp(); };
    env.gatewayDevice = [this] { return GatewayDevice(); };
    env.releaseMapping = [this] { ReleaseMapping(); };
}

void PortMapping::SetNotify(Notify notify) {
    relay_->SetNotify(std::move(notify));
}

std::vector<PortMapping::Notification> PortMapping::TakeNotifications() {
    return relay_->Take();
}

}  // namespace koruvan::app
