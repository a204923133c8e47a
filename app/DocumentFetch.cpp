#include "app/DocumentFetch.h"

#include <curl/curl.h>

#include <cstdio>
#include <memory>
#include <mutex>

#include "app/XmlText.h"

namespace koruvan::app {
namespace {

constexpr long kMaxRedirects = 10;

struct BodySink {
    std::string& body;
    std::size_t appended = 0;
};

// Appends what arrives; a body beyond the document limit aborts the transfer.
std::size_t AppendBody(char* data, std::size_t size, std::size_t count, void* target) {
    auto* sink = static_cast<BodySink*>(target);
    const std::size_t bytes = size * count;
    if (sink->appended + bytes > kMaxDocumentBytes) {
        return 0;
    }
    sink->body.append(data, bytes);
    sink->appended += bytes;
    return bytes;
}

// Writes one message to standard error in a single call.
void Report(const std::string& text) {
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
}

std::string Formatted(const char* format, const char* value) {
    char line[4096 + 256];
    std::snprintf(line, sizeof line, format, value);
    return line;
}

bool Step(CURLcode rc, const char* failure, const char* errorBuffer) {
    if (rc == CURLE_OK) {
        return true;
    }
    Report(Formatted(failure, errorBuffer));
    return false;
}

CURLcode SetUrl(CURL* curl, const std::string& url) {
    const CURLcode rc = curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    return rc != CURLE_OK ? rc : curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
}

CURLcode SetRedirects(CURL* curl) {
    CURLcode rc = curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    if (rc == CURLE_OK) {
        rc = curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
    }
    return rc != CURLE_OK ? rc : curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
}

// The options in their order; false (with the message written) at the first that fails.
bool SetUp(CURL* curl, const std::string& url, char* errorBuffer, BodySink& sink, long timeout) {
    const CURLcode rc = curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    if (rc != CURLE_OK) {
        char line[64];
        std::snprintf(line, sizeof line, "Failed to set error buffer [%d]\n", static_cast<int>(rc));
        Report(line);
        return false;
    }
    if (!Step(SetUrl(curl, url), "Failed to set URL [%s]\n", errorBuffer) ||
        !Step(SetRedirects(curl), "Failed to set redirect option [%s]\n", errorBuffer) ||
        !Step(curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &AppendBody),
              "Failed to set writer [%s]\n", errorBuffer) ||
        !Step(curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink), "Failed to set write data [%s]\n",
              errorBuffer)) {
        return false;
    }
    // Time-outs in threads need no signals (the resolver would otherwise use SIGALRM).
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    if (timeout != 0) {
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, timeout);
    }
    // Documents that decide where executables come from are only taken from a server that
    // proves who it is.
    if (url.compare(0, 5, "https") == 0) {
        return Step(curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L),
                    "Failed to set CURLOPT_SSL_VERIFYPEER  [%s]\n", errorBuffer) &&
               Step(curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L),
                    "Failed to set CURLOPT_SSL_VERIFYHOST [%s]\n", errorBuffer);
    }
    return true;
}

}  // namespace

bool FetchDocument(const std::string& url, std::string& body, std::string& error, long& status,
                   long timeoutSeconds) {
    static std::once_flag globalInit;
    std::call_once(globalInit, [] { curl_global_init(CURL_GLOBAL_ALL); });
    status = 0;
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
    if (curl == nullptr) {
        // Out of resources: the fetch fails like any other (the program goes on without it).
        Report("Failed to create CURL connection\n");
        error = "Failed to create CURL connection";
        return false;
    }
    char errorBuffer[CURL_ERROR_SIZE] = {};
    BodySink sink{body};
    if (!SetUp(curl.get(), url, errorBuffer, sink, timeoutSeconds)) {
        Report("Connection initializion failed\n");
        error = "Connection initializion failed\n";
        return false;
    }
    const CURLcode rc = curl_easy_perform(curl.get());
    long code = 0;
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &code);
    status = code;
    if (rc != CURLE_OK || (code >= 400 && code <= 599)) {
        // The reason in the brackets: the transport's own text, or the HTTP status when the
        // transfer itself worked.
        std::string reason = errorBuffer;
        if (reason.empty()) {
            reason = rc != CURLE_OK ? curl_easy_strerror(rc) : "HTTP " + std::to_string(code);
        }
        Report("Failed to get '" + url + "' [" + reason + "]\n");
        error = "Failed to get " + url + " (" + reason + ")";
        return false;
    }
    return true;
}

}  // namespace koruvan::app
