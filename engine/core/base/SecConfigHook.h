// The seam between web sources and the signing configuration the download controller
// fetches (URL-signing key and scheme, User-Agent and Referer texts). The engine must not
// depend on the controller, so the controller registers two functions here at start:
// - a refresher, which fetches the configuration again (a task's low-rate restart calls
//   it on the task thread);
// - a request preparer, which signs a source URL and gives the header texts, all three
//   taken from one consistent configuration set.
// Until they are registered, a refresh does nothing and requests go out unsigned with
// empty header texts. Registration and calls are thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace koruvan::engine {

// What a web source puts into one request.
struct WebRequestTexts {
    std::string signedUrl;  // the source URL after signing; the request path is taken from it
    std::string userAgent;
    std::string referer;  // the default Referer text
};

using SecConfigRefresher = bool (*)();
using WebRequestPreparer = WebRequestTexts (*)(std::string_view url);

// Installs the functions (null removes them).
void SetSecConfigRefresher(SecConfigRefresher refresher) noexcept;
void SetWebRequestPreparer(WebRequestPreparer preparer) noexcept;

// Runs the refresher; false when none is registered or it failed or threw.
[[nodiscard]] bool RefreshSecConfig() noexcept;

// Runs the preparer for `url`; without one (or when it throws), `url` unchanged and empty
// header texts.
[[nodiscard]] WebRequestTexts PrepareWebRequest(std::string_view url);

}  // namespace koruvan::engine
