#include "engine/peers/ProxySettings.h"

#include <mutex>

namespace koruvan::engine {
namespace {

std::mutex& DefaultsLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

TProxySettings& Defaults() {  // guarded by DefaultsLock()
    static auto* defaults = new TProxySettings;
    return *defaults;
}

}  // namespace

bool TProxySettings::IsUsable() const noexcept {
    return type != kProxyNone && IsValidIp(ip) && port != 0;
}

bool TProxySettings::SendsNames() const noexcept {
    if (!IsUsable()) {
        return false;
    }
    return type == kProxyHttp || ((type == kProxySocks5 || type == kProxySocks4a) && remoteNames);
}

std::int32_t TProxySettings::TimeoutMs() const noexcept {
    constexpr std::int32_t kLongest = 3600;  // keeps the milliseconds within range
    if (timeoutSeconds <= 0) {
        return kDefaultProxyTimeoutSeconds * 1000;
    }
    return (timeoutSeconds < kLongest ? timeoutSeconds : kLongest) * 1000;
}

const char* TProxySettings::EffectiveMethod() const noexcept {
    return method.empty() ? "CONNECT" : method.c_str();
}

bool TProxySettings::ConsumesReply() const noexcept {
    // A SOCKS reply is binary and always the proxy's own; an HTTP proxy's answer to another
    // method (a plain GET through the proxy) is the peer's response.
    return type != kProxyHttp || method.empty() || method == "CONNECT";
}

TProxySettings DefaultProxySettings() {
    std::lock_guard<std::mutex> guard(DefaultsLock());
    return Defaults();
}

void SetDefaultProxySettings(const TProxySettings& settings) {
    std::lock_guard<std::mutex> guard(DefaultsLock());
    Defaults() = settings;
}

}  // namespace koruvan::engine
