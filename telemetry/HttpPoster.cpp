#include "telemetry/HttpPoster.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>
#include <mutex>

namespace koruvan::telemetry {
namespace {

size_t Collect(char* data, size_t size, size_t count, void* target) {
    auto* response = static_cast<std::string*>(target);
    const size_t bytes = size * count;
    const size_t room = kMaxResponseBytes - std::min(kMaxResponseBytes, response->size());
    try {
        response->append(data, std::min(bytes, room));
    } catch (...) {
        return 0;  // ends the transfer
    }
    return bytes;
}

int CheckAbort(void* poster, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const HttpPoster*>(poster)->Aborted() ? 1 : 0;
}

}  // namespace

std::optional<std::string> HttpPoster::Post(const std::string& url,
                                            std::string_view body) noexcept {
    if (Aborted()) {
        return std::nullopt;
    }
    try {
        static std::once_flag globalInit;
        std::call_once(globalInit, [] { curl_global_init(CURL_GLOBAL_ALL); });
        std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(),
                                                                 curl_easy_cleanup);
        if (!curl) {
            return std::nullopt;
        }
        // No "Expect: 100-continue" pause before the body.
        std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(
            curl_slist_append(nullptr, "Expect:"), curl_slist_free_all);
        std::string response;
        CURL* c = curl.get();
        const long timeoutMs = static_cast<long>(timeout_.count());
        const bool set = curl_easy_setopt(c, CURLOPT_URL, url.c_str()) == CURLE_OK &&
                         curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
                         curl_easy_setopt(c, CURLOPT_POST, 1L) == CURLE_OK &&
                         curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE,
                                          static_cast<curl_off_t>(body.size())) == CURLE_OK &&
                         curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data()) == CURLE_OK &&
                         curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK &&
                         curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Collect) == CURLE_OK &&
                         curl_easy_setopt(c, CURLOPT_WRITEDATA, &response) == CURLE_OK &&
                         curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
                         curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs) == CURLE_OK &&
                         curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, timeoutMs) == CURLE_OK &&
                         curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L) == CURLE_OK &&
                         curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &CheckAbort) == CURLE_OK &&
                         curl_easy_setopt(c, CURLOPT_XFERINFODATA, this) == CURLE_OK;
        if (!set || curl_easy_perform(c) != CURLE_OK) {
            return std::nullopt;
        }
        return response;
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace koruvan::telemetry
