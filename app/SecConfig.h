// The sec configuration: the URL-signing key and scheme and the User-Agent and Referer texts
// web sources send, fetched from the downloader service at start and again when a task's web
// sources stay slow (on that task's thread).
//
// The four values form one set. Task threads read it for every request while another
// thread may be replacing it, so a set is never changed in place: an update builds a new
// complete set and swaps it in, and readers hold on to the set they took. A reader thus
// always sees a whole old or a whole new set.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace koruvan::app {

struct SecConfigValues {
    std::string md5key;     // URL-signing key (empty: URLs go out unsigned)
    std::string secType;    // signing scheme ("A0", "B1", …)
    std::string userAgent;  // User-Agent header value
    std::string referer;    // default Referer header value
};

// What one sec configuration document says; each part that is absent leaves the current
// value alone.
struct SecConfigUpdate {
    std::optional<std::string> secType;
    std::optional<std::string> md5key;
    std::optional<std::string> userAgent;  // set together with referer, or neither
    std::optional<std::string> referer;
};

class SecConfigStore {
  public:
    SecConfigStore();

    // The current set; never null. Holding it keeps it alive and unchanged.
    [[nodiscard]] std::shared_ptr<const SecConfigValues> Current() const;
    // Builds the next set from the current one and `update`, and swaps it in.
    void Apply(const SecConfigUpdate& update);
    // Back to the initial, empty set.
    void Reset();

    // The document's URL (set when the plan is installed).
    void SetUrl(std::string url);
    [[nodiscard]] std::string Url() const;

  private:
    mutable std::mutex lock_;
    std::shared_ptr<const SecConfigValues> values_;  // guarded by lock_ (the pointer only)
    std::string url_;                                // guarded by lock_
};

// The process-wide store that web sources read.
[[nodiscard]] SecConfigStore& ProcessSecConfig() noexcept;

// Reads a sec configuration document: a "project" root with "sec" elements (attributes
// "id", "sec_type", child "md5key" with Base64 text; a later one overrides an earlier one;
// the run stops at a "sec" without "id"), then "client" and "web" with Base64 texts.
// Nullopt when the text is not XML with a "project" root. `headersComplete` tells whether
// both "client" and "web" were there (only then are the header texts part of the update).
[[nodiscard]] std::optional<SecConfigUpdate> ReadSecConfigDocument(std::string_view xml,
                                                                   bool& headersComplete);

// Fetches the document from the store's URL (2 s time-out) and applies it. True only when
// the document was read and named both header texts. A failed fetch or an unusable document
// changes nothing.
[[nodiscard]] bool ParseSecConfig(SecConfigStore& store);
// The same for the process-wide store.
[[nodiscard]] bool ParseSecConfig();

}  // namespace koruvan::app
