#include "engine/core/base/SecConfigHook.h"

#include <atomic>

namespace koruvan::engine {
namespace {

std::atomic<SecConfigRefresher> g_refresher{nullptr};
std::atomic<WebRequestPreparer> g_preparer{nullptr};

}  // namespace

void SetSecConfigRefresher(SecConfigRefresher refresher) noexcept {
    g_refresher.store(refresher);
}

void SetWebRequestPreparer(WebRequestPreparer preparer) noexcept {
    g_preparer.store(preparer);
}

bool RefreshSecConfig() noexcept {
    const SecConfigRefresher refresher = g_refresher.load();
    if (refresher == nullptr) {
        return false;
    }
    try {
        return refresher();
    } catch (...) {
        return false;
    }
}

WebRequestTexts PrepareWebRequest(std::string_view url) {
    const WebRequestPreparer preparer = g_preparer.load();
    if (preparer != nullptr) {
        try {
            return preparer(url);
        } catch (...) {
            // An unusable configuration must not stop the request: it goes out unsigned.
        }
    }
    return WebRequestTexts{std::string(url), {}, {}};
}

}  // namespace koruvan::engine
